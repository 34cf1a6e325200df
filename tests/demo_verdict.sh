#!/usr/bin/env bash
# Runs the stand-in's demo against a plug-in and checks that its verdict is the expected one,
# in both what it prints and how it exits. Usage: demo_verdict.sh PASS|FAIL PLAYER.exe PLUGIN.dll
set -uo pipefail
expected=$1 player=$2 plugin=$3
# A player folder of its own: the demo saves the plug-in's settings beside it, and the other
# programs whose names it reads sit beside the player.
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cp "$player" "$(dirname "$player")/meeting_app.exe" "$(dirname "$player")/stream_recorder.exe" "$plugin" "$scratch/"
output=$(wine "$scratch/$(basename "$player")" --demo "$(winepath -w "$scratch/$(basename "$plugin")")" 2>&1)
status=$?
printf '%s\n' "$output"
verdict=$(printf '%s\n' "$output" | grep '^verdict: ' | tail -n 1)
case "$expected:$status:$verdict" in
  PASS:0:"verdict: PASS"*) exit 0 ;;
  FAIL:[1-9]*:"verdict: FAIL"*) exit 0 ;;
esac
echo "expected a $expected verdict, got exit $status and '${verdict:-no verdict}'" >&2
exit 1
