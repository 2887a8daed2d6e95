#!/usr/bin/env bash
# The commit-msg hook refuses messages that name an issue number and lets
# every other message through.
# Usage: tests/commit_msg_test.sh PATH-TO-HOOK
set -uo pipefail
hook=$1
message=$(mktemp)
trap 'rm -f "$message"' EXIT
failures=0
expect() {
  local want=$1 text=$2 status=0
  printf '%s\n' "$text" >"$message"
  "$hook" "$message" 2>/dev/null || status=$?
  if [[ "$want" == refuse && $status -ne 1 || "$want" == accept && $status -ne 0 ]]; then
    echo "expected $want (status $status): $text"
    failures=$((failures + 1))
  fi
}
expect refuse "Engine: TIFF strips (#12)"
expect refuse "Fix #3"
expect refuse "Resolve issue 29: one error model"
expect refuse $'Engine: JPEG XL\n\nCloses Issues 25 and 26.'
expect refuse "Transport: drop the spare reader, see GH-41"
expect refuse "Merge PR 7"
expect refuse "Client: connect timeout (ticket no. 1234)"
expect accept "Engine: 16 bits per sample, 4,096 strips at most"
expect accept "Colour: #fff stays white; C++20 and -Werror"
expect accept "Tests: the two issues a link swap raised"
expect accept $'Engine: decode TIFF\n# issue 12 (a comment line git strips)'
expect accept "Docs: &#12; entities in the man page"
[[ $failures -eq 0 ]]
