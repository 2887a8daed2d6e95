#!/usr/bin/env bash
# Builds the fuzz targets with clang and runs one of them, or all of them.
# Usage: scripts/fuzz.sh TARGET SECONDS [libFuzzer options...]
#        scripts/fuzz.sh all SECONDS
#   TARGET: fuzz_engine_any, fuzz_engine_jpeg, fuzz_engine_png, fuzz_engine_gif,
#           fuzz_engine_bmp, fuzz_engine_webp, fuzz_engine_heif, fuzz_engine_avif,
#           fuzz_engine_tiff, fuzz_engine_jxl,
#           fuzz_config, fuzz_wire
# One target: the corpus grows in build/fuzz/corpus/TARGET (seeded with files
# the project makes itself); crashes land in build/fuzz/findings/TARGET.
# all: every target for SECONDS of wall time, twice as many at once as there
# are cores (each then has about half a core, and the check takes half as
# long), each from its seeds alone in a fresh folder (the check CI runs);
# fails when any target finds a fault, and names it and its finding.
set -euo pipefail
cd "$(dirname "$0")/.."
if [[ $# -lt 2 ]]; then
  echo "usage: $0 TARGET|all SECONDS [libFuzzer options...]" >&2
  exit 2
fi
target=$1
seconds=$2
shift 2

scripts/install-deps.sh clang-14 libclang-rt-14-dev
dir=build/fuzz
CC=clang-14 CXX=clang++-14 cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DIMAGESERVER_FUZZ=ON -DIMAGESERVER_BUILD_TESTS=OFF -DIMAGESERVER_BUILD_BENCH=OFF \
  -DIMAGESERVER_WERROR="${IMAGESERVER_WERROR:-OFF}" >/dev/null

export ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1
# The targets write each input to a scratch file: keep it in memory, or the
# run waits on the disk instead of fuzzing.
if [[ -z "${TMPDIR:-}" && -w /dev/shm ]]; then export TMPDIR=/dev/shm; fi
fuzz_options=(-rss_limit_mb=2048 -timeout=30 -print_final_stats=1)

if [[ "$target" != all ]]; then
  ninja -C "$dir" "$target" fuzz_make_seeds
  corpus="$dir/corpus/$target"
  findings="$dir/findings/$target"
  mkdir -p "$corpus" "$findings"
  if [[ -z "$(ls -A "$corpus")" ]]; then
    "$dir/tests/fuzz/fuzz_make_seeds" "$dir/seeds"
    [[ -d "$dir/seeds/$target" ]] && cp "$dir/seeds/$target"/* "$corpus"/ 2>/dev/null || true
  fi
  exec "$dir/tests/fuzz/$target" "$corpus" -max_total_time="$seconds" \
    -artifact_prefix="$findings/" "${fuzz_options[@]}" "$@"
fi

ninja -C "$dir" tests/fuzz/all
mapfile -t targets < <(find "$dir/tests/fuzz" -maxdepth 1 -type f -name 'fuzz_*' -executable \
  ! -name fuzz_make_seeds -printf '%f\n' | sort)
run=$(mktemp -d "${TMPDIR:-/tmp}/imageserver-fuzz.XXXXXX")
trap 'rm -rf "$run"' EXIT
"$dir/tests/fuzz/fuzz_make_seeds" "$run/seeds" >/dev/null

# Runs |target| for the given time from its seeds; its log and any finding
# stay in $run/<target>.
fuzz_one() {
  local name=$1 out="$run/$1"
  mkdir -p "$out/corpus" "$out/findings"
  [[ -d "$run/seeds/$name" ]] && cp "$run/seeds/$name"/* "$out/corpus"/ 2>/dev/null
  local status=0
  "$dir/tests/fuzz/$name" "$out/corpus" -max_total_time="$seconds" \
    -artifact_prefix="$out/findings/" "${fuzz_options[@]}" >"$out/log" 2>&1 || status=$?
  echo "$status" >"$out/status"
}

at_once=$((2 * $(nproc)))
echo "=== fuzzing ${#targets[@]} targets, ${seconds} s each, $at_once at a time"
for name in "${targets[@]}"; do
  while [[ $(jobs -rp | wc -l) -ge $at_once ]]; do wait -n || true; done
  fuzz_one "$name" &
done
wait
failed=()
for name in "${targets[@]}"; do
  if [[ "$(cat "$run/$name/status" 2>/dev/null)" == 0 ]]; then
    echo "  $name: $(grep -m1 -o 'stat::number_of_executed_units: *[0-9]*' "$run/$name/log" |
      grep -o '[0-9]*$') runs, no fault"
  else
    failed+=("$name")
    echo "  $name: FAULT"
    tail -40 "$run/$name/log"
    mkdir -p "$dir/findings/$name"
    cp "$run/$name/findings"/* "$dir/findings/$name"/ 2>/dev/null || true
  fi
done
if [[ ${#failed[@]} -gt 0 ]]; then
  echo "fuzzing found faults in: ${failed[*]} (inputs in $dir/findings)" >&2
  exit 1
fi
