#!/usr/bin/env bash
# The firewalld service and the ufw profile open the same ports, the ones
# the docs suggest, and each parses as its firewall reads it: firewalld's and
# ufw's own readers where they are installed (never the machine's firewall
# itself), otherwise well-formed XML and the profile's syntax by hand.
#   firewall_test.sh FIREWALL_DIR
set -uo pipefail
export LC_ALL=C
dir=$1
want=$'47800/tcp\n47801/udp\n5353/udp'  # sorted as sort does in the C locale
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
same() { [ "$2" = "$want" ] || fail "$1 opens $(tr '\n' ' ' <<<"$2"), expected $(tr '\n' ' ' <<<"$want")"; }

work=$(mktemp -d /tmp/firewall-test.XXXXXX)
trap 'rm -rf "$work"' EXIT
python=/usr/bin/python3

# firewalld
xml=$dir/tillerpad.xml
xmllint --noout "$xml" || fail "tillerpad.xml is not well-formed XML"
[ "$(xmllint --xpath 'string(/service/short)' "$xml")" = Tillerpad ] || fail "tillerpad.xml: short is not Tillerpad"
[ -n "$(xmllint --xpath 'string(/service/description)' "$xml")" ] || fail "tillerpad.xml has no description"
same tillerpad.xml "$(xmllint --xpath '/service/port' "$xml" |
  sed -E 's/<port (protocol="([a-z]+)" port="([0-9]+)"|port="([0-9]+)" protocol="([a-z]+)")\/>/\3\4\/\2\5\n/g' |
  sed '/^$/d' | sort)"
if $python -c 'import firewall.core.io.service' 2>/dev/null; then
  got=$($python - "$dir" <<'PY'
import sys
from firewall.core.io.service import service_reader
s = service_reader("tillerpad.xml", sys.argv[1])
print("\n".join(sorted(f"{port}/{proto}" for port, proto in s.ports)))
PY
  ) || fail "firewalld cannot read tillerpad.xml"
  same "tillerpad.xml (firewalld)" "$got"
else
  echo "firewalld's reader is not installed: checked as XML only"
fi

# ufw: "ports=" is a "|" list of PORT[/PROTO] or PORT,PORT/PROTO.
profile=$dir/ufw-tillerpad
[ "$(head -n1 "$profile")" = "[Tillerpad]" ] || fail "ufw-tillerpad does not start with [Tillerpad]"
for key in title description ports; do
  grep -qE "^$key=.+" "$profile" || fail "ufw-tillerpad has no $key"
done
same ufw-tillerpad "$(sed -n 's/^ports=//p' "$profile" | tr '|' '\n' |
  awk -F/ '{ n = split($1, p, ","); for (i = 1; i <= n; i++) print p[i] "/" $2 }' | sort)"
if $python -c 'import ufw.applications' 2>/dev/null; then
  mkdir "$work/applications.d"
  cp "$profile" "$work/applications.d/tillerpad"
  $python - "$work/applications.d" <<'PY' || fail "ufw does not accept ufw-tillerpad"
import gettext, sys
gettext.install("ufw")
import ufw.applications as apps
profiles = apps.get_profiles(sys.argv[1])
assert "Tillerpad" in profiles, profiles
apps.verify_profile("Tillerpad", profiles["Tillerpad"])
PY
else
  echo "ufw is not installed: its profile checked by hand only"
fi

[ "$failures" -eq 0 ] && echo "firewall: both files open ${want//$'\n'/ }"
[ "$failures" -eq 0 ]
