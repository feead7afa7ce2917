#!/usr/bin/env bash
# Installs what is missing, builds the program and runs it.
set -euo pipefail
source "$(dirname "$0")/common.sh"

"$repo_root/scripts/install-deps.sh"
configure_and_build "$repo_root/build" -DCMAKE_BUILD_TYPE=Release
exec "$repo_root/build/lumeth"
