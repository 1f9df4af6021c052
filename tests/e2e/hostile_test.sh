#!/usr/bin/env bash
# One hostile case against the headless desktop on a private X display (run
# under with_xvfb.sh):
#   hostile_test.sh CASE TILLERPAD REMOTE RECORDER HOSTILE
# The desktop starts with a pairing code, phone "phone" pairs, then
# hostile_client runs CASE (see docs/testing.md); some cases have a
# follow-up here with the real command-line phone.
CASE=$1 TILLERPAD=$2 REMOTE=$3 RECORDER=$4 HOSTILE=$5
. "$(dirname "$0")/lib.sh"

# hostile CASE [--phone NAME]...: the client against this desktop; its lines
# go to standard output, its failures to standard error.
hostile() {
  local name=$1
  shift
  timeout 100 "$HOSTILE" "$name" --dir "$E2E_DIR" --pid "$host_pid" "$@"
  exit_status=$?
  [ "$exit_status" -eq 0 ] || fail "hostile_client $name ended with status $exit_status"
}

# revoke NAME: through the desktop's terminal, answering y.
revoke() {
  local done listeners
  done=$(host_lines '^Done\.$')
  listeners=$(host_lines '^Listening on port')
  host_say revoke "$1"
  wait_for "$E2E_DIR/host.out" '^Revoke\? \[y/N\]$'
  host_say y
  wait_count "$E2E_DIR/host.out" '^Done\.$' $((done + 1))
  wait_count "$E2E_DIR/host.out" '^Listening on port' $((listeners + 1))
}

# The pointer's way to the middle of the screen on each axis (+1 or -1).
toward_middle() {
  read -r x y < <(pointer)
  sx=$([ "$x" -lt 640 ] && echo 1 || echo -1)
  sy=$([ "$y" -lt 400 ] && echo 1 || echo -1)
}

step "the recorder owns the screen; the desktop starts; phone pairs"
start_recorder
verbose=()
[ "$CASE" = logs ] && verbose=(--verbose)
start_host --pair "${verbose[@]}"
wait_for "$E2E_DIR/host.out" "$new_code_shown"
pair_phone phone
start=$SECONDS

case "$CASE" in
  logs)
    step "rejected hellos and bad frames are logged at debug level"
    hostile replay --phone phone
    hostile frames --phone phone
    step "a second phone pairs with a second code; the first is revoked"
    listeners=$(host_lines '^Listening on port')
    host_say pair
    wait_count "$E2E_DIR/host.out" '^TILLERPAD:' 2
    wait_count "$E2E_DIR/host.out" '^Listening on port' $((listeners + 1))
    pair_phone phone2
    revoke phone
    step "phone2 connects and moves; no key, code or proof in any log line"
    hostile logs --phone phone2 --phone phone
    ;;
  fast)
    step "forged, replayed, truncated and oversize datagrams"
    hostile fast --phone phone
    step "the command-line phone's moves still work"
    read -r x0 y0 < <(pointer)
    toward_middle
    remote phone move $((sx * 60)) $((sy * 60))
    [ "$exit_status" -eq 0 ] || fail "move ended with status $exit_status"
    wait_pointer "$x0" "$y0" "$sx" "$sy"
    ;;
  frames)
    step "bad frames on authenticated sessions"
    hostile frames --phone phone
    step "the command-line phone still connects"
    remote phone ping
    [ "$exit_status" -eq 0 ] || fail "ping ended with status $exit_status"
    ;;
  resume | replay | deaf)
    step "case $CASE"
    hostile "$CASE" --phone phone
    ;;
  *) fail "no case $CASE" ;;
esac
echo "case $CASE took $((SECONDS - start)) s"

step "quit ends the desktop with status 0"
host_say quit
wait_exit "$host_pid" 20
[ "$exit_status" -eq 0 ] || fail "the desktop ended with status $exit_status"
echo "PASS"
