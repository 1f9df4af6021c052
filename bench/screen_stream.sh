#!/usr/bin/env bash
# End-to-end screen streaming: `tillerpad --headless` on a 1920×1080 Xvfb of
# its own and `tillerpad-remote screen` over TLS on loopback. Prints, for each
# step of the quality ladder asked for as the phone's maxima, the frames per
# second the phone received over the last 5 s of a 20 s stream (the desktop
# starts at step 3 and climbs while the phone acknowledges quickly), then the
# desktop's CPU over 10 s of a still screen while a phone is streaming.
#   bench/screen_stream.sh BUILD_DIR      (a Release tree, see docs/benchmarks.md)
#   LINK="DELAY_MS RATE_MBIT" bench/screen_stream.sh BUILD_DIR
#       the phone's connection goes through bench/slow_link.py: each direction
#       delayed by DELAY_MS and limited to RATE_MBIT, like a Wi-Fi link
set -uo pipefail
build=$(cd "${1:?usage: screen_stream.sh BUILD_DIR}" && pwd)
TILLERPAD=$build/host/tillerpad REMOTE=$build/tools/remote/tillerpad-remote RECORDER=$build/tests/e2e/x_event_recorder

xdir=$(mktemp -d)
Xvfb -displayfd 3 -screen 0 1920x1080x24 -nolisten tcp -noreset 3>"$xdir/display" 2>/dev/null &
xvfb=$!
for _ in $(seq 100); do [ -s "$xdir/display" ] && break; sleep 0.1; done
export DISPLAY=":$(cat "$xdir/display")"
trap 'kill $xvfb 2>/dev/null; rm -rf "$xdir"' EXIT
. "$(dirname "$0")/../tests/e2e/lib.sh"
trap 'kill $xvfb 2>/dev/null; rm -rf "$xdir"; e2e_cleanup' EXIT

start_recorder
start_host --pair
wait_for "$E2E_DIR/host.out" '^Expires in 5:00$'
pair_phone phone >/dev/null

stream_port=$(host_port)
if [ -n "${LINK:-}" ]; then
  read -r link_delay link_rate <<<"$LINK"
  stream_port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  python3 "$(dirname "$0")/slow_link.py" "$stream_port" "$(host_port)" "$link_delay" "$link_rate" >"$E2E_DIR/link.out" 2>&1 &
  E2E_PIDS+=("$!")
  wait_for "$E2E_DIR/link.out" '^ready$'
  echo "link: ${link_delay} ms each way, ${link_rate} Mbit/s each direction"
fi

# The pointer moves at 60 Hz, so every tick has something new to send.
( while :; do for i in $(seq 0 4 400); do "$RECORDER" --warp $((200 + i)) 500; sleep 0.016; done; done ) &
mover=$!
E2E_PIDS+=("$mover")

printf '%-5s %-16s %-12s %-22s %s\n' step "asked (px, fps)" "fps (last 5s)" "desktop's last setting" "mean frame bytes"
ladder=("640 5" "800 8" "960 10" "1280 10" "1280 15" "1280 20" "1600 20" "1600 30" "1920 30")
for step in "${!ladder[@]}"; do
  read -r width fps <<<"${ladder[$step]}"
  out="$E2E_DIR/step$step.out"
  settings_before=$(grep -c 'Screen stream:' "$E2E_DIR/host.err")
  env XDG_DATA_HOME="$E2E_DIR/phone" HOME="$E2E_DIR/phone" timeout -s INT 20 \
    "$REMOTE" --host 127.0.0.1 --port "$stream_port" screen --width "$width" --fps "$fps" --frames 100000 \
    2>/dev/null | while IFS= read -r line; do echo "$(date +%s.%N) $line"; done >"$out"
  last=$(grep ' frame id=' "$out" | tail -n 1 | awk '{print $1}')
  recent=$(awk -v t="$last" '$2 == "frame" && $1 > t - 5' "$out" | wc -l)
  bytes=$(awk -v t="$last" '$2 == "frame" && $1 > t - 5 { for (i = 3; i <= NF; i++) if ($i ~ /^bytes=/) { sub("bytes=", "", $i); s += $i; n++ } } END { if (n) printf "%d", s / n }' "$out")
  setting=$(tail -n +$((settings_before + 1)) "$E2E_DIR/host.err" | grep 'Screen stream:' | tail -n 1 | sed 's/.*Screen stream: //')
  printf '%-5s %-16s %-12s %-22s %s\n' "$step" "$width, $fps" "$(awk -v n="$recent" 'BEGIN { printf "%.1f", n / 5 }')" "${setting:-(start: 1280 px, 10 fps)}" "${bytes:-0}"
  sleep 1
done
kill "$mover" 2>/dev/null

ticks() { awk '{ print $14 + $15 }' "/proc/$host_pid/stat"; }
env XDG_DATA_HOME="$E2E_DIR/phone" HOME="$E2E_DIR/phone" timeout -s INT 13 \
  "$REMOTE" --host 127.0.0.1 --port "$stream_port" screen --width 1280 --fps 30 --frames 100000 >"$E2E_DIR/still.out" 2>&1 &
viewer=$!
sleep 3
before=$(ticks)
frames_before=$(grep -c '^frame ' "$E2E_DIR/still.out")
sleep 10
after=$(ticks)
frames_after=$(grep -c '^frame ' "$E2E_DIR/still.out")
wait "$viewer"
hz=$(getconf CLK_TCK)
echo "still screen, a phone streaming: $((frames_after - frames_before)) frames in 10 s," \
  "desktop CPU $(awk -v t=$((after - before)) -v hz="$hz" 'BEGIN { printf "%.2f", 100 * t / hz / 10 }') % of a core"
