#!/usr/bin/env bash
# Snapshots across processors: the build machine's lumeth-record and a cross-built one (run
# through its emulator) record the same run, and each resumes from the other's snapshot. Both
# runs' snapshots must be the same bytes, and each resumed run must end on the other's final
# snapshot byte for byte. Exit status 77 (skipped) when the build machine's program is missing.
#   cross_resume.sh <build machine's lumeth-record> <emulator...> <cross-built lumeth-record>
set -u
native="${1:?usage: $0 native-lumeth-record emulator... cross-lumeth-record}"
shift
cross=("$@")
[ -x "${native}" ] || { echo "SKIP: no lumeth-record of the build machine at ${native}"; exit 77; }
fail() {
    echo "FAIL: $*" >&2
    exit 1
}
scratch="$(mktemp -d "${TMPDIR:-/tmp}/lumeth-cross.XXXXXX")"
trap 'rm -rf "${scratch}"' EXIT
run=(--particles 3000 --seed 42 --step-myr 5 --codec ffv1 --snapshot-every 3)
record() {  # record <name> <program...> -- <arguments...>
    local name="$1" program=()
    shift
    while [ "$1" != -- ]; do program+=("$1"); shift; done
    shift
    "${program[@]}" "$@" --snapshot-dir "${scratch}/${name}" --out "${scratch}/${name}.mkv" \
        >"${scratch}/${name}.log" 2>&1 || fail "${name}: exit status $?"$'\n'"$(cat "${scratch}/${name}.log")"
}
record native "${native}" -- --frames 6 "${run[@]}"
record cross "${cross[@]}" -- --frames 6 "${run[@]}"
for step in 000003 000006; do
    cmp "${scratch}/native/snapshot_${step}.hdf5" "${scratch}/cross/snapshot_${step}.hdf5" ||
        fail "the two processors' snapshots of step ${step} differ"
done
record native-from-cross "${native}" -- --frames 3 "${run[@]}" \
    --resume "${scratch}/cross/snapshot_000003.hdf5"
record cross-from-native "${cross[@]}" -- --frames 3 "${run[@]}" \
    --resume "${scratch}/native/snapshot_000003.hdf5"
cmp "${scratch}/native-from-cross/snapshot_000006.hdf5" "${scratch}/cross/snapshot_000006.hdf5" ||
    fail "the build machine's run resumed from the cross-built one's snapshot ends elsewhere"
cmp "${scratch}/cross-from-native/snapshot_000006.hdf5" "${scratch}/native/snapshot_000006.hdf5" ||
    fail "the cross-built run resumed from the build machine's snapshot ends elsewhere"
echo "PASS: the same snapshots on both processors, and each resumes the other's byte for byte"
