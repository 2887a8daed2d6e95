#!/usr/bin/env bash
# The memory of hostile decodes: small files that claim or make huge images
# (see `imageserver-bench-inputs --bombs`), each decoded once by a freshly
# started host at the divisors below. Prints, per decode, the host's peak
# resident memory above what it held before the request, the peak of the
# decoder process that read the file (within its address space limit; the
# answer's shared memory, which it writes and the host does not map,
# included), the answer's result and the output's size.
#
# Usage: scripts/bench-bombs.sh
# Environment: BENCH_BUILD_DIR (default build/bench; a tree configured with
#              the benchmarks is reused as it is),
#              BENCH_WORK_DIR (default build/bench-work),
#              BENCH_LIBRARY (the libimageserverlib.so the hosts load; default
#              the build tree's, e.g. another checkout's to compare).
set -euo pipefail
cd "$(dirname "$0")/.."

build=${BENCH_BUILD_DIR:-build/bench}
work=${BENCH_WORK_DIR:-build/bench-work}
mkdir -p "$work"
work=$(cd "$work" && pwd)

if [[ ! -f "$build/build.ninja" ]]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DIMAGESERVER_BUILD_TESTS=OFF \
    -DIMAGESERVER_BUILD_BENCH=ON >/dev/null
fi
ninja -C "$build" imageserverlib imageserver-host imageserver-bench imageserver-bench-inputs \
  imageserver-decoder
build=$(cd "$build" && pwd)
bench="$build/bench/imageserver-bench"
host_bin="$build/tools/imageserver-host"
library=${BENCH_LIBRARY:-}

"$build/bench/imageserver-bench-inputs" --bombs "$work/bombs"

export COMM_RUNTIME_DIR="$work/run"
rm -rf "$COMM_RUNTIME_DIR"
mkdir -p "$COMM_RUNTIME_DIR" "$work/config"
chmod 700 "$COMM_RUNTIME_DIR"

source scripts/bench-host.sh
trap 'stop_host' EXIT

# file, divisor, the output's bytes when the decode succeeds
cases=(
  "png-header.png 1 0"
  "png-header.png 8 0"
  "png-header-adam7.png 8 0"
  "webp-palette.webp 127 $((129 * 129 * 3))"
  "webp-palette.webp 1 $((16383 * 16383 * 3))"
  "webp-palette-exif6.webp 1 $((16383 * 16383 * 3))"
  "webp-flat.webp 127 $((129 * 129 * 3))"
  "heic-grid.heic 8 $((2048 * 2048 * 3))"
  "heic-split.heic 1 0"
)
printf '%-26s %7s %12s %14s %12s  %s\n' file divisor "peak MiB" "decoder MiB" "output MiB" result
for entry in "${cases[@]}"; do
  read -r file divisor output <<<"$entry"
  start_host "$work/host-bombs" --instance 1 --config-root "$work/config" --segment-reserve 0 \
    ${library:+--library "$library"}
  line=$("$bench" rss --instance 1 --pid "$host_pid" --file "$work/bombs/$file" \
    --scaling "$divisor" --label "$file")
  stop_host
  IFS=$'\t' read -r _ idle peak result decoder <<<"$line"
  [[ $result == RESULT_OK ]] || output=0
  awk -v f="$file" -v d="$divisor" -v i="$idle" -v p="$peak" -v o="$output" -v r="$result" \
    -v c="$decoder" \
    'BEGIN { printf "%-26s %7s %12.1f %14.1f %12.2f  %s\n", f, "/" d, (p - i) / 1024, c / 1024, o / 1048576, r }'
done
