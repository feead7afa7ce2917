#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test: first the normal build
# (CUDA path included when nvcc is present; GPU tests report themselves skipped without a
# device; the Debian package is built and checked), then the CPU code under AddressSanitizer
# and UndefinedBehaviorSanitizer, then the Windows build (MinGW-w64) with its tests, window
# tests and zip under wine.
set -euo pipefail
source "$(dirname "$0")/common.sh"

LUMETH_SETUP_CALLER=test.sh "$repo_root/scripts/install-deps.sh"

echo "== Release build and all tests"
configure_and_build release
(cd "$repo_root" && ctest --preset release)

echo "== Sanitizer build (address, undefined) and the tests that need no window"
configure_and_build sanitize
(cd "$repo_root" && ctest --preset sanitize)

echo "== Windows build (MinGW-w64) and its tests under wine"
windows_start=$SECONDS
"$repo_root/scripts/build-windows.sh"
(cd "$repo_root" && ctest --preset windows-mingw)
echo "== Windows stage: $((SECONDS - windows_start)) s"
