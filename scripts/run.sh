#!/usr/bin/env bash
# The demo: installs what is missing, builds a Release tree in build/demo and
# runs scripts/demo.sh on its tools.
# Usage: scripts/run.sh
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
scripts/install-deps.sh

build=build/demo
echo "=== building ($build, Release)"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DIMAGESERVER_BUILD_TESTS=OFF >/dev/null
ninja -C "$build" imageserverlib imageserver-host imageserver-client imageserver-make-samples
exec scripts/demo.sh "$root/$build/tools" "$root/$build/tools/imageserver-make-samples"
