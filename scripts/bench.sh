#!/usr/bin/env bash
# The benchmark: installs what is missing, builds a Release tree, makes the
# input files, starts imageserver-host with a private runtime folder, times
# the service through the client library against in-process library
# baselines and peer tools (interleaved, every case repeated), measures the
# host's peak memory with a fresh host per case, then writes
# bench/results.md and bench/results.png and stops the host.
#
# Usage: scripts/bench.sh
# Environment: BENCH_REPS (rounds, default 11, at least 10 for the report),
#              BENCH_BUILD_DIR (default build/bench),
#              BENCH_WORK_DIR (inputs and raw data, default build/bench-work),
#              BENCH_RESERVE_MIB (the hosts' --segment-reserve, default 64),
#              BENCH_BEFORE_REV (a git revision: its host is built too and
#              measured beside this one in the same rounds, for before/after
#              figures; unset: none).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

scripts/install-deps.sh libjpeg-turbo-progs imagemagick libvips-tools python3-pil gnuplot-nox

reps=${BENCH_REPS:-11}
build=${BENCH_BUILD_DIR:-build/bench}
work=${BENCH_WORK_DIR:-build/bench-work}
mkdir -p "$work"
work=$(cd "$work" && pwd)

echo "=== building ($build, Release)"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DIMAGESERVER_BUILD_TESTS=OFF \
  -DIMAGESERVER_BUILD_BENCH=ON >/dev/null
ninja -C "$build" imageserverlib imageserverclient imageserver-host imageserver-client \
  imageserver-bench imageserver-bench-inputs imageserver-decoder
build=$(cd "$build" && pwd)
bench="$build/bench/imageserver-bench"
host_bin="$build/tools/imageserver-host"
client_bin="$build/tools/imageserver-client"
reserve_mib=${BENCH_RESERVE_MIB:-64}

before_args=()
before_host=""
if [[ -n "${BENCH_BEFORE_REV:-}" ]]; then
  echo "=== building $BENCH_BEFORE_REV for before/after figures ($work/before-build, Release)"
  rm -rf "$work/before-src"
  mkdir -p "$work/before-src"
  git archive "$BENCH_BEFORE_REV" | tar -x -C "$work/before-src"
  cmake -S "$work/before-src" -B "$work/before-build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DIMAGESERVER_BUILD_TESTS=OFF -DIMAGESERVER_BUILD_BENCH=OFF >/dev/null
  ninja -C "$work/before-build" imageserverlib imageserver-host >/dev/null
  before_host="$work/before-build/tools/imageserver-host"
fi

echo "=== inputs ($work/inputs)"
"$build/bench/imageserver-bench-inputs" "$work/inputs"

# A private runtime folder (the host's socket) and an empty configuration
# store, so that the run meets no other service and no system settings.
export COMM_RUNTIME_DIR="$work/run"
rm -rf "$COMM_RUNTIME_DIR"
mkdir -p "$COMM_RUNTIME_DIR" "$work/config" "$work/plot"
chmod 700 "$COMM_RUNTIME_DIR"
# The one-shot cases write whole pictures to files: in memory (tmpfs) where
# there is one, so that a disk's write-back does not blur the timings.
scratch=$(mktemp -d /dev/shm/imageserver-bench.XXXXXX 2>/dev/null || mktemp -d "$work/scratch.XXXXXX")

source scripts/bench-host.sh
# A host of |instance| with the benchmark's settings.
start_bench_host() {
  start_host "$work/host-$1" --instance "$1" --config-root "$work/config" --trace-level 3 \
    --segment-reserve "$reserve_mib"
}
trap 'stop_host || true; rm -rf "$scratch"' EXIT

{
  echo "Run of $(date -u '+%Y-%m-%d %H:%M UTC') by \`scripts/bench.sh\`, $reps rounds."
  echo
  echo "- machine: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//'), $(nproc) cores, $(awk '/MemTotal/ {printf "%.0f GiB", $2/1048576}' /proc/meminfo), kernel $(uname -r)"
  echo "- load average before the run: $(cut -d' ' -f1-3 /proc/loadavg)"
  echo "- build: Release ($(c++ --version | head -1)); libjpeg-turbo $(dpkg-query -W -f='${Version}' libjpeg62-turbo), libspng $(dpkg-query -W -f='${Version}' libspng0), giflib $(dpkg-query -W -f='${Version}' libgif7)"
  echo "- peers: djpeg (libjpeg-turbo-progs $(dpkg-query -W -f='${Version}' libjpeg-turbo-progs)), $(/usr/bin/convert -version | head -1 | cut -d' ' -f2-3), $(/usr/bin/vipsheader --version), Pillow $(/usr/bin/python3 -c 'import PIL; print(PIL.__version__)')"
} >"$work/environment.md"

echo "=== timing ($reps rounds after a warm-up round; progress on stderr)"
before_pid=""
if [[ -n "$before_host" ]]; then
  current_host=$host_bin
  host_bin=$before_host
  start_bench_host 2
  before_pid=$host_pid
  host_bin=$current_host
  before_args=(--before-instance 2)
fi
start_bench_host 0
# The Python worker's client: the package from the tree, on this build's
# client library.
export PYTHONPATH="$root/python${PYTHONPATH:+:$PYTHONPATH}"
export IMAGESERVER_CLIENT_LIBRARY="$build/svx/imageserver/client/libimageserverclient.so"
"$bench" run --inputs "$work/inputs" --scratch "$scratch" --out "$work/samples.tsv" \
  --reps "$reps" --instance 0 --host-pid "$host_pid" --pillow-worker "$root/bench/pillow_worker.py" \
  --client "$client_bin" "${before_args[@]}"
stop_host
if [[ -n "$before_pid" ]]; then
  host_pid=$before_pid
  stop_host
fi

echo "=== host peak memory (a fresh host per measurement)"
: >"$work/rss.tsv"
for _ in 1 2 3; do
  for scaling in 1 8; do
    label="decode full"
    [[ $scaling -eq 1 ]] || label="decode /$scaling"
    start_bench_host 1
    "$bench" rss --instance 1 --pid "$host_pid" --file "$work/inputs/photo12.jpg" \
      --scaling "$scaling" --label "$label" | tee -a "$work/rss.tsv"
    stop_host
  done
done

echo "=== host memory once its clients have gone (a fresh host per measurement)"
: >"$work/idle.tsv"
for _ in 1 2 3; do
  start_bench_host 1
  "$bench" idle --instance 1 --pid "$host_pid" --file "$work/inputs/photo12.jpg" --clients 10 \
    --decodes 100 --reserve-mib "$reserve_mib" | tee -a "$work/idle.tsv"
  stop_host
done

echo "=== colour (in this process)"
"$bench" colour --inputs "$work/inputs" --scratch "$scratch" --reps "$reps" | tee "$work/colour.txt"

echo "- load average after the run: $(cut -d' ' -f1-3 /proc/loadavg)" >>"$work/environment.md"

echo "=== report"
"$bench" report --samples "$work/samples.tsv" --rss "$work/rss.tsv" --idle "$work/idle.tsv" \
  --md bench/results.md \
  --plot-dir "$work/plot" --environment "$work/environment.md"
# The method notes of bench/README.md close the report.
{
  echo
  awk '/^## /{p = ($0 ~ /^## How it is measured/)} p' bench/README.md
} >>bench/results.md
gnuplot "$work/plot/results.gp"
cp "$work/plot/results.png" bench/results.png
echo
echo "wrote bench/results.md and bench/results.png (raw samples: $work/samples.tsv)"
