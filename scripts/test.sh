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

LUMETH_SETUP_CALLER=test.sh "$repo_root/scripts/install-deps.sh" --tests --gpu-required

echo "== Release build and all tests"
configure_and_build release
(cd "$repo_root" && ctest --preset release)

echo "== The Debian package in a fresh Debian 12 root (as root, with Debian's archive)"
package_root_start=$SECONDS
"$repo_root/tests/e2e/package_root.sh" "$repo_root/build/packages/lumeth_1.0_$(dpkg --print-architecture).deb"
echo "== Package root stage: $((SECONDS - package_root_start)) s"

echo "== Sanitizer build (address, undefined) and the tests that need no window"
configure_and_build sanitize
(cd "$repo_root" && ctest --preset sanitize)

echo "== Windows build (MinGW-w64) and its tests under wine"
windows_start=$SECONDS
"$repo_root/scripts/build-windows.sh"
(cd "$repo_root" && ctest --preset windows-mingw)
echo "== Windows stage: $((SECONDS - windows_start)) s"

echo "== Linux arm64 build (aarch64 GCC) and its tests under qemu"
arm64_start=$SECONDS
"$repo_root/scripts/build-arm64.sh"
(cd "$repo_root" && ctest --preset linux-arm64)
echo "== arm64 stage: $((SECONDS - arm64_start)) s"

echo "== GPU build with the fetched CUDA compiler, the toolkit hidden"
if [ "$(id -u)" -eq 0 ]; then
    "$repo_root/scripts/check-fetched-cuda.sh"
else
    echo "skipped: hiding the toolkit needs root (a private mount namespace)"
fi
