#!/usr/bin/env bash
# Starts the stand-in player by hand under Wine, on $DISPLAY when there is one (else on a
# virtual display). Usage: scripts/player.sh [PLUGIN.dll ...]; no DLL loads the built plug-in.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
source scripts/setup.sh
source scripts/build.sh
args=()
for dll in "$@"; do
  [ -f "$dll" ] || { echo "player: $dll not found; give the path of a gen_*.dll plug-in" >&2; exit 2; }
  args+=("$(winepath -w "$dll")")
done
[ ${#args[@]} -gt 0 ] || args=("$(winepath -w build/gen_hushgate_amp.dll)")
# Not exec: the servers are stopped after it, and its status is the script's.
wine build/stand_in_player.exe "${args[@]}"
