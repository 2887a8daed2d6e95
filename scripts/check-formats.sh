#!/usr/bin/env bash
# Compares the engine's pixels of TIFF and JPEG XL files with independent
# decoders': Pillow for TIFF, djxl (libjxl-tools) for JPEG XL. The files are
# written by imageserver-bench-inputs --formats, decoded by the service
# through imageserver-client (as PNG) and by the peer, and compared pixel
# by pixel (colour under alpha 0 left out).
# Usage: scripts/check-formats.sh [BUILD_DIR]   (default build/normal)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh python3-pil libjxl-tools
build=$(cd "${1:-build/normal}" && pwd)
work=$(mktemp -d)
export COMM_RUNTIME_DIR="$work/run"
mkdir -p "$COMM_RUNTIME_DIR" "$work/engine" "$work/peer" && chmod 700 "$COMM_RUNTIME_DIR"
"$build/bench/imageserver-bench-inputs" --formats "$work/in" >/dev/null

host_bin="$build/tools/imageserver-host"
source scripts/bench-host.sh
trap 'stop_host || true; rm -rf "$work"' EXIT
start_host "$work/host" --instance 5
for file in "$work"/in/*; do
  name=$(basename "$file")
  "$build/tools/imageserver-client" --instance 5 decode "$file" --format png \
    -o "$work/engine/$name.png" >/dev/null
  if [[ $name == *.jxl ]]; then djxl "$file" "$work/peer/$name.png" >/dev/null 2>&1; fi
done

/usr/bin/python3 - "$work" <<'PY'
import math, os, sys
from PIL import Image
work = sys.argv[1]
failed = 0
for name in sorted(os.listdir(f"{work}/in")):
    ours = Image.open(f"{work}/engine/{name}.png").convert("RGBA")
    try:
        if name.endswith(".jxl"):
            peer = Image.open(f"{work}/peer/{name}.png")
        else:
            peer = Image.open(f"{work}/in/{name}")
            peer.load()  # Pillow turns a TIFF by its orientation as it loads it
        if peer.mode.startswith("I;16"):  # Pillow would clip it to 8 bits
            peer = Image.frombytes("L", peer.size, bytes(round(v / 257) for v in peer.getdata()))
        peer = peer.convert("RGBA")
    except Exception as e:
        print(f"{name:28s} the peer cannot read it: {e}")
        continue
    if ours.size != peer.size:
        print(f"{name:28s} FAIL size {ours.size} vs {peer.size}")
        failed += 1
        continue
    worst, sq, n = 0, 0, 0
    for a, b in zip(ours.getdata(), peer.getdata()):
        channels = range(4) if a[3] or b[3] else (3,)
        for c in channels:
            d = abs(a[c] - b[c])
            worst, sq, n = max(worst, d), sq + d * d, n + 1
    psnr = 99.0 if sq == 0 else 10 * math.log10(255 * 255 * n / sq)
    verdict = "ok" if worst <= 2 or psnr >= 45 else "FAIL"
    failed += verdict == "FAIL"
    print(f"{name:28s} {verdict:4s} max difference {worst:3d}, PSNR {psnr:5.1f} dB")
sys.exit(1 if failed else 0)
PY
