#!/usr/bin/env bash
# The man pages cover what the programs say they can do: every option that
# --help prints, every tillerpad-remote command and every command of the
# headless terminal has its own entry in the right section of the generated
# roff, and man renders each page without a warning.
#   man_pages_test.sh TILLERPAD REMOTE MANDIR
set -uo pipefail
tillerpad=$1 remote=$2 mandir=$3
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

work=$(mktemp -d /tmp/man-pages-test.XXXXXX)
trap 'rm -rf "$work"' EXIT

# section PAGE NAME: the roff lines under ".SH NAME", up to the next ".SH".
section() {
  awk -v want="$2" '
    /^\.SH / { name = $0; sub(/^\.SH +/, "", name); gsub(/"/, "", name); inside = (name == want); next }
    inside' "$1" | sed 's/\\-/-/g'
}

# An entry's tag is the line before its indented text (".RS"); the word is
# set in bold there: "\fB--port\fR", "\fBshare screen\fR". Running text
# that mentions a word does not count.
tags() { awk '/^\.RS/ && prev != "" { print prev } { prev = $0 }'; }
has_entry() {
  grep -qE -- "\\\\fB$(printf '%s' "$2" | sed 's/[][\.*^$]/\\&/g')(\\\\f| |,|$)" <<<"$1"
}

# options TEXT: every --option token.
options() { grep -oE -- '(^|[^[:alnum:]-])--[a-z][a-z-]*' <<<"$1" | sed 's/^[^-]*//' | sort -u; }

# block TEXT HEADING: the lines after "HEADING:" up to the next blank line
# or heading (a line that does not start with a blank).
block() { awk -v h="$2:" '$0 == h { on = 1; next } on && (/^$/ || /^[^ ]/) { exit } on' <<<"$1"; }

# Entries start two blanks in; their continuation lines further in.
first_words() { grep -E '^  [^ ]' <<<"$1" | awk '{ print $1 }' | sort -u; }

# check PAGE SECTION KIND WORD...: each word has an entry in that section.
check() {
  local page=$1 name=$2 kind=$3 text word
  shift 3
  text=$(section "$mandir/$page" "$name" | tags)
  [ -n "$text" ] || { fail "$page has no $name section"; return; }
  [ $# -gt 0 ] || { fail "$page: no ${kind}s found to check in $name"; return; }
  for word in "$@"; do
    has_entry "$text" "$word" || fail "$page: $kind $word is missing from $name"
  done
}

# What the programs print.
tillerpad_help=$("$tillerpad" --help) || fail "tillerpad --help failed"
remote_help=$("$remote" --help) || fail "tillerpad-remote --help failed"

# The headless terminal's "help", with private folders and neither a display
# nor a session bus; "quit" ends it, the time limit only catches a hang.
mkdir -p "$work/config" "$work/data" "$work/runtime" "$work/home"
chmod 700 "$work/runtime"
terminal=$(printf 'help\nquit\n' | env -u DISPLAY -u DBUS_SESSION_BUS_ADDRESS -u JOURNAL_STREAM \
  HOME="$work/home" XDG_CONFIG_HOME="$work/config" XDG_DATA_HOME="$work/data" XDG_RUNTIME_DIR="$work/runtime" \
  timeout 60 "$tillerpad" --headless 2>"$work/headless.err")
status=$?
[ "$status" -eq 0 ] || { fail "tillerpad --headless ended with status $status"; cat "$work/headless.err" >&2; }
terminal_commands=$(awk '/^Commands:$/ { on = 1; next } on && /^  [^ ]/ { print $1 } on && !/^  / { exit }' <<<"$terminal")

mapfile -t remote_commands < <(first_words "$(block "$remote_help" Commands)")
mapfile -t remote_command_options < <(options "$(block "$remote_help" Commands)")
mapfile -t remote_general_options < <(options "$(block "$remote_help" Options)")
mapfile -t tillerpad_options < <(options "$tillerpad_help")
mapfile -t tillerpad_commands <<<"$terminal_commands"
[ -n "$terminal_commands" ] || tillerpad_commands=()

# page, section, kind, words
check tillerpad.1 OPTIONS option "${tillerpad_options[@]}"
check tillerpad.1 "TERMINAL COMMANDS" command "${tillerpad_commands[@]}"
check tillerpad-remote.1 OPTIONS option "${remote_general_options[@]}"
check tillerpad-remote.1 COMMANDS command "${remote_commands[@]}"
check tillerpad-remote.1 COMMANDS "command option" "${remote_command_options[@]}"

# Each page is a section-1 page of its program and renders cleanly.
for page in tillerpad tillerpad-remote; do
  file="$mandir/$page.1"
  grep -qE "^\.TH \"?$page\"? \"?1\"?" "$file" || fail "$page.1 is not titled $page(1)"
  warnings=$(MANWIDTH=80 man -l --warnings "$file" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "man warns about $page.1: $warnings"
  # A word split at a line end ("--ver-" "bose") cannot be searched for.
  split=$(MANWIDTH=60 man -l "$file" 2>/dev/null | grep -cE -- '[[:alpha:]](-|‐)$')
  [ "$split" -eq 0 ] || fail "$page.1 hyphenates $split line ends"
done

echo "checked: tillerpad ${#tillerpad_options[@]} options, ${#tillerpad_commands[@]} terminal commands;" \
  "tillerpad-remote ${#remote_general_options[@]} options, ${#remote_commands[@]} commands," \
  "${#remote_command_options[@]} command options"
[ "$failures" -eq 0 ]
