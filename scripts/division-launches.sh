#!/usr/bin/env bash
# How often a launch of the CPU path chooses the faster force-pass division: runs
# `lumeth-bench --count 2000 --repeat 1` LAUNCHES times (default 50) on the machine as it is, and
# as many times with one core kept busy by a spinning shell; counts the launches whose choice
# (the header's first words) was the faster division. The faster division is measured apart
# from the launches, before and after them: whole force passes of the program's 100,000
# particles with each division asked for by name (lumeth-bench --count 100000, the rows
# "cpu: hardware division" and "cpu: fma division"). A division counts as the faster where its
# pass is at least 10% shorter; where neither is, every choice counts as right. Also counts the
# launches whose own timed slices put the other division 10% ahead of the one they chose.
# Prints the load average before and after: on a busy machine the figures say little.
#
#   scripts/division-launches.sh [--build-dir build] [--launches 50]
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
build_dir="$repo_root/build"
launches=50
while [ $# -gt 0 ]; do
    case "$1" in
        --build-dir) build_dir="$2"; shift 2 ;;
        --launches) launches="$2"; shift 2 ;;
        -h|--help) sed -n '2,13p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
        *) echo "division-launches.sh: unknown argument '$1' (--build-dir DIR, --launches N)" >&2; exit 2 ;;
    esac
done
bench="$build_dir/lumeth-bench"
if [ ! -x "$bench" ]; then
    echo "division-launches.sh: no $bench; build the target lumeth-bench first" >&2
    exit 1
fi

spinner=""
stop_spinner() {
    if [ -n "$spinner" ]; then
        kill "$spinner" 2>/dev/null || true
        wait "$spinner" 2>/dev/null || true
        spinner=""
    fi
}
trap stop_spinner EXIT

# The median force pass of each division, whole, at 100,000 particles: "hardware_ms fma_ms".
division_passes() {
    local out
    out="$("$bench" --count 100000 --repeat 5 2>/dev/null)"
    local hardware fma
    hardware="$(awk '$1 == "compute_forces" && $2 == "cpu:" && $3 == "hardware" { print $7 }' <<<"$out")"
    fma="$(awk '$1 == "compute_forces" && $2 == "cpu:" && $3 == "fma" { print $7 }' <<<"$out")"
    echo "${hardware:-nan} ${fma:-nan}"
}

# "hardware", "fma" or "either" (neither at least 10% faster).
faster_of() {
    awk -v h="$1" -v f="$2" 'BEGIN {
        if (h + 0 > 0 && f + 0 > 0 && f * 1.1 <= h) print "fma";
        else if (h + 0 > 0 && f + 0 > 0 && h * 1.1 <= f) print "hardware";
        else print "either" }'
}

# Runs the launches; prints one summary line against the faster division $1.
count_launches() {
    local faster="$1" what="$2"
    local right=0 own_slices_against=0 undecided=0 line chosen hardware fma
    for ((k = 0; k < launches; ++k)); do
        line="$("$bench" --count 2000 --repeat 1 2>/dev/null | sed -n 1p)"
        chosen="$(sed -n 's/.*SIMD width [0-9]* doubles, \([a-z]*\) division.*/\1/p' <<<"$line")"
        hardware="$(sed -n 's/.* \([0-9.]*\) ms\( of CPU time\)\{0,1\} with the hardware division.*/\1/p' <<<"$line")"
        fma="$(sed -n 's/.* \([0-9.]*\) ms with the fma division.*/\1/p' <<<"$line")"
        if [ "$chosen" != "hardware" ] && [ "$chosen" != "fma" ]; then
            undecided=$((undecided + 1))
            continue
        fi
        if [ "$faster" = "either" ] || [ "$faster" = "$chosen" ]; then
            right=$((right + 1))
        fi
        local own
        own="$(faster_of "${hardware:-0}" "${fma:-0}")"
        if [ "$own" != "either" ] && [ "$own" != "$chosen" ]; then
            own_slices_against=$((own_slices_against + 1))
        fi
    done
    printf '%-32s %2d of %d launches chose the faster division (%s)' "$what:" "$right" "$launches" "$faster"
    printf '; %d against their own slices; %d undecided\n' "$own_slices_against" "$undecided"
}

echo "division-launches: $(grep -m1 'model name' /proc/cpuinfo | sed 's/.*: //'), $(nproc) cores"
echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
read -r hardware_before fma_before < <(division_passes)
faster="$(faster_of "$hardware_before" "$fma_before")"
echo "force pass at 100000 particles before: hardware $hardware_before ms, fma $fma_before ms: faster by 10% or more: $faster"

count_launches "$faster" "as the machine is"
bash -c 'while :; do :; done' &
spinner=$!
count_launches "$faster" "one core kept busy"
stop_spinner

read -r hardware_after fma_after < <(division_passes)
echo "force pass at 100000 particles after: hardware $hardware_after ms, fma $fma_after ms: faster by 10% or more: $(faster_of "$hardware_after" "$fma_after")"
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
