#!/usr/bin/env bash
# Builds, then measures the real plug-in in the stand-in player under Wine and prints the
# README's table (about eight minutes). Usage: scripts/bench.sh [--quick] [--room NAME]
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
source scripts/setup.sh
source scripts/build.sh
# Not exec: the servers are stopped after it, and its status is the script's.
wine build/hushgate_bench.exe "$@" "$(winepath -w build/gen_hushgate_amp.dll)"
