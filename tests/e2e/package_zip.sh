#!/usr/bin/env bash
# The Windows zip as a user gets it: unpacked into a scratch folder, it holds the two
# programs, every DLL they load, its own README and the licences; from there the benchmark
# runs (without an NVIDIA driver, as under wine: on the CPU, saying so) and the program runs
# in a window under Xvfb (e2e_keys_and_output.sh), through the emulator.
#   package_zip.sh lumeth-<version>-win64.zip <emulator...>
set -u
E2E_DIR="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
zip="${1:?usage: $0 package.zip emulator...}"
shift
fail() {
    echo "FAIL: $*" >&2
    exit 1
}
[ -f "${zip}" ] || fail "no package at ${zip}"

scratch="$(mktemp -d "${TMPDIR:-/tmp}/lumeth-zip.XXXXXX")"
trap 'rm -rf "${scratch}"' EXIT
python3 -m zipfile -e "${zip}" "${scratch}" || fail "could not unpack ${zip}"
top="${scratch}/$(basename "${zip}" .zip)"
for file in lumeth.exe lumeth-bench.exe SDL3.dll libgomp-1.dll libstdc++-6.dll \
    libgcc_s_seh-1.dll libwinpthread-1.dll README.txt LICENSE.txt licenses/SDL3.txt \
    licenses/GCC-runtime.txt licenses/winpthreads.txt; do
    [ -f "${top}/${file}" ] || fail "the zip has no ${file}"
done
grep -q 'GCC Runtime Library Exception' "${top}/licenses/GCC-runtime.txt" ||
    fail "licenses/GCC-runtime.txt does not state the GCC Runtime Library Exception"
grep -q 'NVIDIA driver' "${top}/README.txt" || fail "README.txt does not say what the GPU path needs"

"$@" "${top}/lumeth-bench.exe" --count 2003 --repeat 1 >"${scratch}/bench.log" 2>&1 ||
    fail "lumeth-bench.exe from the zip failed:"$'\n'"$(cat "${scratch}/bench.log")"
grep -Eq '^lumeth: no usable CUDA device \(no NVIDIA (GPU|driver) found \(nvcuda\.dll could not be loaded' \
    "${scratch}/bench.log" ||
    fail "lumeth-bench.exe did not say that there is no NVIDIA driver:"$'\n'"$(cat "${scratch}/bench.log")"
grep -Eq '^step_forces +program: cpu \(no device\)' "${scratch}/bench.log" ||
    fail "lumeth-bench.exe's steps did not run on the CPU:"$'\n'"$(cat "${scratch}/bench.log")"
bash "${E2E_DIR}/e2e_keys_and_output.sh" "$@" "${top}/lumeth.exe"
status=$?
[ "${status}" = 0 ] || exit "${status}"
echo "PASS"
