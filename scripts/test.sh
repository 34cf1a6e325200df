#!/usr/bin/env bash
# Builds everything and runs every test under Wine. Usage: scripts/test.sh [ctest arguments]
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
source scripts/setup.sh
source scripts/build.sh
ctest --preset mingw "$@"
