#!/usr/bin/env bash
# The servers scripts/setup.sh starts and stops, against stand-ins for Xvfb, xdpyinfo, wine and
# wineserver on PATH, in scratch checkouts: a run stops exactly what it started, never waits
# without end, and leaves a terminal's shell as it found it. Takes a few seconds.
# Usage: scripts_test.sh [SETUP_SCRIPT] (by default the checkout's own scripts/setup.sh)
set -uo pipefail
setup_script=$(realpath "${1:-$(dirname "${BASH_SOURCE[0]}")/../scripts/setup.sh}")
work=$(mktemp -d)
fake=$work/fake
mkdir -p "$fake/bin" "$fake/servers"
export FAKE_DIR=$fake

# --- stand-ins ----------------------------------------------------------------------------------
# Xvfb: after FAKE_XVFB_DELAY seconds takes the display's lock as the real one does (refused
# when another holds it), then serves until killed. It looks like the real one to ps: comm Xvfb
# and the command line "Xvfb :N ...", being bash under the name Xvfb running a script called :N.
cat >"$fake/bin/Xvfb" <<'EOF'
#!/bin/bash
echo $$ >>"$FAKE_DIR/started"
cd "$FAKE_DIR/servers" && cp serve_display "$1" && exec -a Xvfb ./Xvfb "$@"
EOF
cat >"$fake/servers/serve_display" <<'EOF'
sleep "${FAKE_XVFB_DELAY:-0}"
[ -z "${FAKE_XVFB_REFUSE:-}" ] || exit 1
(set -C; printf '%10d\n' $$ >"/tmp/.X${0#:}-lock") 2>/dev/null || exit 1
trap 'rm -f "/tmp/.X${0#:}-lock"; exit 0' TERM
while sleep 0.05; do :; done
EOF
ln -s "$(command -v bash)" "$fake/servers/Xvfb"
# xdpyinfo: a display answers while its lock names a live Xvfb.
cat >"$fake/bin/xdpyinfo" <<'EOF'
#!/bin/bash
pid=$(tr -d ' \n' 2>/dev/null <"/tmp/.X${DISPLAY#:}-lock") && [ -n "$pid" ] &&
  [ "$(cat "/proc/$pid/comm" 2>/dev/null)" = Xvfb ]
EOF
# wineserver: one server per prefix; -p starts a persistent one (2 when one runs, 1 without the
# prefix's folder), -k stops it, -w waits until it ends: for a persistent one, for ever.
cat >"$fake/bin/wineserver" <<'EOF'
#!/bin/bash
record=$FAKE_DIR/wineserver-$(printf '%s' "$WINEPREFIX" | cksum | cut -d ' ' -f 1)
running() { [ -f "$record" ] && kill -0 "$(cat "$record")" 2>/dev/null; }
case $1 in
  -p) [ -d "$WINEPREFIX" ] || exit 1
      running && exit 2
      setsid "$FAKE_DIR/servers/wineserver32" </dev/null >/dev/null 2>&1 &
      echo $! >"$record"; echo $! >>"$FAKE_DIR/started"
      # The real one answers once its server is up.
      until [ "$(cat "/proc/$!/comm")" = wineserver32 ]; do sleep 0.01; done ;;
  -k) running || exit 1; kill "$(cat "$record")" ;;
  -w) while running; do sleep 0.05; done ;;
esac
EOF
printf '#!/bin/bash\nwhile sleep 0.05; do :; done\n' >"$fake/servers/wineserver32"
# wine: wineboot -i makes the prefix's folder; wineboot hangs when FAKE_WINE_HANGS is set;
# everything else succeeds at once.
cat >"$fake/bin/wine" <<'EOF'
#!/bin/bash
[ "$*" != "wineboot -i" ] || mkdir -p "$WINEPREFIX/drive_c"
[ "$*" != "wineboot" ] || [ -z "${FAKE_WINE_HANGS:-}" ] || exec sleep 600
EOF
# Nothing is ever installed from here.
printf '#!/bin/bash\necho "scripts_test: apt-get was called" >&2\nexit 1\n' >"$fake/bin/apt-get"
printf '#!/bin/bash\nexit 0\n' >"$fake/bin/dpkg"
chmod +x "$fake/bin/"* "$fake/servers/wineserver32"
export PATH=$fake/bin:$PATH
unset DISPLAY HG_DISPLAY_NUMBER HG_STATE WINEPREFIX

# A stand-in server this test started, still alive (its pid not gone to another process).
server_alive() {
  [[ "$(cat "/proc/$1/comm" 2>/dev/null)" == @(Xvfb|wineserver32) ]] && [[ "$(cat "/proc/$1/stat")" != *") Z "* ]]
}

# Ends the runs a failed row left holding, and stops by pid every stand-in server still alive.
clean_up() {
  local pid checkout
  for checkout in "$work"/*/; do touch "$checkout/release"; done
  wait
  while read -r pid; do server_alive "$pid" && kill "$pid"; done <"$fake/started"
  : >"$fake/started"
}
: >"$fake/started"
trap 'clean_up; rm -rf "$work"' EXIT

# --- helpers ------------------------------------------------------------------------------------
display_number_of() { echo $((100 + $(printf '%s' "$1" | cksum | cut -d ' ' -f 1) % 800)); }
number_free() { [ ! -e "/tmp/.X$1-lock" ] && [ ! -e "/tmp/.X11-unix/X$1" ]; }

# A scratch checkout holding only the script under test.
checkout() {
  mkdir -p "$work/$1/scripts"
  cp "$setup_script" "$work/$1/scripts/setup.sh"
  echo "$work/$1"
}

# A run that sources setup and holds its servers until $1/release appears; its DISPLAY in $1/display.
start_held_run() {
  (cd "$1" && exec bash -c 'set -euo pipefail; source scripts/setup.sh
    echo "$DISPLAY" >"$0/display"; while [ ! -e "$0/release" ]; do sleep 0.05; done' "$1" 2>>"$1/stderr") &
}
wait_for_display() { for _ in $(seq 100); do [ -s "$1/display" ] && return 0; sleep 0.05; done; return 1; }
end_held_run() { touch "$1/release"; wait "$2"; }
run_once() { (cd "$1" && timeout 10 bash -c 'set -euo pipefail; source scripts/setup.sh' 2>>"$1/stderr"); }

lock_owner() { tr -d ' \n' 2>/dev/null <"/tmp/.X$1-lock"; }
# Every stand-in server this row started has stopped (or does within two seconds).
all_stopped() {
  local pid
  while read -r pid; do
    for _ in $(seq 40); do server_alive "$pid" || continue 2; sleep 0.05; done
    echo "$(cat "/proc/$pid/comm") (pid $pid) is still running" >&2
    return 1
  done <"$fake/started"
}
# The first free display number from $1, by default far above the numbers checkouts take from
# their paths and apart from another run of this test.
first_free_number=$((5000 + RANDOM % 4000))
free_number() {
  local number=${1:-$first_free_number}
  while ! number_free "$number"; do number=$((number + 1)); done
  echo "$number"
}

# --- rows ---------------------------------------------------------------------------------------
# Two checkouts whose numbers meet, started together: each gets a display of its own, and the
# first to end leaves the other's display running.
same_number_started_together() {
  local a="" b n i pa pb
  local -A path_of
  for i in $(seq 1000); do
    n=$(display_number_of "$work/meet-$i")
    if [ -n "${path_of[$n]:-}" ] && number_free "$n" && number_free $((n + 1)); then
      a=$(checkout "${path_of[$n]}"); b=$(checkout "meet-$i")
      break
    fi
    path_of[$n]=meet-$i
  done
  [ -n "$a" ] || { echo "no two scratch paths give one free number"; return 1; }
  FAKE_XVFB_DELAY=1 start_held_run "$a"; pa=$!
  FAKE_XVFB_DELAY=1 start_held_run "$b"; pb=$!
  if ! wait_for_display "$a" || ! wait_for_display "$b"; then echo "a run did not start"; return 1; fi
  [ "$(cat "$a/display")" != "$(cat "$b/display")" ] || { echo "both use $(cat "$a/display")"; return 1; }
  end_held_run "$a" "$pa"
  DISPLAY=$(cat "$b/display") xdpyinfo || { echo "the first to end stopped the other's display"; return 1; }
  end_held_run "$b" "$pb"
  all_stopped || { echo "a display was left running"; return 1; }
}

# A prefix folder without its ready-marker (a Ctrl+C during the first wineboot) is made again.
half_made_prefix_made_again() {
  local c
  c=$(checkout half-made)
  mkdir -p "$c/.hushgate/wineprefix"
  HG_DISPLAY_NUMBER=$(free_number) run_once "$c" || { echo "setup did not finish (status $?)"; return 1; }
  grep -q 'half-made' "$c/stderr" || { echo "no line says the prefix is made again"; return 1; }
  [ -f "$c/.hushgate/wineprefix/.hushgate-ready" ] || { echo "the prefix was not readied"; return 1; }
  all_stopped || { echo "a server was left running"; return 1; }
}

# Sourced by a terminal's shell: its options and traps stay as they were (its own EXIT trap runs
# after the one that stops the servers), a failing command afterwards leaves it open, and so does
# a failing setup.
terminal_shell_kept() {
  local c refuse=$2 out
  c=$(checkout "terminal-$1")
  out=$(cd "$c" && FAKE_XVFB_REFUSE=$refuse HG_DISPLAY_NUMBER=$(free_number) timeout 20 bash --norc --noprofile -i 2>/dev/null <<'EOF'
shell_state() { set +o; shopt -p; trap -p | grep -v ' EXIT$'; }
trap 'echo own-exit-trap-ran' EXIT
before=$(shell_state)
source scripts/setup.sh
[ "$before" = "$(shell_state)" ] && echo options-kept
false
echo still-open
EOF
)
  [[ $out == *options-kept* ]] || { echo "the shell's options or traps changed"; return 1; }
  [[ $out == *still-open* ]] || { echo "the shell closed"; return 1; }
  [[ $out == *own-exit-trap-ran* ]] || { echo "the shell's own EXIT trap did not run"; return 1; }
  all_stopped || { echo "a server was left running"; return 1; }
}

# A run record whose pid went to an unrelated process does not keep the servers running.
reused_run_pid_ignored() {
  local c stranger
  c=$(checkout reused-pid)
  sleep 30 & stranger=$!
  mkdir -p "$c/.hushgate/runs"
  echo "$stranger 1" >"$c/.hushgate/runs/$stranger"
  HG_DISPLAY_NUMBER=$(free_number) run_once "$c"
  kill "$stranger"
  all_stopped || { echo "the servers were kept for pid $stranger"; return 1; }
}

# A run asking for another number keeps the record of the display an earlier run started: the
# last run out stops both.
display_by_number_keeps_earlier() {
  local c first second held
  c=$(checkout by-number)
  first=$(free_number); second=$(free_number $((first + 1)))
  HG_DISPLAY_NUMBER=$first start_held_run "$c"; held=$!
  wait_for_display "$c" || { echo "the first run did not start"; return 1; }
  HG_DISPLAY_NUMBER=$second run_once "$c"
  server_alive "$(lock_owner "$first")" || { echo "the second run stopped :$first"; return 1; }
  end_held_run "$c" "$held"
  all_stopped || { echo "a display was left running"; return 1; }
}

# A wine server the user started, found beside the record a killed run left, is not ours: used,
# named, left running.
stale_marker_not_adopted() {
  local c users_server
  c=$(checkout stale-marker)
  mkdir -p "$c/.hushgate/wineprefix"
  touch "$c/.hushgate/wineprefix/.hushgate-ready"
  WINEPREFIX=$c/.hushgate/wineprefix wineserver -p
  users_server=$(tail -n 1 "$fake/started")
  echo "999999 1" >"$c/.hushgate/wineserver"
  HG_DISPLAY_NUMBER=$(free_number) run_once "$c"
  server_alive "$users_server" || { echo "the user's wine server was stopped"; return 1; }
  grep -q 'already running' "$c/stderr" || { echo "no line names the user's server"; return 1; }
  kill "$users_server"
  all_stopped || { echo "a server was left running"; return 1; }
}

# A Wine step that never ends is stopped at its limit, with a line that says what to do.
hung_wine_step_bounded() {
  local c
  c=$(checkout hung-step)
  mkdir -p "$c/.hushgate/wineprefix"
  touch "$c/.hushgate/wineprefix/.hushgate-ready"
  if FAKE_WINE_HANGS=1 HG_WINE_STEP_SECONDS=1 HG_DISPLAY_NUMBER=$(free_number) run_once "$c"; then
    echo "setup went on past a step that never ended"; return 1
  fi
  grep -q 'did not finish' "$c/stderr" || { echo "no line says the step was stopped"; return 1; }
  all_stopped || { echo "a server was left running"; return 1; }
}

rows=(
  "1|two checkouts on one number, started together|same_number_started_together"
  "2|a half-made prefix is made again|half_made_prefix_made_again"
  "3|a terminal's shell keeps its options|terminal_shell_kept ok ''"
  "4|a terminal's shell stays open when setup fails|terminal_shell_kept refused 1"
  "5|a run record whose pid was reused|reused_run_pid_ignored"
  "6|a display by number keeps the earlier one's record|display_by_number_keeps_earlier"
  "7|a stale wine server record adopts nothing|stale_marker_not_adopted"
  "8|a Wine step that never ends is stopped at its limit|hung_wine_step_bounded"
)
failures=0
for row in "${rows[@]}"; do
  [[ ",${SCRIPTS_TEST_ROWS:-${row%%|*}}," == *",${row%%|*},"* ]] || continue
  IFS='|' read -r number name call <<<"$row"
  : >"$fake/started"
  started=$SECONDS
  if eval "$call" >"$work/reason" 2>&1; then
    echo "row $number ($name): ok ($((SECONDS - started)) s)"
  else
    echo "row $number ($name): FAILED: $(tr "\n" " " <"$work/reason")"; cat "$work"/*/stderr 2>/dev/null | sed "s/^/    /"
    failures=$((failures + 1))
  fi
  clean_up
done
[ "$failures" -eq 0 ]
