#!/usr/bin/env bash
# Builds everything and runs every test; the normal build is also installed
# and packaged, and the demo run on the installed tools (check-install.sh).
# Usage: scripts/test.sh [all|format|normal|address|thread|fuzz]   (default: all)
#   format:  every C and C++ file of the tree as clang-format lays it out
#   address: AddressSanitizer + UndefinedBehaviorSanitizer (+ LeakSanitizer)
#   thread:  ThreadSanitizer
#   fuzz:    every fuzz target for FUZZ_SECONDS (default 20) from its seeds
# Builds treat warnings as errors.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

mode=${1:-all}
jobs=$(nproc)

run_build() {
  local name=$1 sanitize=$2 dir="build/$1"
  echo "=== $name build ($dir)"
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DIMAGESERVER_SANITIZE="$sanitize" \
    -DIMAGESERVER_WERROR=ON >/dev/null
  ninja -C "$dir"
  ctest --test-dir "$dir" --output-on-failure -j "$jobs"
  # The installed tree, the packages and the demo on the installed tools
  # once, on the normal build.
  if [[ "$name" == normal ]]; then scripts/check-install.sh "$dir"; fi
}

check_format() {
  echo "=== layout (clang-format)"
  git ls-files -z '*.c' '*.cpp' '*.h' | xargs -0 clang-format --dry-run -Werror
}

run_fuzz() {
  IMAGESERVER_WERROR=ON scripts/fuzz.sh all "${FUZZ_SECONDS:-20}"
}

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$(pwd)/tests/tsan.supp"

case "$mode" in
  format) check_format ;;
  normal) run_build normal "" ;;
  address) run_build address address ;;
  thread) run_build thread thread ;;
  fuzz) run_fuzz ;;
  all)
    check_format
    run_build normal ""
    run_build address address
    run_build thread thread
    run_fuzz
    ;;
  *) echo "usage: $0 [all|format|normal|address|thread|fuzz]" >&2; exit 2 ;;
esac
