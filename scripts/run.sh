#!/usr/bin/env bash
# The main job: installs what is missing, builds, and plays the demo story with the plug-in
# loaded into the stand-in player under Wine on a virtual display. Exits non-zero when the
# plug-in did not do what it should.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
source scripts/setup.sh
source scripts/build.sh
# The player's layout: the program, and its plug-ins in "Plugins" beside it. A fresh folder,
# so that the plug-in runs with its default settings.
demo=build/demo
rm -rf "$demo"
mkdir -p "$demo/Plugins"
cp build/stand_in_player.exe build/meeting_app.exe build/stream_recorder.exe "$demo/"
cp build/gen_hushgate_amp.dll "$demo/Plugins/"
echo "Hushgate demo: the plug-in in the stand-in player under Wine, default settings (interval 500 ms)"
# Not exec: the servers are stopped after it, and its status is the script's.
wine "$demo/stand_in_player.exe" --demo
