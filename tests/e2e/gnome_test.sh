#!/usr/bin/env bash
# The headless desktop on a private headless Mutter with a command-line phone
# over real TLS on loopback, the GNOME backend chosen by the session itself:
#   gnome_test.sh TILLERPAD REMOTE PATTERN_CLIENT GTK_RECORDER
# One Mutter, one service and one paired phone for every step. The oracles
# are the session's own clients: the pattern client for the screen, and a
# full-screen GTK window that reports clicks, wheel clicks and its entry's
# text, and copies and pastes. What GNOME does not let a client know (which
# applications run and which is in front; where the pointer is) is not
# checked. Without Mutter it skips (77) with the reason.
TILLERPAD=$1 REMOTE=$2 PATTERN=$3 GTK_RECORDER=$4
. "$(dirname "$0")/lib.sh"
started=$(date +%s.%N)
runs=${TILLERPAD_TEXT_RUNS:-20}

step "a private headless Mutter"
unset DISPLAY
/usr/bin/python3 -c 'import gi; gi.require_version("Gtk", "3.0"); from gi.repository import Gtk' 2>/dev/null ||
  { echo "SKIP: no python3-gi with GTK 3" >&2; exit 77; }
start_private_mutter || exit $?
# The clients run in Mutter's session; the service gets a runtime folder of
# its own from start_host, so it is told where PipeWire and Wayland are.
export DBUS_SESSION_BUS_ADDRESS=$MUTTER_BUS XDG_RUNTIME_DIR=$MUTTER_DIR WAYLAND_DISPLAY=$MUTTER_DIR/wayland-0
export PIPEWIRE_RUNTIME_DIR=$MUTTER_DIR GDK_BACKEND=wayland GSETTINGS_BACKEND=memory NO_AT_BRIDGE=1

step "the desktop starts and picks GNOME by itself, with input and screen"
mkdir -p "$E2E_DIR/host/data/applications"
launched="$E2E_DIR/launched"
printf '[Desktop Entry]\nType=Application\nName=E2E Launcher\nExec=touch %s\n' "$launched" \
  >"$E2E_DIR/host/data/applications/tillerpad-e2e-app.desktop"
# The service sees the test's entry and no system ones; the clients keep
# the system's data (GTK finds its MIME database there).
XDG_DATA_DIRS="$E2E_DIR/system" HOST_BUS=$MUTTER_BUS start_host --pair
wait_for "$E2E_DIR/host.out" "$new_code_shown"
wait_for "$E2E_DIR/host.err" 'Fast channel on UDP port'
[ "$(count "$E2E_DIR/host.err" 'Desktop backend|Wayland session|No desktop session')" -eq 1 ] ||
  fail "not one backend line: $(grep -E 'backend|Wayland|desktop session' "$E2E_DIR/host.err")"
grep -qF "NOTICE app: Desktop backend: gnome (org.gnome.Mutter.RemoteDesktop answers on the session bus)" \
  "$E2E_DIR/host.err" || fail "GNOME was not chosen: $(grep -E 'backend' "$E2E_DIR/host.err")"
host_say status
wait_for "$E2E_DIR/host.out" '^Pointer and keyboard control: allowed$'
wait_for "$E2E_DIR/host.out" '^Screen viewing: possible$'
pair_phone phone

step "a frame of the pattern decodes at 30 dB or better; a still screen gives one frame then none"
"$PATTERN" show >"$E2E_DIR/pattern.out" 2>&1 &
pattern_pid=$!
E2E_PIDS+=("$pattern_pid")
wait_for "$E2E_DIR/pattern.out" '^ready$'
# No client can read Mutter's screen but through a screen cast: frames until
# one shows the pattern (the window may still be on its way to full screen).
psnr=""
for i in $(seq 10); do
  remote phone screen --width 1280 --fps 20 --frames 1 --out "$E2E_DIR/try$i"
  [ "$exit_status" -eq 0 ] || fail "screen ended with status $exit_status"
  frame=("$E2E_DIR/try$i"/frame-*.jpg)
  psnr=$("$PATTERN" psnr "${frame[0]}") || fail "the frame does not decode"
  python3 -c "import sys; sys.exit(0 if float('${psnr#psnr=}') >= 30 else 1)" && break
  sleep 0.3
done
echo "$psnr (try $i)"
python3 -c "import sys; sys.exit(0 if float('${psnr#psnr=}') >= 30 else 1)" || fail "no frame shows the pattern: $psnr"
grep -qE '^screenInfo displayID=[0-9]+ displays=[0-9]+:[^:]+:1280x800:main$' "$E2E_DIR/phone.remote.out" ||
  fail "no screenInfo naming Mutter's monitor: $(grep screenInfo "$E2E_DIR/phone.remote.out" | tail -n 1)"
before=$(count "$E2E_DIR/phone.remote.out" '^frame id=')
remote_background phone screen --width 1280 --fps 20 --frames 3 --out "$E2E_DIR/frames"
viewer=$remote_pid
wait_count "$E2E_DIR/phone.remote.out" '^frame id=' $((before + 1))
# Nothing changes: the next 1.5 s (30 frame intervals) bring no frame.
for _ in $(seq 15); do sleep 0.1; done
[ "$(count "$E2E_DIR/phone.remote.out" '^frame id=')" -eq $((before + 1)) ] ||
  fail "a still screen gave $(($(count "$E2E_DIR/phone.remote.out" '^frame id=') - before)) frames"
kill -TERM "$viewer"
wait_exit "$viewer" 10
[ "$exit_status" -eq 0 ] || fail "screen ended with status $exit_status"
kill -TERM "$pattern_pid"

step "a GTK window records the pointer, the wheel and the keys"
recorder_in="$E2E_DIR/gtk.in"
mkfifo "$recorder_in"
exec 7<>"$recorder_in"
/usr/bin/python3 "$GTK_RECORDER" --entry-at-bottom <&7 >"$E2E_DIR/recorder.out" 2>"$E2E_DIR/recorder.err" &
E2E_PIDS+=("$!")
wait_for "$E2E_DIR/recorder.out" '^ready$'
gtk() { echo "$*" >&7; }
# The recorder's lines after line MARK.
mark() { wc -l <"$E2E_DIR/recorder.out"; }
after() { tail -n +"$(($1 + 1))" "$E2E_DIR/recorder.out"; }
# wait_line MARK REGEX: until a line after MARK matches; sets line.
wait_line() {
  for _ in $(seq 200); do
    line=$(after "$1" | grep -E "$2" | tail -n 1)
    [ -n "$line" ] && return 0
    sleep 0.1
  done
  fail "no recorder line matching '$2' after line $1: $(after "$1" | tail -n 5 | tr '\n' '|')"
}

start_session phone session 4
say() { echo "$*" >&4; }

step "a move reaches the corner and a click lands there; others land where the pointer went"
# Far up and left stops at the monitor's first pixel. (A click goes over
# TLS, a move over UDP: each click waits for its move to show.)
m=$(mark)
say move -3000 -3000
say click
wait_line "$m" '^release 1 '
[ "$(after "$m" | grep -E '^(press|release) ' | tr '\n' '|')" = "press 1 0 0|release 1 0 0|" ] ||
  fail "the click did not land at 0,0: $(after "$m" | tr '\n' '|')"
m=$(mark)
say move 20 15
say click right
say click middle
wait_line "$m" '^release 2 '
read -r _ _ x y <<<"$(after "$m" | grep '^press 3 ')"
[ "${x:-0}" -gt 0 ] && [ "${y:-0}" -gt 0 ] || fail "the pointer went to $x,$y, not down and right"
clicks=$(after "$m" | grep -E '^(press|release) ' | tr '\n' '|')
[ "$clicks" = "press 3 $x $y|release 3 $x $y|press 2 $x $y|release 2 $x $y|" ] ||
  fail "the clicks are not a right and a middle click at $x,$y: $clicks"

step "the wheel turns both ways"
m=$(mark)
say scroll 0 40
wait_line "$m" '^scroll (up|down)$'
first=${line#scroll }
other=$([ "$first" = up ] && echo down || echo up)
say scroll 0 -40
wait_line "$m" "^scroll $other$"

step "typed text with characters the layout lacks arrives exactly, $runs times in a row"
expected=""
for _ in $(seq "$runs"); do
  say "type wörld ✓"
  expected+="wörld ✓"
done
say ping
want="text $(python3 -c 'import sys; print(" ".join("%x" % ord(c) for c in sys.argv[1]))' "$expected")"
for _ in $(seq 300); do grep -qxF "$want" "$E2E_DIR/recorder.out" && break; sleep 0.1; done
grep -qxF "$want" "$E2E_DIR/recorder.out" || fail "typed $(grep '^text ' "$E2E_DIR/recorder.out" | tail -n 1)"

step "the volume keys reach the desktop as its media keys"
m=$(mark)
say media volumeUp
say media mute
say media volumeDown
wait_line "$m" '^key AudioLowerVolume$'
[ "$(after "$m" | grep '^key ' | tr '\n' '|')" = "key AudioRaiseVolume|key AudioMute|key AudioLowerVolume|" ] ||
  fail "the media keys arrived as: $(after "$m" | grep '^key ' | tr '\n' '|')"
say quit
wait_exit "$session_pid" 20

step "text and a PNG copied in the window reach the watching phone"
make_png "$E2E_DIR/copied.png"
remote_background phone clipboard watch --out "$E2E_DIR/clip"
watcher=$remote_pid
wait_for "$E2E_DIR/phone.remote.out" '^sent clipboardSubscription$'
copy_text() { gtk "copy Grüße aus GNOME $1"; }
share_copies copy_text
grep -qE '^clipboard text="Grüße aus GNOME [0-9]+"$' "$E2E_DIR/phone.remote.out" || fail "the copied text did not arrive"
gtk "copy-image $E2E_DIR/copied.png"
wait_for "$E2E_DIR/phone.remote.out" '^clipboard image='
kill -TERM "$watcher"
wait_exit "$watcher" 10
[ "$exit_status" -eq 0 ] || fail "clipboard watch ended with status $exit_status"
# GTK offers its own encoding of the picture: the same size, in PNG.
line=$(grep '^clipboard image=' "$E2E_DIR/phone.remote.out")
[[ "$line" =~ ^clipboard\ image=png\ bytes=[0-9]+\ size=24x16\ file= ]] || fail "not the picture as PNG: $line"

step "what the phone sets, text and a PNG, is what the window pastes"
remote phone clipboard set "from the phone ✓"
[ "$exit_status" -eq 0 ] || fail "clipboard set ended with status $exit_status"
want="clipboard $(python3 -c 'import sys; print(" ".join("%x" % ord(c) for c in sys.argv[1]))' "from the phone ✓")"
for _ in $(seq 50); do
  m=$(mark)
  gtk paste
  wait_line "$m" '^clipboard'
  [ "$line" = "$want" ] && break
  sleep 0.1
done
[ "$line" = "$want" ] || fail "the window pastes '$line'"
remote phone clipboard set --image "$E2E_DIR/copied.png"
[ "$exit_status" -eq 0 ] || fail "clipboard set --image ended with status $exit_status"
for _ in $(seq 50); do
  m=$(mark)
  gtk paste-image
  wait_line "$m" '^image '
  [ "$line" = "image 24x16" ] && break
  sleep 0.1
done
[ "$line" = "image 24x16" ] || fail "the window pastes '$line'"

step "installed applications are listed and open starts one (which run is GNOME's secret)"
for _ in $(seq 50); do
  line=$(apps_line tillerpad-e2e-app)
  [ -n "$line" ] && break
  sleep 0.2
done
[[ "$line" == *' name="E2E Launcher" running=false active=false' ]] || fail "not listed as installed: $line"
remote phone open tillerpad-e2e-app
[ "$exit_status" -eq 0 ] || fail "open ended with status $exit_status"
for _ in $(seq 100); do [ -e "$launched" ] && break; sleep 0.1; done
[ -e "$launched" ] || fail "open did not start the application"

step "a lost Mutter is named in the status; quit still ends the desktop with status 0"
kill -KILL "$mutter_pid"
host_say status
for _ in $(seq 100); do
  grep -q '^Pointer and keyboard control: not possible (gnome backend: ' "$E2E_DIR/host.out" && break
  sleep 0.2
  host_say status
done
grep -q '^Pointer and keyboard control: not possible (gnome backend: ' "$E2E_DIR/host.out" ||
  fail "the status does not say input is gone: $(grep '^Pointer' "$E2E_DIR/host.out" | tail -n 1)"
stop_host
echo "PASS in $(python3 -c "import time; print(f'{time.time() - $started:.1f}')") s"
