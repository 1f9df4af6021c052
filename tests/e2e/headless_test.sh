#!/usr/bin/env bash
# The headless desktop and a command-line phone over real TLS on loopback,
# on a private X display (run under with_xvfb.sh):
#   headless_test.sh TILLERPAD REMOTE RECORDER
# Pairs, reconnects, moves, clicks, types, sends a media key, holds a button
# while the phone dies, denies a second pairing and revokes the phone.
TILLERPAD=$1 REMOTE=$2 RECORDER=$3
. "$(dirname "$0")/lib.sh"

step "the recorder owns the screen and the focus"
start_recorder

step "the desktop starts with a pairing code"
start_host --pair
wait_for "$E2E_DIR/host.out" "$new_code_shown"
[ "$(host_lines '^Pair Your iPhone$')" -eq 1 ] || fail "no pairing title"
pairing_code | grep -qE '^TILLERPAD:[^ ]+$' || fail "the code is not one word after TILLERPAD:"

step "the phone pairs with the code and the user's y"
pair_phone phone

step "the phone reconnects with its device key"
ended=$(host_lines '^No iPhone connected$')
remote phone ping
[ "$exit_status" -eq 0 ] || fail "ping ended with status $exit_status"
grep -qE '^welcome macID=[0-9A-F-]+ name=".*" appVersion=".*" protocol=1\.[0-9]+ fastPort=[0-9]+$' \
  "$E2E_DIR/phone.remote.out" || fail "no welcome with a fast port"
grep -qE '^pong id=[0-9]+$' "$E2E_DIR/phone.remote.out" || fail "no pong"
wait_for "$E2E_DIR/host.out" '^Connected: phone$'
wait_count "$E2E_DIR/host.out" '^No iPhone connected$' $((ended + 1))

step "a session moves the pointer over the fast channel"
start_session phone session1 4
say() { echo "$*" >&4; }
wait_for "$E2E_DIR/host.out" '^Connected: phone$'
read -r x0 y0 < <(pointer)
say move 120 80
wait_pointer "$x0" "$y0" 1 1
say move -120 -80
wait_pointer "$pointer_x" "$pointer_y" -1 -1

step "clicks arrive as button presses and releases"
say click
wait_for "$E2E_DIR/recorder.out" '^release 1$'
say click right
wait_for "$E2E_DIR/recorder.out" '^release 3$'
[ "$(recorder_lines '^press 1$')" -eq 1 ] && [ "$(recorder_lines '^press 3$')" -eq 1 ] \
  || fail "clicks gave other presses: $(grep -E '^(press|release)' "$E2E_DIR/recorder.out" | tr '\n' ' ')"

step "typed text arrives"
mark=$(wc -l <"$E2E_DIR/recorder.out")
say "type Hi, wörld!"
typed() { tail -n +$((mark + 1)) "$E2E_DIR/recorder.out" | awk '$1 == "key" && $3 != "-" { printf "%s", $3 }'; }
expected='Hi,\u0020wörld!'
for _ in $(seq 200); do [ "$(typed)" = "$expected" ] && break; sleep 0.1; done
[ "$(typed)" = "$expected" ] || fail "typed '$(typed)', expected '$expected'"

step "media volumeUp arrives as its key"
say media volumeUp
wait_for "$E2E_DIR/recorder.out" '^key XF86AudioRaiseVolume -$'

step "a phone killed while holding a button ends its session and the button goes up"
releases=$(recorder_lines '^release 1$')
ended=$(host_lines '^No iPhone connected$')
say press left
say ping
wait_for "$E2E_DIR/session1.remote.out" '^pong id=[0-9]+$'
wait_count "$E2E_DIR/recorder.out" '^press 1$' 2
[ "$(recorder_lines '^release 1$')" -eq "$releases" ] || fail "the button went up while the phone held it"
# (Quietly: bash would report the killed job on standard error.)
{ kill -KILL "$session_pid"; wait_exit "$session_pid" 20; } 2>/dev/null
[ "$exit_status" -eq 137 ] || fail "the phone ended with status $exit_status, not by SIGKILL"
wait_count "$E2E_DIR/host.out" '^No iPhone connected$' $((ended + 1))
wait_count "$E2E_DIR/recorder.out" '^release 1$' $((releases + 1))

step "a second pairing is denied"
listeners=$(host_lines '^Listening on port')
codes=$(host_lines '^TILLERPAD:')
host_say pair
wait_count "$E2E_DIR/host.out" '^TILLERPAD:' $((codes + 1))
wait_count "$E2E_DIR/host.out" '^Listening on port' $((listeners + 1))
asked=$(host_lines '^Allow\? \[y/N\]$')
remote_background other --name other pair "$(pairing_code)"
wait_count "$E2E_DIR/host.out" '^Allow\? \[y/N\]$' $((asked + 1))
grep -q '^Allow “other” to control this Mac?$' "$E2E_DIR/host.out" || fail "the host did not name the phone"
host_say n
wait_exit "$remote_pid" 30
[ "$exit_status" -eq 5 ] || fail "the denied phone ended with status $exit_status, not 5"
grep -q '^rejected reason=denied$' "$E2E_DIR/other.remote.out" || fail "no rejected reason=denied"
wait_for "$E2E_DIR/host.out" '^Pairing denied$'
[ -z "$(ls -A "$E2E_DIR/other/tillerpad/credentials/app.tillerpad.remote.macs" 2>/dev/null)" ] \
  || fail "the denied phone stored a record"

step "revoking the connected phone ends its session, and it is refused afterwards"
start_session phone session2 5
ended=$(host_lines '^No iPhone connected$')
host_say revoke phone
wait_for "$E2E_DIR/host.out" '^Revoke “phone”\?$'
wait_for "$E2E_DIR/host.out" '^Revoke\? \[y/N\]$'
listeners=$(host_lines '^Listening on port')
host_say y
wait_for "$E2E_DIR/session2.remote.out" '^bye reason=revoked$'
wait_exit "$session_pid" 20
[ "$exit_status" -eq 1 ] || fail "the revoked session ended with status $exit_status, not 1"
wait_count "$E2E_DIR/host.out" '^No iPhone connected$' $((ended + 1))
wait_count "$E2E_DIR/host.out" '^Listening on port' $((listeners + 1))
remote phone ping
[ "$exit_status" -eq 4 ] || fail "the revoked phone's ping ended with status $exit_status, not 4"
grep -q 'unknown PSK identity' "$E2E_DIR/phone.remote.err" || fail "the refusal was not the unknown-identity alert"

step "quit ends the desktop with status 0 (a sanitizer build fails here on a leak)"
host_say quit
wait_exit "$host_pid" 20
[ "$exit_status" -eq 0 ] || fail "the desktop ended with status $exit_status"
echo "PASS"
