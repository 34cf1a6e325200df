#!/usr/bin/env bash
# Configures and builds the plug-in, the stand-in player, the tests and the benchmark into
# build/. Sourced by the other scripts after setup.sh; can also be run on its own.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
[ -n "${WINEPREFIX:-}" ] || source scripts/setup.sh
if [ ! -f build/CMakeCache.txt ]; then
  cmake --preset mingw >build-configure.log 2>&1 || { cat build-configure.log >&2; echo "build: configuring failed (log above)" >&2; exit 1; }
  rm -f build-configure.log
fi
cmake --build --preset mingw -j"$(nproc)" >/dev/null || { echo "build: compiling failed; run 'cmake --build --preset mingw' to see why" >&2; exit 1; }
