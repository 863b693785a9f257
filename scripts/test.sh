#!/usr/bin/env bash
# Builds Skerrow and runs every test twice: a release build with warnings as errors, then a build with
# AddressSanitizer and UndefinedBehaviorSanitizer. Usage: scripts/test.sh [release|sanitize]...
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup-debian.sh" --test

jobs=$(nproc)
configs=("$@")
[ ${#configs[@]} -gt 0 ] || configs=(release sanitize)

for config in "${configs[@]}"; do
  build="$root/build/$config"
  case "$config" in
    release)  flags=(-DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=ON -DSKERROW_WERROR=ON -DSKERROW_BENCH=ON) ;;
    sanitize) flags=(-DCMAKE_BUILD_TYPE=Debug -DBUILD_TESTING=ON -DSKERROW_WERROR=ON -DSKERROW_SANITIZE=ON -DSKERROW_BENCH=OFF) ;;
    *) echo "unknown configuration: $config" >&2; exit 2 ;;
  esac
  echo "== $config build"
  cmake -S "$root" -B "$build" "${flags[@]}" >/dev/null
  cmake --build "$build" -j "$jobs" -- --no-print-directory | grep -vE '^\[ *[0-9]+%\] (Building|Linking)' || true
  cmake --build "$build" -j "$jobs" >/dev/null # fails here when the build above failed
  echo "== $config tests"
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir "$build" --output-on-failure -j "$jobs"
done
