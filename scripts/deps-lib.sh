# Shared helpers of the dependency scripts (sourced, not run): messages, Debian packages
# installed when missing, and SDL3 3.2 built from Debian trixie's source package into a
# prefix. The sourcing script sets DEPS_TAG (the prefix of its messages) first.
#
# The source package is downloaded through a private apt configuration kept under
# build/_deps/apt/ (the machine's own apt sources, preferences and keyrings are never
# touched) and unpacked under build/_deps/sdl3-src/.

DEPS_REPO_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
DEPS_BUILD="$DEPS_REPO_ROOT/build/_deps"
APT_PRIVATE="$DEPS_BUILD/apt"
SDL3_SRC_ROOT="$DEPS_BUILD/sdl3-src"

export DEBIAN_FRONTEND=noninteractive

msg() { printf '[%s] %s\n' "${DEPS_TAG:-deps}" "$*"; }
die() {
    printf '[%s] ERROR: %s\n' "${DEPS_TAG:-deps}" "$*" >&2
    exit 1
}

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

# Installs those of the given Debian packages that are not installed yet.
ensure_packages() {
    local pkg missing=()
    for pkg in "$@"; do
        # `dpkg -s` also succeeds for removed-but-not-purged packages, so the
        # status line is checked for an actual installation.
        if ! dpkg -s "$pkg" 2>/dev/null | grep -q '^Status: install ok installed$'; then
            missing+=("$pkg")
        fi
    done
    if [ "${#missing[@]}" -eq 0 ]; then
        msg "all Debian packages already installed"
        return 0
    fi
    msg "installing missing packages: ${missing[*]}"
    # Waits for the dpkg lock instead of failing if another apt run is active.
    as_root apt-get -o DPkg::Lock::Timeout=600 update -q ||
        die "apt-get update failed"
    as_root apt-get -o DPkg::Lock::Timeout=600 install -y -q \
        --no-install-recommends "${missing[@]}" ||
        die "apt-get install failed for: ${missing[*]}"
}

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

# ---------------------------------------------------------------------------
# The SDL3 source package
# ---------------------------------------------------------------------------

# Every path apt reads or writes is redirected into $APT_PRIVATE, so the
# machine's sources, pins and trusted keys are neither used nor modified.
# The sandbox user is root because _apt may not be able to enter the checkout
# (for example one under /root); the downloads land in our own folders only.
PRIVATE_LIST="$APT_PRIVATE/sources.list"
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

# Fetches the trixie source index into the private apt configuration.
fetch_source_index() {
    mkdir -p "$APT_PRIVATE/lists/partial" "$APT_PRIVATE/cache/archives/partial" \
        "$APT_PRIVATE/state" "$APT_PRIVATE/sources.list.d" \
        "$APT_PRIVATE/preferences.d" "$APT_PRIVATE/trusted.gpg.d"

    # Keyrings shipped by debian-archive-keyring. The Debian archive signs every
    # suite's Release file with the current automatic signing keys, so trixie's
    # Release verifies against bookworm's keyring; newer bookworm keyring
    # updates also ship the trixie keys, which are added when present.
    local k keyrings=()
    for k in /usr/share/keyrings/debian-archive-keyring.gpg \
        /usr/share/keyrings/debian-archive-trixie-stable.gpg \
        /usr/share/keyrings/debian-archive-trixie-automatic.gpg; do
        if [ -f "$k" ]; then
            keyrings+=("$k")
        fi
    done

    local verified=0 rc signed_by
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
}

# Downloads and unpacks the libsdl3 source package (3.2.x required). Sets
# SDL3_SOURCE_DIR (the unpacked tree) and SDL3_UPSTREAM (its version).
fetch_sdl3_source() {
    fetch_source_index

    mkdir -p "$SDL3_SRC_ROOT"
    msg "downloading the libsdl3 source package into ${SDL3_SRC_ROOT#"$DEPS_REPO_ROOT"/}"
    (
        cd "$SDL3_SRC_ROOT"
        apt-get "${APT_PRIVATE_OPTS[@]}" -q \
            -o APT::Get::Only-Source=true source --download-only libsdl3
    ) || die "apt-get source libsdl3 failed"

    # Newest .dsc in the folder (older downloads from earlier runs may remain).
    local dsc debver upstream
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

    SDL3_UPSTREAM="$upstream"
    SDL3_SOURCE_DIR="$SDL3_SRC_ROOT/libsdl3-$upstream"
    # Always unpack afresh so a previously interrupted unpack cannot be reused.
    rm -rf "$SDL3_SOURCE_DIR"
    msg "unpacking $(basename "$dsc")"
    (
        cd "$SDL3_SRC_ROOT"
        # No Debian developer keyring is installed, so dpkg-source can only warn
        # about the .dsc's OpenPGP signature; it still verifies every file's
        # size and checksums listed in the .dsc.
        dpkg-source -q -x "$(basename "$dsc")" "$(basename "$SDL3_SOURCE_DIR")"
    ) || die "dpkg-source could not unpack $dsc"
    [ -f "$SDL3_SOURCE_DIR/CMakeLists.txt" ] || die "unpacked SDL3 source has no CMakeLists.txt"
}

# ---------------------------------------------------------------------------
# Building a CMake project into a prefix
# ---------------------------------------------------------------------------

# cmake_configure <name> <source> <build folder> [cmake options...]: a fresh
# configuration, logged to build/_deps/<name>-configure.log.
cmake_configure() {
    local name="$1" source="$2" folder="$3"
    shift 3
    rm -rf "$folder"
    cmake -S "$source" -B "$folder" -G Ninja "$@" >"$DEPS_BUILD/$name-configure.log" 2>&1 || {
        tail -n 40 "$DEPS_BUILD/$name-configure.log" >&2
        die "$name: CMake configuration failed (full log: $DEPS_BUILD/$name-configure.log)"
    }
}

# build_and_install <name> <build folder> <prefix> <jobs>: builds a configured
# folder and installs it into <prefix> (its CMAKE_INSTALL_PREFIX). The install
# goes into a staging folder first and is moved into place in one step, so an
# interrupted install never leaves a prefix that looks complete. CMake package
# files locate the prefix relative to themselves, and pkg-config files already
# name the final prefix, so the move keeps both valid.
build_and_install() {
    local name="$1" folder="$2" prefix="$3" jobs="$4" start=$SECONDS
    msg "building $name with $jobs parallel jobs (log: ${DEPS_BUILD#"$DEPS_REPO_ROOT"/}/$name-build.log)"
    cmake --build "$folder" --parallel "$jobs" >"$DEPS_BUILD/$name-build.log" 2>&1 || {
        tail -n 40 "$DEPS_BUILD/$name-build.log" >&2
        die "$name build failed (full log: $DEPS_BUILD/$name-build.log)"
    }
    msg "$name built in $((SECONDS - start)) s"

    local stage="$DEPS_BUILD/$name-stage"
    rm -rf "$stage"
    DESTDIR="$stage" cmake --install "$folder" >/dev/null || die "$name install failed"
    [ -d "$stage$prefix" ] || die "$name install did not populate $stage$prefix"
    rm -rf "$prefix"
    mkdir -p "$(dirname "$prefix")"
    mv "$stage$prefix" "$prefix"
    rm -rf "$stage"
}

# configure_linux_sdl3 <name> <build folder> <prefix> [cmake options...]: a fresh
# configuration of the unpacked SDL3 source for Linux, shared, with what the programs use:
# video (X11, and the offscreen and dummy drivers the tests use), events, the 2D renderer
# (OpenGL and software) and timers. Wayland and KMS/DRM are off, so the features do not depend
# on which optional development packages happen to be installed; audio, the GPU API and its
# renderer, Vulkan, OpenGL ES, camera, power, sensors and dialogs are left out. (Joysticks
# stay: SDL 3.2's joystick code links the virtual joystick driver, which needs HIDAPI, even
# when the subsystem is off.) SDL silently drops a video driver whose development files are
# missing, so the generated configuration header is checked for the drivers relied on.
configure_linux_sdl3() {
    local name="$1" folder="$2" prefix="$3"
    shift 3
    cmake_configure "$name" "$SDL3_SOURCE_DIR" "$folder" \
        -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_INSTALL_PREFIX="$prefix" \
        -DCMAKE_INSTALL_LIBDIR=lib \
        -DSDL_SHARED=ON -DSDL_STATIC=OFF \
        -DSDL_TESTS=OFF -DSDL_EXAMPLES=OFF -DSDL_TEST_LIBRARY=OFF \
        -DSDL_INSTALL=ON \
        -DSDL_X11=ON -DSDL_OFFSCREEN=ON -DSDL_DUMMYVIDEO=ON \
        -DSDL_WAYLAND=OFF -DSDL_KMSDRM=OFF \
        -DSDL_AUDIO=OFF -DSDL_GPU=OFF -DSDL_VULKAN=OFF -DSDL_OPENGLES=OFF -DSDL_CAMERA=OFF \
        -DSDL_POWER=OFF -DSDL_SENSOR=OFF -DSDL_DIALOG=OFF "$@"
    local build_cfg drv
    build_cfg="$(find "$folder" -name SDL_build_config.h -print -quit)"
    [ -n "$build_cfg" ] || die "$name: SDL_build_config.h not generated"
    for drv in SDL_VIDEO_DRIVER_X11 SDL_VIDEO_DRIVER_OFFSCREEN SDL_VIDEO_DRIVER_DUMMY; do
        grep -Eq "^#define $drv( |$)" "$build_cfg" ||
            die "$name was configured without $drv (see $DEPS_BUILD/$name-configure.log)"
    done
}

# ---------------------------------------------------------------------------
# The CUDA compiler
# ---------------------------------------------------------------------------
# Where no CUDA toolkit is installed, NVIDIA's PyPI packages of the compiler (pinned with their
# hashes in cuda-compiler-requirements.txt) are unpacked into .deps/cuda-<version>, which
# CMakeLists.txt uses when it finds no toolkit.

CUDA_REQUIREMENTS="$DEPS_REPO_ROOT/scripts/cuda-compiler-requirements.txt"
CUDA_VERSION_PINNED="$(sed -n 's/^nvidia-cuda-nvcc==\([0-9]*\.[0-9]*\)\..*/\1/p' "$CUDA_REQUIREMENTS")"
CUDA_TREE="$DEPS_REPO_ROOT/.deps/cuda-$CUDA_VERSION_PINNED"
# Written last into a complete tree: the requirements it was fetched from.
CUDA_TREE_STAMP=fetched-from-requirements.txt
# The origin the compiler rule names for that tree.
CUDA_FETCHED_ORIGIN="NVIDIA's packages that scripts/install-deps.sh fetched"

# cuda_compiler_rule: the CUDA compiler by the rule CMake follows (cmake/cuda_compiler.cmake,
# run as a script), in CUDA_NVCC, CUDA_RELEASE and CUDA_ORIGIN; CUDA_REFUSED says why the
# compiler found cannot be used (CUDA_NVCC is then empty). All empty when there is none.
cuda_compiler_rule() {
    local said line
    CUDA_NVCC="" CUDA_RELEASE="" CUDA_ORIGIN="" CUDA_REFUSED=""
    said="$(cmake -P "$DEPS_REPO_ROOT/cmake/cuda_compiler.cmake" 2>&1)" || {
        CUDA_REFUSED="cmake could not run the compiler rule: $(head -n1 <<<"$said")"
        return 0
    }
    while IFS= read -r line; do
        case "$line" in
        nvcc=*) CUDA_NVCC="${line#nvcc=}" ;;
        release=*) CUDA_RELEASE="${line#release=}" ;;
        origin=*) CUDA_ORIGIN="${line#origin=}" ;;
        refused=*) CUDA_REFUSED="${line#refused=}" ;;
        esac
    done <<<"$said"
}

# Whether the fetched tree is complete and fetched from today's requirements.
fetched_cuda_complete() {
    [ -x "$CUDA_TREE/bin/nvcc" ] && cmp -s "$CUDA_TREE/$CUDA_TREE_STAMP" "$CUDA_REQUIREMENTS"
}

# What says that the machine can run CUDA code (an NVIDIA GPU on the PCI bus, or the NVIDIA
# driver library); prints nothing when there is neither.
nvidia_hardware_or_driver() {
    local vendor
    for vendor in /sys/bus/pci/devices/*/vendor; do
        if [ -r "$vendor" ] && [ "$(cat "$vendor")" = 0x10de ]; then
            echo "an NVIDIA GPU"
            return 0
        fi
    done
    if { ldconfig -p 2>/dev/null || /sbin/ldconfig -p 2>/dev/null; } | grep -q '^[[:space:]]*libcuda\.so\.1[[:space:]]'; then
        echo "the NVIDIA driver"
        return 0
    fi
    return 1
}

# lock_beside <tree> <what>: takes the lock of a fetch into <tree> (<tree>.lock), in LOCK_FD, to
# be closed by the caller: a second set-up waits for the first (at most 30 minutes), then uses
# what it fetched; never two fetches into one tree.
lock_beside() {
    local tree="$1" what="$2" shown="${1#"$DEPS_REPO_ROOT"/}"
    mkdir -p "$(dirname "$tree")"
    exec {LOCK_FD}>"$tree.lock"
    if ! flock -n "$LOCK_FD"; then
        msg "another set-up is fetching $what into $shown: waiting for it"
        flock -w 1800 "$LOCK_FD" || {
            exec {LOCK_FD}>&-
            die "another set-up has held $shown.lock for 30 minutes; run this again when it has finished"
        }
    fi
}

# pip_install_beside <tree> <requirements> <log>: removes what interrupted fetches left beside
# <tree> (the caller holds the tree's lock, so no other fetch is writing there), then installs
# the pinned packages (pip checks every hash) into <work>/packages of a new temporary folder
# beside it, named in FETCH_WORK. Returns 1 with the reason in FETCH_ERROR, leaving nothing.
pip_install_beside() {
    local tree="$1" requirements="$2" log="$3" said
    FETCH_ERROR="" FETCH_WORK=""
    mkdir -p "$DEPS_BUILD" "$(dirname "$tree")"
    find "$(dirname "$tree")" -maxdepth 1 -name "${tree##*/}.partial.*" \
        -exec rm -rf {} + 2>/dev/null || true
    FETCH_WORK="$(mktemp -d "$tree.partial.XXXXXX")" || {
        FETCH_ERROR="no temporary folder could be made beside $tree"
        return 1
    }
    if ! python3 -m pip install --no-deps --only-binary=:all: --require-hashes --no-compile \
        --no-input --disable-pip-version-check --retries 2 --timeout 60 \
        --target "$FETCH_WORK/packages" -r "$requirements" >"$log" 2>&1; then
        # pip's first error line; for an exception (a full disk, say) the last system error.
        said="$(grep -m1 '^ERROR' "$log" | sed 's/^ERROR: //; s/\. .*//' || true)"
        if [ "$said" = "Exception:" ]; then
            said="$(grep -o "\[Errno [0-9]*\] [^:']*" "$log" | tail -n1)"
            [ -n "$said" ] || said="$(grep -v '^[[:space:]]*$' "$log" | tail -n1 | cut -c1-160)"
        fi
        FETCH_ERROR="pip failed: $said (log: ${log#"$DEPS_REPO_ROOT"/})"
        rm -rf "$FETCH_WORK"
        return 1
    fi
}

# rename_into_place <unpacked> <tree>: the complete <unpacked> (inside $FETCH_WORK) becomes
# <tree>; an older tree is moved aside first and removed once the new one is in place (put
# back if the rename fails). $FETCH_WORK is removed either way. Returns 1 with FETCH_ERROR.
rename_into_place() {
    local unpacked="$1" tree="$2"
    if [ -e "$tree" ] && ! mv "$tree" "$FETCH_WORK/previous"; then
        FETCH_ERROR="the older $tree could not be moved aside"
        rm -rf "$FETCH_WORK"
        return 1
    fi
    if ! mv "$unpacked" "$tree"; then
        FETCH_ERROR="the tree could not be renamed into $tree"
        [ -e "$FETCH_WORK/previous" ] && mv "$FETCH_WORK/previous" "$tree"
        rm -rf "$FETCH_WORK"
        return 1
    fi
    rm -rf "$FETCH_WORK"
}

# fetch_cuda_compiler (under the fetch lock of ensure_cuda_compiler): downloads the pinned
# packages (pip checks every wheel's hash) and unpacks them into a temporary folder beside $CUDA_TREE, adds the two links CMake needs
# (nvcc's profile looks in lib64, FindCUDAToolkit wants an unversioned libcudart.so), checks
# the tree and its nvcc, and only then renames it into place. A failure at any point leaves
# no tree behind (and an older complete one as it was). Returns 1 with the reason in
# CUDA_FETCH_ERROR.
fetch_cuda_compiler() {
    local work unpacked required
    CUDA_FETCH_ERROR=""
    if ! python3 -m pip --version >/dev/null 2>&1; then
        (ensure_packages python3 python3-pip) || true
    fi
    if ! python3 -m pip --version >/dev/null 2>&1; then
        CUDA_FETCH_ERROR="python3 with pip is needed to fetch it"
        return 1
    fi
    if ! pip_install_beside "$CUDA_TREE" "$CUDA_REQUIREMENTS" "$DEPS_BUILD/cuda-fetch.log"; then
        CUDA_FETCH_ERROR="$FETCH_ERROR"
        return 1
    fi
    work="$FETCH_WORK"
    unpacked="$(compgen -G "$work/packages/nvidia/cu*" | head -n1 || true)"
    for required in bin/nvcc nvvm/bin/cicc nvvm/libdevice include/cuda_runtime.h \
        lib/libcudart_static.a lib/libcudart.so."${CUDA_VERSION_PINNED%%.*}"; do
        if [ -z "$unpacked" ] || [ ! -e "$unpacked/$required" ]; then
            CUDA_FETCH_ERROR="the unpacked packages lack $required"
            rm -rf "$work"
            return 1
        fi
    done
    ln -s lib "$unpacked/lib64" &&
        ln -s "libcudart.so.${CUDA_VERSION_PINNED%%.*}" "$unpacked/lib/libcudart.so" &&
        cp "$CUDA_REQUIREMENTS" "$unpacked/$CUDA_TREE_STAMP" || {
        CUDA_FETCH_ERROR="the unpacked tree could not be completed"
        rm -rf "$work"
        return 1
    }
    if ! "$unpacked/bin/nvcc" --version 2>/dev/null | grep -q "release $CUDA_VERSION_PINNED,"; then
        CUDA_FETCH_ERROR="the unpacked nvcc does not run as CUDA $CUDA_VERSION_PINNED"
        rm -rf "$work"
        return 1
    fi
    rename_into_place "$unpacked" "$CUDA_TREE" || CUDA_FETCH_ERROR="$FETCH_ERROR"
    [ -z "$CUDA_FETCH_ERROR" ]
}

# ensure_cuda_compiler [required]: says in one line which CUDA compiler the build will use,
# its CUDA release and where it comes from (the rule of cuda_compiler_rule), fetching it when
# no toolkit is installed and
#   - LUMETH_FETCH_CUDA=1, or "required" is given (the builds that make packages), or
#   - LUMETH_FETCH_CUDA is unset or empty and the machine has an NVIDIA GPU or driver.
# LUMETH_FETCH_CUDA=0 never fetches. A fetched tree from other pins is fetched again. Without
# "required" a build without a GPU path is no failure: the line says so and why, and the
# function returns 0. With "required" it fails with one line when there is no usable compiler.
# One fetch at a time: a second set-up waits for the first (at most 30 minutes) under a lock
# beside the tree, then uses what it fetched.
ensure_cuda_compiler() {
    local required="${1:-}" reason="" why fetch=0 lock_fd
    local tree="${CUDA_TREE#"$DEPS_REPO_ROOT"/}"
    cuda_compiler_rule
    if [ -n "$CUDA_NVCC" ]; then
        msg "CUDA compiler: $CUDA_NVCC (CUDA $CUDA_RELEASE, from $CUDA_ORIGIN)"
        return 0
    fi
    # A refused compiler that the set-up did not fetch is the user's to mend.
    if [ -n "$CUDA_REFUSED" ] && [ "$CUDA_ORIGIN" != "$CUDA_FETCHED_ORIGIN" ]; then
        [ "$required" = required ] && die "CUDA compiler refused: $CUDA_REFUSED"
        msg "CUDA compiler: none ($CUDA_REFUSED); the build has no GPU path"
        return 0
    fi
    case "${LUMETH_FETCH_CUDA:-}" in
    0) why="LUMETH_FETCH_CUDA=0 turns the fetch off" ;;
    1) fetch=1 ;;
    "")
        if [ "$required" = required ]; then
            fetch=1
            reason=", which the packages need"
        elif reason="$(nvidia_hardware_or_driver)"; then
            fetch=1
            reason=", as this machine has $reason"
        else
            why="no NVIDIA GPU or driver on this machine; LUMETH_FETCH_CUDA=1 fetches the compiler anyway"
        fi
        ;;
    *) why="LUMETH_FETCH_CUDA=$LUMETH_FETCH_CUDA is neither 0 nor 1" ;;
    esac
    if [ "$fetch" -eq 1 ]; then
        lock_beside "$CUDA_TREE" "the CUDA compiler"
        lock_fd="$LOCK_FD"
        if fetched_cuda_complete; then
            cuda_compiler_rule
        else
            msg "no CUDA toolkit$reason: fetching NVIDIA's CUDA $CUDA_VERSION_PINNED compiler packages from PyPI into $tree"
            if fetch_cuda_compiler; then
                cuda_compiler_rule
            else
                CUDA_NVCC=""
                CUDA_REFUSED="fetching NVIDIA's compiler packages failed: $CUDA_FETCH_ERROR"
            fi
        fi
        exec {lock_fd}>&-
        if [ -n "$CUDA_NVCC" ]; then
            msg "CUDA compiler: $CUDA_NVCC (CUDA $CUDA_RELEASE, from $CUDA_ORIGIN)"
            return 0
        fi
        why="$CUDA_REFUSED"
    fi
    # A stale fetched tree that was not fetched again.
    [ "$fetch" -eq 1 ] || [ -z "$CUDA_REFUSED" ] || why="$CUDA_REFUSED; $why"
    if [ "$required" = required ]; then
        die "no CUDA compiler, and the packages must carry the GPU path ($why)"
    fi
    msg "CUDA compiler: none, no CUDA toolkit ($why); the build has no GPU path"
}

# ---------------------------------------------------------------------------
# NVRTC, for the driver API path's images for older drivers and GPUs
# ---------------------------------------------------------------------------
# NVIDIA's NVRTC package (pinned with its hash in nvrtc-requirements.txt) unpacked into
# .deps/nvrtc-<version> (include/nvrtc.h, lib/libnvrtc.so.<major>), which CMake
# (lumeth_find_nvrtc in cmake/cuda_images.cmake) uses when its stamp matches the pins.

NVRTC_REQUIREMENTS="$DEPS_REPO_ROOT/scripts/nvrtc-requirements.txt"
NVRTC_VERSION_PINNED="$(sed -n 's/^nvidia-cuda-nvrtc-cu[0-9]*==\([0-9]*\.[0-9]*\)\..*/\1/p' "$NVRTC_REQUIREMENTS" 2>/dev/null)"
NVRTC_TREE="$DEPS_REPO_ROOT/.deps/nvrtc-$NVRTC_VERSION_PINNED"

# Whether the NVRTC tree is complete and fetched from today's pins.
fetched_nvrtc_complete() {
    [ -f "$NVRTC_TREE/include/nvrtc.h" ] &&
        [ -f "$NVRTC_TREE/lib/libnvrtc.so.${NVRTC_VERSION_PINNED%%.*}" ] &&
        cmp -s "$NVRTC_TREE/$CUDA_TREE_STAMP" "$NVRTC_REQUIREMENTS"
}

# fetch_nvrtc (under the lock of ensure_nvrtc): pip installs the pinned package beside
# $NVRTC_TREE, checks it, stamps it and only then renames it into place. Returns 1 with the
# reason in NVRTC_FETCH_ERROR, leaving no tree behind (and an older one as it was).
fetch_nvrtc() {
    local unpacked required
    NVRTC_FETCH_ERROR=""
    if ! pip_install_beside "$NVRTC_TREE" "$NVRTC_REQUIREMENTS" "$DEPS_BUILD/nvrtc-fetch.log"; then
        NVRTC_FETCH_ERROR="$FETCH_ERROR"
        return 1
    fi
    unpacked="$FETCH_WORK/packages/nvidia/cuda_nvrtc"
    for required in include/nvrtc.h "lib/libnvrtc.so.${NVRTC_VERSION_PINNED%%.*}"; do
        if [ ! -e "$unpacked/$required" ]; then
            NVRTC_FETCH_ERROR="the unpacked package lacks $required"
            rm -rf "$FETCH_WORK"
            return 1
        fi
    done
    cp "$NVRTC_REQUIREMENTS" "$unpacked/$CUDA_TREE_STAMP" || {
        NVRTC_FETCH_ERROR="the unpacked tree could not be stamped"
        rm -rf "$FETCH_WORK"
        return 1
    }
    rename_into_place "$unpacked" "$NVRTC_TREE" || NVRTC_FETCH_ERROR="$FETCH_ERROR"
    [ -z "$NVRTC_FETCH_ERROR" ]
}

# ensure_nvrtc [required]: where the build has a CUDA compiler (CUDA_NVCC, from
# ensure_cuda_compiler), fetches NVRTC unless a complete tree from today's pins is there, under
# a lock beside the tree as the compiler's fetch. Without it the driver API path carries the
# nvcc images alone: a line says so, and with "required" (the builds that make packages) the
# set-up fails.
ensure_nvrtc() {
    local required="${1:-}" lock_fd tree="${NVRTC_TREE#"$DEPS_REPO_ROOT"/}"
    [ -n "${CUDA_NVCC:-}" ] || return 0
    if fetched_nvrtc_complete; then
        msg "NVRTC $NVRTC_VERSION_PINNED: $tree"
        return 0
    fi
    lock_beside "$NVRTC_TREE" NVRTC
    lock_fd="$LOCK_FD"
    NVRTC_FETCH_ERROR=""
    if ! fetched_nvrtc_complete; then
        msg "fetching NVIDIA's NVRTC $NVRTC_VERSION_PINNED from PyPI into $tree (the driver API path's images for drivers from R525 and GPUs from compute capability 6.0)"
        fetch_nvrtc || true
    fi
    exec {lock_fd}>&-
    if fetched_nvrtc_complete; then
        msg "NVRTC $NVRTC_VERSION_PINNED: $tree"
        return 0
    fi
    if [ "$required" = required ]; then
        die "no NVRTC, and the packages must carry its images ($NVRTC_FETCH_ERROR)"
    fi
    msg "NVRTC: none ($NVRTC_FETCH_ERROR); the driver API path carries the nvcc images alone"
}
