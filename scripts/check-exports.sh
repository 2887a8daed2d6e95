#!/usr/bin/env bash
# Checks that a shared library exports exactly the listed symbols.
# Usage: scripts/check-exports.sh LIBRARY SYMBOL...
set -euo pipefail
library=$1
shift
expected=$(printf '%s\n' "$@" | sort)
actual=$(nm -D --defined-only "$library" | awk '{print $3}' | sort)
if [[ "$expected" != "$actual" ]]; then
  echo "exports of $library differ from the expected list:" >&2
  diff <(echo "$expected") <(echo "$actual") >&2 || true
  exit 1
fi
echo "$library exports exactly $# symbols"
