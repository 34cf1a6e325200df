#!/usr/bin/env bash
# Prepares this machine to build and run Hushgate: installs the cross compiler, Wine and a
# virtual display when they are missing, then readies a private Wine prefix with a mixer.
# Sourced by build.sh and test.sh; running it again is harmless and takes well under a second.
set -euo pipefail

HG_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
HG_STATE=${HG_STATE:-$HG_ROOT/.hushgate}
mkdir -p "$HG_STATE"

needed_packages() {
  command -v i686-w64-mingw32-g++-posix >/dev/null || echo g++-mingw-w64-i686-posix
  command -v wine >/dev/null || echo wine
  dpkg -s wine32:i386 >/dev/null 2>&1 || echo wine32:i386
  command -v Xvfb >/dev/null || echo xvfb
  command -v xauth >/dev/null || echo xauth
  command -v xdpyinfo >/dev/null || echo x11-utils
  command -v cmake >/dev/null || echo cmake
  [ -d /usr/src/googletest/googletest ] || echo googletest
  command -v zip >/dev/null || echo zip
  command -v makensis >/dev/null || echo nsis
  return 0
}

install_missing() {
  local missing
  missing=$(needed_packages | tr '\n' ' ')
  [ -z "${missing// }" ] && return 0
  if [ "$(id -u)" != 0 ]; then
    echo "setup: missing packages: $missing- run this script as root or install them with apt-get" >&2
    exit 1
  fi
  echo "setup: installing $missing" >&2
  dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq >/dev/null
  # shellcheck disable=SC2086
  apt-get install -y -qq --no-install-recommends $missing >/dev/null
}

prepare_wine() {
  export WINEPREFIX=$HG_STATE/wineprefix
  export WINEARCH=win32
  export WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml="
  # A null ALSA device gives Wine's mixer a speaker line with a mute switch and no sound card.
  export ALSA_CONFIG_PATH=$HG_STATE/asound.conf
  if [ ! -f "$ALSA_CONFIG_PATH" ]; then
    printf 'pcm.!default { type null }\nctl.!default { type hw card 0 }\n' >"$ALSA_CONFIG_PATH"
  fi
  start_display
  # A persistent server with its streams closed, so Wine's services never hold a caller's pipes.
  wineserver -p </dev/null >/dev/null 2>&1 || true
  if [ ! -f "$WINEPREFIX/.hushgate-ready" ]; then
    wine wineboot -i </dev/null >/dev/null 2>&1 || true
    # Without a window manager, managed windows wait two seconds on every close.
    wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f </dev/null >/dev/null 2>&1
    wineserver -w </dev/null >/dev/null 2>&1 || true
    wineserver -p </dev/null >/dev/null 2>&1 || true
    touch "$WINEPREFIX/.hushgate-ready"
  fi
  wine wineboot </dev/null >/dev/null 2>&1 || true
}

start_display() {
  if [ -n "${DISPLAY:-}" ] && display_answers; then return 0; fi
  export DISPLAY=:${HG_DISPLAY_NUMBER:-77}
  display_answers && return 0
  clear_dead_display
  Xvfb "$DISPLAY" -screen 0 1024x768x24 -nolisten tcp </dev/null >/dev/null 2>&1 &
  for _ in $(seq 50); do display_answers && return 0; sleep 0.1; done
  echo "setup: the virtual display $DISPLAY did not start; set HG_DISPLAY_NUMBER to a free display number" >&2
  exit 1
}

# A socket can outlive its server (a killed Xvfb, a restored snapshot of /tmp), so only a
# server that answers counts as running.
display_answers() {
  xdpyinfo >/dev/null 2>&1
}

# Nothing answers on the display, so a lock naming a process that is not an X server is left
# over from a dead one; Xvfb would refuse the number while the lock stands.
clear_dead_display() {
  local number=${DISPLAY#:} owner
  local lock=/tmp/.X$number-lock
  [ -f "$lock" ] || return 0
  owner=$(tr -d ' \n' <"$lock" 2>/dev/null || true)
  if [ -n "$owner" ] && [[ "$(cat "/proc/$owner/comm" 2>/dev/null)" == X* ]]; then return 0; fi
  rm -f "$lock" "/tmp/.X11-unix/X$number"
}

install_missing
prepare_wine
