#!/bin/sh
# scdoc-roff.sh SCDOC PAGE.scd PAGE: the roff page from its scdoc source.
# Two fixes to scdoc's output: its ".nh" comes before ".TH", which turns
# hyphenation back on (a second one follows ".TH"), and a plain "-" is a
# hyphen to groff, where a line may break and which is no ASCII minus on
# every system: text lines get "\-", so options and commands stay whole and
# can be copied.
set -e
mkdir -p "$(dirname "$3")"
"$1" < "$2" > "$3.scdoc"
sed -e '/^\.TH /a .nh' -e '/^\./!s/-/\\-/g' "$3.scdoc" > "$3.tmp"
rm -f "$3.scdoc"
mv "$3.tmp" "$3"
