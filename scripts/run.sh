#!/usr/bin/env bash
# Installs what is missing, builds the program and runs it.
set -euo pipefail
source "$(dirname "$0")/common.sh"

"$repo_root/scripts/install-deps.sh"
configure_and_build release
exec "$repo_root/build/lumeth"
