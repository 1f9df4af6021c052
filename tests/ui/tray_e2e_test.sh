#!/usr/bin/env bash
# The tray application on a private X display (run under with_xvfb.sh):
#   tray_e2e_test.sh TILLERPAD SHOT_DIR
# With an XEmbed tray (trayer) its icon is embedded there, a click opens the
# menu and Ctrl+Q in it quits; without any tray the settings window opens and
# SIGINT ends it; without a display it refuses to start. The display is read
# and driven with xwininfo and xdotool, the screen saved with xwd.
TILLERPAD=$1 SHOTS=$2
set -uo pipefail
# In the sanitizer build: what libdbus keeps for the process is not ours.
# (One suppression file for the project: a second suppressions= would replace the first.)
export LSAN_OPTIONS="${LSAN_OPTIONS:+$LSAN_OPTIONS:}suppressions=$(cd "$(dirname "$0")/../support" && pwd)/lsan.supp"
# The end-to-end scripts' folder, clean-up, steps and bounded waits.
source "$(dirname "$0")/../e2e/lib.sh"

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
  mkdir -p "$E2E_DIR/$name/config" "$E2E_DIR/$name/data" "$E2E_DIR/$name/home"
  env -u DBUS_SESSION_BUS_ADDRESS -u WAYLAND_DISPLAY QT_QPA_PLATFORM=xcb HOME="$E2E_DIR/$name/home" \
    XDG_CONFIG_HOME="$E2E_DIR/$name/config" XDG_DATA_HOME="$E2E_DIR/$name/data" XDG_RUNTIME_DIR="$E2E_DIR/$name" \
    "$TILLERPAD" "$@" >"$E2E_DIR/$name.app.out" 2>"$E2E_DIR/$name.app.err" &
  app_pid=$!
  E2E_PIDS+=("$app_pid")
}

# windows KIND: the mapped windows of the application, one "<x> <y> <w> <h>"
# per line; KIND icon (inside another window: the tray's), popup (a menu) or
# normal (a window of its own).
windows() {
  local w info kind
  for w in $(xdotool search --pid "$app_pid" 2>/dev/null); do
    info=$(xwininfo -id "$w" 2>/dev/null) || continue
    grep -q 'Map State: IsViewable' <<<"$info" || continue
    if [ "$(xwininfo -id "$w" -children | awk '/Parent window id/ {print $4}')" != "$root" ]; then kind=icon
    elif grep -q 'Override Redirect State: yes' <<<"$info"; then kind=popup
    else kind=normal; fi
    if [ "$kind" = "$1" ]; then
      awk '/Absolute upper-left X/ {x=$4} /Absolute upper-left Y/ {y=$4} /Width:/ {w=$2} /Height:/ {h=$2}
        END {print x, y, w, h}' <<<"$info"
    fi
  done | grep .
}
shot() { xwd -root -silent | xwdtopnm 2>/dev/null | pnmtopng >"$SHOTS/$1"; }
root=$(xwininfo -root | awk '/Window id:/ {print $4}')
mkdir -p "$SHOTS"

step "without a display it says so and exits 2"
env -u DISPLAY -u WAYLAND_DISPLAY "$TILLERPAD" >"$E2E_DIR/nodisplay.out" 2>"$E2E_DIR/nodisplay.err"
exit_status=$?
[ "$exit_status" -eq 2 ] || fail "exit status $exit_status without a display"
grep -q 'no X display' "$E2E_DIR/nodisplay.err" || fail "no explanation: $(cat "$E2E_DIR/nodisplay.err")"

step "an XEmbed tray; the application started as at login"
trayer --edge top --align right --widthtype request --height 32 --SetDockType true --transparent false \
  --tint 0x3d3846 >"$E2E_DIR/trayer.out" 2>"$E2E_DIR/trayer.err" &
trayer_pid=$!
E2E_PIDS+=("$trayer_pid")
until_true bash -c 'xwininfo -root -tree | grep -q "(\"panel\" \"trayer\")"' || fail "no trayer panel"
# --quiet also waits for a tray that comes up after the application.
start_app tray --quiet

step "the icon is embedded in the tray, and nothing else opens"
until_true windows icon >/dev/null || fail "no icon of tillerpad in the tray"
read -r x y w h < <(windows icon)
echo "icon at $x,$y size ${w}x$h"
windows normal && fail "a window opened"

step "a click on the icon opens its menu"
# A click that comes before the embedding is complete is lost: clicked again
# (at most 10 times) until the menu shows.
for _ in $(seq 10); do
  windows popup >/dev/null && break
  xdotool mousemove $((x + w / 2)) $((y + h / 2)) click 1
  for _ in $(seq 10); do windows popup >/dev/null && break; sleep 0.1; done
done
windows popup >/dev/null || fail "no menu after a click on the icon"
shot tray-xvfb-menu.png || fail "no screenshot"

step "Ctrl+Q in the menu quits cleanly"
xdotool key ctrl+q
wait_exit "$app_pid"
[ "$exit_status" -eq 0 ] || fail "exit status $exit_status after Ctrl+Q"

step "without a tray the settings window opens; SIGINT ends it"
kill -TERM "$trayer_pid"
until_true bash -c '! xwininfo -root -tree | grep -q "(\"panel\" \"trayer\")"' || fail "the tray stayed"
start_app notray
until_true windows normal >/dev/null || fail "no window without a tray"
shot tray-xvfb-no-tray.png
kill -INT "$app_pid"
wait_exit "$app_pid"
[ "$exit_status" -eq 0 ] || fail "exit status $exit_status after SIGINT"
grep -q 'Stopping on SIGINT' "$E2E_DIR/notray.app.err" || fail "no stop notice"
echo "ok"
