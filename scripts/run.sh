#!/usr/bin/env bash
# Installs what is missing, builds the program alone (scripts/build.sh; scripts/test.sh builds
# the rest into the same build folder) and runs it.
set -euo pipefail
source "$(dirname "$0")/common.sh"

LUMETH_SETUP_CALLER=run.sh "$repo_root/scripts/build.sh" lumeth
exec "$repo_root/build/lumeth"
