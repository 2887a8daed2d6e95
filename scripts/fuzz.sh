#!/usr/bin/env bash
# Builds the fuzz targets with clang and runs one of them.
# Usage: scripts/fuzz.sh TARGET SECONDS [libFuzzer options...]
#   TARGET: fuzz_engine_any, fuzz_engine_jpeg, fuzz_engine_png, fuzz_engine_gif,
#           fuzz_engine_bmp, fuzz_engine_webp, fuzz_engine_heif, fuzz_engine_avif,
#           fuzz_config, fuzz_wire
# The corpus grows in build/fuzz/corpus/TARGET (seeded with files the project
# makes itself); crashes land in build/fuzz/findings/TARGET.
set -euo pipefail
cd "$(dirname "$0")/.."
if [[ $# -lt 2 ]]; then
  echo "usage: $0 TARGET SECONDS [libFuzzer options...]" >&2
  exit 2
fi
target=$1
seconds=$2
shift 2

scripts/install-deps.sh clang-14 libclang-rt-14-dev
dir=build/fuzz
CC=clang-14 CXX=clang++-14 cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DIMAGESERVER_FUZZ=ON -DIMAGESERVER_BUILD_TESTS=OFF >/dev/null
ninja -C "$dir" "$target" fuzz_make_seeds

corpus="$dir/corpus/$target"
findings="$dir/findings/$target"
mkdir -p "$corpus" "$findings"
if [[ -z "$(ls -A "$corpus")" ]]; then
  "$dir/tests/fuzz/fuzz_make_seeds" "$dir/seeds"
  [[ -d "$dir/seeds/$target" ]] && cp "$dir/seeds/$target"/* "$corpus"/ 2>/dev/null || true
fi

export ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1
# The targets write each input to a scratch file: keep it in memory, or the
# run waits on the disk instead of fuzzing.
if [[ -z "${TMPDIR:-}" && -w /dev/shm ]]; then export TMPDIR=/dev/shm; fi
exec "$dir/tests/fuzz/$target" "$corpus" -max_total_time="$seconds" -rss_limit_mb=2048 \
  -timeout=30 -artifact_prefix="$findings/" -print_final_stats=1 "$@"
