#!/usr/bin/env bash
# Runs the stand-in's demo against a plug-in and checks that its verdict is the expected one,
# in both what it prints and how it exits. Usage: demo_verdict.sh PASS|FAIL PLAYER.exe PLUGIN.dll
set -uo pipefail
expected=$1 player=$2 plugin=$3
output=$(wine "$player" --demo "$(winepath -w "$plugin")" 2>&1)
status=$?
printf '%s\n' "$output"
verdict=$(printf '%s\n' "$output" | grep '^verdict: ' | tail -n 1)
case "$expected:$status:$verdict" in
  PASS:0:"verdict: PASS"*) exit 0 ;;
  FAIL:[1-9]*:"verdict: FAIL"*) exit 0 ;;
esac
echo "expected a $expected verdict, got exit $status and '${verdict:-no verdict}'" >&2
exit 1
