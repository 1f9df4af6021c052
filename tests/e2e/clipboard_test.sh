#!/usr/bin/env bash
# The headless desktop shares its clipboard with a command-line phone over
# real TLS on loopback, on a private X display (run under with_xvfb.sh):
#   clipboard_test.sh TILLERPAD REMOTE RECORDER CLIPBOARD_TEST_CLIENT
# What xclip copies reaches a watching phone, what the phone sets is what
# xclip reads back, a password manager's secret and copied files never reach
# the phone while what is copied after them does, and with sharing switched
# off the phone is told so.
TILLERPAD=$1 REMOTE=$2 RECORDER=$3 CLIENT=$4
. "$(dirname "$0")/lib.sh"

copy() { printf '%s' "$1" | xclip -selection clipboard -i -loops 3 >/dev/null 2>&1 & }

step "a desktop with a paired phone"
start_recorder
start_host --pair
wait_for "$E2E_DIR/host.out" "$new_code_shown"
pair_phone phone

step "what the desktop copies reaches the watching phone"
remote_background phone clipboard watch --count 1
wait_for "$E2E_DIR/phone.remote.out" '^sharingSettings clipboard=true'
# Only changes after the subscription are shared: copy until one arrives.
for _ in $(seq 20); do
  copy "Grüße vom Desktop"
  for _ in $(seq 10); do kill -0 "$remote_pid" 2>/dev/null && sleep 0.1; done
  kill -0 "$remote_pid" 2>/dev/null || break
done
wait_exit "$remote_pid" 5
[ "$exit_status" -eq 0 ] || fail "clipboard watch ended with status $exit_status"
grep -q '^clipboard text="Grüße vom Desktop"$' "$E2E_DIR/phone.remote.out" || fail "the copied text did not arrive"

step "what the phone sets is what the desktop's clipboard holds"
remote phone clipboard set "from the phone"
[ "$exit_status" -eq 0 ] || fail "clipboard set ended with status $exit_status"
for _ in $(seq 100); do [ "$(xclip -selection clipboard -o 2>/dev/null)" = "from the phone" ] && break; sleep 0.1; done
[ "$(xclip -selection clipboard -o 2>/dev/null)" = "from the phone" ] || fail "xclip reads '$(xclip -selection clipboard -o 2>&1)'"

# owned_until_looked_at NAME TARGET=VALUE...: the test client owns the
# clipboard with these targets until the desktop has asked it something; its
# standard input is a FIFO on fd 4, closed by the caller to end it.
owned_until_looked_at() {
  local name=$1
  shift
  mkfifo "$E2E_DIR/$name.in"
  exec 4<>"$E2E_DIR/$name.in"
  "$CLIENT" own "$@" <&4 >"$E2E_DIR/$name.out" 2>&1 &
  E2E_PIDS+=("$!")
  wait_for "$E2E_DIR/$name.out" '^ready$'
  wait_for "$E2E_DIR/$name.out" '^asked$'
}

step "a password manager's secret and copied files never reach the phone; text copied after each does"
remote_background phone clipboard watch
watcher=$remote_pid
wait_count "$E2E_DIR/phone.remote.out" '^sent clipboardSubscription$' 2
owned_until_looked_at secret x-kde-passwordManagerHint=secret "UTF8_STRING=hunter2 secret"
copy "after the secret"
wait_for "$E2E_DIR/phone.remote.out" '^clipboard text="after the secret"$'
exec 4>&-
owned_until_looked_at files text/uri-list=file:///tmp/copied-file
copy "after the files"
wait_for "$E2E_DIR/phone.remote.out" '^clipboard text="after the files"$'
exec 4>&-
kill -TERM "$watcher"
wait_exit "$watcher" 5
! grep -E 'hunter2|copied-file|image=' "$E2E_DIR/phone.remote.out" || fail "a secret or a copied file reached the phone"

step "with sharing switched off the phone is told so"
host_say share clipboard off
wait_for "$E2E_DIR/host.out" '^Share Clipboard: off$'
remote phone clipboard set "refused"
[ "$exit_status" -eq 5 ] || fail "a refused clipboard ended with status $exit_status, not 5"
grep -q '^error code=clipboardSharingDisabled' "$E2E_DIR/phone.remote.out" || fail "no clipboardSharingDisabled"
echo "ok"
