#!/usr/bin/env bash
# The test command: installs what is missing, configures and builds the default preset, runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/bootstrap.sh
cmake --preset default >/dev/null
cmake --build --preset default
ctest --preset default
