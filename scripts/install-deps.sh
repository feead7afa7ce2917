#!/usr/bin/env bash
# Installs what building the project on Debian 12 (bookworm) needs, with the options below
# also what the recorder and the tests need, and provides SDL3 3.2.x.
#
# Safe to run again: packages are only installed when `dpkg -s` reports them
# missing, and SDL3 is only built when no SDL3 CMake package is found, so a
# second run does no apt work and no compiling.
#
# SDL3 is not packaged for bookworm. When the machine has none, its source
# package is downloaded from Debian trixie (see deps-lib.sh), built with CMake +
# Ninja and installed into the git-ignored prefix .deps/sdl3 at the repository
# root.
#
# The CUDA compiler: where no CUDA toolkit is installed (nvcc from $CUDACXX, the
# PATH or /usr/local/cuda) and the machine has an NVIDIA GPU or driver, NVIDIA's
# PyPI packages of the compiler, pinned with their hashes in
# cuda-compiler-requirements.txt, are unpacked into .deps/cuda-<version>, where
# the build finds them. One line says which compiler the build will use. A
# failed fetch leaves nothing behind and the build goes on without a GPU path.
#
# Usage: scripts/install-deps.sh [--record] [--tests] [--gpu-required]
#   (none)           what building and running lumeth and lumeth-bench needs
#   --record         also what lumeth-record needs, and the Python modules of the
#                    scripts that read its files (plot_snapshot.py, animation.py)
#   --tests          also what only the tests, the packages and their checks need
#                    (implies --record)
#   --gpu-required   for the builds that make packages: fetch the compiler
#                    whenever no toolkit is installed, and fail if none can be had
#                    or the one found is refused (cmake/cuda_compiler.cmake's rule)
#
# Environment:
#   SDL3_BUILD_JOBS       parallel compile jobs for the SDL3 build (default 2)
#   LUMETH_FETCH_CUDA     1: fetch the CUDA compiler whenever no toolkit is installed,
#                         even without an NVIDIA GPU or driver; 0: never fetch it
#   LUMETH_SETUP_CALLER   set by the project's scripts that run this one (build.sh, test.sh,
#                         carry-googletest.sh): no hint on how to point CMake at SDL3, which
#                         they do not need
set -euo pipefail

DEPS_TAG=install-deps
# shellcheck source-path=SCRIPTDIR source=deps-lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/deps-lib.sh"
trap 'die "command failed (line $LINENO): $BASH_COMMAND"' ERR

gpu_required=""
want_record=0
want_tests=0
for argument in "$@"; do
    case "$argument" in
    --record) want_record=1 ;;
    --tests) want_record=1 want_tests=1 ;;
    --gpu-required) gpu_required=required ;;
    *) die "unknown argument '$argument' (usage: scripts/install-deps.sh [--record] [--tests] [--gpu-required])" ;;
    esac
done

REPO_ROOT="$DEPS_REPO_ROOT"
SDL3_PREFIX="$REPO_ROOT/.deps/sdl3"
SDL3_BUILD_DIR="$DEPS_BUILD/sdl3-build"
JOBS="${SDL3_BUILD_JOBS:-2}"

# ---------------------------------------------------------------------------
# 1. Debian packages
# ---------------------------------------------------------------------------
# Three sets: the run command's (scripts/run.sh) stays small, so that a fresh machine reaches
# the window quickly; the recorder's and the tests' come with the commands that need them.
PACKAGES=(
    # toolchain (g++ brings gcc and libgomp, the OpenMP runtime)
    cmake ninja-build g++ make pkg-config binutils
    # X11 development files for SDL3's X11 video driver: Xlib and Xext are
    # required, the rest enable optional features (cursors, XInput2, XRandR
    # display modes, XFixes pointer barriers, screensaver control, XTest)
    libx11-dev libxext-dev libxrandr-dev libxcursor-dev libxi-dev
    libxfixes-dev libxss-dev libxtst-dev
    # dpkg-source, used to unpack the SDL3 source package; xz-utils for the
    # .tar.xz parts of that package
    dpkg-dev xz-utils
)
RECORD_PACKAGES=(
    # FFmpeg's libraries for lumeth-record (encoders, containers, pixel conversion)
    libavcodec-dev libavformat-dev libswscale-dev libavutil-dev
    # HDF5's serial C library for lumeth-record's snapshots; h5py and matplotlib for
    # scripts/plot_snapshot.py, PyAV and Pillow for scripts/animation.py (Debian's python3,
    # /usr/bin/python3, has them)
    libhdf5-dev python3-h5py python3-numpy python3-matplotlib python3-av python3-pil
)
TEST_PACKAGES=(
    # unit tests
    libgtest-dev
    # headless X server and tools used by window tests; xvfb-run needs xauth,
    # which xvfb only recommends
    xvfb xauth xdotool x11-utils
    # a window manager for the test on a screen smaller than the window (it fits the
    # window into the screen, as a desktop does)
    openbox
    # checks of the Debian package that CPack builds, and the minimal Debian root the
    # package is installed into
    lintian debootstrap
    # the generator of the tests' high-precision reference table
    # (tests/data/physics_reference.py; the build only reads the table it writes)
    python3-mpmath
)
[ "$want_record" = 0 ] || PACKAGES+=("${RECORD_PACKAGES[@]}")
[ "$want_tests" = 0 ] || PACKAGES+=("${TEST_PACKAGES[@]}")

ensure_packages "${PACKAGES[@]}"

# ---------------------------------------------------------------------------
# 2. .gitignore entries for the build area and the dependency prefix
# ---------------------------------------------------------------------------
GITIGNORE="$REPO_ROOT/.gitignore"
for entry in /build/ /.deps/; do
    if ! { [ -f "$GITIGNORE" ] && grep -qxF "$entry" "$GITIGNORE"; }; then
        # Keep the file newline-terminated before appending.
        if [ -s "$GITIGNORE" ] && [ -n "$(tail -c1 "$GITIGNORE")" ]; then
            printf '\n' >>"$GITIGNORE"
        fi
        printf '%s\n' "$entry" >>"$GITIGNORE"
        msg "added $entry to .gitignore"
    fi
done

# ---------------------------------------------------------------------------
# 2b. The CUDA compiler: the toolkit's, or NVIDIA's packages (see deps-lib.sh)
# ---------------------------------------------------------------------------
ensure_cuda_compiler $gpu_required
# NVRTC, which compiles the driver API path's images for older drivers and GPUs (deps-lib.sh).
ensure_nvrtc $gpu_required

# ---------------------------------------------------------------------------
# 2c. cuobjdump, for the build check of the device code (CUDA builds only)
# ---------------------------------------------------------------------------
# The CUDA compiler packages here come without cuobjdump and nvdisasm; PyPI
# carries them, pinned by version and hash in cuda-tools-requirements.txt. They
# go into .deps/cuobjdump; without cuobjdump the check falls back to reading the
# embedded device image with objcopy, without nvdisasm the benchmark's pair-loop
# counts are not rechecked.
CUOBJDUMP_PREFIX="$REPO_ROOT/.deps/cuobjdump"
cuda_compiler_rule
if [ -n "$CUDA_NVCC" ] &&
    ! { command -v cuobjdump && command -v nvdisasm; } >/dev/null 2>&1 &&
    ! { [ -x /usr/local/cuda/bin/cuobjdump ] && [ -x /usr/local/cuda/bin/nvdisasm ]; } &&
    ! compgen -G "$CUOBJDUMP_PREFIX/nvidia/*/bin/nvdisasm" >/dev/null; then
    # Installed beside the folder, which it replaces only when complete.
    tools_work="$(mktemp -d "$CUOBJDUMP_PREFIX.partial.XXXXXX")"
    if python3 -m pip --version >/dev/null 2>&1 &&
        python3 -m pip install -q --disable-pip-version-check --no-deps --only-binary=:all: \
            --require-hashes --target "$tools_work" \
            -r "$REPO_ROOT/scripts/cuda-tools-requirements.txt" >/dev/null 2>&1 &&
        rm -rf "$CUOBJDUMP_PREFIX" && mv "$tools_work" "$CUOBJDUMP_PREFIX"; then
        msg "cuobjdump and nvdisasm installed into .deps/cuobjdump"
    else
        rm -rf "$tools_work"
        msg "cuobjdump not available (pip install of cuda-tools-requirements.txt failed); the device-code check reads the image with objcopy instead"
    fi
fi

# ---------------------------------------------------------------------------
# 3. SDL3
# ---------------------------------------------------------------------------
MULTIARCH="$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null ||
    gcc -print-multiarch 2>/dev/null || echo x86_64-linux-gnu)"

if dir="$(find_sdl3_config_dir \
    "/usr/lib/$MULTIARCH/cmake/SDL3" /usr/lib/cmake/SDL3 \
    "/usr/local/lib/$MULTIARCH/cmake/SDL3" /usr/local/lib/cmake/SDL3 \
    /usr/local/lib64/cmake/SDL3 /usr/lib64/cmake/SDL3)"; then
    msg "SDL3 already installed on this machine ($dir); nothing to build"
    exit 0
fi

# The private prefix counts as complete only with both the config file and
# the shared library; a half-finished install is never left there (see
# build_and_install), but a prefix partly deleted by hand is rebuilt.
if dir="$(find_sdl3_config_dir "$SDL3_PREFIX/lib/cmake/SDL3")" &&
    compgen -G "$SDL3_PREFIX/lib/libSDL3.so*" >/dev/null; then
    msg "SDL3 already built in $SDL3_PREFIX; nothing to build"
    exit 0
fi

msg "SDL3 not found; building it from Debian trixie's source package"
fetch_sdl3_source

msg "configuring SDL3 $SDL3_UPSTREAM (Release, shared, video and renderer only: X11 + offscreen + dummy)"
configure_linux_sdl3 sdl3 "$SDL3_BUILD_DIR" "$SDL3_PREFIX"

build_and_install sdl3 "$SDL3_BUILD_DIR" "$SDL3_PREFIX" "$JOBS"

find_sdl3_config_dir "$SDL3_PREFIX/lib/cmake/SDL3" >/dev/null ||
    die "installed SDL3 has no CMake config under $SDL3_PREFIX/lib/cmake/SDL3"
msg "SDL3 $SDL3_UPSTREAM installed in $SDL3_PREFIX"
if [ -z "${LUMETH_SETUP_CALLER:-}" ]; then
    msg "use it with: cmake -DCMAKE_PREFIX_PATH=$SDL3_PREFIX ..."
fi
