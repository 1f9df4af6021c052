#!/usr/bin/env bash
# The tray application on a private X display (run under with_xvfb.sh):
#   tray_e2e_test.sh TILLERPAD PROBE SHOT_DIR
# With an XEmbed tray (trayer) its icon is embedded there, a click opens the
# menu and Ctrl+Q in it quits; without any tray the settings window opens and
# SIGINT ends it; without a display it refuses to start.
TILLERPAD=$1 PROBE=$2 SHOTS=$3
set -uo pipefail
DIR=$(mktemp -d /tmp/tray-e2e.XXXXXX)
PIDS=()
step_name=start

cleanup() {
  local status=$?
  if [ "$status" -ne 0 ]; then
    echo "FAILED during: $step_name" >&2
    for f in "$DIR"/*.err; do [ -f "$f" ] && { echo "--- tail of ${f##*/}" >&2; tail -n 30 "$f" >&2; }; done
  fi
  for pid in "${PIDS[@]}"; do kill -TERM "$pid" 2>/dev/null; done
  for pid in "${PIDS[@]}"; do
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
  done
  rm -rf "$DIR"
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

step() { step_name="$*"; echo "== $(date +%T) $*"; }
fail() { echo "FAIL: $*" >&2; exit 1; }

# until COMMAND...: polls for 20 s at most.
until_true() {
  for _ in $(seq 200); do "$@" && return 0; sleep 0.1; done
  return 1
}

# start_app [ARGS...]: tillerpad without --headless, in private folders and
# without a session bus (records in the file store, the XEmbed tray); sets app_pid.
start_app() {
  local name=$1
  shift
  mkdir -p "$DIR/$name/config" "$DIR/$name/data" "$DIR/$name/home"
  env -u DBUS_SESSION_BUS_ADDRESS -u WAYLAND_DISPLAY QT_QPA_PLATFORM=xcb HOME="$DIR/$name/home" \
    XDG_CONFIG_HOME="$DIR/$name/config" XDG_DATA_HOME="$DIR/$name/data" XDG_RUNTIME_DIR="$DIR/$name" \
    "$TILLERPAD" "$@" >"$DIR/$name.out" 2>"$DIR/$name.err" &
  app_pid=$!
  PIDS+=("$app_pid")
}

# wait_exit PID: until it ends, 20 s at most; sets exit_status.
wait_exit() {
  for _ in $(seq 200); do
    if ! kill -0 "$1" 2>/dev/null; then
      wait "$1" 2>/dev/null
      exit_status=$?
      return 0
    fi
    sleep 0.1
  done
  fail "process $1 still running after 20 s"
}

icon() { "$PROBE" icons "$app_pid" | head -n 1 | grep .; }
popup() { "$PROBE" windows "$app_pid" | grep -q '^window popup '; }
normal_window() { "$PROBE" windows "$app_pid" | grep '^window normal ' | head -n 1 | grep .; }
mkdir -p "$SHOTS"

step "without a display it says so and exits 2"
env -u DISPLAY -u WAYLAND_DISPLAY "$TILLERPAD" >"$DIR/nodisplay.out" 2>"$DIR/nodisplay.err"
exit_status=$?
[ "$exit_status" -eq 2 ] || fail "exit status $exit_status without a display"
grep -q 'no X display' "$DIR/nodisplay.err" || fail "no explanation: $(cat "$DIR/nodisplay.err")"

step "an XEmbed tray"
trayer --edge top --align right --widthtype request --height 32 --SetDockType true --transparent false \
  --tint 0x3d3846 >"$DIR/trayer.out" 2>"$DIR/trayer.err" &
PIDS+=("$!")
until_true "$PROBE" has-tray || fail "trayer did not take the tray selection"

step "the icon is embedded in the tray, and nothing else opens"
start_app tray
until_true icon >/dev/null || fail "no icon of tillerpad in the tray"
read -r _ x y w h < <(icon)
echo "icon at $x,$y size ${w}x$h"
[ "$w" -gt 0 ] && [ "$h" -gt 0 ] || fail "the icon has no size"
normal_window && fail "a window opened although the tray is there and input is permitted"

step "a click on the icon opens its menu"
"$PROBE" click $((x + w / 2)) $((y + h / 2))
until_true popup || fail "no menu after a click on the icon"
"$PROBE" windows "$app_pid"
"$PROBE" shot "$SHOTS/tray-xvfb-menu.png" || fail "no screenshot"

step "Ctrl+Q in the menu quits cleanly"
"$PROBE" keys ctrl+q
wait_exit "$app_pid"
[ "$exit_status" -eq 0 ] || fail "exit status $exit_status after Ctrl+Q"

step "without a tray the settings window opens; SIGINT ends it"
kill -TERM "${PIDS[0]}"
until_true bash -c "! '$PROBE' has-tray" || fail "the tray did not go away"
start_app notray
until_true normal_window >/dev/null || fail "no window without a tray"
normal_window
"$PROBE" shot "$SHOTS/tray-xvfb-no-tray.png"
kill -INT "$app_pid"
wait_exit "$app_pid"
[ "$exit_status" -eq 0 ] || fail "exit status $exit_status after SIGINT"
grep -q 'Stopping on SIGINT' "$DIR/notray.err" || fail "no stop notice"
echo "ok"
