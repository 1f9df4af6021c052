# shellcheck shell=bash
# Shared by the end-to-end scripts: a desktop service started headless with
# private folders, phones run by tillerpad-remote, bounded waits, and clean-up.
# Sourced; expects TILLERPAD, REMOTE and RECORDER set to the binaries (a script
# that only starts the tray application needs TILLERPAD alone).
# Every wait polls a file with a limit (default 20 s); nothing waits on time alone.
# E2E_KEEP=1 keeps the folder with every output for a look afterwards.

set -uo pipefail

E2E_DIR=$(mktemp -d /tmp/e2e-tillerpad.XXXXXX)
exec 6>&2  # the real standard error: failures show even inside a quieted group
E2E_PIDS=()       # background processes to stop at exit
host_pid=""
step_name="start"

e2e_cleanup() {
  local status=$?
  exec 2>&6
  if [ "$status" -ne 0 ] && [ "$status" -ne 77 ]; then  # 77: skipped, with the reason said
    echo "FAILED during: $step_name" >&2
    for f in host.out host.err; do
      [ -f "$E2E_DIR/$f" ] && { echo "--- tail of $f" >&2; tail -n 40 "$E2E_DIR/$f" >&2; }
    done
    for f in "$E2E_DIR"/*.remote.out "$E2E_DIR"/*.remote.err "$E2E_DIR"/recorder.out "$E2E_DIR"/abuse.* "$E2E_DIR"/*.app.err "$E2E_DIR"/*.attach.out "$E2E_DIR"/*.attach.err; do
      [ -f "$f" ] && { echo "--- tail of ${f##*/}" >&2; tail -n 15 "$f" >&2; }
    done
  fi
  local pid
  for pid in "${E2E_PIDS[@]}"; do kill -TERM "$pid" 2>/dev/null; done
  for pid in "${E2E_PIDS[@]}"; do
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
  done
  if [ -n "${E2E_KEEP:-}" ]; then echo "kept $E2E_DIR"; else rm -rf "$E2E_DIR"; fi
  exit "$status"
}
trap e2e_cleanup EXIT
trap 'exit 130' INT TERM

step() { step_name="$*"; echo "== $(date +%T) $*"; }
fail() { echo "FAIL $(date +%T): $*" >&6; exit 1; }

# wait_for FILE PATTERN [SECONDS]: until a line matches the extended regex.
wait_for() {
  wait_count "$1" "$2" 1 "${3:-20}"
}

# wait_count FILE PATTERN N [SECONDS]: until N lines match.
wait_count() {
  local file=$1 pattern=$2 want=$3 limit=${4:-20}
  local tries=$((limit * 10))
  for _ in $(seq "$tries"); do
    [ "$(count "$file" "$pattern")" -ge "$want" ] && return 0
    sleep 0.1
  done
  fail "no $want line(s) matching '$pattern' in ${file##*/} within $limit s"
}

count() {
  local n
  n=$(grep -cE -- "$2" "$1" 2>/dev/null)
  echo "${n:-0}"
}

# wait_exit PID [SECONDS]: until the process ends; sets exit_status.
wait_exit() {
  local pid=$1 limit=${2:-20}
  for _ in $(seq $((limit * 10))); do
    if ! kill -0 "$pid" 2>/dev/null; then
      wait "$pid" 2>/dev/null
      exit_status=$?
      return 0
    fi
    sleep 0.1
  done
  fail "process $pid still running after $limit s"
}

# MARK: the desktop

# start_host [ARGS...]: tillerpad --headless with stdin from a FIFO held open on fd 3.
start_host() {
  mkdir -p "$E2E_DIR/host/config" "$E2E_DIR/host/data" "$E2E_DIR/host/home"
  mkdir -p -m 0700 "$E2E_DIR/host/runtime"
  mkfifo "$E2E_DIR/host.in"
  exec 3<>"$E2E_DIR/host.in"
  # No session bus unless HOST_BUS names one: the host keeps its records in the
  # file store under XDG_DATA_HOME.
  # A runtime folder of its own: its control socket meets no other test's.
  # HOST_BUS: the session bus the desktop is on (GNOME's backend is found there).
  env -u DBUS_SESSION_BUS_ADDRESS ${HOST_BUS:+DBUS_SESSION_BUS_ADDRESS="$HOST_BUS"} \
    HOME="$E2E_DIR/host/home" XDG_RUNTIME_DIR="$E2E_DIR/host/runtime" \
    XDG_CONFIG_HOME="$E2E_DIR/host/config" XDG_DATA_HOME="$E2E_DIR/host/data" \
    "$TILLERPAD" --headless "$@" <&3 >"$E2E_DIR/host.out" 2>"$E2E_DIR/host.err" &
  host_pid=$!
  E2E_PIDS+=("$host_pid")
  wait_for "$E2E_DIR/host.out" '^Listening on port [0-9]+$'
}

host_say() { echo "$*" >&3; }
host_lines() { count "$E2E_DIR/host.out" "$1"; }

# stop_host: `quit`, then the host must end with status 0; ready for another start_host.
stop_host() {
  host_say quit
  wait_exit "$host_pid" 20
  [ "$exit_status" -eq 0 ] || fail "the desktop ended with status $exit_status"
  exec 3>&-
  rm -f "$E2E_DIR/host.in"
}

# The port of the newest listener.
host_port() { grep -E '^Listening on port [0-9]+$' "$E2E_DIR/host.out" | tail -n 1 | awk '{print $4}'; }

# The first countdown line of a new code. The expiry is held in whole seconds,
# so a line printed a fraction of a second after the code was made (a slow,
# sanitized build) already says 4:59.
new_code_shown='^Expires in (5:00|4:5[0-9])$'

# The newest pairing code the host printed.
pairing_code() { grep -E '^TILLERPAD:' "$E2E_DIR/host.out" | tail -n 1; }

# MARK: phones

# Every key change restarts the listener on a new port, and a restart may
# follow the line a script waits for (pairing ends with two: the new device
# key, then the withdrawn code). A phone that finds the port closed tries
# again on the next listener, as a phone re-resolving the service would.
# moved_on ERRFILE LISTENERS: true (after waiting for it) when the last
# failure was a closed port and a listener newer than LISTENERS comes up.
moved_on() {
  tail -n 1 "$1" | grep -q 'cannot reach the desktop' || return 1
  echo "(the port moved; again on the next listener)"
  wait_count "$E2E_DIR/host.out" '^Listening on port' $(($2 + 1))
}

# remote NAME ARGS...: runs tillerpad-remote with phone NAME's private data
# folder against the host's newest port, in the foreground; sets exit_status.
remote() {
  local name=$1 listeners
  shift
  mkdir -p "$E2E_DIR/$name"
  for attempt in 1 2 3; do
    listeners=$(host_lines '^Listening on port')
    env XDG_DATA_HOME="$E2E_DIR/$name" HOME="$E2E_DIR/$name" \
      timeout 30 "$REMOTE" --host 127.0.0.1 --port "$(host_port)" "$@" \
      >>"$E2E_DIR/$name.remote.out" 2>>"$E2E_DIR/$name.remote.err"
    exit_status=$?
    [ "$exit_status" -eq 4 ] && [ "$attempt" -lt 3 ] && moved_on "$E2E_DIR/$name.remote.err" "$listeners" || return 0
  done
}

# remote_background NAME ARGS...: the same in the background, once; sets remote_pid.
remote_background() {
  local name=$1
  shift
  mkdir -p "$E2E_DIR/$name"
  env XDG_DATA_HOME="$E2E_DIR/$name" HOME="$E2E_DIR/$name" \
    "$REMOTE" --host 127.0.0.1 --port "$(host_port)" "$@" \
    >>"$E2E_DIR/$name.remote.out" 2>>"$E2E_DIR/$name.remote.err" &
  remote_pid=$!
  E2E_PIDS+=("$remote_pid")
}

# start_session PHONE LABEL FD: a `session` of phone PHONE whose standard
# input is a FIFO held open on FD; its output goes to LABEL.remote.out.
# Returns once the desktop's opening messages arrived; sets session_pid.
start_session() {
  local phone=$1 label=$2 fd=$3 listeners
  mkfifo "$E2E_DIR/$label.in"
  eval "exec $fd<>\"\$E2E_DIR/\$label.in\""
  mkdir -p "$E2E_DIR/$phone"
  for attempt in 1 2 3; do
    listeners=$(host_lines '^Listening on port')
    env XDG_DATA_HOME="$E2E_DIR/$phone" HOME="$E2E_DIR/$phone" \
      "$REMOTE" --host 127.0.0.1 --port "$(host_port)" session <&"$fd" \
      >>"$E2E_DIR/$label.remote.out" 2>>"$E2E_DIR/$label.remote.err" &
    session_pid=$!
    E2E_PIDS+=("$session_pid")
    for _ in $(seq 200); do
      grep -q '^sharingSettings ' "$E2E_DIR/$label.remote.out" 2>/dev/null && return 0
      kill -0 "$session_pid" 2>/dev/null || break
      sleep 0.1
    done
    kill -0 "$session_pid" 2>/dev/null && fail "session $label: no opening messages within 20 s"
    wait_exit "$session_pid" 5
    [ "$exit_status" -eq 4 ] && [ "$attempt" -lt 3 ] && moved_on "$E2E_DIR/$label.remote.err" "$listeners" \
      || fail "session $label ended with status $exit_status before it was set up"
  done
}

# pair_phone NAME: pairs phone NAME with the newest code, the desktop user
# answering y. The code's key may still be on its way into a listener (a
# pairing shown at start-up restarts one that is already up): a phone turned
# away before the desktop asked anything tries once more on the next listener.
pair_phone() {
  local name=$1
  local code asked listeners
  code=$(pairing_code)
  [ -n "$code" ] || fail "the host printed no pairing code"
  for attempt in 1 2; do
    asked=$(host_lines '^Allow\? \[y/N\]$')
    listeners=$(host_lines '^Listening on port')
    remote_background "$name" --name "$name" pair "$code"
    for _ in $(seq 200); do
      [ "$(host_lines '^Allow\? \[y/N\]$')" -gt "$asked" ] && break
      kill -0 "$remote_pid" 2>/dev/null || break
      sleep 0.1
    done
    [ "$(host_lines '^Allow\? \[y/N\]$')" -gt "$asked" ] && break
    wait_exit "$remote_pid" 5
    [ "$attempt" -eq 1 ] && [ "$exit_status" -eq 4 ] || fail "pairing $name: the desktop never asked (status $exit_status)"
    echo "pairing $name: turned away before the question; again after the next listener"
    wait_count "$E2E_DIR/host.out" '^Listening on port' $((listeners + 1))
  done
  host_say y
  wait_exit "$remote_pid" 30
  [ "$exit_status" -eq 0 ] || fail "pairing $name ended with status $exit_status"
  grep -qE "^paired macID=[0-9A-F-]+ name=\".*\" deviceID=[0-9A-F-]+$" "$E2E_DIR/$name.remote.out" \
    || fail "no paired line from $name"
  wait_for "$E2E_DIR/host.out" "^“$name” is paired$"
}

# MARK: the X display

start_recorder() {
  "$RECORDER" >"$E2E_DIR/recorder.out" 2>"$E2E_DIR/recorder.err" &
  E2E_PIDS+=("$!")
  wait_for "$E2E_DIR/recorder.out" '^ready$'
}
recorder_lines() { count "$E2E_DIR/recorder.out" "$1"; }
pointer() { "$RECORDER" --pointer; }

# wait_pointer X0 Y0 SIGNX SIGNY: until the pointer moved from (X0, Y0) in
# the given directions (+1 or -1) on both axes.
wait_pointer() {
  local x0=$1 y0=$2 sx=$3 sy=$4
  for _ in $(seq 200); do
    read -r x y < <(pointer)
    if [ $(((x - x0) * sx)) -gt 0 ] && [ $(((y - y0) * sy)) -gt 0 ]; then
      pointer_x=$x pointer_y=$y
      return 0
    fi
    sleep 0.1
  done
  fail "the pointer did not move ($sx, $sy) from ($x0, $y0) within 20 s; it is at $(pointer)"
}

open_files() { ls "/proc/$host_pid/fd" | wc -l; }

# MARK: a private headless sway

# start_private_sway: a headless sway (one 1280x800 output, no bar, borders or
# gaps) in a runtime folder of its own; under root it runs as the system user
# tillerpad-wl (sway refuses root). Sets SWAY_DIR, SWAY_WAYLAND (an absolute
# WAYLAND_DISPLAY) and SWAYSOCK, or returns 77 (skip) with the reason on stderr.
start_private_sway() {
  SWAY_DIR="$E2E_DIR/sway"
  mkdir -p -m 0700 "$SWAY_DIR"
  local as=()
  if [ "$(id -u)" -eq 0 ]; then
    id -u tillerpad-wl >/dev/null 2>&1 ||
      useradd --system --no-create-home --shell /usr/sbin/nologin tillerpad-wl || {
      echo "SKIP: cannot create the user tillerpad-wl that sway runs as" >&2
      return 77
    }
    chown tillerpad-wl: "$SWAY_DIR"
    chmod 0711 "$E2E_DIR"  # the folder above must let sway's user through
    as=(setpriv --reuid=tillerpad-wl --regid=tillerpad-wl --clear-groups)
  fi
  cat >"$SWAY_DIR/config" <<'CONFIG'
output HEADLESS-1 mode 1280x800 position 0 0
default_border none
default_floating_border none
gaps inner 0
gaps outer 0
seat * hide_cursor 0
xwayland disable
CONFIG
  env -i PATH="$PATH" HOME="$SWAY_DIR" XDG_RUNTIME_DIR="$SWAY_DIR" WLR_BACKENDS=headless \
    WLR_LIBINPUT_NO_DEVICES=1 WLR_RENDERER=pixman "${as[@]}" sway -c "$SWAY_DIR/config" \
    >"$SWAY_DIR/sway.log" 2>&1 &
  sway_pid=$!
  E2E_PIDS+=("$sway_pid")
  local sock
  for _ in $(seq 150); do
    sock=$(find "$SWAY_DIR" -maxdepth 1 -type s -name 'sway-ipc.*.sock' | head -n 1)
    SWAY_WAYLAND=$(find "$SWAY_DIR" -maxdepth 1 -type s -name 'wayland-*' | head -n 1)
    if [ -n "$sock" ] && [ -n "$SWAY_WAYLAND" ] && swaymsg -s "$sock" -t get_outputs 2>/dev/null | grep -q HEADLESS-1; then
      SWAYSOCK=$sock
      export SWAYSOCK
      return 0
    fi
    kill -0 "$sway_pid" 2>/dev/null || break
    sleep 0.1
  done
  echo "SKIP: sway did not start: $(tail -n 5 "$SWAY_DIR/sway.log" 2>/dev/null)" >&2
  return 77
}

# stop_private_sway: SIGTERM, up to 5 s, then SIGKILL.
stop_private_sway() {
  [ -n "${sway_pid:-}" ] || return 0
  kill -TERM "$sway_pid" 2>/dev/null
  for _ in $(seq 50); do kill -0 "$sway_pid" 2>/dev/null || break; sleep 0.1; done
  kill -KILL "$sway_pid" 2>/dev/null
  wait "$sway_pid" 2>/dev/null
  sway_pid=""
}

# MARK: shared by the Wayland round trips

# make_png FILE: a 24x16 RGB PNG whose pixels all differ.
make_png() {
  python3 - "$1" <<'PY'
import struct, sys, zlib
w, h = 24, 16
rows = b''.join(b'\0' + b''.join(bytes((x * 10, y * 15, 200)) for x in range(w)) for y in range(h))
chunk = lambda t, d: struct.pack('>I', len(d)) + t + d + struct.pack('>I', zlib.crc32(t + d))
png = b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', w, h, 8, 2, 0, 0, 0)) + \
      chunk(b'IDAT', zlib.compress(rows)) + chunk(b'IEND', b'')
open(sys.argv[1], 'wb').write(png)
PY
}

# share_copies COPY: runs `COPY N` for N = 1..20 until the watching phone
# (phone.remote.out) reports clipboard text: only changes after its
# subscription is in place are shared.
share_copies() {
  local i
  for i in $(seq 20); do
    "$1" "$i"
    for _ in $(seq 10); do grep -q '^clipboard text=' "$E2E_DIR/phone.remote.out" && break; sleep 0.1; done
    grep -q '^clipboard text=' "$E2E_DIR/phone.remote.out" && return 0
  done
  fail "no copy reached the phone"
}

# apps_line ID: that application's line in a fresh list of phone's.
apps_line() {
  : >"$E2E_DIR/apps.remote.out"
  env XDG_DATA_HOME="$E2E_DIR/phone" HOME="$E2E_DIR/phone" \
    timeout 30 "$REMOTE" --host 127.0.0.1 --port "$(host_port)" apps >"$E2E_DIR/apps.remote.out" 2>>"$E2E_DIR/apps.remote.err"
  grep -E "^app id=$1 " "$E2E_DIR/apps.remote.out"
}

# MARK: a private headless Mutter

# start_private_mutter: a headless Mutter (one 1280x800 virtual monitor) with
# PipeWire and WirePlumber on a session bus of their own, in a runtime folder
# of its own. Sets MUTTER_DIR (its XDG_RUNTIME_DIR), MUTTER_BUS and
# mutter_pid, or returns 77 (skip) with the reason on stderr.
start_private_mutter() {
  local program
  for program in mutter pipewire wireplumber dbus-daemon gdbus; do
    command -v "$program" >/dev/null || { echo "SKIP: $program is not installed" >&2; return 77; }
  done
  MUTTER_DIR="$E2E_DIR/mutter"
  mkdir -p -m 0700 "$MUTTER_DIR" "$MUTTER_DIR/config"
  dbus-daemon --session --nofork --print-address=5 5>"$MUTTER_DIR/bus" 2>"$MUTTER_DIR/bus.log" &
  E2E_PIDS+=("$!")
  for _ in $(seq 100); do [ -s "$MUTTER_DIR/bus" ] && break; sleep 0.05; done
  MUTTER_BUS=$(head -n 1 "$MUTTER_DIR/bus")
  [ -n "$MUTTER_BUS" ] || { echo "SKIP: no session bus for Mutter" >&2; return 77; }
  # Run in a subshell (or with &): it becomes the program, so $! is its pid.
  mutter_env() {
    exec env -u DISPLAY -u WAYLAND_DISPLAY DBUS_SESSION_BUS_ADDRESS="$MUTTER_BUS" XDG_RUNTIME_DIR="$MUTTER_DIR" \
      XDG_CONFIG_HOME="$MUTTER_DIR/config" GSETTINGS_BACKEND=memory NO_AT_BRIDGE=1 "$@"
  }
  mutter_env pipewire >"$MUTTER_DIR/pipewire.log" 2>&1 &
  E2E_PIDS+=("$!")
  # WirePlumber gives up at once when PipeWire's socket is not there yet.
  for _ in $(seq 100); do [ -S "$MUTTER_DIR/pipewire-0" ] && break; sleep 0.05; done
  mutter_env wireplumber >"$MUTTER_DIR/wireplumber.log" 2>&1 &
  E2E_PIDS+=("$!")
  mutter_env mutter --headless --wayland --no-x11 --virtual-monitor 1280x800 >"$MUTTER_DIR/mutter.log" 2>&1 &
  mutter_pid=$!
  E2E_PIDS+=("$mutter_pid")
  for _ in $(seq 200); do
    if [ -S "$MUTTER_DIR/wayland-0" ] && (mutter_env gdbus introspect --session --dest org.gnome.Mutter.RemoteDesktop \
         --object-path /org/gnome/Mutter/RemoteDesktop >/dev/null 2>&1); then
      return 0
    fi
    kill -0 "$mutter_pid" 2>/dev/null || break
    sleep 0.1
  done
  echo "SKIP: mutter did not start: $(tail -n 5 "$MUTTER_DIR/mutter.log" 2>/dev/null)" >&2
  return 77
}
