#!/usr/bin/env bash
# Misbehaving connections against the headless desktop while a paired phone
# stays connected (run under with_xvfb.sh):
#   robustness_test.sh TILLERPAD REMOTE RECORDER HOSTILE
# The flood comes from 127.0.0.2 and the phone from 127.0.0.1, so the
# desktop's per-address set-up limits meet the flood alone. Afterwards the
# desktop has as many open files as before and still takes new connections.
TILLERPAD=$1 REMOTE=$2 RECORDER=$3 HOSTILE=$4
. "$(dirname "$0")/lib.sh"

# ping_session LABEL FD: a ping on that session and its pong (within 20 s).
ping_session() {
  local want
  want=$(($(count "$E2E_DIR/$1.remote.out" '^pong id=[0-9]+$') + 1))
  echo ping >&"$2"
  wait_count "$E2E_DIR/$1.remote.out" '^pong id=[0-9]+$' "$want"
}
abuser_running() { kill -0 "$abuser" 2>/dev/null; }

step "a paired phone is connected"
start_host --pair
wait_for "$E2E_DIR/host.out" "$new_code_shown"
pair_phone phone
start_session phone session1 4
wait_for "$E2E_DIR/host.out" '^Connected: phone$'
ping_session session1 4
before=$(open_files)
echo "open files with one phone connected: $before"

step "200 connections from 127.0.0.2 announce huge frames, send garbage or stall in TLS"
"$HOSTILE" abuse --dir "$E2E_DIR" --pid "$host_pid" --phone phone >"$E2E_DIR/abuse.out" 2>"$E2E_DIR/abuse.err" &
abuser=$!
E2E_PIDS+=("$abuser")
during=0
# The connected phone keeps working while the TLS connections come and go
# and until the raw ones are all open.
while abuser_running && ! grep -q '^flooding ' "$E2E_DIR/abuse.out"; do
  ping_session session1 4
  during=$((during + 1))
  sleep 0.2
done
grep -q '^flooding ' "$E2E_DIR/abuse.out" || fail "the abuser ended before its flood: $(cat "$E2E_DIR/abuse.err")"
echo "pongs while the TLS connections ran: $during"

step "a phone from 127.0.0.1 gets in while 127.0.0.2 holds its set-up slots"
remote phone ping
[ "$exit_status" -eq 0 ] || fail "a new connection during the flood ended with status $exit_status"
# Stalled handshakes hold their slots for the desktop's 10 s TLS limit.
abuser_running || fail "the flood was over before the new connection was tried; nothing was shown"
wait_for "$E2E_DIR/session1.remote.out" '^bye reason=replaced$'
start_session phone session2 5
while abuser_running; do
  ping_session session2 5
  during=$((during + 1))
  sleep 0.2
done
wait_exit "$abuser" 5
cat "$E2E_DIR/abuse.out"
[ "$exit_status" -eq 0 ] || fail "the abuser: $(grep -v '^ok ' "$E2E_DIR/abuse.out") $(cat "$E2E_DIR/abuse.err")"
echo "pongs during the flood: $during"
ping_session session2 5
grep -qE '^(bye|closed)' "$E2E_DIR/session2.remote.out" && fail "the phone's session ended during the flood"
# Sessions: session1, the ping that replaced it, session2; none from the flood.
[ "$(host_lines '^Connected: ')" -eq 3 ] || fail "a flood connection became a session"

step "the desktop closes what the flood opened"
# The abuser saw every connection closed; what remains is the desktop's own
# clean-up. The state before: one phone connected. (Fewer is fine: a
# connection the desktop ended before may still have had its last second
# to be read then.)
now=$(open_files)
for _ in $(seq 400); do
  now=$(open_files)
  [ "$now" -le "$before" ] && break
  sleep 0.1
done
echo "open files after: $now"
[ "$now" -le "$before" ] || fail "$now open files after the flood, $before before: $(ls -l "/proc/$host_pid/fd")"

step "a fresh phone connection still gets in"
remote phone ping
[ "$exit_status" -eq 0 ] || fail "a new connection after the flood ended with status $exit_status"
wait_for "$E2E_DIR/session2.remote.out" '^bye reason=replaced$'

step "quit ends the desktop with status 0 (a sanitizer build fails here on a leak)"
host_say quit
wait_exit "$host_pid" 20
[ "$exit_status" -eq 0 ] || fail "the desktop ended with status $exit_status"
echo "PASS"
