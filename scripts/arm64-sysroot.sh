# shellcheck shell=bash
# The arm64 sysroot of the cross-build (sourced by build-arm64.sh, not run): Debian 12's arm64
# libraries that the programs and tests link against and run with under qemu, downloaded through
# a private apt configuration (arm64 the only architecture, an empty package database) and
# unpacked with `dpkg -x`, so that the machine's own dpkg database stays as it is: libhdf5-dev
# cannot be installed for two architectures beside each other.
#
# The sysroot holds the libraries' development files and their run-time closure (C library,
# libstdc++, libgomp included, for qemu-aarch64-static -L). The compiler's own C library and C++
# headers stay those of the cross toolchain (/usr/aarch64-linux-gnu, the same glibc 2.36 and GCC
# 12): their arm64 development packages are left out, so that no linker script in the sysroot
# names an absolute path of the build machine. Each unpacked package's control files go into a
# dpkg database of the sysroot's own (var/lib/dpkg), where dpkg-shlibdeps finds which package
# a library comes from: its file lists name the files under the sysroot's path, so a sysroot
# moved elsewhere is made again.

ARM64_APT="$DEPS_BUILD/apt-arm64"

# The development packages the build needs, for arm64 (the lists of install-deps.sh, less the
# tools that run on the build machine).
ARM64_PACKAGES=(
    libgtest-dev
    libx11-dev libxext-dev libxrandr-dev libxcursor-dev libxi-dev libxfixes-dev libxss-dev
    libxtst-dev
    libavcodec-dev libavformat-dev libswscale-dev libavutil-dev
    libhdf5-dev
    libgomp1 libstdc++6
)
# Packages the cross toolchain provides in its own form.
ARM64_TOOLCHAIN_PACKAGES='^(libc6-dev|linux-libc-dev|libcrypt-dev|libnsl-dev|libtirpc-dev|rpcsvc-proto|libstdc\+\+-[0-9]+-dev|libgcc-[0-9]+-dev|(gcc|cpp|g\+\+)(-[0-9]+)?)$'
# Written last into a complete sysroot: its path and the package list it was made from.
ARM64_SYSROOT_STAMP=lumeth-sysroot-packages

arm64_apt_options() {
    printf '%s\n' \
        -o "APT::Architecture=arm64" -o "APT::Architectures=arm64" \
        -o "Dir::Etc::SourceList=$ARM64_APT/sources.list" \
        -o "Dir::Etc::SourceParts=$ARM64_APT/sources.list.d" \
        -o "Dir::Etc::Preferences=$ARM64_APT/preferences" \
        -o "Dir::Etc::PreferencesParts=$ARM64_APT/preferences.d" \
        -o "Dir::Etc::TrustedParts=$ARM64_APT/trusted.gpg.d" \
        -o "Dir::State=$ARM64_APT/state" \
        -o "Dir::State::Lists=$ARM64_APT/lists" \
        -o "Dir::State::status=$ARM64_APT/state/status" \
        -o "Dir::Cache=$ARM64_APT/cache" \
        -o "Dir::Cache::pkgcache=" -o "Dir::Cache::srcpkgcache=" \
        -o "APT::Sandbox::User=root" -o "Acquire::Languages=none" \
        -o "pkgCacheGen::Essential=none" -o "APT::Install-Recommends=false"
}

# Absolute symbolic links inside the sysroot point at the build machine's own files: they are
# made relative to the sysroot.
relativize_sysroot_links() {
    local root="$1" link target
    while IFS= read -r -d '' link; do
        target="$(readlink "$link")"
        case "$target" in
        /*) ln -sfn "$(realpath -m --relative-to="$(dirname "$link")" "$root$target")" "$link" ;;
        esac
    done < <(find "$root" -type l -print0)
}

# ensure_arm64_sysroot <folder>: makes the sysroot unless a complete one from the same package
# list is there.
ensure_arm64_sysroot() {
    local root="$1" wanted
    wanted="$(printf '%s\n' "$root" "${ARM64_PACKAGES[@]}")"
    if [ -f "$root/$ARM64_SYSROOT_STAMP" ] && [ "$(cat "$root/$ARM64_SYSROOT_STAMP")" = "$wanted" ]; then
        msg "arm64 sysroot already made in $root"
        return 0
    fi
    local -a options
    mapfile -t options < <(arm64_apt_options)
    rm -rf "$ARM64_APT/lists" "$ARM64_APT/state"
    mkdir -p "$ARM64_APT/lists/partial" "$ARM64_APT/cache/archives/partial" \
        "$ARM64_APT/state" "$ARM64_APT/sources.list.d" "$ARM64_APT/preferences.d" \
        "$ARM64_APT/trusted.gpg.d"
    : >"$ARM64_APT/state/status"
    local keyring=/usr/share/keyrings/debian-archive-keyring.gpg
    [ -f "$keyring" ] || die "no Debian archive keyring at $keyring (package debian-archive-keyring)"
    {
        printf 'deb [arch=arm64 signed-by=%s] http://deb.debian.org/debian bookworm main\n' "$keyring"
        printf 'deb [arch=arm64 signed-by=%s] http://deb.debian.org/debian bookworm-updates main\n' "$keyring"
        printf 'deb [arch=arm64 signed-by=%s] http://deb.debian.org/debian-security bookworm-security main\n' "$keyring"
    } >"$ARM64_APT/sources.list"
    msg "fetching Debian 12's arm64 package index"
    apt-get "${options[@]}" update -q >"$ARM64_APT/update.log" 2>&1 || {
        tail -n 20 "$ARM64_APT/update.log" >&2
        die "could not fetch the arm64 package index (log: $ARM64_APT/update.log)"
    }
    msg "downloading the arm64 packages: ${ARM64_PACKAGES[*]} and what they need"
    apt-get "${options[@]}" install -y -q --download-only "${ARM64_PACKAGES[@]}" \
        >"$ARM64_APT/download.log" 2>&1 || {
        tail -n 20 "$ARM64_APT/download.log" >&2
        die "could not download the arm64 packages (log: $ARM64_APT/download.log)"
    }

    # Unpacked into a staging folder, moved into place when complete.
    local stage="$root.partial" deb name info entry
    rm -rf "$stage"
    mkdir -p "$stage/var/lib/dpkg/info"
    : >"$stage/var/lib/dpkg/status"
    # The database layout with architecture-qualified names (pkg:arm64.list).
    echo 1 >"$stage/var/lib/dpkg/info/format"
    for deb in "$ARM64_APT"/cache/archives/*_arm64.deb "$ARM64_APT"/cache/archives/*_all.deb; do
        [ -f "$deb" ] || continue
        name="$(dpkg-deb -f "$deb" Package)"
        if [[ "$name" =~ $ARM64_TOOLCHAIN_PACKAGES ]]; then
            continue
        fi
        entry="$name:arm64"
        if [ "$(dpkg-deb -f "$deb" Architecture)" = all ]; then
            entry="$name"
        fi
        dpkg-deb -x "$deb" "$stage" || die "dpkg-deb could not unpack $deb"
        # The package's entry in the sysroot's database: its control fields, its file list,
        # and its shlibs and symbols files.
        info="$(mktemp -d)"
        dpkg-deb -e "$deb" "$info"
        {
            sed '/^Status:/d' "$info/control" | sed '1a Status: install ok installed'
            echo
        } >>"$stage/var/lib/dpkg/status"
        # The files under the sysroot's final path, as dpkg-shlibdeps finds them there.
        dpkg-deb -c "$deb" | awk '{ print $6 }' | sed 's|^\./|/|; s|/$||; /^$/d' |
            sed "s|^|$root|" >"$stage/var/lib/dpkg/info/$entry.list"
        for part in shlibs symbols; do
            if [ -f "$info/$part" ]; then
                cp "$info/$part" "$stage/var/lib/dpkg/info/$entry.$part"
            fi
        done
        rm -rf "$info"
    done
    relativize_sysroot_links "$stage"
    printf '%s\n' "$wanted" >"$stage/$ARM64_SYSROOT_STAMP"
    rm -rf "$root"
    mv "$stage" "$root"
    msg "arm64 sysroot made in $root ($(du -sh "$root" | cut -f1))"
}
