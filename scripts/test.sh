#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test: first the normal build
# (with the CUDA path: the toolkit's compiler, or NVIDIA's compiler packages fetched where there
# is no toolkit, so that the Debian package carries the GPU path; GPU tests report themselves
# skipped without a device; the package is built and checked; the pages' commands run,
# tests/docs_commands.py), then, as root, the Debian package installed into a fresh Debian 12
# root and run there (tests/e2e/package_root.sh), then the CPU code under
# AddressSanitizer and UndefinedBehaviorSanitizer, then the Windows build (MinGW-w64) with its
# tests, window tests and zip under wine, then the 64-bit ARM Linux build (aarch64 GCC) with its
# tests and window tests under qemu, and, as root, the GPU build with the toolkit hidden
# (scripts/check-fetched-cuda.sh).
set -euo pipefail
source "$(dirname "$0")/common.sh"

# stage <title> <command...>: one stage, its title before and its time after.
stage() {
    local title="$1" start=$SECONDS
    shift
    echo "== $title"
    "$@"
    echo "== $title: $((SECONDS - start)) s"
}
in_repo() { (cd "$repo_root" && "$@"); }
release_stage() { configure_and_build release && in_repo ctest --preset release; }
sanitize_stage() { configure_and_build sanitize && in_repo ctest --preset sanitize; }
windows_stage() { "$repo_root/scripts/build-windows.sh" && in_repo ctest --preset windows-mingw; }
arm64_stage() { "$repo_root/scripts/build-arm64.sh" && in_repo ctest --preset linux-arm64; }
fetched_cuda_stage() {
    if [ "$(id -u)" -eq 0 ]; then
        "$repo_root/scripts/check-fetched-cuda.sh"
    else
        echo "skipped: hiding the toolkit needs root (a private mount namespace)"
    fi
}

stage "Set-up" env LUMETH_SETUP_CALLER=test.sh "$repo_root/scripts/install-deps.sh" --tests --gpu-required
stage "Release build and all tests" release_stage
stage "The Debian package in a fresh Debian 12 root (as root, with Debian's archive)" \
    "$repo_root/tests/e2e/package_root.sh" "$repo_root/build/packages/lumeth_1.0_$(dpkg --print-architecture).deb"
stage "Sanitizer build (address, undefined) and the tests that need no window" sanitize_stage
stage "Windows build (MinGW-w64) and its tests under wine" windows_stage
stage "Linux arm64 build (aarch64 GCC) and its tests under qemu" arm64_stage
stage "GPU build with the fetched CUDA compiler, the toolkit hidden" fetched_cuda_stage
echo "== All stages: $SECONDS s"
