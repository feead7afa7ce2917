#!/usr/bin/env bash
# The GPU build on a machine without the CUDA toolkit, as most users with an NVIDIA driver have
# it. In a private mount namespace (root: unshare -m) the toolkit's folders and the CUDA
# compiler's programs in the standard folders are hidden; there scripts/install-deps.sh with
# LUMETH_FETCH_CUDA=1 provides NVIDIA's compiler packages (a complete .deps/cuda-<version> from
# an earlier run is reused), and the program is configured and built in build/fetched-cuda.
# Then cuobjdump checks that build/fetched-cuda/lumeth carries the default image set: machine
# code for 7.5, 8.0, 8.6, 9.0, 10.0 and 12.0, compute_86 PTX and PTX for 12.0 or newer.
# Exit status 0 when all of that holds.
set -euo pipefail
# shellcheck source-path=SCRIPTDIR source=common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

build="$repo_root/build/fetched-cuda"
say() { printf '[check-fetched-cuda] %s\n' "$*"; }
fail() {
    say "FAIL: $*" >&2
    exit 1
}

if [ "${1:-}" != --inside ]; then
    [ "$(id -u)" -eq 0 ] || fail "needs root, for a private mount namespace (unshare -m)"
    # cuobjdump is looked for now, while the toolkit is visible.
    cuobjdump="$(command -v cuobjdump || true)"
    [ -n "$cuobjdump" ] || [ ! -x /usr/local/cuda/bin/cuobjdump ] ||
        cuobjdump=/usr/local/cuda/bin/cuobjdump
    [ -n "$cuobjdump" ] ||
        cuobjdump="$(compgen -G "$repo_root/.deps/cuobjdump/nvidia/*/bin/cuobjdump" | head -n1 || true)"
    [ -n "$cuobjdump" ] || fail "no cuobjdump (scripts/install-deps.sh provides one)"

    unshare -m --propagation private "$0" --inside || fail "the build without the toolkit failed"

    elves="$("$cuobjdump" --list-elf "$build/lumeth")" || fail "cuobjdump failed on $build/lumeth"
    ptxs="$("$cuobjdump" --list-ptx "$build/lumeth")" || fail "cuobjdump failed on $build/lumeth"
    machine_code="sm_75 sm_80 sm_86 sm_90 sm_100 sm_120"
    for arch in $machine_code; do
        grep -q "\.$arch\.cubin$" <<<"$elves" || fail "no $arch machine code in $build/lumeth"
    done
    grep -q '\.sm_86\.ptx$' <<<"$ptxs" || fail "no compute_86 PTX in $build/lumeth"
    newest="$(sed -n 's/.*\.sm_\([0-9]*\)\.ptx$/\1/p' <<<"$ptxs" | sort -n | tail -n1)"
    [ "${newest:-0}" -ge 120 ] || fail "no PTX for compute capability 12.0 or newer in $build/lumeth"
    say "PASS: $build/lumeth, built with the fetched compiler, carries $machine_code machine code and compute_86 and compute_$newest PTX"
    exit 0
fi

# --- In the private namespace -------------------------------------------------------------------
empty="$(mktemp -d)"
for folder in /usr/local/cuda /usr/local/cuda-* /usr/local/nvvm /usr/local/targets; do
    [ -d "$folder" ] && mount --bind "$empty" "$folder"
done
# A standard folder that holds the compiler's programs (wrappers or copies) is replaced by one
# that links to everything else in it.
cuda_programs=" nvcc ptxas nvlink fatbinary cudafe++ bin2c __nvcc_device_query cuobjdump "
for folder in /usr/local/bin /usr/bin /bin; do
    [ -d "$folder" ] && [ ! -L "$folder" ] || continue
    found=0
    for program in $cuda_programs; do
        [ -e "$folder/$program" ] && found=1
    done
    [ "$found" -eq 1 ] || continue
    copy="$(mktemp -d)"
    for entry in "$folder"/* "$folder"/.[!.]*; do
        [ -e "$entry" ] || [ -L "$entry" ] || continue
        case "$cuda_programs" in *" ${entry##*/} "*) continue ;; esac
        ln -s "$entry" "$copy/${entry##*/}"
    done
    mount --bind "$copy" "$folder"
done
unset CUDACXX CUDA_PATH CUDAToolkit_ROOT
hash -r
if command -v nvcc >/dev/null 2>&1; then
    fail "the CUDA toolkit is still visible: $(command -v nvcc)"
fi
say "the CUDA toolkit is hidden"

LUMETH_FETCH_CUDA=1 "$repo_root/scripts/install-deps.sh"

mkdir -p "$repo_root/build"
rm -rf "$build"
cmake -S "$repo_root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DLUMETH_BUILD_TESTS=OFF \
    -DLUMETH_BUILD_RECORD=OFF >"$build.configure.log" 2>&1 ||
    { tail -n 20 "$build.configure.log"; fail "configure failed (log: $build.configure.log)"; }
grep 'lumeth: CUDA compiler:' "$build.configure.log"
grep -q "lumeth: CUDA compiler: .*from NVIDIA's packages" "$build.configure.log" ||
    fail "the configure step did not take the fetched compiler"
grep -q 'lumeth: CUDA path ON' "$build.configure.log" || fail "no CUDA path"
cmake --build "$build" --target lumeth -j "$build_jobs"
