#!/usr/bin/env bash
# The test command: installs what is missing, configures and builds the default preset, runs every test.
# --windows: afterwards also builds the Windows presets (win32, win64) and runs the Windows test
# programs under Wine (scripts/test-windows.sh; win32 where the kernel runs 32-bit programs,
# else win64).
set -euo pipefail
cd "$(dirname "$0")/.."

windows=0
for arg in "$@"; do
  case "$arg" in
    --windows) windows=1 ;;
    *) echo "usage: scripts/test.sh [--windows]" >&2; exit 1 ;;
  esac
done

scripts/bootstrap.sh
cmake --preset default >/dev/null
cmake --build --preset default
ctest --preset default

if [ "$windows" -eq 1 ]; then
  scripts/bootstrap-windows.sh
  for p in win32 win64; do
    cmake --preset "$p" >/dev/null
    cmake --build --preset "$p"
  done
  scripts/test-windows.sh --preset auto --no-build
fi
