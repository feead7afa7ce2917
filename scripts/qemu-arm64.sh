#!/usr/bin/env bash
# Runs an arm64 Linux program under qemu-aarch64-static with the arm64 sysroot as its library
# root: the emulator the arm64 build's tests run through (CMAKE_CROSSCOMPILING_EMULATOR).
#   scripts/qemu-arm64.sh program [arguments...]
# The sysroot is .deps/arm64/sysroot unless LUMETH_ARM64_SYSROOT names another;
# scripts/build-arm64.sh makes it. The programs find SDL3 through their run path (the build
# folder's own), and the rest of their libraries, the C library included, in the sysroot.
set -euo pipefail

sysroot="${LUMETH_ARM64_SYSROOT:-$(cd "$(dirname "$0")/.." && pwd)/.deps/arm64/sysroot}"
if ! command -v qemu-aarch64-static >/dev/null 2>&1; then
    echo "qemu-arm64.sh: no qemu-aarch64-static found (install Debian's qemu-user-static package)" >&2
    exit 127
fi
if [ ! -e "$sysroot/lib/ld-linux-aarch64.so.1" ]; then
    echo "qemu-arm64.sh: no arm64 sysroot at $sysroot (run scripts/build-arm64.sh)" >&2
    exit 127
fi
exec qemu-aarch64-static -L "$sysroot" "$@"
