#!/usr/bin/env bash
# The Debian package as a user gets it, installed into a scratch folder (dpkg-deb -x puts
# every file where dpkg would, without touching the machine's own /usr): its programs find
# the bundled SDL3 through their run path with no other SDL3 on the library path, it
# depends on the Debian packages of the FFmpeg libraries that lumeth-record loads (and
# those are installed here), the benchmark runs, the installed lumeth-record records a few
# frames that decode, the program runs under Xvfb (window, keys, standard output, exit
# status: e2e_keys_and_output.sh), the package stands on its own (its README speaks of the
# installed commands, the pages and the scripts that read the recorder's files are installed,
# every command has its manual page, the Python modules are recommended and xvfb suggested),
# and lintian reports no errors and no warnings but the known ones. A cross-built package's
# programs run through the emulator given after the package, and the packages that hold its
# libraries are those of the sysroot that LUMETH_PACKAGE_SYSROOT names (its own dpkg database).
#   package_deb.sh lumeth_<version>_<arch>.deb [emulator...]
set -u
E2E_DIR="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
deb="${1:?usage: $0 package.deb [emulator...]}"
shift
run=("$@")
sysroot="${LUMETH_PACKAGE_SYSROOT:-}"
fail() {
    echo "FAIL: $*" >&2
    exit 1
}
# The libraries a program loads, as the dynamic loader lists them (what ldd prints): for a
# cross-built program, the sysroot's loader under the emulator.
loaded_libraries() {
    if [ -n "${sysroot}" ]; then
        "${run[@]}" "$(compgen -G "${sysroot}/lib/ld-linux-*.so.*" | head -n1)" --list "$1"
    else
        ldd "$1"
    fi
}
# The Debian package that holds a library the loader found.
library_owner() {
    local file="$1"
    if [ -n "${sysroot}" ]; then
        DPKG_ADMINDIR="${sysroot}/var/lib/dpkg" dpkg-query -S "$(readlink -f "${sysroot}${file}")" \
            2>/dev/null | cut -d: -f1 | head -n1
        return
    fi
    local owner
    owner="$(dpkg-query -S "$(readlink -f "${file}")" 2>/dev/null | cut -d: -f1 | head -n1)"
    [ -n "${owner}" ] || owner="$(dpkg-query -S "${file}" 2>/dev/null | cut -d: -f1 | head -n1)"
    printf '%s\n' "${owner}"
}
for tool in dpkg-deb readelf ldd; do
    command -v "${tool}" >/dev/null 2>&1 || { echo "SKIP: ${tool} is not installed"; exit 77; }
done
[ -f "${deb}" ] || fail "no package at ${deb}"

scratch="$(mktemp -d "${TMPDIR:-/tmp}/lumeth-deb.XXXXXX")"
trap 'rm -rf "${scratch}"' EXIT
dpkg-deb -x "${deb}" "${scratch}" || fail "dpkg-deb could not unpack ${deb}"
private="${scratch}/usr/lib/lumeth"
for file in usr/bin/lumeth usr/bin/lumeth-bench usr/bin/lumeth-record \
    usr/bin/lumeth-plot-snapshot usr/bin/lumeth-animation usr/share/doc/lumeth/copyright \
    usr/share/doc/lumeth/README.md usr/share/doc/lumeth/docs/recording.md \
    usr/share/doc/lumeth/docs/snapshots.md usr/share/doc/lumeth/docs/snapshot-step0.png \
    usr/lib/lumeth/libSDL3.so.0; do
    [ -e "${scratch}/${file}" ] || fail "the package has no /${file}"
done
for command in "${scratch}"/usr/bin/*; do
    name="$(basename "${command}")"
    [ -x "${command}" ] || fail "/usr/bin/${name} is not executable"
    [ -e "${scratch}/usr/share/man/man1/${name}.1.gz" ] || fail "/usr/bin/${name} has no manual page"
done
zcat "${scratch}/usr/share/man/man1/lumeth.1.gz" | grep -q 'closing the window' ||
    fail "lumeth(1) does not name closing the window among its keys"
readme="${scratch}/usr/share/doc/lumeth/README.md"
for word in lumeth-record lumeth-bench lumeth-plot-snapshot lumeth-animation xvfb-run \
    /usr/share/doc/lumeth/docs; do
    grep -qF -- "${word}" "${readme}" || fail "the package's README does not mention ${word}"
done
grep -qE 'scripts/(run|test|build|install-deps)\.sh' "${readme}" &&
    fail "the package's README tells to run the source tree's scripts"
recommends="$(dpkg-deb -f "${deb}" Recommends)"
for module in python3-h5py python3-matplotlib python3-av python3-pil; do
    grep -Eq "(^|, )${module}( |,|$)" <<<"${recommends}" || fail "${module} is not recommended"
done
grep -Eq '(^|, )xvfb( |,|$)' <<<"$(dpkg-deb -f "${deb}" Suggests)" || fail "xvfb is not suggested"
for license in Expat Zlib; do
    grep -q "^License: ${license}$" "${scratch}/usr/share/doc/lumeth/copyright" ||
        fail "the copyright file lacks the ${license} licence"
done

unset LD_LIBRARY_PATH
for program in lumeth lumeth-bench lumeth-record; do
    path="${scratch}/usr/bin/${program}"
    # shellcheck disable=SC2016  # the run path holds a literal $ORIGIN
    readelf -d "${path}" | grep -qF '(RUNPATH)            Library runpath: [$ORIGIN/../lib/lumeth]' ||
        fail "${program}'s run path is not \$ORIGIN/../lib/lumeth: $(readelf -d "${path}" | grep PATH)"
    sdl="$(loaded_libraries "${path}" | awk '$1 ~ /^libSDL3/ { print $3 }')"
    [ "$(dirname "$(readlink -f "${sdl}")")" = "$(readlink -f "${private}")" ] ||
        fail "${program} loads SDL3 from '${sdl}', not from the package"
done
echo "the programs load SDL3 from the package's /usr/lib/lumeth"

# Each FFmpeg library lumeth-record loads comes from a Debian package that the package
# depends on.
depends="$(dpkg-deb -f "${deb}" Depends)"
echo "Depends: ${depends}"
for library in libavcodec libavformat libswscale libavutil; do
    file="$(loaded_libraries "${scratch}/usr/bin/lumeth-record" | awk -v l="${library}" 'index($1, l) == 1 { print $3 }')"
    [ -n "${file}" ] || fail "lumeth-record does not load ${library}"
    owner="$(library_owner "${file}")"
    [ -n "${owner}" ] || fail "no Debian package holds ${file}"
    grep -Eq "(^|, )${owner}( |,|$)" <<<"${depends}" ||
        fail "the package does not depend on ${owner}, which holds ${library}"
done

"${run[@]}" "${scratch}/usr/bin/lumeth-record" --frames 3 --particles 2000 --seed 7 --codec ffv1 \
    --out "${scratch}/video.mkv" >"${scratch}/record.log" 2>&1 ||
    fail "lumeth-record from the package failed:"$'\n'"$(cat "${scratch}/record.log")"
grep -q '^lumeth-record: 3 frames in ' "${scratch}/record.log" ||
    fail "lumeth-record did not report 3 frames:"$'\n'"$(cat "${scratch}/record.log")"
[ -s "${scratch}/video.mkv" ] || fail "lumeth-record from the package wrote no video"
if command -v ffprobe >/dev/null 2>&1; then
    frames="$(ffprobe -v error -count_frames -select_streams v:0 \
        -show_entries stream=nb_read_frames -of csv=p=0 "${scratch}/video.mkv")"
    [ "${frames}" = 3 ] || fail "the recorded video decodes to '${frames}' frames, not 3"
fi
echo "lumeth-record from the package recorded 3 frames"

"${run[@]}" "${scratch}/usr/bin/lumeth-bench" --count 2003 --repeat 1 >"${scratch}/bench.log" 2>&1 ||
    fail "lumeth-bench from the package failed:"$'\n'"$(cat "${scratch}/bench.log")"
bash "${E2E_DIR}/e2e_keys_and_output.sh" "${run[@]}" "${scratch}/usr/bin/lumeth"
status=$?
[ "${status}" = 0 ] || exit "${status}"

if ! command -v lintian >/dev/null 2>&1; then
    echo "SKIP: lintian is not installed"
    exit 77
fi
report="$(lintian "${deb}" 2>&1)"
printf '%s\n' "${report}"
grep -q '^E: ' <<<"${report}" && fail "lintian reports errors"
# The one warning the package has always had: CPack calls ldconfig in the maintainer scripts of
# a package with libraries under /usr/lib, although the bundled SDL3's folder is private.
unknown="$(grep '^W: ' <<<"${report}" | grep -v ': maintscript-calls-ldconfig ' || true)"
[ -z "${unknown}" ] || fail "lintian reports new warnings:"$'\n'"${unknown}"
echo "PASS"
