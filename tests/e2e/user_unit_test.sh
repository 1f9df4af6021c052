#!/usr/bin/env bash
# The systemd user unit's command line, run as the user manager would run it
# (under with_xvfb.sh):
#   user_unit_test.sh TILLERPAD REMOTE CONFIGURED_UNIT UNIT_SOURCE_FOLDER
# systemd's user manager cannot run here (PID 1 is not systemd), so this
# script plays its part: the unit's ExecStart= (the installed tillerpad
# replaced by the built one) and Environment=, an environment of only those
# and what the user manager gives (HOME, XDG_RUNTIME_DIR, XDG_CONFIG_HOME,
# XDG_DATA_HOME, DISPLAY, PATH), standard input /dev/null, and standard
# output and error into one file that JOURNAL_STREAM names, as the journal's
# stream would be. `tillerpad --attach --pair` then pairs a phone; the
# pairing code must never reach that journal.
TILLERPAD=$1 REMOTE=$2 CONFIGURED=$3 SOURCES=$4
. "$(dirname "$0")/lib.sh"

step "the unit's command line and environment"
if [ -f "$CONFIGURED" ]; then
  unit=$CONFIGURED
elif [ -f "$SOURCES/tillerpad-headless.service" ]; then
  unit=$SOURCES/tillerpad-headless.service
else
  unit=$SOURCES/tillerpad-headless.service.in
fi
[ -f "$unit" ] || fail "no unit file: $CONFIGURED, $SOURCES/tillerpad-headless.service(.in)"
echo "unit: $unit"
home=$E2E_DIR/host/home runtime=$E2E_DIR/host/runtime
mkdir -p "$home" "$E2E_DIR/host/config" "$E2E_DIR/host/data" && mkdir -p -m 0700 "$runtime"
# The percent codes a user unit may use here: %h home, %t runtime folder, %% itself.
percent_codes() { sed -e "s|%h|$home|g" -e "s|%t|$runtime|g" -e 's|%%|%|g'; }
exec_line=$(grep -E '^ExecStart=' "$unit" | tail -n 1 | sed -E 's/^ExecStart=[-@:+!]*//' | percent_codes)
read -ra command <<<"$exec_line"
case "${command[0]:-}" in
  */tillerpad) command[0]=$TILLERPAD ;;
  *) fail "ExecStart= does not start tillerpad: $exec_line" ;;
esac
unit_env=()
while IFS= read -r assignments; do
  eval "unit_env+=($assignments)"  # systemd's quoting is the shell's for these
done < <(grep -E '^Environment=' "$unit" | sed -e 's/^Environment=//' | percent_codes)
echo "command: ${command[*]}"
echo "environment: ${unit_env[*]:-(none)}"
manager_env=(HOME="$home" XDG_RUNTIME_DIR="$runtime" XDG_CONFIG_HOME="$E2E_DIR/host/config"
  XDG_DATA_HOME="$E2E_DIR/host/data" DISPLAY="$DISPLAY" PATH="$PATH")
# Not the unit's but the build's: a sanitizer build keeps its options and suppressions.
for name in ASAN_OPTIONS UBSAN_OPTIONS LSAN_OPTIONS TSAN_OPTIONS; do
  [ -n "${!name:-}" ] && manager_env+=("$name=${!name}")
done

step "the service starts with the journal as its output"
journal=$E2E_DIR/host.out
: >"$journal"
# The unit's own assignments win over the manager's.
(cd "$home" && JOURNAL_STREAM=$(stat -c '%d:%i' "$journal") &&
  exec env -i "${manager_env[@]}" JOURNAL_STREAM="$JOURNAL_STREAM" "${unit_env[@]}" "${command[@]}" \
    </dev/null >>"$journal" 2>&1) &
host_pid=$!
E2E_PIDS+=("$host_pid")
wait_for "$journal" '^Listening on port [0-9]+$'
control=$runtime/tillerpad/control
for _ in $(seq 200); do [ -S "$control" ] && break; sleep 0.1; done
[ -S "$control" ] || fail "no control socket at $control"
[ "$(stat -c %a "$runtime/tillerpad")" = 700 ] && [ "$(stat -c %a "$control")" = 600 ] \
  || fail "the control socket's modes are $(stat -c %a "$runtime/tillerpad") and $(stat -c %a "$control")"

# attach ARGS...: tillerpad as the user types it, with the user's environment.
attach() { env -i "${manager_env[@]}" "$TILLERPAD" "$@"; }
# refused NAME MESSAGE ARGS...: tillerpad ARGS ends at once with status 1 and MESSAGE.
refused() {
  local name=$1 message=$2
  shift 2
  attach "$@" </dev/null >"$E2E_DIR/$name.attach.out" 2>"$E2E_DIR/$name.attach.err"
  [ $? -eq 1 ] || fail "$name: tillerpad $* did not end with status 1"
  grep -qxF "$message" "$E2E_DIR/$name.attach.err" || fail "$name: tillerpad $* did not say why"
}

step "a second service is refused while the first runs"
refused second 'tillerpad: a headless service is already running; use tillerpad --attach' --headless

step "tillerpad --attach --pair shows a code on the attached terminal only"
listeners=$(host_lines '^Listening on port')
mkfifo "$E2E_DIR/attach.in"
# Its input only reads the FIFO, so that closing our end is its end of input.
attach --attach --pair <"$E2E_DIR/attach.in" >"$E2E_DIR/user.attach.out" 2>"$E2E_DIR/user.attach.err" &
attach_pid=$!
exec 7>"$E2E_DIR/attach.in"
E2E_PIDS+=("$attach_pid")
wait_for "$E2E_DIR/user.attach.out" "$new_code_shown"
code=$(grep -E '^TILLERPAD:' "$E2E_DIR/user.attach.out" | tail -n 1)
[ -n "$code" ] || fail "no code on the attached terminal"
wait_for "$journal" '^Pairing code shown on the attached terminal$'
# The code's key restarts the listener.
wait_count "$journal" '^Listening on port' $((listeners + 1))
grep -q $'\x1b' "$E2E_DIR/user.attach.out" && fail "colours reached output that is no terminal"

step "one terminal at a time"
refused third 'tillerpad: another terminal is attached to the headless service' --attach

step "the phone pairs; the attached terminal answers y"
remote_background phone --name phone pair "$code"
wait_for "$E2E_DIR/user.attach.out" '^Allow\? \[y/N\]$'
echo y >&7
wait_exit "$remote_pid" 30
[ "$exit_status" -eq 0 ] || fail "pairing ended with status $exit_status"
wait_for "$E2E_DIR/user.attach.out" '^“phone” is paired$'
wait_for "$journal" '^“phone” is paired$'

step "the phone connects with its device key"
remote phone ping
[ "$exit_status" -eq 0 ] || fail "ping ended with status $exit_status"
wait_for "$journal" '^Connected: phone$'
wait_for "$E2E_DIR/user.attach.out" '^Connected: phone$'

step "end of input detaches; the service keeps running"
exec 7>&-
wait_exit "$attach_pid" 5
[ "$exit_status" -eq 0 ] || fail "the attached terminal ended with status $exit_status"
tail -n 1 "$E2E_DIR/user.attach.out" | grep -qx 'Detached' || fail "no Detached line"
kill -0 "$host_pid" 2>/dev/null || fail "the service ended with its terminal"

step "the pairing code never reached the journal"
grep -qF "$code" "$journal" && fail "the code is in the journal"
grep -q 'TILLERPAD:' "$journal" && fail "a code is in the journal"
grep -q '▀\|▄\|█' "$journal" && fail "a QR code is in the journal"

step "--attach without a service says so"
env -i HOME="$home" XDG_RUNTIME_DIR="$E2E_DIR" PATH="$PATH" "$TILLERPAD" --attach </dev/null \
  >"$E2E_DIR/none.attach.out" 2>"$E2E_DIR/none.attach.err"
[ $? -eq 1 ] || fail "--attach without a service did not end with status 1"
grep -qx "tillerpad: no headless service is running for this user (nothing answers on $E2E_DIR/tillerpad/control)" \
  "$E2E_DIR/none.attach.err" || fail "--attach without a service did not say so"

step "SIGTERM (the unit's stop) ends the service with status 0"
kill -TERM "$host_pid"
wait_exit "$host_pid" 20
[ "$exit_status" -eq 0 ] || fail "the service ended with status $exit_status"
[ -e "$control" ] && fail "the control socket was left behind"
echo "PASS"
