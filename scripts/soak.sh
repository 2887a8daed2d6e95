#!/usr/bin/env bash
# Soak test: several clients send mixed requests to one host for MINUTES
# minutes while the host's resident memory, open file descriptors and the
# machine's shared memory are sampled every 10 seconds. Prints the samples
# and compares the last third of the run with the samples just after
# warm-up.
# With --hostile a further client misbehaves in turn: it asks for 200 answers
# of 30 MB and never reads them, subscribes to 81,920 attribute ids, floods
# information requests for 5 seconds, and asks for 200 full decodes of a GIF
# whose screen is 16384 x 16384 and goes away. The well-behaved clients must
# go on being served meanwhile.
# Usage: scripts/soak.sh MINUTES [CLIENTS] [--hostile]
set -euo pipefail
cd "$(dirname "$0")/.."
usage="usage: scripts/soak.sh MINUTES [CLIENTS] [--hostile]"
minutes=${1:?$usage}
clients=4
hostile=false
for arg in "${@:2}"; do
  case "$arg" in
    --hostile) hostile=true ;;
    [0-9]*) clients=$arg ;;
    *) echo "$usage" >&2; exit 2 ;;
  esac
done
scripts/install-deps.sh

build=build/demo
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DIMAGESERVER_BUILD_TESTS=OFF >/dev/null
ninja -C "$build" imageserverlib imageserver-host imageserver-client imageserver-make-samples \
  imageserver-hostile >/dev/null
tools="$(pwd)/$build/tools"

work=$(mktemp -d "${TMPDIR:-/tmp}/imageserver-soak.XXXXXX")
export COMM_RUNTIME_DIR="$work/run"
mkdir -p "$COMM_RUNTIME_DIR" "$work/out"
"$tools/imageserver-make-samples" "$work/samples" >/dev/null
samples=("$work"/samples/*)

"$tools/imageserver-host" --instance 7 --trace-level 5 >"$work/host.out" 2>"$work/host.err" &
host=$!
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  kill -TERM "$host" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
for _ in $(seq 1 300); do
  grep -q 'ready' "$work/host.out" 2>/dev/null && break
  sleep 0.1
done

# One client loop: information, bytes, full and scaled decodes, in turn.
client_loop() {
  local id=$1 n=0
  local deadline=$((SECONDS + minutes * 60))
  while ((SECONDS < deadline)); do
    local file=${samples[$((n % ${#samples[@]}))]}
    case $((n % 4)) in
      0) "$tools/imageserver-client" --instance 7 info "${samples[@]}" ;;
      1) "$tools/imageserver-client" --instance 7 get "$file" -o "$work/out/$id.bin" ;;
      2) "$tools/imageserver-client" --instance 7 decode "$file" -o "$work/out/$id.pam" ;;
      3) "$tools/imageserver-client" --instance 7 decode "$file" --scale 3 -o "$work/out/$id.pam" ;;
    esac >/dev/null 2>&1 || true
    n=$((n + 1))
  done
  echo "$n" >"$work/count.$id"
}
for id in $(seq 1 "$clients"); do
  client_loop "$id" &
  pids+=($!)
done

# The misbehaving client, one attack after another.
hostile_loop() {
  local socket="$COMM_RUNTIME_DIR/svx.imageserver.ImageServer.7"
  local deadline=$((SECONDS + minutes * 60))
  # 30 MB of file (a real header, the rest a hole) and a 35-byte GIF whose
  # logical screen is 16384 x 16384 around a 1 x 1 picture.
  cp "$work/samples/image.bmp" "$work/big.bmp"
  truncate -s 30000000 "$work/big.bmp"
  printf 'GIF89a\x00\x40\x00\x40\x80\x00\x00\xff\xff\xff\x00\x00\x00\x2c\x00\x00\x00\x00\x01\x00\x01\x00\x00\x02\x02\x44\x01\x00\x3b' \
    >"$work/screen.gif"
  while ((SECONDS < deadline)); do
    "$tools/imageserver-hostile" "$socket" hoard "$work/big.bmp" 200 20 || true
    "$tools/imageserver-hostile" "$socket" subscribe 40 2 || true
    "$tools/imageserver-hostile" "$socket" flood "$work/samples/image.bmp" 5 || true
    "$tools/imageserver-hostile" "$socket" vanish "$work/screen.gif" 200 || true
  done
}
if $hostile; then
  hostile_loop >/dev/null 2>&1 &
  pids+=($!)
fi

shmem_kib() { awk '/^Shmem:/ {print $2}' /proc/meminfo; }
echo "time_s rss_kib fds shmem_kib"
samples_rss=()
samples_fds=()
start=$SECONDS
while ((SECONDS - start < minutes * 60)); do
  sleep 10
  rss=$(awk '/^VmRSS/ {print $2}' "/proc/$host/status")
  fds=$(ls "/proc/$host/fd" | wc -l)
  samples_rss+=("$rss")
  samples_fds+=("$fds")
  echo "$((SECONDS - start)) $rss $fds $(shmem_kib)"
done
wait "${pids[@]}" 2>/dev/null || true
pids=()
total=$(cat "$work"/count.* | awk '{s += $1} END {print s}')

n=${#samples_rss[@]}
if ((n >= 6)); then
  warm=$((n / 3))
  late=$((n - n / 3))
  echo
  echo "requests: $total from $clients clients in $minutes min"
  echo "after warm-up (sample $warm): rss ${samples_rss[$warm]} KiB, fds ${samples_fds[$warm]}"
  echo "end of run   (sample $((n - 1))): rss ${samples_rss[$((n - 1))]} KiB, fds ${samples_fds[$((n - 1))]}"
  max_late_rss=$(printf '%s\n' "${samples_rss[@]:$late}" | sort -n | tail -1)
  max_late_fds=$(printf '%s\n' "${samples_fds[@]:$late}" | sort -n | tail -1)
  echo "last third: max rss $max_late_rss KiB, max fds $max_late_fds"
fi
