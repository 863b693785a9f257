#!/usr/bin/env bash
# The main job: builds Skerrow and runs it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup-debian.sh"
build="$root/build/release"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DSKERROW_BENCH=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target Skerrow >/dev/null
"$build/Skerrow" "$@"
