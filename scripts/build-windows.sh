#!/usr/bin/env bash
# Builds the Windows programs on Debian 12 with MinGW-w64: build/windows/lumeth.exe and
# lumeth-bench.exe, with SDL3.dll and the compiler's runtime DLLs beside them, and the Windows
# builds of the tests. Their GPU path is the CUDA driver API's, with the kernels' fat binary
# compiled by this machine's nvcc: the CUDA toolkit's, or NVIDIA's compiler packages fetched
# into .deps where there is no toolkit, so that the zip always carries the GPU path; if neither
# can be had, the build stops with one line (there is no CUDA runtime path: nvcc on Windows
# needs Visual Studio).
#
# Installs what is missing (the MinGW-w64 C++ compiler with POSIX threads, wine64 to run the
# tests), cross-builds SDL3 from the same Debian source package as the Linux build (see
# deps-lib.sh) and GoogleTest from the machine's source tree, each into a prefix under
# .deps/mingw-w64/ that is reused while complete, and creates the wine prefix build/wine.
# Safe to run again: a second run only rebuilds what changed.
#
# Then:  ctest --preset windows-mingw     (the tests, under wine)
#        scripts/wine.sh build/windows/lumeth.exe
#        cpack --config build/windows/CPackConfig.cmake   (the zip, into build/windows/packages)
set -euo pipefail

DEPS_TAG=build-windows
# shellcheck source-path=SCRIPTDIR source=deps-lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/deps-lib.sh"
# shellcheck source-path=SCRIPTDIR source=common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
trap 'die "command failed (line $LINENO): $BASH_COMMAND"' ERR

toolchain="$repo_root/cmake/mingw-w64-x86_64.cmake"
deps_prefix="$repo_root/.deps/mingw-w64"
jobs="${SDL3_BUILD_JOBS:-2}"

ensure_packages g++-mingw-w64-x86-64-posix wine64 cmake ninja-build dpkg-dev xz-utils \
    libgtest-dev python3

# --- The CUDA compiler (see deps-lib.sh) --------------------------------------------------------
ensure_cuda_compiler required
# NVRTC, which compiles the driver API path's images for older drivers and GPUs.
ensure_nvrtc required

# --- SDL3 ---------------------------------------------------------------------------------------
# The source package has no precompiled Direct3D shaders, so SDL's Direct3D renderers are left
# out; the OpenGL, Vulkan and software renderers remain.
sdl3_prefix="$deps_prefix/sdl3"
if [ -f "$sdl3_prefix/bin/SDL3.dll" ] &&
    find_sdl3_config_dir "$sdl3_prefix/cmake" "$sdl3_prefix/lib/cmake/SDL3" >/dev/null; then
    msg "SDL3 for Windows already built in $sdl3_prefix"
else
    fetch_sdl3_source
    msg "configuring SDL3 $SDL3_UPSTREAM for Windows (MinGW-w64, shared)"
    cmake_configure sdl3-mingw "$SDL3_SOURCE_DIR" "$DEPS_BUILD/sdl3-mingw-build" \
        -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
        -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_INSTALL_PREFIX="$sdl3_prefix" \
        -DSDL_SHARED=ON -DSDL_STATIC=OFF \
        -DSDL_TESTS=OFF -DSDL_EXAMPLES=OFF -DSDL_TEST_LIBRARY=OFF \
        -DSDL_INSTALL=ON \
        -DSDL_RENDER_D3D=OFF -DSDL_RENDER_D3D11=OFF -DSDL_RENDER_D3D12=OFF
    build_and_install sdl3-mingw "$DEPS_BUILD/sdl3-mingw-build" "$sdl3_prefix" "$jobs"
    [ -f "$sdl3_prefix/bin/SDL3.dll" ] || die "the SDL3 build installed no bin/SDL3.dll"
fi

# --- GoogleTest ---------------------------------------------------------------------------------
gtest_prefix="$deps_prefix/googletest"
gtest_source=/usr/src/googletest
if compgen -G "$gtest_prefix/lib/cmake/GTest/GTestConfig.cmake" >/dev/null; then
    msg "GoogleTest for Windows already built in $gtest_prefix"
else
    [ -f "$gtest_source/CMakeLists.txt" ] || die "no GoogleTest source tree at $gtest_source"
    cmake_configure googletest-mingw "$gtest_source" "$DEPS_BUILD/googletest-mingw-build" \
        -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
        -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_INSTALL_PREFIX="$gtest_prefix" \
        -DCMAKE_INSTALL_LIBDIR=lib \
        -DBUILD_GMOCK=OFF -DINSTALL_GTEST=ON
    build_and_install googletest-mingw "$DEPS_BUILD/googletest-mingw-build" "$gtest_prefix" "$jobs"
fi

# --- The wine prefix ----------------------------------------------------------------------------
# Created once (its first start takes a while); the tests then reuse it.
if [ ! -f "$repo_root/build/wine/system.reg" ]; then
    msg "creating the wine prefix build/wine"
    mkdir -p "$repo_root/build"
    WINEPREFIX="$repo_root/build/wine" "$repo_root/scripts/wine.sh" wineboot -i >/dev/null 2>&1 ||
        die "wineboot could not create the wine prefix"
    WINEPREFIX="$repo_root/build/wine" "$repo_root/scripts/wine.sh" --server -w
fi

# --- The programs and tests ---------------------------------------------------------------------
configure_and_build windows-mingw
# The NVIDIA driver of a hybrid-graphics laptop reads NvOptimusEnablementCuda from the
# executable's export table.
python3 "$repo_root/tests/pe_export.py" NvOptimusEnablementCuda 1 \
    "$repo_root/build/windows/lumeth.exe" "$repo_root/build/windows/lumeth-bench.exe" ||
    die "the programs do not export NvOptimusEnablementCuda = 1"
# They must start without an NVIDIA driver: no CUDA library among their imports.
python3 "$repo_root/tests/pe_imports.py" \
    "$repo_root/build/windows/lumeth.exe" "$repo_root/build/windows/lumeth-bench.exe" ||
    die "the programs import a CUDA library"
msg "built $repo_root/build/windows/lumeth.exe and lumeth-bench.exe"
