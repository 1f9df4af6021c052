#!/usr/bin/env bash
# The headless desktop streams its screen to a command-line phone over real
# TLS on loopback, on a private X display (run under with_xvfb.sh):
#   screen_test.sh TILLERPAD REMOTE RECORDER
# Five frames of the requested width arrive as JPEG files; with viewing
# switched off the phone is told so.
TILLERPAD=$1 REMOTE=$2 RECORDER=$3
. "$(dirname "$0")/lib.sh"

# The width and height a JPEG's start-of-frame segment gives.
jpeg_size() {
  python3 - "$1" <<'PY'
import struct, sys
data = open(sys.argv[1], 'rb').read()
assert data[:2] == b'\xff\xd8', 'not a JPEG'
i = 2
while i < len(data):
    marker, length = data[i + 1], struct.unpack('>H', data[i + 2:i + 4])[0]
    if marker in (0xC0, 0xC1, 0xC2):
        height, width = struct.unpack('>HH', data[i + 5:i + 9])
        print(f'{width}x{height}')
        break
    i += 2 + length
PY
}

step "something on the screen, and a desktop with a paired phone"
start_recorder
start_host --pair
wait_for "$E2E_DIR/host.out" "$new_code_shown"
pair_phone phone

step "the phone views five frames at 640 pixels while the pointer moves"
# A still screen sends one frame and then nothing: the pointer keeps it changing.
( for i in $(seq 300); do "$RECORDER" --warp $((100 + i % 50 * 4)) 300; sleep 0.05; done ) &
E2E_PIDS+=("$!")
remote phone screen --width 640 --fps 10 --frames 5 --out "$E2E_DIR/frames"
[ "$exit_status" -eq 0 ] || fail "screen ended with status $exit_status"
grep -qE '^screenInfo displayID=[0-9]+ displays=[0-9]+:[^ ]+:[0-9]+x[0-9]+:main' "$E2E_DIR/phone.remote.out" \
  || fail "no screenInfo with a main display"
[ "$(grep -c '^frame id=' "$E2E_DIR/phone.remote.out")" -eq 5 ] || fail "not five frame lines"
files=("$E2E_DIR"/frames/frame-*.jpg)
[ "${#files[@]}" -eq 5 ] || fail "${#files[@]} files written, not 5"
for f in "${files[@]}"; do
  size=$(jpeg_size "$f")
  # The private Xvfb is 1280×800: 640 wide keeps its shape.
  [ "$size" = "640x400" ] || fail "${f##*/} is $size, not 640x400"
done
grep -qE '^screen frames=5 seconds=[0-9.]+ fps=[0-9.]+$' "$E2E_DIR/phone.remote.out" || fail "no summary line"
wait_for "$E2E_DIR/host.out" '^No iPhone connected$'

step "with viewing switched off the phone is told so"
host_say share screen off
wait_for "$E2E_DIR/host.out" '^Allow Screen Viewing: off$'
remote phone screen --frames 1
[ "$exit_status" -eq 5 ] || fail "a refused stream ended with status $exit_status, not 5"
grep -q '^error code=screenViewingDisabled' "$E2E_DIR/phone.remote.out" || fail "no screenViewingDisabled"
echo "ok"
