#!/usr/bin/env bash
# Prepares this machine to build and run Hushgate: installs the cross compiler, Wine and a
# virtual display when they are missing, then readies a private Wine prefix with a mixer.
# Sourced by build.sh and test.sh; running it again is harmless and takes well under a second.
# The virtual display and the prefix's wine server it starts are stopped when the script that
# sourced it ends, by the last run of this checkout still going then; servers it did not start
# are used as they are and left running.
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
  command -v flock >/dev/null || echo util-linux
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
  start_wine_server
  # Wine's services outlive these calls: they must not hold the lock (fd 9).
  if [ ! -f "$WINEPREFIX/.hushgate-ready" ]; then
    wine wineboot -i </dev/null >/dev/null 2>&1 9>&- || true
    # Without a window manager, managed windows wait two seconds on every close.
    wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f </dev/null >/dev/null 2>&1 9>&-
    wineserver -w </dev/null >/dev/null 2>&1 9>&- || true
    start_wine_server
    touch "$WINEPREFIX/.hushgate-ready"
  fi
  wine wineboot </dev/null >/dev/null 2>&1 9>&- || true
}

# --- the servers a run uses, and who stops them -------------------------------------------------
# Every run of this checkout (each script that sources this file) is listed in $HG_STATE/runs
# while it goes. What a run of this checkout started is written down in $HG_STATE (xvfb: its pid
# and display; wineserver: that the prefix's server is ours), and the last run to end stops it,
# so that two runs in one checkout share their servers and a run in another checkout, or a
# display somebody else started, is never touched. The lock is fd 9; the servers started under
# it do not inherit it.

lock_servers() {
  exec 9>"$HG_STATE/servers.lock"
  flock 9
}

unlock_servers() {
  flock -u 9
  exec 9>&-
}

# The run is the shell that sourced this file and runs its EXIT trap: a subshell's own pid, not
# the $$ it shares with its parent.
register_run() {
  mkdir -p "$HG_STATE/runs"
  : >"$HG_STATE/runs/$BASHPID"
}

# FALSE while another run of this checkout is still going; forgets runs that ended without
# saying so (killed).
last_run_out() {
  local run others=0
  rm -f "$HG_STATE/runs/$BASHPID"
  for run in "$HG_STATE"/runs/*; do
    [ -e "$run" ] || continue
    if kill -0 "${run##*/}" 2>/dev/null; then others=$((others + 1)); else rm -f "$run"; fi
  done
  [ "$others" -eq 0 ]
}

# A persistent server with its streams closed, so Wine's services never hold a caller's pipes.
# It answers 2 when the prefix's server is running already: ours when a run of this checkout
# started it, else somebody's own wine in this prefix, which is left to them.
start_wine_server() {
  local started=0
  wineserver -p </dev/null >/dev/null 2>&1 9>&- || started=$?
  if [ "$started" -eq 0 ]; then
    : >"$HG_STATE/wineserver"
  elif [ "$started" -eq 2 ] && [ ! -f "$HG_STATE/wineserver" ] && [ -z "${HG_WINE_SERVER_TOLD:-}" ]; then
    HG_WINE_SERVER_TOLD=1
    echo "setup: using the wine server that was already running for $WINEPREFIX and leaving it running; stop it with: WINEPREFIX=$WINEPREFIX wineserver -k" >&2
  fi
}

# Each checkout has a display number of its own, from its path, so that what a run starts there
# is its own; HG_DISPLAY_NUMBER chooses one by hand.
own_display_number() {
  local sum
  sum=$(printf '%s' "$HG_ROOT" | cksum | cut -d ' ' -f 1)
  echo $((100 + sum % 800))
}

# An Xvfb started by a run of this checkout that still answers is shared (unless another number
# is asked for); a record of one that is gone is forgotten.
recorded_display() {
  local pid number
  [ -f "$HG_STATE/xvfb" ] || return 1
  read -r pid number <"$HG_STATE/xvfb" || true
  if [ -n "${HG_DISPLAY_NUMBER:-}" ] && [ "$number" != "$HG_DISPLAY_NUMBER" ]; then return 1; fi
  if is_our_xvfb "$pid" "$number" && DISPLAY=:$number display_answers; then
    export DISPLAY=:$number
    return 0
  fi
  rm -f "$HG_STATE/xvfb"
  return 1
}

# No pipe into grep -q here: under pipefail the writer's SIGPIPE would make a match fail.
is_our_xvfb() {
  local command
  [ -n "$1" ] && [ -n "$2" ] && [ "$(cat "/proc/$1/comm" 2>/dev/null)" = Xvfb ] || return 1
  command=$(tr '\0' ' ' 2>/dev/null <"/proc/$1/cmdline" || true)
  [[ "$command" == "Xvfb :$2 "* ]]
}

# FALSE when the number is taken (by a display that answers, or by an X server's lock) or the
# server refused it.
launch_xvfb() {
  local number=$1 pid
  export DISPLAY=:$number
  display_answers && return 1
  clear_dead_display
  [ -e "/tmp/.X$number-lock" ] && return 1
  # A session of its own: a Ctrl+C meant for the script does not reach it, so that a run of this
  # checkout sharing it keeps it until the last run stops it.
  setsid Xvfb "$DISPLAY" -screen 0 1024x768x24 -nolisten tcp </dev/null >/dev/null 2>&1 9>&- &
  for _ in $(seq 50); do
    # The server has written its pid into its lock before it answers: one that answers under
    # another's pid refused ours.
    if display_answers; then
      pid=$(tr -d ' \n' 2>/dev/null <"/tmp/.X$number-lock" || true)
      is_our_xvfb "$pid" "$number" || return 1
      echo "$pid $number" >"$HG_STATE/xvfb"
      return 0
    fi
    sleep 0.1
  done
  pid=$(tr -d ' \n' 2>/dev/null <"/tmp/.X$number-lock" || true)
  is_our_xvfb "$pid" "$number" && kill "$pid" 2>/dev/null
  return 1
}

start_display() {
  if [ -n "${DISPLAY:-}" ] && display_answers; then return 0; fi
  recorded_display && return 0
  if [ -n "${HG_DISPLAY_NUMBER:-}" ]; then
    export DISPLAY=:$HG_DISPLAY_NUMBER
    if display_answers; then
      local owner
      owner=$(tr -d ' \n' 2>/dev/null <"/tmp/.X$HG_DISPLAY_NUMBER-lock" || true)
      [ -n "$owner" ] || owner="<the pid of its X server>"
      echo "setup: using the display $DISPLAY, which was already running and is not this checkout's, and leaving it running; stop it, once nothing else uses it, with: kill $owner" >&2
      return 0
    fi
    launch_xvfb "$HG_DISPLAY_NUMBER" && return 0
    echo "setup: the virtual display $DISPLAY did not start; set HG_DISPLAY_NUMBER to a free display number" >&2
    exit 1
  fi
  local first number
  first=$(own_display_number)
  for number in $(seq "$first" $((first + 19))); do
    launch_xvfb "$number" && return 0
  done
  echo "setup: no virtual display would start on :$first to :$((first + 19)); set HG_DISPLAY_NUMBER to a free display number" >&2
  exit 1
}

# The EXIT trap of the script that sourced this file: keeps that script's exit status.
release_servers() {
  local status=$? pid number
  set +e
  lock_servers
  if last_run_out; then
    if [ -f "$HG_STATE/wineserver" ]; then
      WINEPREFIX=$HG_STATE/wineprefix wineserver -k </dev/null >/dev/null 2>&1
      rm -f "$HG_STATE/wineserver"
    fi
    if [ -f "$HG_STATE/xvfb" ]; then
      read -r pid number <"$HG_STATE/xvfb"
      if is_our_xvfb "$pid" "$number"; then
        kill "$pid"
        for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
        kill -0 "$pid" 2>/dev/null &&
          echo "setup: the virtual display :$number (Xvfb, pid $pid) did not stop; stop it with: kill -9 $pid" >&2
      fi
      rm -f "$HG_STATE/xvfb"
    fi
  fi
  unlock_servers
  return "$status"
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
lock_servers
register_run
trap release_servers EXIT
# Ended by a signal, a script still runs its EXIT trap; a terminal's own shell that sourced this
# file keeps its Ctrl+C, and stops the servers when it ends.
if [[ $- != *i* ]]; then
  trap 'exit 130' INT
  trap 'exit 143' TERM
  trap 'exit 129' HUP
fi
prepare_wine
unlock_servers
