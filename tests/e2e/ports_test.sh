#!/usr/bin/env bash
# Fixed ports for a firewall (run under with_xvfb.sh):
#   ports_test.sh TILLERPAD
# --port and --fast-port are honoured, and so are the settings "port" and
# "fastPort" without them; a port another program holds ends the start with
# status 1 and says which; a value that is no port is a usage error (2).
TILLERPAD=$1
. "$(dirname "$0")/lib.sh"

listening_tcp() { ss -Hltn "sport = :$1" | grep -q .; }
listening_udp() { ss -Hlun "sport = :$1" | grep -q .; }

# check_ports P F: the desktop says it uses P and F, and the kernel agrees.
check_ports() {
  wait_for "$E2E_DIR/host.out" "^Listening on port $1\$"
  wait_for "$E2E_DIR/host.err" "Fast channel on UDP port $2\$"
  host_say status
  wait_for "$E2E_DIR/host.out" "^Fast channel on UDP port $2\$"
  listening_tcp "$1" || fail "nothing listens on TCP port $1: $(ss -Hltn)"
  listening_udp "$2" || fail "nothing receives on UDP port $2: $(ss -Hlun)"
}

settings() { mkdir -p "$E2E_DIR/host/config/tillerpad"; printf '%s\n' "$1" >"$E2E_DIR/host/config/tillerpad/defaults.json"; }

step "without options or settings the system chooses both ports"
start_host
wait_for "$E2E_DIR/host.err" 'Fast channel on UDP port [0-9]+$'
tcp=$(host_port)
udp=$(grep -oE 'Fast channel on UDP port [0-9]+$' "$E2E_DIR/host.err" | awk '{print $6}')
stop_host
# The kernel handed these out and they are free again: the ports of the cases below.
echo "ports: TCP $tcp, UDP $udp"

step "--port and --fast-port are honoured"
start_host --port "$tcp" --fast-port "$udp"
check_ports "$tcp" "$udp"

step "a port held by the running desktop ends another start with status 1"
# Each: expected status, a fixed part of the message, the arguments. Another
# runtime and settings folder, so that only the ports meet the running one.
cases=(
  "1|TCP port $tcp is already in use (is Tillerpad already running?)|--headless --port $tcp"
  "1|UDP port $udp is already in use (is Tillerpad already running?)|--headless --fast-port $udp"
  "1|TCP port $tcp is already in use (is Tillerpad already running?)|--port $tcp"
  "1|UDP port $udp is already in use (is Tillerpad already running?)|--fast-port $udp"
  "2|not a port (1 to 65535): 0|--headless --fast-port 0"
  "2|not a port (1 to 65535): x|--headless --port x"
  "2|not a port (1 to 65535): 65536|--headless --port 65536"
  "2|unknown option --fast-port|--headless --fast-port"
)
mkdir -p -m 0700 "$E2E_DIR/other/runtime" && mkdir -p "$E2E_DIR/other/config" "$E2E_DIR/other/data"
for case in "${cases[@]}"; do
  IFS='|' read -r want message args <<<"$case"
  echo "-- tillerpad $args"
  # shellcheck disable=SC2086
  env -u DBUS_SESSION_BUS_ADDRESS HOME="$E2E_DIR/other" XDG_RUNTIME_DIR="$E2E_DIR/other/runtime" \
    XDG_CONFIG_HOME="$E2E_DIR/other/config" XDG_DATA_HOME="$E2E_DIR/other/data" \
    timeout 20 "$TILLERPAD" $args </dev/null >"$E2E_DIR/other.out" 2>"$E2E_DIR/other.err"
  status=$?
  [ "$status" -eq "$want" ] || fail "tillerpad $args ended with status $status, not $want: $(cat "$E2E_DIR/other.err")"
  grep -qF "tillerpad: $message" "$E2E_DIR/other.err" || fail "tillerpad $args did not say '$message': $(cat "$E2E_DIR/other.err")"
  # Refused before anything started: no listener, no window, no log of a start.
  ! grep -q 'Listening on port' "$E2E_DIR/other.err" "$E2E_DIR/other.out" || fail "tillerpad $args started a listener"
done
# The running desktop did not notice.
listening_tcp "$tcp" && listening_udp "$udp" || fail "the running desktop lost a port"
stop_host

step "the settings \"port\" and \"fastPort\" are used without options"
settings "{\"port\": $tcp, \"fastPort\": $udp}"
start_host
check_ports "$tcp" "$udp"
stop_host

step "settings that are no ports are ignored with a warning naming the key"
settings '{"port": "47800", "fastPort": 70000}'
start_host
wait_for "$E2E_DIR/host.err" 'Ignoring the setting "port": not a port number from 1 to 65535$'
wait_for "$E2E_DIR/host.err" 'Ignoring the setting "fastPort": not a port number from 1 to 65535$'
wait_for "$E2E_DIR/host.err" 'Fast channel on UDP port [0-9]+$'
stop_host
echo "PASS"
