#!/usr/bin/env bash
# Installs what the named programs need and builds them into build/ (the release preset):
#   scripts/build.sh [lumeth] [lumeth-bench] [lumeth-record]
# Without a name it builds lumeth. lumeth-record brings FFmpeg's and HDF5's development
# packages and the Python modules of the scripts that read its files. A second run installs
# nothing and only rebuilds what changed. A build without a GPU path says so in its last line.
set -euo pipefail
source "$(dirname "$0")/common.sh"

usage="usage: scripts/build.sh [lumeth] [lumeth-bench] [lumeth-record]"
[ $# -gt 0 ] || set -- lumeth
setup=()
for program in "$@"; do
    case "$program" in
    lumeth | lumeth-bench) ;;
    lumeth-record) setup=(--record) ;;
    -h | --help)
        echo "$usage"
        exit 0
        ;;
    *)
        echo "scripts/build.sh: unknown program '$program' ($usage)" >&2
        exit 2
        ;;
    esac
done

LUMETH_SETUP_CALLER=build.sh "$repo_root/scripts/install-deps.sh" "${setup[@]}"
configure_and_build release "$@"
if [ -f "$repo_root/build/no-gpu-path.txt" ]; then
    cat "$repo_root/build/no-gpu-path.txt"
fi
