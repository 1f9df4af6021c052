#!/usr/bin/env bash
# The files that software centres, menus and the package read: the AppStream
# metainfo and both desktop entries pass their validators, and the version and
# names they share with the build agree.
#   metadata_test.sh SOURCE_DIR PROJECT_VERSION
set -uo pipefail
src=$1
version=$2
metainfo=$src/packaging/app.tillerpad.Tillerpad.metainfo.xml
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

for tool in appstreamcli desktop-file-validate; do
  command -v "$tool" >/dev/null || { echo "FAIL: $tool is missing (scripts/setup installs it)" >&2; exit 1; }
done

# Warnings and infos fail too (--strict); pedantic notes do not.
appstreamcli validate --no-net --strict "$metainfo" || fail "appstreamcli rejects $metainfo"
for entry in app.tillerpad.Tillerpad.desktop app.tillerpad.Tillerpad-autostart.desktop; do
  desktop-file-validate "$src/packaging/$entry" || fail "desktop-file-validate rejects $entry"
done

# The first <release> is the newest: it names the version being built.
newest=$(grep -o '<release version="[^"]*"' "$metainfo" | head -n1 | cut -d'"' -f2)
[ "$newest" = "$version" ] || fail "metainfo's newest release is '$newest', the build is $version"

# The launchable is the menu entry that packaging/CMakeLists.txt installs.
launchable=$(sed -n 's|.*<launchable type="desktop-id">\(.*\)</launchable>.*|\1|p' "$metainfo")
[ -f "$src/packaging/$launchable" ] || fail "launchable '$launchable' is not in packaging/"
for installed in "$launchable" "$(basename "$metainfo")"; do
  grep -q "install(FILES $installed " "$src/packaging/CMakeLists.txt" ||
    fail "packaging/CMakeLists.txt does not install $installed"
done

# The Debian package's version and licence follow the project's.
if command -v dpkg-parsechangelog >/dev/null; then
  debian=$(dpkg-parsechangelog -l "$src/debian/changelog" -S Version)
  [ "$debian" = "$version" ] || fail "debian/changelog is at '$debian', the build is $version"
else
  fail "dpkg-parsechangelog is missing (scripts/setup installs dpkg-dev)"
fi
# AppStream spells the licence in SPDX (MIT), debian/copyright in its own names (Expat).
grep -q '<project_license>MIT</project_license>' "$metainfo" || fail "metainfo's project_license is not MIT"
awk '/^Files: \*$/ {f = 1} f && /^License:/ {print $2; exit}' "$src/debian/copyright" | grep -qx Expat ||
  fail "debian/copyright's licence for Files: * is not Expat"

[ "$failures" -eq 0 ] || exit 1
echo "metadata: all checks passed"
