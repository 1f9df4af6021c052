#!/usr/bin/env bash
# The headless desktop lists its applications, draws their icons and opens one
# for a command-line phone over real TLS on loopback, on a private X display
# (run under with_xvfb.sh):
#   apps_test.sh TILLERPAD REMOTE RECORDER
# The applications are scratch desktop entries: the user's own, and a system
# folder's with a vendor subfolder.
TILLERPAD=$1 REMOTE=$2 RECORDER=$3
. "$(dirname "$0")/lib.sh"

entry() {  # entry FILE NAME [LINE...]
  local file=$1 name=$2
  shift 2
  mkdir -p "$(dirname "$file")"
  printf '[Desktop Entry]\nType=Application\nName=%s\nExec=true\n' "$name" >"$file"
  for line in "$@"; do printf '%s\n' "$line" >>"$file"; done
}

step "scratch applications, a desktop with a paired phone"
apps="$E2E_DIR/host/data/applications"
export XDG_DATA_DIRS="$E2E_DIR/system"
entry "$apps/item-10.desktop" "Item 10" "Icon=$E2E_DIR/icon.svg"
entry "$apps/item-2.desktop" "item 2"
entry "$apps/hidden.desktop" "Hidden One" "NoDisplay=true"
entry "$apps/opener.desktop" "Opener" "Exec=touch $E2E_DIR/opened"
entry "$E2E_DIR/system/applications/vendor/tool.desktop" "Vendor Tool"
entry "$E2E_DIR/system/applications/item-2.desktop" "Shadowed Item"
# (Theme lookups are the adapter's tests' business; here the entry names its file.)
printf '<svg xmlns="http://www.w3.org/2000/svg" width="10" height="10"><rect width="10" height="10" fill="#2a6"/></svg>\n' \
  >"$E2E_DIR/icon.svg"
start_recorder
start_host --pair
wait_for "$E2E_DIR/host.out" "$new_code_shown"
pair_phone phone

step "the phone gets the list, naturally sorted, the first folder's entry winning"
remote phone apps
[ "$exit_status" -eq 0 ] || fail "apps ended with status $exit_status"
got=$(grep '^app ' "$E2E_DIR/phone.remote.out" | sed -E 's/^app id=([^ ]+) name="([^"]*)".*/\1|\2/')
want=$'item-2|item 2\nitem-10|Item 10\nopener|Opener\nvendor-tool|Vendor Tool'
[ "$got" = "$want" ] || fail "the list is: $got"

step "icons come at the size asked, clamped to 32..512 and echoed"
remote phone icon item-10 64 --out "$E2E_DIR/icon64.png"
grep -q '^appIcon id=item-10 pixelSize=64 .*size=64x64' "$E2E_DIR/phone.remote.out" || fail "no 64 px icon"
remote phone icon item-10 16 --out "$E2E_DIR/icon16.png"
grep -q '^appIcon id=item-10 pixelSize=16 .*size=32x32' "$E2E_DIR/phone.remote.out" || fail "a 16 px icon is not drawn at 32"
remote phone icon no-such-app 64 --out "$E2E_DIR/none.png"
[ "$exit_status" -eq 5 ] || fail "an unknown application's icon ended with status $exit_status"

step "open starts the application"
remote phone open opener
[ "$exit_status" -eq 0 ] || fail "open ended with status $exit_status"
for _ in $(seq 100); do [ -e "$E2E_DIR/opened" ] && break; sleep 0.1; done
[ -e "$E2E_DIR/opened" ] || fail "the application did not start"
