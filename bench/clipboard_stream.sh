#!/usr/bin/env bash
# End-to-end clipboard sharing: `tillerpad --headless` on an Xvfb of its own
# and `tillerpad-remote` as the phone over TLS on loopback. Prints:
#  - text: from starting `xclip -i` until the watching phone prints the text,
#    median and worst of RUNS copies (the desktop's 0.5 s poll bounds it; each
#    copy starts at a random point of the poll's period);
#  - a 16 MiB image copied by `xclip -t image/png` until the watching phone
#    has it, and one sent by `tillerpad-remote clipboard set --image` until
#    `xclip -o -t image/png` reads it back intact (IMAGE_RUNS of each).
#   bench/clipboard_stream.sh BUILD_DIR [RUNS] [IMAGE_RUNS]
set -uo pipefail
build=$(cd "${1:?usage: clipboard_stream.sh BUILD_DIR [RUNS] [IMAGE_RUNS]}" && pwd)
runs=${2:-20} image_runs=${3:-3}
TILLERPAD=$build/host/tillerpad REMOTE=$build/tools/remote/tillerpad-remote RECORDER=$build/tests/e2e/x_event_recorder

xdir=$(mktemp -d)
Xvfb -displayfd 3 -screen 0 1280x720x24 -nolisten tcp -noreset 3>"$xdir/display" 2>/dev/null &
xvfb=$!
for _ in $(seq 100); do [ -s "$xdir/display" ] && break; sleep 0.1; done
export DISPLAY=":$(cat "$xdir/display")"
trap 'kill $xvfb 2>/dev/null; rm -rf "$xdir"' EXIT
. "$(dirname "$0")/../tests/e2e/lib.sh"
trap 'kill $xvfb 2>/dev/null; rm -rf "$xdir"; e2e_cleanup' EXIT

now() { date +%s.%N; }
# summary LABEL FILE: median and worst of the seconds in FILE, in ms.
summary() {
  sort -g "$2" | awk -v l="$1" '{ v[NR] = $1 } END {
    printf "%-40s median %7.1f ms   worst %7.1f ms   (%d runs)\n", l, 1000 * v[int(NR / 2) + 1], 1000 * v[NR], NR }'
}
# arrival PATTERN [N]: the time stamp of the phone's Nth line matching PATTERN, within 20 s.
arrival() {
  for _ in $(seq 2000); do
    grep -E "^[0-9.]+ $1\$" "$E2E_DIR/watch.out" | sed -n "${2:-1}p" | awk '{ print $1 }' | grep . && return 0
    sleep 0.01
  done
  fail "the phone did not print '$1' within 20 s"
}

start_host --pair
wait_for "$E2E_DIR/host.out" '^Expires in 5:00$'
pair_phone phone >/dev/null

# The watching phone; each line stamped when it comes out.
env XDG_DATA_HOME="$E2E_DIR/phone" HOME="$E2E_DIR/phone" \
  "$REMOTE" --host 127.0.0.1 --port "$(host_port)" clipboard watch --out "$E2E_DIR/received" 2>"$E2E_DIR/watch.err" \
  > >(while IFS= read -r line; do echo "$(now) $line"; done >"$E2E_DIR/watch.out") &
watcher=$!
E2E_PIDS+=("$watcher")
wait_for "$E2E_DIR/watch.out" ' sent clipboardSubscription$'

: >"$E2E_DIR/text.s"
for i in $(seq "$runs"); do
  sleep "0.$(printf '%03d' $((RANDOM % 500)))"  # spreads the copies over the poll's period
  start=$(now)
  printf 'bench text %d' "$i" | xclip -selection clipboard -i >/dev/null 2>&1
  got=$(arrival "clipboard text=\"bench text $i\"") || exit 1
  awk -v a="$start" -v b="$got" 'BEGIN { print b - a }' >>"$E2E_DIR/text.s"
done

image=$E2E_DIR/image.png  # a PNG signature, then noise: 16 MiB, the limit
{ printf '\x89PNG\r\n\x1a\n'; head -c $((16 * 1024 * 1024 - 8)) /dev/urandom; } >"$image"
: >"$E2E_DIR/down.s"
for i in $(seq "$image_runs"); do
  sleep "0.$(printf '%03d' $((RANDOM % 500)))"
  start=$(now)
  xclip -selection clipboard -t image/png -i "$image" >/dev/null 2>&1
  got=$(arrival 'clipboard image=png bytes=16777216 .*' "$i")  || exit 1
  saved=$(grep -E '^[0-9.]+ clipboard image=png' "$E2E_DIR/watch.out" | tail -n 1 | sed 's/.*file="\(.*\)"$/\1/')
  cmp -s "$image" "$saved" || fail "the phone's copy of the image differs"
  awk -v a="$start" -v b="$got" 'BEGIN { print b - a }' >>"$E2E_DIR/down.s"
done
# One session per phone: the watcher goes before the phone sets content.
kill -INT "$watcher"
wait_exit "$watcher" 10

: >"$E2E_DIR/up.s" && : >"$E2E_DIR/set.s"
for i in $(seq "$image_runs"); do
  xclip -selection clipboard -i /dev/null >/dev/null 2>&1  # something else first
  start=$(now)
  remote phone clipboard set --image "$image"
  [ "$exit_status" -eq 0 ] || fail "clipboard set ended with status $exit_status"
  sent=$(now)
  for _ in $(seq 200); do
    xclip -selection clipboard -o -t image/png 2>/dev/null | cmp -s - "$image" && break
    sleep 0.01
  done
  done_at=$(now)
  xclip -selection clipboard -o -t image/png 2>/dev/null | cmp -s - "$image" || fail "xclip did not read the phone's image"
  awk -v a="$start" -v b="$sent" 'BEGIN { print b - a }' >>"$E2E_DIR/set.s"
  awk -v a="$start" -v b="$done_at" 'BEGIN { print b - a }' >>"$E2E_DIR/up.s"
done

summary "text: xclip -i -> the phone has it" "$E2E_DIR/text.s"
summary "16 MiB PNG: xclip -i -> the phone has it" "$E2E_DIR/down.s"
summary "16 MiB PNG: clipboard set, until it exits" "$E2E_DIR/set.s"
summary "16 MiB PNG: set -> xclip -o has read it" "$E2E_DIR/up.s"
for f in down up; do
  sort -g "$E2E_DIR/$f.s" | awk -v d="$f" '{ v[NR] = $1 } END {
    printf "16 MiB %s: %.0f MiB/s at the median\n", d == "down" ? "desktop -> phone" : "phone -> desktop", 16 / v[int(NR / 2) + 1] }'
done
