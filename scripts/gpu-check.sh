#!/usr/bin/env bash
# The check to run on a machine with an NVIDIA GPU, in one command: builds the core, the tests,
# the benchmark and lumeth-gpu-frame with the CUDA path (no SDL3 needed, no network), then runs
# the GPU tests, the other tests, compute-sanitizer's memcheck and initcheck over one frame of
# both steps at 100,000 particles, and the benchmark. The GPU tests, the sanitizers and the
# benchmark run twice: on the CUDA runtime path and on the CUDA driver API path
# (LUMETH_GPU_API=driver), each with its own PASS/FAIL line; their logs hold both runs. Ends
# with one PASS/FAIL line per step.
#
# Needs the NVIDIA driver, the CUDA toolkit (nvcc, compute-sanitizer), CMake, Ninja and a C++
# compiler with OpenMP. GoogleTest is taken from the machine when CMake finds it, otherwise
# built from the first source tree found among --gtest-source DIR, .deps/googletest-src in the
# repository (filled by scripts/carry-googletest.sh on a machine with Debian's googletest) and
# /usr/src/googletest.
#
# Usage: scripts/gpu-check.sh [--logs DIR] [--build DIR] [--gtest-source DIR]
#   --logs DIR          folder for the logs and the summary, at most 8 files
#                       (default: <build>/logs)
#   --build DIR         build folder, emptied first (default: build/gpu-check)
#   --gtest-source DIR  a GoogleTest source tree to build when none is installed
# Every step has its own time limit (at most 540 s). Exit status: 0 when every step passed,
# 1 when one failed, 2 for a bad command line.
set -uo pipefail
# shellcheck source-path=SCRIPTDIR source=common.sh
source "$(dirname "$0")/common.sh"

usage() { sed -n '2,/^set -uo/p' "$0" | sed '$d; s/^# \{0,1\}//'; }

build="$repo_root/build/gpu-check"
logs=""
gtest_source=""
while [ $# -gt 0 ]; do
    case "$1" in
    --build | --logs | --gtest-source)
        [ $# -ge 2 ] || { echo "gpu-check: $1 needs a value (try --help)" >&2; exit 2; }
        case "$1" in
        --build) build="$2" ;;
        --logs) logs="$2" ;;
        --gtest-source) gtest_source="$2" ;;
        esac
        shift 2
        ;;
    -h | --help) usage; exit 0 ;;
    *) echo "gpu-check: unknown argument '$1' (try --help)" >&2; exit 2 ;;
    esac
done
absolute() { case "$1" in /*) echo "$1" ;; *) echo "$PWD/$1" ;; esac; }
build="$(absolute "$build")"
logs="$(absolute "${logs:-$build/logs}")"

rm -rf "$build"
mkdir -p "$build" "$logs" || exit 1
rm -f "$logs"/{configure,build,gpu-tests,other-tests,memcheck,initcheck,bench}.log "$logs/summary.txt"
say() { printf '[gpu-check] %s\n' "$*"; }
summary=()
failed=0
step_start=$SECONDS
# Records one step's outcome with the seconds since the previous one:
# result <PASS|FAIL> <step> <detail>
result() {
    local seconds=$((SECONDS - step_start))
    step_start=$SECONDS
    summary+=("$(printf '%-4s  %-17s %4ss  %s' "$1" "$2" "$seconds" "$3")")
    [ "$1" = PASS ] || failed=1
    say "$1 $2 (${seconds}s): $3"
}

# --- The machine --------------------------------------------------------------------------------
gpu_name="none listed by nvidia-smi"
if command -v nvidia-smi >/dev/null 2>&1; then
    listed="$(timeout 60 nvidia-smi --query-gpu=name,driver_version --format=csv,noheader 2>/dev/null)"
    [ -n "$listed" ] && gpu_name="$(printf '%s\n' "$listed" | head -n1 | sed 's/, / (driver /; s/$/)/')"
else
    gpu_name="nvidia-smi not found"
fi
# The compiler CMakeLists.txt takes: $CUDACXX, nvcc on the PATH, the toolkit's default folder.
nvcc_bin="${CUDACXX:-$(command -v nvcc || true)}"
[ -n "$nvcc_bin" ] || [ ! -x /usr/local/cuda/bin/nvcc ] || nvcc_bin=/usr/local/cuda/bin/nvcc
nvcc_version="none"
[ -n "$nvcc_bin" ] && [ -x "$nvcc_bin" ] &&
    nvcc_version="$("$nvcc_bin" --version | sed -n 's/.*release \([0-9.]*\), \(V[0-9.]*\).*/\1 (\2)/p')"
sanitizer="$(command -v compute-sanitizer || true)"
if [ -z "$sanitizer" ] && [ -n "$nvcc_bin" ] && [ -x "$(dirname "$nvcc_bin")/compute-sanitizer" ]; then
    sanitizer="$(dirname "$nvcc_bin")/compute-sanitizer"
fi
say "GPU: $gpu_name; CUDA: $nvcc_version; CPU: $(grep -m1 'model name' /proc/cpuinfo | sed 's/.*: //')"

# --- GoogleTest and configuration (log: configure.log) ------------------------------------------
cmake_options=(-DCMAKE_BUILD_TYPE=Release -DLUMETH_BUILD_APP=OFF)
gtest_probe() {
    local probe="$build/_gtest-probe"
    rm -rf "$probe" && mkdir -p "$probe/src"
    printf 'cmake_minimum_required(VERSION 3.16)\nproject(probe CXX)\nfind_package(GTest REQUIRED)\n' \
        >"$probe/src/CMakeLists.txt"
    timeout 120 cmake -S "$probe/src" -B "$probe/build" -G Ninja "$@" >>"$logs/configure.log" 2>&1
}
configure() {
    if ! gtest_probe; then
        local dir source_dir=""
        local candidates=("$repo_root/.deps/googletest-src" /usr/src/googletest)
        [ -n "$gtest_source" ] && candidates=("$gtest_source" "${candidates[@]}")
        for dir in "${candidates[@]}"; do
            if [ -f "$dir/CMakeLists.txt" ] && [ -d "$dir/googletest" ]; then
                source_dir="$dir"
                break
            fi
        done
        if [ -z "$source_dir" ]; then
            echo "no GoogleTest: run scripts/carry-googletest.sh where Debian's googletest is," \
                "and bring .deps/googletest-src along, or pass --gtest-source DIR"
            return 1
        fi
        echo "building GoogleTest from $source_dir"
        local prefix="$build/_googletest/install"
        timeout 300 cmake -S "$source_dir" -B "$build/_googletest/build" -G Ninja \
            -DCMAKE_BUILD_TYPE=Release -DBUILD_GMOCK=OFF -DINSTALL_GTEST=ON \
            -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_INSTALL_LIBDIR=lib &&
            timeout 300 cmake --build "$build/_googletest/build" -j "$build_jobs" &&
            timeout 60 cmake --install "$build/_googletest/build" &&
            gtest_probe -DCMAKE_PREFIX_PATH="$prefix" || return 1
        cmake_options+=(-DCMAKE_PREFIX_PATH="$prefix")
    fi
    timeout 300 cmake -S "$repo_root" -B "$build" -G Ninja "${cmake_options[@]}" &&
        grep -q "lumeth: CUDA path ON" "$build/CMakeCache.txt" "$logs/configure.log"
}
if configure >>"$logs/configure.log" 2>&1; then
    result PASS configure "CUDA path on, GoogleTest found"
else
    result FAIL configure "$(tail -n 1 "$logs/configure.log") (configure.log)"
fi

# --- Build (log: build.log) ---------------------------------------------------------------------
built=0
if [ "$failed" -eq 0 ]; then
    if timeout 540 cmake --build "$build" -j "$build_jobs" >"$logs/build.log" 2>&1; then
        built=1
        result PASS build "the core, the tests, lumeth-bench and lumeth-gpu-frame"
    else
        result FAIL build "$(grep -m1 -E 'error|FAILED' "$logs/build.log") (build.log)"
    fi
fi

# --- Tests (logs: gpu-tests.log, other-tests.log) -----------------------------------------------
# Runs ctest into a log (appended to, so that one log holds both GPU paths' runs) and judges
# its output: every selected test must pass (a skipped GPU test means the device was not
# usable, which here is a failure too).
run_tests() {
    local name="$1" log="$2"
    shift 2
    local output
    output="$(timeout 300 ctest --test-dir "$build" --output-on-failure "$@" 2>&1)"
    local status=$?
    printf '== %s\n%s\n' "$name" "$output" >>"$log"
    local line
    line="$(printf '%s\n' "$output" | grep -E '% tests passed' | tail -n1)"
    local skipped
    skipped="$(printf '%s\n' "$output" | grep -c '\*\*\*Skipped')"
    if [ "$status" -eq 0 ] && [ "$skipped" -eq 0 ] && [ -n "$line" ]; then
        result PASS "$name" "$line"
    else
        result FAIL "$name" "${line:-ctest status $status}, $skipped skipped ($(basename "$log"))"
    fi
}
# The two GPU paths: the default (the CUDA runtime) and the driver API.
gpu_paths=(runtime driver)
if [ "$built" -eq 1 ]; then
    for path in "${gpu_paths[@]}"; do
        LUMETH_GPU_API=$path run_tests "gpu-tests-$path" "$logs/gpu-tests.log" -V -L '^gpu$'
    done
    grep -E '\[ INFO' "$logs/gpu-tests.log" | sed 's/^[0-9]*: //' | sort -u
    run_tests other-tests "$logs/other-tests.log" -j "$build_jobs" -LE '^gpu$'
fi

# --- compute-sanitizer over one frame (logs: memcheck.log, initcheck.log) -----------------------
if [ "$built" -eq 1 ]; then
    for tool in memcheck initcheck; do
        if [ -z "$sanitizer" ]; then
            result FAIL "$tool" "compute-sanitizer not found"
            continue
        fi
        : >"$logs/$tool.log"
        for path in "${gpu_paths[@]}"; do
            output="$(LUMETH_GPU_API=$path timeout 300 "$sanitizer" --tool "$tool" \
                --error-exitcode 3 "$build/lumeth-gpu-frame" 2>&1)"
            status=$?
            printf '== %s, %s path\n%s\n' "$tool" "$path" "$output" >>"$logs/$tool.log"
            summary_line="$(printf '%s\n' "$output" | grep -E 'ERROR SUMMARY' | tail -n1 |
                sed 's/^=* *//')"
            if [ "$status" -eq 0 ] && printf '%s\n' "$output" | grep -q 'ERROR SUMMARY: 0 errors'; then
                result PASS "$tool-$path" "one frame at 100000 particles, $summary_line"
            else
                result FAIL "$tool-$path" \
                    "exit status $status, ${summary_line:-no summary} ($tool.log)"
            fi
        done
    done
fi

# --- Benchmark (log: bench.log) -----------------------------------------------------------------
# Each path is timed through its own API: the runtime's events on the runtime path, the
# driver's events on the driver API path, with the same rows.
if [ "$built" -eq 1 ]; then
    : >"$logs/bench.log"
    for path in "${gpu_paths[@]}"; do
        output="$(LUMETH_GPU_API=$path timeout 240 "$build/lumeth-bench" --repeat 5 2>&1)"
        status=$?
        printf '== lumeth-bench, %s path\n%s\n' "$path" "$output" | tee -a "$logs/bench.log"
        gpu_rows=yes
        printf '%s\n' "$output" | grep -q 'compute_forces kernel' || gpu_rows=no
        if [ "$status" -eq 0 ] && [ "$gpu_rows" = yes ]; then
            result PASS "bench-$path" "GPU rows measured, every backend agrees with the baseline"
        else
            result FAIL "bench-$path" "exit status $status$([ "$gpu_rows" = yes ] ||
                echo ', no GPU rows') (bench.log)"
        fi
    done
fi

# --- Summary (summary.txt) ----------------------------------------------------------------------
{
    echo "== lumeth GPU check: $gpu_name, CUDA $nvcc_version"
    printf '%s\n' "${summary[@]}"
    echo "$SECONDS s in all; logs: $logs"
} | tee "$logs/summary.txt"
exit "$failed"
