#!/usr/bin/env bash
# Makes the README's pictures again: the stand-in player holding a pause, and the settings
# dialog, both taken from the virtual display. Writes docs/*.png.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
source scripts/setup.sh
source scripts/build.sh
if ! command -v convert >/dev/null || ! convert -version 2>/dev/null | grep -q ImageMagick; then
  [ "$(id -u)" = 0 ] || { echo "screenshots: needs ImageMagick; install it with apt-get install imagemagick" >&2; exit 1; }
  apt-get install -y -qq --no-install-recommends imagemagick >/dev/null
fi
# The Cancel button's caption is Japanese: shown only under a Japanese ANSI code page with a font for it.
if ! locale -a 2>/dev/null | grep -qi '^ja_JP.utf8$' || ! fc-list :lang=ja 2>/dev/null | grep -q .; then
  [ "$(id -u)" = 0 ] || { echo "screenshots: needs the ja_JP.UTF-8 locale and a Japanese font" >&2; exit 1; }
  apt-get install -y -qq --no-install-recommends locales fonts-ipafont-gothic >/dev/null
  sed -i 's/^# *ja_JP.UTF-8/ja_JP.UTF-8/' /etc/locale.gen
  locale-gen >/dev/null
fi
shots=build/screenshots
rm -rf "$shots"
mkdir -p "$shots/Plugins" docs
cp build/stand_in_player.exe "$shots/"
cp build/gen_hushgate_amp.dll "$shots/Plugins/"
LC_ALL=ja_JP.UTF-8 wine "$shots/stand_in_player.exe" --screenshots "$(winepath -w "$shots")"
convert "$shots/stand_in_player.bmp" docs/stand_in_player.png
convert "$shots/settings_dialog.bmp" docs/settings_dialog.png
echo "screenshots: docs/stand_in_player.png docs/settings_dialog.png"
