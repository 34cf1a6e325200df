#!/usr/bin/env bash
# The installer under Wine, unattended: a refused folder, setup and the uninstaller refused
# while the player runs, a fresh install that the stand-in player then loads, an upgrade that
# keeps the settings, uninstalls with and without the settings (the per-user file too), and two
# while the plug-in is in use: one that may set it to go at the next restart, one that may not.
# Usage: installer_test.sh SETUP.exe PLAYER.exe PLAYER_WINDOW.exe WITHOUT_RESTART_RIGHTS.exe SCRATCH
set -uo pipefail
setup=$1 player=$2 player_window=$3 without_restart_rights=$4 scratch=$5
key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Hushgate'
restart_key='HKLM\System\CurrentControlSet\Control\Session Manager'
failures=0
check() {  # check DESCRIPTION COMMAND...
  local what=$1; shift
  if "$@"; then echo "ok    $what"; else echo "WRONG $what"; failures=$((failures + 1)); fi
}
registered() { wine reg query "$key" >/dev/null 2>&1; }
not() { ! "$@"; }
install_into() { wine "$setup" /S "/D=$(winepath -w "$1")"; }
# Run from Plugins, the uninstaller hands over to a copy of itself and returns at once; a copy
# run with _?= is waited for, and its exit code seen. $run_as, when set, is a program that runs it.
uninstall_from() {
  mkdir -p "$scratch/run" && cp "$1/Plugins/uninstall_hushgate.exe" "$scratch/run/"
  wine ${run_as:+"$run_as"} "$(winepath -w "$scratch/run/uninstall_hushgate.exe")" /S "${@:2}" \
    "_?=$(winepath -w "$1/Plugins")"
}
set_to_go_at_restart() {  # set_to_go_at_restart FILE: whether FILE is recorded for removal at the next restart
  wine reg query "$restart_key" /v PendingFileRenameOperations 2>/dev/null | grep -q "$1"
}
start() {  # start LINE PROGRAM ARGS...: starts PROGRAM and waits for its LINE; stop ends it
  wine "${@:2}" >"$scratch/started.log" 2>&1 &
  started=$!
  for _ in $(seq 100); do grep -q "$1" "$scratch/started.log" && return 0; sleep 0.2; done
  cat "$scratch/started.log"; return 1
}
stop() { kill "$started"; wait "$started" 2>/dev/null; }
plugins() { ls "$scratch/player/Plugins" | tr '\n' ' '; }

rm -rf "$scratch"
mkdir -p "$scratch/no-plugins" "$scratch/player/Plugins"
wine reg delete "$key" /f >/dev/null 2>&1
appdata=$(winepath -u "$(wine cmd /c echo %APPDATA% | tr -d '\r')")
rm -rf "$appdata/Hushgate"

install_into "$scratch/no-plugins"
check "a folder without Plugins is refused with a non-zero exit" [ $? -ne 0 ]
check "  and nothing is left there" [ -z "$(ls -A "$scratch/no-plugins")" ]
check "  and nothing is registered" bash -c "! wine reg query '$key' >/dev/null 2>&1"

cp "$player" "$(dirname "$player")/meeting_app.exe" "$(dirname "$player")/stream_recorder.exe" "$scratch/player/"
printf 'stand-in for another plug-in' >"$scratch/player/Plugins/gen_other.dll"
printf '[Other]\r\nKEY=1\r\n' >"$scratch/player/Plugins/plugin.ini"
start ready "$player_window"
install_into "$scratch/player"
check "setup while the player runs exits 2" [ $? -eq 2 ]
stop
check "  and copies nothing" [ "$(plugins)" = "gen_other.dll plugin.ini " ]
check "  and registers nothing" bash -c "! wine reg query '$key' >/dev/null 2>&1"

install_into "$scratch/player"
check "a silent install into the player's folder exits 0" [ $? -eq 0 ]
check "  and puts the plug-in and its uninstaller into Plugins" \
  [ -f "$scratch/player/Plugins/gen_hushgate_amp.dll" -a -f "$scratch/player/Plugins/uninstall_hushgate.exe" ]
check "  and registers the uninstaller" registered
demo=$(wine "$scratch/player/stand_in_player.exe" --demo 2>&1)
grep -q '^verdict: PASS' <<<"$demo" || printf '%s\n' "$demo"
check "  and the stand-in player loads it from Plugins and passes its demo" grep -q '^verdict: PASS' <<<"$demo"

printf '[Other]\r\nKEY=1\r\n[Hushgate]\r\nISLOCK=0\r\nCHECKTIME=900\r\n' >"$scratch/player/Plugins/plugin.ini"
cp "$scratch/player/Plugins/plugin.ini" "$scratch/settings-before"
install_into "$scratch/player"
check "an upgrade over the installed copy exits 0" [ $? -eq 0 ]
check "  and keeps the user's settings byte for byte" cmp -s "$scratch/settings-before" "$scratch/player/Plugins/plugin.ini"

start ready "$player_window"
uninstall_from "$scratch/player" /REMOVESETTINGS
check "an uninstall while the player runs exits 2" [ $? -eq 2 ]
stop
check "  and removes no file" [ "$(plugins)" = "gen_hushgate_amp.dll gen_other.dll plugin.ini uninstall_hushgate.exe " ]
check "  nor the settings" cmp -s "$scratch/settings-before" "$scratch/player/Plugins/plugin.ini"
check "  nor the registration" registered

uninstall_from "$scratch/player"
check "a silent uninstall exits 0" [ $? -eq 0 ]
check "  and removes exactly the plug-in and its uninstaller" [ "$(plugins)" = "gen_other.dll plugin.ini " ]
check "  and its registration" bash -c "! wine reg query '$key' >/dev/null 2>&1"
check "  and keeps the settings unless asked" cmp -s "$scratch/settings-before" "$scratch/player/Plugins/plugin.ini"

install_into "$scratch/player"
mkdir -p "$appdata/Hushgate"
printf '[Hushgate]\r\nISLOCK=0\r\n' >"$appdata/Hushgate/plugin.ini"
uninstall_from "$scratch/player" /REMOVESETTINGS
check "an uninstall with /REMOVESETTINGS exits 0" [ $? -eq 0 ]
check "  and removes only the [Hushgate] section" \
  cmp -s <(printf '[Other]\r\nKEY=1\r\n') "$scratch/player/Plugins/plugin.ini"
check "  and the user's own settings file with its folder" [ ! -e "$appdata/Hushgate" ]

# Held by the stand-in player, whose window is not the player's: the uninstall goes ahead.
install_into "$scratch/player"
start '^loaded' "$scratch/player/stand_in_player.exe"
uninstall_from "$scratch/player"
check "an uninstall while the plug-in is in use exits 3010 (its low byte under Wine)" [ $? -eq 194 ]
stop
check "  and has the plug-in removed at the next restart" set_to_go_at_restart 'Plugins.gen_hushgate_amp.dll'
check "  and removes its uninstaller and registration" \
  bash -c "[ ! -e '$scratch/player/Plugins/uninstall_hushgate.exe' ] && ! wine reg query '$key' >/dev/null 2>&1"
wine reg delete "$restart_key" /v PendingFileRenameOperations /f >/dev/null 2>&1

# The same by an account that may not record removals at restart, as a standard user uninstalling
# an administrator's copy: the plug-in can be neither removed nor set to go.
install_into "$scratch/player"
start '^loaded' "$scratch/player/stand_in_player.exe"
run_as=$without_restart_rights uninstall_from "$scratch/player"
check "an uninstall that can neither remove the plug-in in use nor set it to go exits 2" [ $? -eq 2 ]
stop
check "  and removes no file" [ "$(plugins)" = "gen_hushgate_amp.dll gen_other.dll plugin.ini uninstall_hushgate.exe " ]
check "  and keeps the registration" registered
check "  and records no removal at restart" not set_to_go_at_restart 'Plugins.gen_hushgate_amp.dll'
uninstall_from "$scratch/player"
check "  and, the plug-in closed, the uninstall run again exits 0" [ $? -eq 0 ]
check "  and removes the plug-in and its uninstaller" [ "$(plugins)" = "gen_other.dll plugin.ini " ]
check "  and the registration" not registered

echo "installer: $failures failed"
[ "$failures" -eq 0 ]
