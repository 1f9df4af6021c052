#!/usr/bin/env bash
# systemd-analyze checks the user unit as the user manager would load it: its
# keys and values, the program it starts (here the build's, in place of the
# installed path) and its man page (from the build tree). Any warning fails.
#   user_unit_test.sh UNIT TILLERPAD MANPATH
set -uo pipefail
unit=$1 tillerpad=$2 manpath=$3

work=$(mktemp -d /tmp/user-unit-test.XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir -m 700 "$work/runtime"

exec_start=$(sed -n 's/^ExecStart=//p' "$unit")
[[ $exec_start =~ ^/[^\ ]*/tillerpad\ --headless$ ]] ||
  { echo "FAIL: ExecStart=$exec_start is not an absolute path to tillerpad --headless" >&2; exit 1; }

name=${unit##*/}
sed "s|^ExecStart=[^ ]*|ExecStart=$tillerpad|" "$unit" >"$work/$name"
out=$(cd "$work" && MANPATH=$manpath XDG_RUNTIME_DIR="$work/runtime" \
  timeout 60 systemd-analyze verify --user "./$name" 2>&1)
status=$?
if [ "$status" -ne 0 ] || [ -n "$out" ]; then
  echo "FAIL: systemd-analyze verify --user (status $status):" >&2
  echo "$out" >&2
  exit 1
fi
echo "systemd-analyze verify --user: $name is clean"
