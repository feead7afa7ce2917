#!/usr/bin/env bash
# Installs everything needed to build and test the project on Debian 12
# (bookworm), and provides SDL3 3.2.x.
#
# Safe to run again: packages are only installed when `dpkg -s` reports them
# missing, and SDL3 is only built when no SDL3 CMake package is found, so a
# second run does no apt work and no compiling.
#
# SDL3 is not packaged for bookworm. When the machine has none, its source
# package is downloaded from Debian trixie through a private apt configuration
# kept under build/_deps/apt/ (the machine's own apt sources, preferences and
# keyrings are never touched), built with CMake + Ninja and installed into the
# git-ignored prefix .deps/sdl3 at the repository root.
#
# Environment:
#   SDL3_BUILD_JOBS  parallel compile jobs for the SDL3 build (default 2)
set -euo pipefail

msg() { printf '[install-deps] %s\n' "$*"; }
die() {
    printf '[install-deps] ERROR: %s\n' "$*" >&2
    exit 1
}
trap 'die "command failed (line $LINENO): $BASH_COMMAND"' ERR

# The repository root is the parent of the folder holding this script, so the
# script can be started from any working directory.
SCRIPT_DIR="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
REPO_ROOT="$(cd "$SCRIPT_DIR/.." && pwd)"

SDL3_PREFIX="$REPO_ROOT/.deps/sdl3"
DEPS_BUILD="$REPO_ROOT/build/_deps"
APT_PRIVATE="$DEPS_BUILD/apt"
SDL3_SRC_ROOT="$DEPS_BUILD/sdl3-src"
SDL3_BUILD_DIR="$DEPS_BUILD/sdl3-build"
JOBS="${SDL3_BUILD_JOBS:-2}"

export DEBIAN_FRONTEND=noninteractive

# Root runs apt directly; anyone else needs sudo, which is only looked up when
# apt actually has work to do.
as_root() {
    if [ "$(id -u)" -eq 0 ]; then
        "$@"
    elif command -v sudo >/dev/null 2>&1; then
        sudo DEBIAN_FRONTEND=noninteractive "$@"
    else
        die "root privileges are needed to run: $*"
    fi
}

# ---------------------------------------------------------------------------
# 1. Debian packages
# ---------------------------------------------------------------------------
PACKAGES=(
    # toolchain (g++ brings gcc and libgomp, the OpenMP runtime)
    cmake ninja-build g++ make pkg-config binutils
    # unit tests
    libgtest-dev
    # X11 development files for SDL3's X11 video driver: Xlib and Xext are
    # required, the rest enable optional features (cursors, XInput2, XRandR
    # display modes, XFixes pointer barriers, screensaver control, XTest)
    libx11-dev libxext-dev libxrandr-dev libxcursor-dev libxi-dev
    libxfixes-dev libxss-dev libxtst-dev
    # FFmpeg's libraries for lumeth-record (encoders, containers, pixel conversion);
    # ffmpeg-doc carries the API examples
    libavcodec-dev libavformat-dev libswscale-dev libavutil-dev ffmpeg-doc
    # headless X server and tools used by window tests; xvfb-run needs xauth,
    # which xvfb only recommends
    xvfb xauth xdotool x11-utils
    # dpkg-source, used to unpack the SDL3 source package; xz-utils for the
    # .tar.xz parts of that package
    dpkg-dev xz-utils
)

missing=()
for pkg in "${PACKAGES[@]}"; do
    # `dpkg -s` also succeeds for removed-but-not-purged packages, so the
    # status line is checked for an actual installation.
    if ! dpkg -s "$pkg" 2>/dev/null | grep -q '^Status: install ok installed$'; then
        missing+=("$pkg")
    fi
done

if [ "${#missing[@]}" -gt 0 ]; then
    msg "installing missing packages: ${missing[*]}"
    # Waits for the dpkg lock instead of failing if another apt run is active.
    as_root apt-get -o DPkg::Lock::Timeout=600 update -q ||
        die "apt-get update failed"
    as_root apt-get -o DPkg::Lock::Timeout=600 install -y -q \
        --no-install-recommends "${missing[@]}" ||
        die "apt-get install failed for: ${missing[*]}"
else
    msg "all Debian packages already installed"
fi

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
# 2b. cuobjdump, for the build check of the device code (CUDA builds only)
# ---------------------------------------------------------------------------
# The CUDA compiler packages here come without cuobjdump; PyPI carries it. It
# goes into .deps/cuobjdump; without it the check falls back to reading the
# embedded device image with objcopy.
CUOBJDUMP_PREFIX="$REPO_ROOT/.deps/cuobjdump"
if { command -v nvcc >/dev/null 2>&1 || [ -x /usr/local/cuda/bin/nvcc ]; } &&
    ! command -v cuobjdump >/dev/null 2>&1 && [ ! -x /usr/local/cuda/bin/cuobjdump ] &&
    ! compgen -G "$CUOBJDUMP_PREFIX/nvidia/*/bin/cuobjdump" >/dev/null; then
    if python3 -m pip --version >/dev/null 2>&1 &&
        python3 -m pip install -q --disable-pip-version-check --target "$CUOBJDUMP_PREFIX" \
            nvidia-cuda-cuobjdump >/dev/null 2>&1; then
        msg "cuobjdump installed into .deps/cuobjdump"
    else
        rm -rf "$CUOBJDUMP_PREFIX"
        msg "cuobjdump not available (pip install nvidia-cuda-cuobjdump failed); the device-code check reads the image with objcopy instead"
    fi
fi

# ---------------------------------------------------------------------------
# 3. SDL3
# ---------------------------------------------------------------------------

# Prints the folder holding an SDL3 CMake package config, if any.
find_sdl3_config_dir() {
    local dir
    for dir in "$@"; do
        if [ -f "$dir/SDL3Config.cmake" ] || [ -f "$dir/sdl3-config.cmake" ]; then
            printf '%s\n' "$dir"
            return 0
        fi
    done
    return 1
}

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
# the shared library; a half-finished install is never left there (see the
# staged install below), but a prefix partly deleted by hand is rebuilt.
if dir="$(find_sdl3_config_dir "$SDL3_PREFIX/lib/cmake/SDL3")" &&
    compgen -G "$SDL3_PREFIX/lib/libSDL3.so*" >/dev/null; then
    msg "SDL3 already built in $SDL3_PREFIX; nothing to build"
    exit 0
fi

msg "SDL3 not found; building it from Debian trixie's source package"

# --- private apt setup for the trixie source index --------------------------
mkdir -p "$APT_PRIVATE/lists/partial" "$APT_PRIVATE/cache/archives/partial" \
    "$APT_PRIVATE/state" "$APT_PRIVATE/sources.list.d" \
    "$APT_PRIVATE/preferences.d" "$APT_PRIVATE/trusted.gpg.d"
PRIVATE_LIST="$APT_PRIVATE/sources.list"

# Every path apt reads or writes is redirected into $APT_PRIVATE, so the
# machine's sources, pins and trusted keys are neither used nor modified.
# The sandbox user is root because _apt may not be able to enter the checkout
# (for example one under /root); the downloads land in our own folders only.
APT_PRIVATE_OPTS=(
    -o "Dir::Etc::SourceList=$PRIVATE_LIST"
    -o "Dir::Etc::SourceParts=$APT_PRIVATE/sources.list.d"
    -o "Dir::Etc::Preferences=$APT_PRIVATE/preferences"
    -o "Dir::Etc::PreferencesParts=$APT_PRIVATE/preferences.d"
    -o "Dir::Etc::Trusted=$APT_PRIVATE/trusted.gpg"
    -o "Dir::Etc::TrustedParts=$APT_PRIVATE/trusted.gpg.d"
    -o "Dir::State=$APT_PRIVATE/state"
    -o "Dir::State::Lists=$APT_PRIVATE/lists"
    -o "Dir::Cache=$APT_PRIVATE/cache"
    -o "Dir::Cache::pkgcache="
    -o "Dir::Cache::srcpkgcache="
    -o "APT::Sandbox::User=root"
    -o "Acquire::Languages=none"
)

# Keyrings shipped by debian-archive-keyring. The Debian archive signs every
# suite's Release file with the current automatic signing keys, so trixie's
# Release verifies against bookworm's keyring; newer bookworm keyring
# updates also ship the trixie keys, which are added when present.
keyrings=()
for k in /usr/share/keyrings/debian-archive-keyring.gpg \
    /usr/share/keyrings/debian-archive-trixie-stable.gpg \
    /usr/share/keyrings/debian-archive-trixie-automatic.gpg; do
    if [ -f "$k" ]; then
        keyrings+=("$k")
    fi
done

write_private_list() {
    # $1: the options between [ ] of the deb-src line
    printf 'deb-src [%s] http://deb.debian.org/debian trixie main\n' "$1" \
        >"$PRIVATE_LIST"
}

# Runs the private `apt-get update`. Returns 0 when the trixie source index
# was fetched (and, unless $1 is "unverified", its signature verified), 2 when
# apt rejected the Release file's signature, and 1 on any other failure
# (network, mirror, ...). With [trusted=yes] apt still prints the signature
# warning, so that check is skipped in "unverified" mode.
private_update() {
    local log="$APT_PRIVATE/update.log" rc=0
    rm -rf "$APT_PRIVATE/lists"
    mkdir -p "$APT_PRIVATE/lists/partial"
    apt-get "${APT_PRIVATE_OPTS[@]}" update -q >"$log" 2>&1 || rc=$?
    if [ "${1:-}" != unverified ] && grep -Eq 'NO_PUBKEY|EXPKEYSIG|KEYEXPIRED|REVKEYSIG|BADSIG|GPG error|is not signed' "$log"; then
        sed 's/^/    /' "$log" >&2
        return 2
    fi
    # apt-get update can exit 0 while skipping a repository, so the index
    # file itself must be present as well.
    if [ "$rc" -ne 0 ] || ! compgen -G "$APT_PRIVATE/lists/*trixie*Sources*" >/dev/null; then
        sed 's/^/    /' "$log" >&2
        return 1
    fi
    return 0
}

verified=0
if [ "${#keyrings[@]}" -gt 0 ]; then
    signed_by="$(IFS=,; printf '%s' "${keyrings[*]}")"
    write_private_list "signed-by=$signed_by"
    msg "fetching the trixie source index (verified with: ${keyrings[*]})"
    rc=0
    private_update || rc=$?
    case "$rc" in
    0) verified=1 ;;
    2) msg "WARNING: trixie's Release signature cannot be verified with the local Debian keyrings" ;;
    *) die "could not fetch the trixie source index from deb.debian.org" ;;
    esac
else
    msg "WARNING: no Debian archive keyring under /usr/share/keyrings"
fi

if [ "$verified" -eq 0 ]; then
    # Last resort, reached only when no local Debian keyring holds a key that
    # signs trixie's Release file (for example after the archive has rotated
    # to keys newer than the installed keyring package). The trust override
    # applies to this private list alone; apt-get source still checks every
    # downloaded file against the sizes and hashes in the source index, and
    # dpkg-source checks them again against the .dsc.
    msg "WARNING: falling back to an unverified trixie source index ([trusted=yes], private list only)"
    write_private_list "trusted=yes"
    private_update unverified ||
        die "could not fetch the trixie source index from deb.debian.org"
fi

# --- download and unpack the source package ---------------------------------
mkdir -p "$SDL3_SRC_ROOT"
msg "downloading the libsdl3 source package into ${SDL3_SRC_ROOT#"$REPO_ROOT"/}"
(
    cd "$SDL3_SRC_ROOT"
    apt-get "${APT_PRIVATE_OPTS[@]}" -q \
        -o APT::Get::Only-Source=true source --download-only libsdl3
) || die "apt-get source libsdl3 failed"

# Newest .dsc in the folder (older downloads from earlier runs may remain).
dsc="$( (ls -1 "$SDL3_SRC_ROOT"/libsdl3_*.dsc 2>/dev/null || true) | sort -V | tail -n1)"
[ -n "$dsc" ] || die "no libsdl3 .dsc file was downloaded"
debver="$(sed -n 's/^Version: //p' "$dsc" | head -n1)"
upstream="${debver#*:}"
upstream="${upstream%%-*}"
upstream="${upstream%%+*}"
case "$upstream" in
3.2.*) ;;
*) die "trixie provides SDL3 $debver, but 3.2.x is required" ;;
esac
msg "SDL3 source package version $debver (upstream $upstream)"

src_dir="$SDL3_SRC_ROOT/libsdl3-$upstream"
# Always unpack afresh so a previously interrupted unpack cannot be reused.
rm -rf "$src_dir"
msg "unpacking $(basename "$dsc")"
(
    cd "$SDL3_SRC_ROOT"
    # No Debian developer keyring is installed, so dpkg-source can only warn
    # about the .dsc's OpenPGP signature; it still verifies every file's
    # size and checksums listed in the .dsc.
    dpkg-source -q -x "$(basename "$dsc")" "$(basename "$src_dir")"
) || die "dpkg-source could not unpack $dsc"
[ -f "$src_dir/CMakeLists.txt" ] || die "unpacked SDL3 source has no CMakeLists.txt"

# --- configure, build, install ----------------------------------------------
rm -rf "$SDL3_BUILD_DIR"
msg "configuring SDL3 $upstream (Release, shared, X11 + offscreen + dummy video)"
# Wayland and KMS/DRM are turned off so the set of features does not depend on
# which optional development packages happen to be installed; the project
# only uses X11 and the offscreen/dummy drivers.
cmake -S "$src_dir" -B "$SDL3_BUILD_DIR" -G Ninja \
    -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$SDL3_PREFIX" \
    -DCMAKE_INSTALL_LIBDIR=lib \
    -DSDL_SHARED=ON -DSDL_STATIC=OFF \
    -DSDL_TESTS=OFF -DSDL_EXAMPLES=OFF -DSDL_TEST_LIBRARY=OFF \
    -DSDL_INSTALL=ON \
    -DSDL_X11=ON -DSDL_OFFSCREEN=ON -DSDL_DUMMYVIDEO=ON \
    -DSDL_WAYLAND=OFF -DSDL_KMSDRM=OFF \
    >"$DEPS_BUILD/sdl3-configure.log" 2>&1 || {
    tail -n 40 "$DEPS_BUILD/sdl3-configure.log" >&2
    die "SDL3 CMake configuration failed (full log: $DEPS_BUILD/sdl3-configure.log)"
}

# SDL silently drops a video driver whose development files are missing, so
# the generated configuration header is checked for the drivers we rely on.
build_cfg="$(find "$SDL3_BUILD_DIR" -name SDL_build_config.h -print -quit)"
[ -n "$build_cfg" ] || die "SDL_build_config.h not generated"
for drv in SDL_VIDEO_DRIVER_X11 SDL_VIDEO_DRIVER_OFFSCREEN SDL_VIDEO_DRIVER_DUMMY; do
    grep -Eq "^#define $drv( |$)" "$build_cfg" ||
        die "SDL3 was configured without $drv (see $DEPS_BUILD/sdl3-configure.log)"
done

msg "building SDL3 with $JOBS parallel jobs (log: ${DEPS_BUILD#"$REPO_ROOT"/}/sdl3-build.log)"
start=$SECONDS
cmake --build "$SDL3_BUILD_DIR" --parallel "$JOBS" \
    >"$DEPS_BUILD/sdl3-build.log" 2>&1 || {
    tail -n 40 "$DEPS_BUILD/sdl3-build.log" >&2
    die "SDL3 build failed (full log: $DEPS_BUILD/sdl3-build.log)"
}
msg "SDL3 built in $((SECONDS - start)) s"

# Install into a staging folder first and move it into place in one step, so
# an interrupted install never leaves a prefix that looks complete. SDL3's
# CMake files locate the prefix relative to themselves, and the pkg-config
# file already names the final prefix, so the move keeps both valid.
stage="$DEPS_BUILD/sdl3-stage"
rm -rf "$stage"
DESTDIR="$stage" cmake --install "$SDL3_BUILD_DIR" >/dev/null ||
    die "SDL3 install failed"
[ -d "$stage$SDL3_PREFIX" ] || die "SDL3 install did not populate $stage$SDL3_PREFIX"
rm -rf "$SDL3_PREFIX"
mkdir -p "$(dirname "$SDL3_PREFIX")"
mv "$stage$SDL3_PREFIX" "$SDL3_PREFIX"
rm -rf "$stage"

find_sdl3_config_dir "$SDL3_PREFIX/lib/cmake/SDL3" >/dev/null ||
    die "installed SDL3 has no CMake config under $SDL3_PREFIX/lib/cmake/SDL3"
msg "SDL3 $upstream installed in $SDL3_PREFIX"
msg "use it with: cmake -DCMAKE_PREFIX_PATH=$SDL3_PREFIX ..."
