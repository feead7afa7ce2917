#!/usr/bin/env bash
# Runs a Windows program under wine in the project's own wine prefix: the emulator the
# Windows build's tests run through (CMAKE_CROSSCOMPILING_EMULATOR).
#   scripts/wine.sh program.exe [arguments...]
#   scripts/wine.sh --server [wineserver options...]   (the prefix's wineserver, e.g. -w)
# The prefix is build/wine unless WINEPREFIX names another; scripts/build-windows.sh creates
# it. No DLL search path is added: a program finds its DLLs beside itself, as on Windows.
set -euo pipefail

export WINEPREFIX="${WINEPREFIX:-$(cd "$(dirname "$0")/.." && pwd)/build/wine}"
# No debug channels, and no offer to install Mono or Gecko into the prefix.
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"

# wine64 from the PATH, or where Debian's wine64 package puts it.
wine=""
for candidate in wine64 /usr/lib/wine/wine64; do
    if command -v "$candidate" >/dev/null 2>&1; then
        wine="$(command -v "$candidate")"
        break
    fi
done
if [ -z "$wine" ]; then
    echo "wine.sh: no wine64 found (install Debian's wine64 package)" >&2
    exit 127
fi

if [ "${1:-}" = --server ]; then
    shift
    exec "$(dirname "$(readlink -f "$wine")")/wineserver" "$@"
fi
# One wineserver serves a prefix, and the programs it starts draw on the X display it was
# started for (none without DISPLAY). A program for another display therefore waits until
# that server has ended (a few seconds after its last program): the window tests each start
# their own Xvfb display.
server="$(dirname "$(readlink -f "$wine")")/wineserver"
display_file="$WINEPREFIX/.lumeth-display"
if [ -d "$WINEPREFIX" ]; then
    if [ -f "$display_file" ] && [ "$(cat "$display_file")" != "${DISPLAY:-none}" ]; then
        "$server" -w
    fi
    printf '%s\n' "${DISPLAY:-none}" >"$display_file"
fi

# Wine's background programs (services, the desktop) stay a few seconds after the last
# program ends, holding the standard output and error they inherited from the program that
# started them. Where those are pipes (CTest, CMake's execute_process), the reader would
# wait for them; so there the program writes into files, copied out when it has ended.
if [ -p /dev/fd/1 ] || [ -p /dev/fd/2 ]; then
    output="$(mktemp -d "${TMPDIR:-/tmp}/wine-output.XXXXXX")"
    "$wine" "$@" >"$output/stdout" 2>"$output/stderr" &
    program=$!
    trap 'kill "$program" 2>/dev/null' INT TERM
    status=0
    wait "$program" || status=$?
    cat "$output/stdout"
    cat "$output/stderr" >&2
    rm -rf "$output"
    exit "$status"
fi
exec "$wine" "$@"
