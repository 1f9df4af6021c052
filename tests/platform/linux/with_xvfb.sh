#!/usr/bin/env bash
# Runs a command against a private Xvfb on a free display number:
#   with_xvfb.sh COMMAND [ARGS...]
# Xvfb picks the number itself (-displayfd); waiting for it is limited to 20 s.
# -noreset: the server must not restart between tests when the last client leaves.
set -euo pipefail
dir=$(mktemp -d)
cleanup() {
  [ -n "${xvfb_pid:-}" ] && kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null || true
  rm -rf "$dir"
}
trap cleanup EXIT
Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp -noreset 3>"$dir/display" 2>"$dir/xvfb.log" &
xvfb_pid=$!
for _ in $(seq 200); do
  [ -s "$dir/display" ] && break
  kill -0 "$xvfb_pid" 2>/dev/null || { cat "$dir/xvfb.log" >&2; exit 1; }
  sleep 0.1
done
[ -s "$dir/display" ] || { echo "Xvfb did not start within 20 s" >&2; exit 1; }
export DISPLAY=":$(head -n1 "$dir/display")"
# These tests are of the X11 side: a Wayland session around them must not be chosen.
unset WAYLAND_DISPLAY
"$@"
