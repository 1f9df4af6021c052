#!/usr/bin/env bash
# Misbehaving connections against the headless desktop while a paired phone
# stays connected (run under with_xvfb.sh):
#   robustness_test.sh TILLERPAD REMOTE RECORDER ABUSER
# Afterwards the desktop has as many open files as before and still takes a
# new phone connection.
TILLERPAD=$1 REMOTE=$2 RECORDER=$3 ABUSER=$4
. "$(dirname "$0")/lib.sh"

step "a paired phone is connected"
start_host --pair
wait_for "$E2E_DIR/host.out" '^Expires in 5:00$'
pair_phone phone
start_session phone session 4
say() { echo "$*" >&4; }
wait_for "$E2E_DIR/host.out" '^Connected: phone$'
pongs=0
ping_phone() {
  say ping
  pongs=$((pongs + 1))
  wait_count "$E2E_DIR/session.remote.out" '^pong id=[0-9]+$' "$pongs"
}
ping_phone
before=$(open_files)
echo "open files before: $before"

step "200 connections from 127.0.0.2 send garbage, stall in TLS or announce huge frames"
"$ABUSER" --port "$(host_port)" --from 127.0.0.2 --data-home "$E2E_DIR/phone" --connections 200 \
  >"$E2E_DIR/abuse.out" 2>"$E2E_DIR/abuse.err" &
abuser=$!
E2E_PIDS+=("$abuser")
during=0
# The phone keeps working meanwhile: every ping is answered (each within 20 s).
while kill -0 "$abuser" 2>/dev/null; do
  ping_phone
  during=$((during + 1))
  sleep 0.5
done
wait_exit "$abuser" 5
cat "$E2E_DIR/abuse.out"
[ "$exit_status" -eq 0 ] || fail "$(cat "$E2E_DIR/abuse.err")"
[ "$during" -ge 1 ] || fail "no ping went out during the flood"
echo "pongs during the flood: $during"
ping_phone
grep -qE '^(bye|closed)' "$E2E_DIR/session.remote.out" && fail "the phone's session ended during the flood"
[ "$(host_lines '^Connected: ')" -eq 1 ] || fail "a flood connection became a session"

step "the desktop closes what the flood opened"
# Stalled handshakes are dropped at the 10 s TLS limit; the abuser has seen
# every connection closed, so this settles quickly.
now=$(open_files)
for _ in $(seq 400); do
  now=$(open_files)
  [ "$now" -eq "$before" ] && break
  sleep 0.1
done
echo "open files after: $now"
[ "$now" -eq "$before" ] || fail "$now open files after the flood, $before before: $(ls -l "/proc/$host_pid/fd")"

step "a fresh phone connection still gets in"
remote phone ping
[ "$exit_status" -eq 0 ] || fail "a new connection after the flood ended with status $exit_status"
wait_for "$E2E_DIR/session.remote.out" '^bye reason=replaced$'

step "quit ends the desktop with status 0 (a sanitizer build fails here on a leak)"
host_say quit
wait_exit "$host_pid" 20
[ "$exit_status" -eq 0 ] || fail "the desktop ended with status $exit_status"
echo "PASS"
