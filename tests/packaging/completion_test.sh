#!/usr/bin/env bash
# The bash completions, through bash-completion's own helpers, as bash calls
# them: COMP_WORDS, COMP_CWORD, COMP_LINE and COMP_POINT set, the function
# run, COMPREPLY compared.
#   completion_test.sh COMPLETION_DIR
set -uo pipefail
dir=$(cd "$1" && pwd) || exit 1
helpers=/usr/share/bash-completion/bash_completion
[ -r "$helpers" ] || { echo "FAIL: $helpers is missing (package bash-completion, scripts/setup)" >&2; exit 1; }

work=$(mktemp -d /tmp/completion-test.XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/files/shots" "$work/data/tillerpad/credentials/app.tillerpad.remote.macs"
touch "$work/files/photo.png" "$work/files/notes.txt"
touch "$work/data/tillerpad/credentials/app.tillerpad.remote.macs/0A1B2C3D-0000-4000-8000-00000000ABCD" \
  "$work/data/tillerpad/credentials/app.tillerpad.remote.macs/.tmp-write"
export XDG_DATA_HOME=$work/data
cd "$work/files" || exit 1

# shellcheck source=/dev/null
. "$helpers"
# shellcheck source=/dev/null
. "$dir/tillerpad"
# shellcheck source=/dev/null
. "$dir/tillerpad-remote"

# complete LINE: what completing at the end of LINE offers, sorted, one line.
complete_line() {
  local line=$1
  COMP_LINE=$line
  COMP_POINT=${#line}
  read -ra COMP_WORDS <<<"$line"
  [[ $line == *" " ]] && COMP_WORDS+=("")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMPREPLY=()
  local function
  function=$(complete -p "${COMP_WORDS[0]}" 2>/dev/null | sed -n 's/.*-F \([^ ]*\) .*/\1/p')
  [ -n "$function" ] || { echo "<no completion for ${COMP_WORDS[0]}>"; return; }
  "$function" "${COMP_WORDS[0]}" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
  printf '%s\n' "${COMPREPLY[@]}" | sed '/^$/d' | sort | tr '\n' ' ' | sed 's/ $//'
}

failures=0
# line (<sp>: it ends in a blank) | expected (sorted; empty: nothing offered)
while IFS='|' read -r line expected; do
  [ -z "$line" ] && continue
  read -ra split <<<"$line"
  line="${split[*]}"
  [[ $line == *"<sp>" ]] && line="${line%<sp>} "
  read -ra split <<<"$expected"
  expected="${split[*]}"
  got=$(complete_line "$line")
  if [ "$got" != "$expected" ]; then
    echo "FAIL: '$line' offers '$got', expected '$expected'" >&2
    failures=$((failures + 1))
  fi
done <<'TABLE'
tillerpad --he                                      | --headless --help
tillerpad --port<sp>                                |
tillerpad --fast-port<sp>                           |
tillerpad --fast-port 47801 --at                    | --attach
tillerpad --headless --ba                           | --backend
tillerpad --backend<sp>                             | gnome wlroots x11
tillerpad --backend w                               | wlroots
tillerpad --backend x11 --he                        | --headless --help
tillerpad-remote me                                 | media
tillerpad-remote media<sp>                          | mute nextTrack playPause previousTrack volumeDown volumeUp
tillerpad-remote click<sp>                          | left middle right
tillerpad-remote release r                          | right
tillerpad-remote click left<sp>                     |
tillerpad-remote power<sp>                          | displaySleep lock sleep
tillerpad-remote window sp                          | spaceLeft spaceRight
tillerpad-remote --host 127.0.0.1 --port 47800 cl   | click clipboard
tillerpad-remote --port<sp>                         |
tillerpad-remote --name media cl                    | click clipboard
tillerpad-remote --mac<sp>                          | 0A1B2C3D-0000-4000-8000-00000000ABCD
tillerpad-remote --ver                              | --version
tillerpad-remote clipboard<sp>                      | set watch
tillerpad-remote clipboard watch --                 | --count --out
tillerpad-remote clipboard watch --out<sp>          | shots
tillerpad-remote clipboard set --image<sp>          | photo.png shots
tillerpad-remote clipboard set --p                  | --paste
tillerpad-remote screen --out<sp>                   | shots
tillerpad-remote screen --fps<sp>                   |
tillerpad-remote key page                           | pageDown pageUp
tillerpad-remote key f1                             | f1 f10 f11 f12 f13 f14 f15 f16 f17 f18 f19
tillerpad-remote key a shift+co                     | shift+command shift+control
tillerpad-remote apps --watch --                    | --count
tillerpad-remote icon org.gnome.Terminal 64<sp>     | --out
tillerpad-remote icon org.gnome.Terminal 64 --out<sp> | photo.png shots
TABLE

[ "$failures" -eq 0 ] && echo "completion: every case passed"
[ "$failures" -eq 0 ]
