#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test: first the normal build
# (CUDA path included when nvcc is present; GPU tests report themselves skipped without a
# device), then the CPU code under AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
source "$(dirname "$0")/common.sh"

"$repo_root/scripts/install-deps.sh"

echo "== Release build and all tests"
configure_and_build "$repo_root/build" -DCMAKE_BUILD_TYPE=Release
ctest --test-dir "$repo_root/build" --output-on-failure

echo "== Sanitizer build (address, undefined) and the tests that need no window"
configure_and_build "$repo_root/build/sanitize" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DLUMETH_SANITIZE=ON -DLUMETH_ENABLE_CUDA=OFF
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir "$repo_root/build/sanitize" --output-on-failure -LE 'window|bench'
