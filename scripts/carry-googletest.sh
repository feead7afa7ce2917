#!/usr/bin/env bash
# Fills .deps/googletest-src (git-ignored) with the GoogleTest sources of Debian's googletest
# package, so that scripts/gpu-check.sh can build the tests on a GPU machine that has no
# GoogleTest and no network: bring the folder along with the working tree.
set -euo pipefail
source "$(dirname "$0")/common.sh"

if [ ! -f /usr/src/googletest/CMakeLists.txt ]; then
    LUMETH_SETUP_CALLER=carry-googletest.sh "$repo_root/scripts/install-deps.sh" --tests  # brings googletest
fi
rm -rf "$repo_root/.deps/googletest-src"
mkdir -p "$repo_root/.deps"
cp -r /usr/src/googletest "$repo_root/.deps/googletest-src"
echo "GoogleTest sources in .deps/googletest-src ($(du -sh "$repo_root/.deps/googletest-src" | cut -f1))"
