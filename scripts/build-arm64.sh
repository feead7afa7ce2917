#!/usr/bin/env bash
# Builds the 64-bit ARM Linux programs on Debian 12 (x86-64) with Debian's aarch64 GCC:
# build/arm64/lumeth, lumeth-record and lumeth-bench and the tests, which run here under
# qemu-aarch64-static (scripts/qemu-arm64.sh). Their GPU path is the CUDA driver API's, with the
# kernels' fat binary compiled by this machine's nvcc (as for Windows: no CUDA toolkit for arm64
# is needed): the CUDA toolkit's, or NVIDIA's compiler packages fetched into .deps where there is
# no toolkit, so that the package always carries the GPU path; if neither can be had, the build
# stops with one line.
#
# Installs what is missing (the cross compiler, qemu-user-static, Xvfb for the window tests),
# makes the arm64 sysroot from Debian 12's arm64 packages (arm64-sysroot.sh) and cross-builds
# SDL3 from the same Debian source package as the x86-64 build (deps-lib.sh), each into
# .deps/arm64/ and reused while complete. Safe to run again: a second run only rebuilds what
# changed.
#
# Then:  ctest --preset linux-arm64     (the tests, under qemu)
#        scripts/qemu-arm64.sh build/arm64/lumeth
set -euo pipefail

DEPS_TAG=build-arm64
# shellcheck source-path=SCRIPTDIR source=deps-lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/deps-lib.sh"
# shellcheck source-path=SCRIPTDIR source=arm64-sysroot.sh
source "$(dirname "${BASH_SOURCE[0]}")/arm64-sysroot.sh"
# shellcheck source-path=SCRIPTDIR source=common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
trap 'die "command failed (line $LINENO): $BASH_COMMAND"' ERR

toolchain="$repo_root/cmake/aarch64-linux-gnu.cmake"
deps_prefix="$repo_root/.deps/arm64"
jobs="${SDL3_BUILD_JOBS:-2}"

ensure_packages g++-aarch64-linux-gnu qemu-user-static cmake ninja-build dpkg-dev xz-utils \
    pkg-config debian-archive-keyring xvfb xauth

# --- The CUDA compiler (see deps-lib.sh) --------------------------------------------------------
ensure_cuda_compiler required
# NVRTC, which compiles the driver API path's images for older drivers and GPUs.
ensure_nvrtc required

# --- The sysroot --------------------------------------------------------------------------------
ensure_arm64_sysroot "$deps_prefix/sysroot"

# --- SDL3 ---------------------------------------------------------------------------------------
sdl3_prefix="$deps_prefix/sdl3"
if compgen -G "$sdl3_prefix/lib/libSDL3.so*" >/dev/null &&
    find_sdl3_config_dir "$sdl3_prefix/lib/cmake/SDL3" >/dev/null; then
    msg "SDL3 for arm64 already built in $sdl3_prefix"
else
    fetch_sdl3_source
    msg "configuring SDL3 $SDL3_UPSTREAM for arm64 (shared, video and renderer only: X11 + offscreen + dummy)"
    configure_linux_sdl3 sdl3-arm64 "$DEPS_BUILD/sdl3-arm64-build" "$sdl3_prefix" \
        -DCMAKE_TOOLCHAIN_FILE="$toolchain"
    build_and_install sdl3-arm64 "$DEPS_BUILD/sdl3-arm64-build" "$sdl3_prefix" "$jobs"
fi

# --- The programs and tests ---------------------------------------------------------------------
configure_and_build linux-arm64
msg "built $repo_root/build/arm64/lumeth, lumeth-record and lumeth-bench"
