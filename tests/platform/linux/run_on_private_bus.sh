#!/bin/sh
# Runs a test program on a private D-Bus session bus with a throwaway home,
# so that nothing of the machine's own session, keyring or files is touched.
#   run_on_private_bus.sh keyring PROGRAM [ARGS...]  gnome-keyring, unlocked with a throwaway password
#   run_on_private_bus.sh keyring-locked PROGRAM ...  the same keyring, locked again before the program
#   run_on_private_bus.sh keyring-empty PROGRAM ...   gnome-keyring without any collection (no login keyring)
#   run_on_private_bus.sh broken PROGRAM [ARGS...]   a Secret Service that is offered but cannot start
# When the bus or the keyring cannot start, the program still runs, with
# TILLERPAD_TEST_BUS_UNAVAILABLE saying why, so that its tests report skips.
set -u
mode=$1
shift
tmp=$(mktemp -d "${TMPDIR:-/tmp}/tillerpad-bus-XXXXXX") || exit 1
trap 'rm -rf "$tmp"' EXIT INT TERM
export HOME="$tmp/home" XDG_DATA_HOME="$tmp/data" XDG_CONFIG_HOME="$tmp/config" \
  XDG_CACHE_HOME="$tmp/cache" XDG_RUNTIME_DIR="$tmp/run"
mkdir -m 0700 "$HOME" "$XDG_DATA_HOME" "$XDG_CONFIG_HOME" "$XDG_CACHE_HOME" "$XDG_RUNTIME_DIR"
unset DBUS_SESSION_BUS_ADDRESS GNOME_KEYRING_CONTROL SSH_AUTH_SOCK DISPLAY WAYLAND_DISPLAY TILLERPAD_TEST_BUS

if ! command -v dbus-run-session >/dev/null 2>&1; then
  TILLERPAD_TEST_BUS_UNAVAILABLE="dbus-run-session is not installed" "$@"
  exit $?
fi

case $mode in
keyring | keyring-locked | keyring-empty)
  if ! command -v gnome-keyring-daemon >/dev/null 2>&1 || ! command -v gdbus >/dev/null 2>&1; then
    TILLERPAD_TEST_BUS_UNAVAILABLE="gnome-keyring-daemon or gdbus is not installed" "$@"
    exit $?
  fi
  # The inner shell starts the keyring, runs the program and stops the keyring
  # again by its process id; the bus ends with dbus-run-session.
  # Locking needs no prompt; unlocking again would, which is the point.
  dbus-run-session -- sh -c '
    mode=$1
    shift
    log="$XDG_RUNTIME_DIR/keyring.log"
    start() {
      if [ "$mode" = keyring-empty ]; then
        gnome-keyring-daemon --start --components=secrets
      else
        printf %s throwaway-password | gnome-keyring-daemon --unlock --components=secrets
      fi
    }
    lock() {
      [ "$mode" != keyring-locked ] ||
        gdbus call --session --dest org.freedesktop.secrets --object-path /org/freedesktop/secrets \
          --method org.freedesktop.Secret.Service.Lock "[\"/org/freedesktop/secrets/collection/login\"]"
    }
    if start >"$log" 2>&1 && gdbus wait --session --timeout 10 org.freedesktop.secrets >>"$log" 2>&1 &&
       lock >>"$log" 2>&1; then
      export TILLERPAD_TEST_BUS=$mode
    else
      export TILLERPAD_TEST_BUS_UNAVAILABLE="gnome-keyring did not start: $(tr "\n" " " <"$log" | cut -c1-300)"
    fi
    pid=$(gdbus call --session --dest org.freedesktop.DBus --object-path /org/freedesktop/DBus \
      --method org.freedesktop.DBus.GetConnectionUnixProcessID org.freedesktop.secrets 2>/dev/null |
      tr -dc 0-9)
    "$@"
    status=$?
    [ -n "$pid" ] && kill "$pid" 2>/dev/null
    exit $status' sh "$mode" "$@"
  ;;
broken)
  mkdir "$tmp/services"
  printf '[D-BUS Service]\nName=org.freedesktop.secrets\nExec=/bin/false\n' \
    >"$tmp/services/org.freedesktop.secrets.service"
  cat >"$tmp/bus.conf" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:dir=$tmp/run</listen>
  <servicedir>$tmp/services</servicedir>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
CONF
  TILLERPAD_TEST_BUS=broken dbus-run-session --config-file="$tmp/bus.conf" -- "$@"
  ;;
*)
  echo "usage: $0 keyring|keyring-locked|keyring-empty|broken PROGRAM [ARGS...]" >&2
  exit 2
  ;;
esac
