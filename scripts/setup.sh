#!/usr/bin/env bash
# Prepares this machine to build and run Hushgate: installs the cross compiler, Wine and a
# virtual display when they are missing, then readies a private Wine prefix with a mixer.
# Sourced by build.sh and test.sh; running it again is harmless and takes well under a second.
# The virtual display and the prefix's wine server it starts are stopped when the script that
# sourced it ends, by the last run of this checkout still going then; servers it did not start
# are used as they are and left running. It sets no shell options of its own: sourced by a
# terminal's shell, it leaves that shell's options as they were, returns to the prompt when it
# fails, and stops what it started when that shell ends (its EXIT trap).

HG_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
HG_STATE=${HG_STATE:-$HG_ROOT/.hushgate}

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
    return 1
  fi
  echo "setup: installing $missing" >&2
  dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386 || return 1
  # shellcheck disable=SC2086
  if ! DEBIAN_FRONTEND=noninteractive apt-get update -qq >/dev/null ||
    ! DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $missing >/dev/null; then
    echo "setup: apt-get could not install $missing; run it by hand to see why" >&2
    return 1
  fi
}

# --- limits -------------------------------------------------------------------------------------
# No step waits on a server without a limit: a server that hangs, or a prefix left half-made,
# must end in a message, not in a script that never returns. The steps run in the foreground, so
# that a Ctrl+C still reaches them. A slow machine may raise them from the environment.
HG_MAKE_PREFIX_SECONDS=${HG_MAKE_PREFIX_SECONDS:-600}
HG_WINE_STEP_SECONDS=${HG_WINE_STEP_SECONDS:-120}
HG_SERVER_SECONDS=${HG_SERVER_SECONDS:-30}

# Runs a Wine step with its streams closed and without the lock (fd 9): Wine's services outlive
# it. Its status is the step's own, or 124 when the limit ran out and the step was stopped.
bounded() {
  local limit=$1 status=0
  shift
  timeout --foreground -k 10 "$limit" "$@" </dev/null >/dev/null 2>&1 9>&- || status=$?
  [ "$status" -eq 137 ] && status=124
  return "$status"
}

prepare_wine() {
  export WINEPREFIX=$HG_STATE/wineprefix
  export WINEARCH=win32
  export WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml="
  # A null ALSA device gives Wine's mixer a speaker line with a mute switch and no sound card.
  export ALSA_CONFIG_PATH=$HG_STATE/asound.conf
  if [ ! -f "$ALSA_CONFIG_PATH" ]; then
    printf 'pcm.!default { type null }\nctl.!default { type hw card 0 }\n' >"$ALSA_CONFIG_PATH" || return 1
  fi
  start_display || return 1
  if [ -d "$WINEPREFIX" ] && [ ! -f "$WINEPREFIX/.hushgate-ready" ]; then
    echo "setup: the Wine prefix $WINEPREFIX was left half-made (stopped while it was being made); making it again" >&2
    discard_half_made_prefix || return 1
  fi
  if [ ! -d "$WINEPREFIX" ]; then make_prefix || return 1; fi
  start_wine_server || return 1
  bounded "$HG_WINE_STEP_SECONDS" wine wineboot
  if [ $? = 124 ]; then
    echo "setup: Wine did not finish updating $WINEPREFIX within $HG_WINE_STEP_SECONDS s; stop it with: WINEPREFIX=$WINEPREFIX wineserver -k, and run again (should it happen again, remove $WINEPREFIX: it is made afresh)" >&2
    return 1
  fi
}

# The prefix's first server is the one wineboot starts, which ends by itself a few seconds after
# the last program: it writes the registry out as it goes. The persistent one comes after.
make_prefix() {
  local status
  bounded "$HG_MAKE_PREFIX_SECONDS" wine wineboot -i
  if [ $? = 124 ]; then
    echo "setup: making the Wine prefix $WINEPREFIX took over $HG_MAKE_PREFIX_SECONDS s and was stopped; stop what is left of it with: WINEPREFIX=$WINEPREFIX wineserver -k, and run again (the prefix is made again)" >&2
    return 1
  fi
  # Without a window manager, managed windows wait two seconds on every close.
  bounded "$HG_WINE_STEP_SECONDS" wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f
  status=$?
  [ "$status" != 124 ] && { bounded "$HG_WINE_STEP_SECONDS" wineserver -w; status=$?; }
  if [ "$status" = 124 ]; then
    echo "setup: the new Wine prefix $WINEPREFIX did not settle within $HG_WINE_STEP_SECONDS s; stop it with: WINEPREFIX=$WINEPREFIX wineserver -k, and run again (the prefix is made again)" >&2
    return 1
  fi
  : >"$WINEPREFIX/.hushgate-ready"
}

# A server still running in the half-made prefix is stopped when a run of this checkout started
# it; any other is given a few seconds to end by itself (the one an interrupted wineboot started
# does), and else named to the user, since it is not ours to stop.
discard_half_made_prefix() {
  stop_wine_server
  bounded "$HG_SERVER_SECONDS" wineserver -w
  if [ $? = 124 ]; then
    echo "setup: a wine server still runs in the half-made prefix $WINEPREFIX; stop it with: WINEPREFIX=$WINEPREFIX wineserver -k, and run again" >&2
    return 1
  fi
  rm -rf "$WINEPREFIX"
}

# --- the servers a run uses, and who stops them -------------------------------------------------
# Every run of this checkout (each script that sources this file) is listed in $HG_STATE/runs
# while it goes. What a run of this checkout started is written down in $HG_STATE (displays/N:
# the Xvfb on :N; wineserver: the prefix's server), and the last run to end stops it, so that two
# runs in one checkout share their servers and a run in another checkout, or a server somebody
# else started, is never touched. Each record names a process by its pid and its start time: a
# pid alone may have gone to another process since. The lock is fd 9; the servers started under
# it do not inherit it.

lock_servers() {
  exec 9>"$HG_STATE/servers.lock" || return 1
  flock -w "$HG_MAKE_PREFIX_SECONDS" 9 && return 0
  exec 9>&-
  echo "setup: another run of this checkout held $HG_STATE/servers.lock for over $HG_MAKE_PREFIX_SECONDS s; end that run, or wait for it, and run again" >&2
  return 1
}

unlock_servers() {
  flock -u 9
  exec 9>&-
}

# The start time of a process, in clock ticks since boot (field 22 of its stat; the name before
# it may hold spaces).
process_start() {
  local stat fields
  [ -n "$1" ] && stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 1
  read -r -a fields <<<"${stat##*) }"
  echo "${fields[19]}"
}

record_process() {
  local file=$1 pid=$2 start
  start=$(process_start "$pid") || return 1
  echo "$pid $start" >"$file"
}

# The pid a record names while that very process runs; FALSE once it has ended.
recorded_process() {
  local pid="" start=""
  [ -f "$1" ] && read -r pid start <"$1"
  [ -n "$start" ] && [ "$(process_start "$pid")" = "$start" ] && echo "$pid"
}

# The run is the shell that sourced this file and runs its EXIT trap: a subshell's own pid, not
# the $$ it shares with its parent.
register_run() {
  mkdir -p "$HG_STATE/runs" && record_process "$HG_STATE/runs/$BASHPID" "$BASHPID"
}

# FALSE while another run of this checkout is still going; forgets runs that ended without
# saying so (killed), also when their pid has gone to another process since.
last_run_out() {
  local run others=0
  rm -f "$HG_STATE/runs/$BASHPID"
  for run in "$HG_STATE"/runs/*; do
    [ -e "$run" ] || continue
    if recorded_process "$run" >/dev/null; then others=$((others + 1)); else rm -f "$run"; fi
  done
  [ "$others" -eq 0 ]
}

# A persistent server with its streams closed, so Wine's services never hold a caller's pipes.
# A server already running is ours only when a run of this checkout recorded that very process;
# any other is somebody's own wine in this prefix, used and left to them, and a record left by a
# run that was killed with its server is forgotten.
start_wine_server() {
  local status=0
  bounded "$HG_SERVER_SECONDS" wineserver -p || status=$?
  if [ "$status" -eq 0 ]; then
    record_wine_server
  elif [ "$status" -eq 124 ]; then
    echo "setup: the wine server of $WINEPREFIX did not answer within $HG_SERVER_SECONDS s; stop it with: WINEPREFIX=$WINEPREFIX wineserver -k, and run again" >&2
    return 1
  elif [ "$status" -eq 2 ] && ! recorded_process "$HG_STATE/wineserver" >/dev/null; then
    rm -f "$HG_STATE/wineserver"
    [ -n "${HG_WINE_SERVER_TOLD:-}" ] && return 0
    HG_WINE_SERVER_TOLD=1
    echo "setup: using the wine server that was already running for $WINEPREFIX and leaving it running; stop it with: WINEPREFIX=$WINEPREFIX wineserver -k" >&2
  fi
  return 0
}

# The server wineserver -p has just started: the one process of Wine's server (wineserver32 or
# wineserver64) whose environment names this prefix. No pipe into grep: under pipefail the
# writer's SIGPIPE would make a match fail.
record_wine_server() {
  local comm_file pid name environment
  for comm_file in /proc/[0-9]*/comm; do
    read -r name 2>/dev/null <"$comm_file" || continue
    [[ "$name" == wineserver* ]] || continue
    pid=${comm_file#/proc/}
    pid=${pid%/comm}
    environment=$(tr '\0' '\n' 2>/dev/null <"/proc/$pid/environ") || continue
    if [[ $'\n'$environment$'\n' == *$'\n'"WINEPREFIX=$WINEPREFIX"$'\n'* ]]; then
      record_process "$HG_STATE/wineserver" "$pid" && return 0
    fi
  done
  echo "setup: the wine server started for $WINEPREFIX was not found, so it will not be stopped; stop it when done with: WINEPREFIX=$WINEPREFIX wineserver -k" >&2
}

stop_wine_server() {
  local pid
  pid=$(recorded_process "$HG_STATE/wineserver") &&
    WINEPREFIX=$HG_STATE/wineprefix bounded "$HG_SERVER_SECONDS" wineserver -k
  rm -f "$HG_STATE/wineserver"
  [ -n "$pid" ] && ! stopped "$pid" &&
    echo "setup: the wine server of $HG_STATE/wineprefix (pid $pid) did not stop; stop it with: kill -9 $pid" >&2
  return 0
}

# FALSE when the process is still there after five seconds. One that is only left for its
# parent to reap (a zombie: an init that reaps late) has stopped.
stopped() {
  local stat
  for _ in $(seq 50); do
    stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 0
    [[ "$stat" == *") Z "* ]] && return 0
    sleep 0.1
  done
  return 1
}

# Each checkout has a display number of its own, from its path, so that what a run starts there
# is its own; HG_DISPLAY_NUMBER chooses one by hand.
own_display_number() {
  local sum
  sum=$(printf '%s' "$HG_ROOT" | cksum | cut -d ' ' -f 1)
  echo $((100 + sum % 800))
}

# An Xvfb started by a run of this checkout that still answers is shared (unless another number
# is asked for); the record of one that is gone is forgotten. Every record is kept until the
# last run stops its display, whatever number a later run asks for.
recorded_display() {
  local record number
  for record in "$HG_STATE"/displays/*; do
    [ -e "$record" ] || continue
    number=${record##*/}
    recorded_process "$record" >/dev/null || { rm -f "$record"; continue; }
    [ -n "${HG_DISPLAY_NUMBER:-}" ] && [ "$number" != "$HG_DISPLAY_NUMBER" ] && continue
    if DISPLAY=:$number display_answers; then
      export DISPLAY=:$number
      return 0
    fi
  done
  return 1
}

# FALSE when the number is taken (by a display that answers, or by an X server's lock) or the
# server refused it. Two checkouts whose numbers meet may launch at once: only the Xvfb whose pid
# the lock names got the display, and the other run, whose Xvfb was refused, leaves that display
# to its owner (who stops it when they end) and tries another number.
launch_xvfb() {
  local number=$1 launched owner
  export DISPLAY=:$number
  display_answers && return 1
  clear_dead_display
  [ -e "/tmp/.X$number-lock" ] && return 1
  mkdir -p "$HG_STATE/displays" || return 1
  # A session of its own: a Ctrl+C meant for the script does not reach it, so that a run of this
  # checkout sharing it keeps it until the last run stops it. The shell in between tells the pid
  # it hands on to Xvfb, whether or not setsid forked.
  launched=$(setsid -f sh -c 'echo $$; exec Xvfb "$@" </dev/null >/dev/null 2>&1' sh \
    "$DISPLAY" -screen 0 1024x768x24 -nolisten tcp </dev/null 2>/dev/null 9>&-)
  [ -n "$launched" ] || return 1
  for _ in $(seq 50); do
    # The server has written its pid into its lock before it answers.
    if display_answers; then
      owner=$(tr -d ' \n' 2>/dev/null <"/tmp/.X$number-lock")
      [ "$owner" = "$launched" ] && record_process "$HG_STATE/displays/$number" "$launched" && return 0
      break
    fi
    kill -0 "$launched" 2>/dev/null || return 1
    sleep 0.1
  done
  kill "$launched" 2>/dev/null
  return 1
}

start_display() {
  if [ -n "${DISPLAY:-}" ] && display_answers; then return 0; fi
  recorded_display && return 0
  if [ -n "${HG_DISPLAY_NUMBER:-}" ]; then
    export DISPLAY=:$HG_DISPLAY_NUMBER
    if display_answers; then
      local owner
      owner=$(tr -d ' \n' 2>/dev/null <"/tmp/.X$HG_DISPLAY_NUMBER-lock")
      [ -n "$owner" ] || owner="<the pid of its X server>"
      echo "setup: using the display $DISPLAY, which was already running and is not this checkout's, and leaving it running; stop it, once nothing else uses it, with: kill $owner" >&2
      return 0
    fi
    launch_xvfb "$HG_DISPLAY_NUMBER" && return 0
    echo "setup: the virtual display $DISPLAY did not start; set HG_DISPLAY_NUMBER to a free display number" >&2
    return 1
  fi
  local first number
  first=$(own_display_number)
  for number in $(seq "$first" $((first + 19))); do
    launch_xvfb "$number" && return 0
  done
  echo "setup: no virtual display would start on :$first to :$((first + 19)); set HG_DISPLAY_NUMBER to a free display number" >&2
  return 1
}

stop_displays() {
  local record pid
  for record in "$HG_STATE"/displays/*; do
    [ -e "$record" ] || continue
    if pid=$(recorded_process "$record"); then
      kill "$pid"
      stopped "$pid" ||
        echo "setup: the virtual display :${record##*/} (Xvfb, pid $pid) did not stop; stop it with: kill -9 $pid" >&2
    fi
    rm -f "$record"
  done
}

# The EXIT trap of the script that sourced this file: keeps that script's exit status, and the
# caller's shell options.
release_servers() {
  # shellcheck disable=SC2319 # the status the sourcing script ends with
  local status=$?
  local -
  set +e
  if lock_servers; then
    if last_run_out; then
      stop_wine_server
      stop_displays
    fi
    unlock_servers
  fi
  return "$status"
}

# A socket can outlive its server (a killed Xvfb, a restored snapshot of /tmp), so only a
# server that answers counts as running; one that hangs does not.
display_answers() {
  timeout -k 1 5 xdpyinfo >/dev/null 2>&1
}

# Nothing answers on the display, so a lock naming a process that is not an X server is left
# over from a dead one; Xvfb would refuse the number while the lock stands.
clear_dead_display() {
  local number=${DISPLAY#:} owner
  local lock=/tmp/.X$number-lock
  [ -f "$lock" ] || return 0
  owner=$(tr -d ' \n' <"$lock" 2>/dev/null)
  if [ -n "$owner" ] && [[ "$(cat "/proc/$owner/comm" 2>/dev/null)" == X* ]]; then return 0; fi
  rm -f "$lock" "/tmp/.X11-unix/X$number"
}

# An EXIT trap the sourcing shell had before still runs, after the servers are stopped; sourced
# again by the same shell, the one kept stays.
keep_callers_exit_trap() {
  local current
  current=$(trap -p EXIT)
  [[ $current == *release_servers* ]] && return 0
  HG_CALLERS_EXIT_TRAP=$current
}

run_callers_exit_trap() {
  [ -n "${HG_CALLERS_EXIT_TRAP:-}" ] || return 0
  eval "set -- ${HG_CALLERS_EXIT_TRAP#trap -- }"
  eval "$1"
}

# Every step says what went wrong when it fails, without relying on the caller's errexit.
set_up() {
  mkdir -p "$HG_STATE" && install_missing && lock_servers || return 1
  register_run || { unlock_servers; return 1; }
  keep_callers_exit_trap
  trap 'release_servers; run_callers_exit_trap' EXIT
  # Ended by a signal, a script still runs its EXIT trap; a terminal's own shell that sourced this
  # file keeps its Ctrl+C, and stops the servers when it ends.
  if [[ $- != *i* ]]; then
    trap 'exit 130' INT
    trap 'exit 143' TERM
    trap 'exit 129' HUP
  fi
  prepare_wine || { unlock_servers; return 1; }
  unlock_servers
}

if ! set_up; then
  # A terminal stays open: what this run started is stopped now, and its trap goes with it,
  # giving back the shell's own.
  if [[ $- == *i* ]]; then
    release_servers
    trap - EXIT
    [ -z "${HG_CALLERS_EXIT_TRAP:-}" ] || eval "$HG_CALLERS_EXIT_TRAP"
    return 1
  fi
  exit 1
fi
