#!/usr/bin/env bash
# The installer under Wine, unattended: a refused folder, a fresh install that the stand-in
# player then loads, an upgrade that keeps the settings, and uninstalls with and without the
# settings. Usage: installer_test.sh SETUP.exe PLAYER.exe SCRATCH_FOLDER
set -uo pipefail
setup=$1 player=$2 scratch=$3
key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Hushgate'
failures=0
check() {  # check DESCRIPTION COMMAND...
  local what=$1; shift
  if "$@"; then echo "ok    $what"; else echo "WRONG $what"; failures=$((failures + 1)); fi
}
registered() { wine reg query "$key" >/dev/null 2>&1; }
install_into() { wine "$setup" /S "/D=$(winepath -w "$1")"; }
# The uninstaller hands over to a copy of itself and returns at once; it removes itself last.
uninstall_from() {
  wine "$1/Plugins/uninstall_hushgate.exe" /S "${@:2}"
  for _ in $(seq 150); do [ -e "$1/Plugins/uninstall_hushgate.exe" ] || return 0; sleep 0.2; done
  return 1
}

rm -rf "$scratch"
mkdir -p "$scratch/no-plugins" "$scratch/player/Plugins"
wine reg delete "$key" /f >/dev/null 2>&1

install_into "$scratch/no-plugins"
check "a folder without Plugins is refused with a non-zero exit" [ $? -ne 0 ]
check "  and nothing is left there" [ -z "$(ls -A "$scratch/no-plugins")" ]
check "  and nothing is registered" bash -c "! wine reg query '$key' >/dev/null 2>&1"

cp "$player" "$scratch/player/"
printf 'stand-in for another plug-in' >"$scratch/player/Plugins/gen_other.dll"
printf '[Other]\r\nKEY=1\r\n' >"$scratch/player/Plugins/plugin.ini"
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

check "a silent uninstall finishes" uninstall_from "$scratch/player"
check "  and removes exactly the plug-in and its uninstaller" \
  [ "$(ls "$scratch/player/Plugins" | tr '\n' ' ')" = "gen_other.dll plugin.ini " ]
check "  and its registration" bash -c "! wine reg query '$key' >/dev/null 2>&1"
check "  and keeps the settings unless asked" cmp -s "$scratch/settings-before" "$scratch/player/Plugins/plugin.ini"

install_into "$scratch/player"
check "an uninstall with /REMOVESETTINGS finishes" uninstall_from "$scratch/player" /REMOVESETTINGS
check "  and removes only the [Hushgate] section" \
  cmp -s <(printf '[Other]\r\nKEY=1\r\n') "$scratch/player/Plugins/plugin.ini"

echo "installer: $failures failed"
[ "$failures" -eq 0 ]
