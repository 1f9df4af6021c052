#!/usr/bin/env bash
# The desktop backend chosen at start (run under with_xvfb.sh):
#   backend_test.sh TILLERPAD
# On the Xvfb alone the log names x11 in one line and input works; with a
# $WAYLAND_DISPLAY whose compositor is gone too, x11 is still used (Xwayland)
# and the line says what is missing; --backend x11 is logged as chosen;
# a backend that does not exist is a usage error (2).
TILLERPAD=$1
. "$(dirname "$0")/lib.sh"

# expect_backend LINE: exactly one backend line, this one, and input allowed.
expect_backend() {
  wait_for "$E2E_DIR/host.err" 'Fast channel on UDP port'
  [ "$(count "$E2E_DIR/host.err" 'Desktop backend|Wayland session|No desktop session')" -eq 1 ] ||
    fail "not one backend line: $(grep -E 'backend|Wayland|desktop session' "$E2E_DIR/host.err")"
  grep -qF -- "$1" "$E2E_DIR/host.err" || fail "no line '$1': $(cat "$E2E_DIR/host.err")"
  host_say status
  wait_for "$E2E_DIR/host.out" '^Pointer and keyboard control: allowed$'
  stop_host
}

step "the Xvfb alone: x11"
start_host
expect_backend "NOTICE app: Desktop backend: x11 (an X11 session: \$DISPLAY without \$WAYLAND_DISPLAY)"

step "a Wayland session whose compositor is gone, with Xwayland: x11, and why"
WAYLAND_DISPLAY=$E2E_DIR/no-compositor start_host
expect_backend "ERROR app: Desktop backend: x11 (Wayland session whose compositor did not answer and without GNOME's remote desktop: X11 through Xwayland reaches only Xwayland's windows, not the Wayland ones)"

step "--backend x11"
start_host --backend x11
expect_backend "NOTICE app: Desktop backend: x11 (chosen with --backend)"

step "usage errors end the start with status 2"
cases=(
  "unknown backend bogus (x11, wlroots or gnome)|--headless --backend bogus"
  "unknown backend X11 (x11, wlroots or gnome)|--backend X11"
  "unknown option --backend|--headless --backend"
  "--attach takes only --pair|--attach --backend x11"
)
for case in "${cases[@]}"; do
  IFS='|' read -r message args <<<"$case"
  echo "-- tillerpad $args"
  # shellcheck disable=SC2086
  env -u DBUS_SESSION_BUS_ADDRESS HOME="$E2E_DIR/host/home" XDG_RUNTIME_DIR="$E2E_DIR/host/runtime" \
    XDG_CONFIG_HOME="$E2E_DIR/host/config" XDG_DATA_HOME="$E2E_DIR/host/data" \
    timeout 20 "$TILLERPAD" $args </dev/null >"$E2E_DIR/usage.out" 2>"$E2E_DIR/usage.err"
  status=$?
  [ "$status" -eq 2 ] || fail "tillerpad $args ended with status $status: $(cat "$E2E_DIR/usage.err")"
  grep -qF -- "tillerpad: $message" "$E2E_DIR/usage.err" || fail "tillerpad $args did not say '$message': $(cat "$E2E_DIR/usage.err")"
  ! grep -q 'Desktop backend' "$E2E_DIR/usage.err" || fail "tillerpad $args chose a backend"
done
echo "backend: every case passed"
