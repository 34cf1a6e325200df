#!/usr/bin/env bash
# Makes the README's pictures again from the virtual display: the stand-in player holding a
# pause, the settings dialog as a Japanese Windows shows it, and the installer's folder page.
# Writes docs/*.png.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
source scripts/setup.sh
source scripts/build.sh

needs_install=()
if ! command -v convert >/dev/null || ! convert -version 2>/dev/null | grep -q ImageMagick; then needs_install+=(imagemagick); fi
command -v xdotool >/dev/null || needs_install+=(xdotool)
# The Cancel button's caption is Japanese: shown only under a Japanese ANSI code page, with a
# proportional Japanese UI font where Windows has MS UI Gothic.
locale -a 2>/dev/null | grep -qi '^ja_JP.utf8$' || needs_install+=(locales)
fc-list 2>/dev/null | grep -q IPAPGothic || needs_install+=(fonts-ipafont-gothic)
# Wine's own Tahoma, where Windows has it; without it every text falls back to another font.
dpkg -s fonts-wine >/dev/null 2>&1 || needs_install+=(fonts-wine)
if [ ${#needs_install[@]} -gt 0 ]; then
  [ "$(id -u)" = 0 ] || { echo "screenshots: needs ${needs_install[*]}; install them with apt-get" >&2; exit 1; }
  apt-get install -y -qq --no-install-recommends "${needs_install[@]}" >/dev/null
fi
if ! locale -a 2>/dev/null | grep -qi '^ja_JP.utf8$'; then
  sed -i 's/^# *ja_JP.UTF-8/ja_JP.UTF-8/' /etc/locale.gen
  locale-gen >/dev/null
fi

# Debian's Wine does not look in that package's folder: the prefix's own font folder it does.
cp -u /usr/share/wine/fonts/*.ttf "$WINEPREFIX/drive_c/windows/Fonts/"

# The player where a user has it, so that its log shows a user's paths, not this machine's.
player_dir="$WINEPREFIX/drive_c/Program Files/Winamp"
rm -rf "$player_dir"
mkdir -p "$player_dir/Plugins" docs build/screenshots
cp build/stand_in_player.exe "$player_dir/"
cp build/gen_hushgate_amp.dll "$player_dir/Plugins/"
shots=$(winepath -w build/screenshots)

# The player and the installer in the system's own locale, with Wine's Tahoma, so that paths
# read with backslashes; the dialog afterwards in a Japanese one.
wine "$player_dir/stand_in_player.exe" --screenshots "$shots"
convert build/screenshots/stand_in_player.bmp docs/stand_in_player.png

# The installer's folder page: welcome, then Next.
setup=$(ls build/hushgate-*-setup.exe)
wine "$setup" &
setup_pid=$!
window=""
for _ in $(seq 100); do
  window=$(xdotool search --name 'Hushgate .* Setup' 2>/dev/null | head -n 1 || true)
  [ -n "$window" ] && break
  sleep 0.1
done
[ -n "$window" ] || { echo "screenshots: the installer's window did not appear" >&2; kill "$setup_pid"; exit 1; }
sleep 1
xdotool key --window "$window" Return
sleep 1
import -window "$window" docs/installer_folder_page.png
wine taskkill /f /im "$(basename "$setup")" >/dev/null 2>&1 || kill "$setup_pid" 2>/dev/null || true
wait "$setup_pid" 2>/dev/null || true

# On a Japanese Windows the dialog font "MS Shell Dlg" stands for MS UI Gothic. The mapping is
# taken away again at once: left in place it also stands in for Tahoma.
fonts_key='HKCU\Software\Wine\Fonts\Replacements'
wine reg add "$fonts_key" /v 'MS UI Gothic' /t REG_SZ /d IPAPGothic /f >/dev/null 2>&1
status=0
LC_ALL=ja_JP.UTF-8 wine "$player_dir/stand_in_player.exe" --screenshots "$shots" || status=$?
wine reg delete "$fonts_key" /v 'MS UI Gothic' /f >/dev/null 2>&1
[ "$status" -eq 0 ] || { echo "screenshots: the settings dialog could not be taken" >&2; exit 1; }
convert build/screenshots/settings_dialog.bmp docs/settings_dialog.png
rm -rf "$player_dir"
echo "screenshots: docs/stand_in_player.png docs/settings_dialog.png docs/installer_folder_page.png"
