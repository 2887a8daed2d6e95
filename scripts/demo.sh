#!/usr/bin/env bash
# Writes a few sample images, starts imageserver-host on them and asks it
# from a second process (imageserver-client) for information, file bytes,
# half-size decodes and the interface version; then stops the host. Exits 1
# when a tool's exit status or output differs from what the demo expects.
# Usage: scripts/demo.sh BIN_DIR SAMPLE_MAKER
#   BIN_DIR       folder of imageserver-host and imageserver-client (a build
#                 tree's tools/ folder, or an installed bin/ folder)
#   SAMPLE_MAKER  imageserver-make-samples of a build tree
set -euo pipefail
[[ $# -eq 2 ]] || { echo "usage: $0 BIN_DIR SAMPLE_MAKER" >&2; exit 2; }
tools=$1
make_samples=$2
failures=0

# Everything the demo writes stays in one folder, kept afterwards so that
# the decoded image can be looked at.
work=$(mktemp -d "${TMPDIR:-/tmp}/imageserver-demo.XXXXXX")
samples="$work/samples"
out="$work/out"
mkdir -p "$out"
# A private runtime folder: the host's socket goes there, and the client
# looks there, so the demo cannot meet another running service.
export COMM_RUNTIME_DIR="$work/run"
mkdir -p "$COMM_RUNTIME_DIR"

echo
echo "=== sample images ($samples)"
"$make_samples" "$samples"

# The service's configuration: a blacklisted folder inside the samples.
mkdir -p "$samples/private" "$work/config/imageserver"
cp "$samples/photo.jpg" "$samples/private/photo.jpg"
cat >"$work/config/imageserver/config.json" <<EOF
{ "whitelist": [], "blacklist": ["$samples/private"] }
EOF

echo
echo "=== starting the host (extension check on, $samples/private blacklisted in config.json)"
"$tools/imageserver-host" --instance 0 --ext-check --config-root "$work/config" --trace-level 3 \
  >"$work/host.out" 2>"$work/host.err" &
host=$!
stop_host() {
  if kill -0 "$host" 2>/dev/null; then
    kill -TERM "$host"
    local status=0
    wait "$host" || status=$?
    echo "host exited with status $status"
    [[ $status -eq 0 ]] || failures=$((failures + 1))
  fi
}
trap stop_host EXIT
for _ in $(seq 1 300); do
  grep -q '^imageserver-host: ready$' "$work/host.out" 2>/dev/null && break
  kill -0 "$host" 2>/dev/null || { cat "$work/host.out" "$work/host.err" >&2; exit 1; }
  sleep 0.1
done
grep -q '^imageserver-host: ready$' "$work/host.out" || { echo "the host did not start" >&2; exit 1; }
cat "$work/host.out"

# client EXPECTED_STATUS ARGUMENT...
client() {
  local expected=$1
  shift
  echo
  echo "\$ imageserver-client $*"
  local status=0
  "$tools/imageserver-client" "$@" || status=$?
  echo "(exit status $status)"
  if [[ $status -ne $expected ]]; then
    echo "demo: expected exit status $expected" >&2
    failures=$((failures + 1))
  fi
}

echo
echo "=== asking the host from a second process"
# Information for every sample; broken.png is refused (exit status 1).
client 1 info "$samples/photo.jpg" "$samples/alpha.png" "$samples/palette.gif" \
  "$samples/image.bmp" "$samples/broken.png"
# Refused as well: a blacklisted file, and one without an image extension.
client 1 info "$samples/private/photo.jpg" /etc/os-release
# The file's bytes, unchanged, with the information attached; as JSON.
client 0 --json get "$samples/photo.jpg" --with-info -o "$out/photo-copy.jpg"
if cmp "$samples/photo.jpg" "$out/photo-copy.jpg"; then
  echo "photo-copy.jpg is identical to photo.jpg"
else
  failures=$((failures + 1))
fi
# Half-size decodes, written as PNG files.
client 0 decode "$samples/photo.jpg" --scale 2 -o "$out/photo-half.png"
client 0 --json decode "$samples/alpha.png" --scale 2 -o "$out/alpha-half.png"
client 0 version

echo
echo "=== stopping the host (SIGTERM)"
trap - EXIT
stop_host
sed -n '/: ready$/,$p' "$work/host.out" | tail -n +2
echo "--- the host's trace output (level 3 and above):"
cat "$work/host.err"

echo
echo "=== done"
echo "Half-size decode of the photo: $out/photo-half.png"
echo "Everything the demo wrote:     $work"
if [[ $failures -ne 0 ]]; then
  echo "demo: $failures unexpected results" >&2
  exit 1
fi
