#!/usr/bin/env bash
# The headless desktop on a private headless sway with a command-line phone
# over real TLS on loopback, the backend chosen by the session itself:
#   wayland_test.sh TILLERPAD REMOTE PATTERN_CLIENT
# One sway, one service and one paired phone for every step. The oracles are
# the session's own peers: foot's SGR mouse reports and raw input for the
# pointer, wheel and keys; grim and the pattern client for the screen;
# wl-copy/wl-paste for the clipboard; swaymsg's tree for the focus.
# Without sway it skips (77) with the reason.
TILLERPAD=$1 REMOTE=$2 PATTERN=$3
. "$(dirname "$0")/lib.sh"
started=$(date +%s.%N)
runs=${TILLERPAD_TEXT_RUNS:-20}

step "a private headless sway"
unset DISPLAY
start_private_sway || exit $?
export WAYLAND_DISPLAY=$SWAY_WAYLAND
# The clients' runtime folder; the service gets one of its own from start_host.
export XDG_RUNTIME_DIR=$SWAY_DIR

# The focused view's app_id in sway's tree (empty when none).
focused_app() {
  swaymsg -t get_tree | python3 -c '
import json, sys
def walk(n):
    if n.get("focused"): return n.get("app_id") or ""
    for c in n.get("nodes", []) + n.get("floating_nodes", []):
        r = walk(c)
        if r is not None: return r
print(walk(json.load(sys.stdin)) or "")'
}

# wait_focused APP_ID: until sway focuses a view of that app_id (20 s).
wait_focused() {
  for _ in $(seq 200); do [ "$(focused_app)" = "$1" ] && return 0; sleep 0.1; done
  fail "sway focuses '$(focused_app)', not '$1'"
}

# The colour grim reads at one point of the output, as RRGGBB.
pixel_at() { grim -g "$1,$2 1x1" -t ppm - 2>/dev/null | tail -c 3 | od -An -tx1 | tr -d ' \n'; }

# A terminal with an app_id of its own; its log gets foot's cell size.
foot_window() {  # foot_window APP_ID COMMAND
  foot --app-id="$1" --window-size-pixels=1280x800 -o pad=0x0 sh -c "$2" 2>"$E2E_DIR/$1.foot.log" &
  E2E_PIDS+=("$!")
  wait_focused "$1"
}

step "the desktop starts and picks wlroots by itself, with input and screen"
# Entries for the two foot windows (and no system ones): each window is
# matched by its app_id, not by its program, which both share.
export XDG_DATA_DIRS="$E2E_DIR/system"
mkdir -p "$E2E_DIR/host/data/applications"
for app in "tillerpad-e2e-app|E2E Terminal" "tillerpad-rec|Recorder"; do
  printf '[Desktop Entry]\nType=Application\nName=%s\nExec=foot --app-id=%s cat\n' "${app#*|}" "${app%%|*}" \
    >"$E2E_DIR/host/data/applications/${app%%|*}.desktop"
done
start_host --pair
wait_for "$E2E_DIR/host.out" "$new_code_shown"
wait_for "$E2E_DIR/host.err" 'Fast channel on UDP port'
[ "$(count "$E2E_DIR/host.err" 'Desktop backend|Wayland session|No desktop session')" -eq 1 ] ||
  fail "not one backend line: $(grep -E 'backend|Wayland|desktop session' "$E2E_DIR/host.err")"
grep -qF "NOTICE app: Desktop backend: wlroots (the Wayland compositor offers the wlroots virtual-pointer and screencopy protocols)" \
  "$E2E_DIR/host.err" || fail "wlroots was not chosen: $(grep -E 'backend' "$E2E_DIR/host.err")"
host_say status
wait_for "$E2E_DIR/host.out" '^Pointer and keyboard control: allowed$'
wait_for "$E2E_DIR/host.out" '^Screen viewing: possible$'
pair_phone phone

step "a frame of the pattern decodes at 30 dB or better; a still screen gives one frame then none"
"$PATTERN" show >"$E2E_DIR/pattern.out" 2>&1 &
pattern_pid=$!
E2E_PIDS+=("$pattern_pid")
wait_for "$E2E_DIR/pattern.out" '^ready$'
# Shown, not only committed: grim reads the pattern's colour in a block's middle.
want=$(python3 -c 'i,j=5,3; print("%02x%02x%02x" % ((i*53+j*29+17)%256, (i*97+j*71+101)%256, (i*13+j*151+211)%256))')
for _ in $(seq 100); do [ "$(pixel_at 440 280)" = "$want" ] && break; sleep 0.1; done
[ "$(pixel_at 440 280)" = "$want" ] || fail "grim reads $(pixel_at 440 280) at (440,280), not the pattern's $want"
remote_background phone screen --width 1280 --fps 20 --frames 3 --out "$E2E_DIR/frames"
viewer=$remote_pid
wait_for "$E2E_DIR/phone.remote.out" '^frame id='
# Nothing changes: the next 1.5 s (30 frame intervals) bring no frame.
for _ in $(seq 15); do sleep 0.1; done
[ "$(count "$E2E_DIR/phone.remote.out" '^frame id=')" -eq 1 ] || fail "a still screen gave $(count "$E2E_DIR/phone.remote.out" '^frame id=') frames"
kill -TERM "$viewer"
wait_exit "$viewer" 10
[ "$exit_status" -eq 0 ] || fail "screen ended with status $exit_status"
grep -qE '^screenInfo displayID=[0-9]+ displays=[0-9]+:HEADLESS-1:1280x800:main' "$E2E_DIR/phone.remote.out" ||
  fail "no screenInfo naming sway's output: $(grep screenInfo "$E2E_DIR/phone.remote.out")"
grep -qE '^screen frames=1 ' "$E2E_DIR/phone.remote.out" || fail "the summary does not count one frame"
frame=("$E2E_DIR"/frames/frame-*.jpg)
psnr=$("$PATTERN" psnr "${frame[0]}") || fail "the frame does not decode"
echo "$psnr"
python3 -c "import sys; sys.exit(0 if float('${psnr#psnr=}') >= 30 else 1)" || fail "the frame is off the pattern: $psnr"
kill -TERM "$pattern_pid"

step "a foot window records the pointer, the wheel and the keys"
# Mouse reporting with SGR coordinates, raw mode, everything read to a file.
recording="$E2E_DIR/recording"
foot_window tillerpad-rec "printf '\\033[?1003h\\033[?1006h'; stty raw -echo; exec cat > '$recording'"
for _ in $(seq 100); do [ -e "$recording" ] && break; sleep 0.1; done
[ -e "$recording" ] || fail "the recorder did not start"

# The SGR reports in the recording from line MARK on, one "button column row M|m" per line.
reports() {
  python3 - "$recording" "${1:-0}" <<'PY'
import re, sys
data = open(sys.argv[1], 'rb').read()[int(sys.argv[2]):].decode('utf-8', 'replace')
for b, c, r, k in re.findall(r'\x1b\[<(\d+);(\d+);(\d+)([Mm])', data):
    print(b, c, r, k)
PY
}
# wait_report MARK REGEX: until a report after byte MARK matches; sets report.
wait_report() {
  for _ in $(seq 200); do
    report=$(reports "$1" | grep -E "$2" | tail -n 1)
    [ -n "$report" ] && return 0
    sleep 0.1
  done
  fail "no report matching '$2' after byte $1: $(reports "$1" | tail -n 5 | tr '\n' '|')"
}
mark() { stat -c %s "$recording"; }

start_session phone session 4
say() { echo "$*" >&4; }

step "a move reaches the corner and a click lands there; another lands where the pointer went"
# Far up and left stops at the output's first pixel: cell 1,1. (A click
# goes over TLS, a move over UDP: each click waits for its move's report.)
m=$(mark)
say move -3000 -3000
wait_report "$m" '^35 1 1 M$'
say click
wait_report "$m" '^0 1 1 m$'
# Down and right by some (accelerated) amount: a motion report further on,
# and the right and middle buttons go down and up at that cell. (Small: a
# far move would end in foot's margin, the partial cell past its grid.)
m=$(mark)
say move 20 15
wait_report "$m" '^35 '
read -r _ col row _ <<<"$report"
[ "$col" -gt 1 ] && [ "$row" -gt 1 ] || fail "the pointer went to cell $col,$row, not down and right"
say click right
say click middle
wait_report "$m" "^1 $col $row m$"
clicks=$(reports "$m" | grep -v '^35 ' | tr '\n' '|')
[ "$clicks" = "2 $col $row M|2 $col $row m|1 $col $row M|1 $col $row m|" ] ||
  fail "the clicks are not a right and a middle click at $col,$row: $clicks"

step "the wheel turns both ways at the pointer's cell"
m=$(mark)
say scroll 0 40
wait_report "$m" "^6[45] $col $row M$"
first=${report%% *}
other=$((first == 64 ? 65 : 64))
say scroll 0 -40
wait_report "$m" "^$other $col $row M$"
[ "$(reports "$m" | grep -cE "^$first ")" -ge 1 ] || fail "no turn of the first direction"

step "typed text with characters the layout lacks arrives exactly, $runs times in a row"
m=$(mark)
expected=""
for _ in $(seq "$runs"); do
  say "type wörld ✓"
  expected+="wörld ✓"
done
say ping
# The recording after MARK without the mouse reports: the typed bytes.
typed() {
  python3 - "$recording" "$m" <<'PY'
import re, sys
data = open(sys.argv[1], 'rb').read()[int(sys.argv[2]):]
sys.stdout.write(re.sub(rb'\x1b\[<\d+;\d+;\d+[Mm]', b'', data).decode('utf-8', 'replace'))
PY
}
for _ in $(seq 300); do [ "$(typed)" = "$expected" ] && break; sleep 0.1; done
[ "$(typed)" = "$expected" ] || fail "typed '$(typed)'"
say quit
wait_exit "$session_pid" 20

step "text and a PNG copied with wl-copy reach the watching phone"
make_png "$E2E_DIR/copied.png"
remote_background phone clipboard watch --out "$E2E_DIR/clip"
watcher=$remote_pid
wait_for "$E2E_DIR/phone.remote.out" '^sent clipboardSubscription$'
copy_text() {
  printf 'Grüße aus Sway %s' "$1" | wl-copy --foreground &
  E2E_PIDS+=("$!")
}
share_copies copy_text
grep -qE '^clipboard text="Grüße aus Sway [0-9]+"$' "$E2E_DIR/phone.remote.out" || fail "the copied text did not arrive"
wl-copy --foreground --type image/png <"$E2E_DIR/copied.png" &
E2E_PIDS+=("$!")
wait_for "$E2E_DIR/phone.remote.out" '^clipboard image='
kill -TERM "$watcher"
wait_exit "$watcher" 10
[ "$exit_status" -eq 0 ] || fail "clipboard watch ended with status $exit_status"
line=$(grep '^clipboard image=' "$E2E_DIR/phone.remote.out")
[[ "$line" =~ ^clipboard\ image=png\ bytes=[0-9]+\ size=24x16\ file=\"(.*)\"$ ]] || fail "not the PNG: $line"
cmp -s "$E2E_DIR/copied.png" "${BASH_REMATCH[1]}" || fail "the phone's PNG differs from the copied one"

step "what the phone sets, text and a PNG, is what wl-paste reads"
remote phone clipboard set "from the phone ✓"
[ "$exit_status" -eq 0 ] || fail "clipboard set ended with status $exit_status"
for _ in $(seq 100); do [ "$(wl-paste --no-newline 2>/dev/null)" = "from the phone ✓" ] && break; sleep 0.1; done
[ "$(wl-paste --no-newline 2>/dev/null)" = "from the phone ✓" ] || fail "wl-paste reads '$(wl-paste --no-newline 2>&1)'"
remote phone clipboard set --image "$E2E_DIR/copied.png"
[ "$exit_status" -eq 0 ] || fail "clipboard set --image ended with status $exit_status"
for _ in $(seq 100); do wl-paste --type image/png 2>/dev/null | cmp -s - "$E2E_DIR/copied.png" && break; sleep 0.1; done
wl-paste --type image/png 2>/dev/null | cmp -s - "$E2E_DIR/copied.png" || fail "wl-paste's PNG differs (types: $(wl-paste --list-types 2>&1 | tr '\n' ' '))"

step "a foot window with the entry's app_id is running and active; open brings it back"
foot_window tillerpad-e2e-app cat
# wait_app ID RUNNING ACTIVE: until the list says so (the compositor's news is asynchronous).
wait_app() {
  local line
  for _ in $(seq 50); do
    line=$(apps_line "$1")
    [[ "$line" == *" running=$2 active=$3" ]] && return 0
    sleep 0.2
  done
  fail "$1 is not running=$2 active=$3: $(apps_line "$1")"
}
wait_app tillerpad-e2e-app true true
[[ "$(apps_line tillerpad-e2e-app)" == *' name="E2E Terminal" '* ]] || fail "not matched to its entry: $(apps_line tillerpad-e2e-app)"
swaymsg '[app_id=tillerpad-rec] focus' >/dev/null
wait_focused tillerpad-rec
wait_app tillerpad-e2e-app true false
wait_app tillerpad-rec true true
remote phone open tillerpad-e2e-app
[ "$exit_status" -eq 0 ] || fail "open ended with status $exit_status"
wait_focused tillerpad-e2e-app
wait_app tillerpad-e2e-app true true

step "a lost compositor is named in the status; quit still ends the desktop with status 0"
stop_private_sway
wait_for "$E2E_DIR/host.out" '^Pointer and keyboard control: not possible \(wlroots backend: .*gone\)$'
stop_host
echo "PASS in $(python3 -c "import time; print(f'{time.time() - $started:.1f}')") s"
