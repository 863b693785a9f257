#!/usr/bin/env bash
# Fuzzes the regular-expression engine: configures the engine alone (src/regex/CMakeLists.txt) with clang,
# warnings as errors and -DSKERROW_FUZZ=ON (libFuzzer, AddressSanitizer, UndefinedBehaviorSanitizer),
# builds its target regex_fuzz, and runs it for a fixed time. The build doubles as the check that the engine
# builds on its own with clang.
# Usage: scripts/fuzz-regex.sh [seconds]   (default 60)
# The build and the growing corpus live in $FUZZ_BUILD_DIR (default build/fuzz). Exits non-zero when the
# build fails or the fuzzer finds a crash, a leak, a sanitizer error or a hang; the input that did it is
# saved beside the corpus.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
build=${FUZZ_BUILD_DIR:-$root/build/fuzz}
cxx=${CXX_FUZZ:-$(command -v clang++ || command -v clang++-14 || true)}
if [ -z "$cxx" ]; then
  echo "fuzz-regex.sh: clang++ is missing (scripts/setup-debian.sh installs it)" >&2
  exit 1
fi
mkdir -p "$build/corpus" "$build/artifacts"

echo "== the engine alone, with $cxx"
cmake -S "$root/src/regex" -B "$build" -DCMAKE_CXX_COMPILER="$cxx" -DSKERROW_FUZZ=ON -DSKERROW_WERROR=ON \
  >/dev/null
cmake --build "$build" -j "$(nproc)" -- --no-print-directory | grep -vE '^\[ *[0-9]+%\] (Building|Linking)' || true
cmake --build "$build" -j "$(nproc)" >/dev/null # fails here when the build above failed
fuzzer="$build/fuzz/regex_fuzz"

# Seeds: input layout: flags byte (1 NOCASE, 4 SINGLELINE), pattern, NUL, subject. The program's own patterns
# come from tests/data/regex/program_patterns.txt (the program's tests pin it to its tables), each over the
# start of a sample page of either site; a few shapes beyond them follow.
seed() { printf '%b' "$1" >"$build/corpus/seed-$2"; }
while IFS=$'\t' read -r name flags _ _ _ pattern; do
  case "$name" in '#'* | '') continue ;; esac
  case "$flags" in SINGLELINE) byte='\x04' ;; NOCASE) byte='\x01' ;; *) byte='\x00' ;; esac
  for page in siteA/site/contents.htm siteB/title.htm; do
    { printf '%b' "$byte"; printf '%s' "$pattern"; printf '\0'; head -c 3000 "$root/tests/data/$page"; } \
      >"$build/corpus/seed-$name-${page%%/*}"
  done
done <"$root/tests/data/regex/program_patterns.txt"
seed '\x00(a|b)+(?>c*)(?(1)d|e)\\1{2,3}?\x00abccdbb' groups
seed '\x01(?i)[[:alpha:]\\d-]+\\b(?!x)(?<!ab|b)\\Q*\\E\x00Ab1-*' flags
seed '\x08(?#c)(?x: a b # comment\n)(?R)?\x00ab' recursion

cat >"$build/regex.dict" <<'DICT'
"(?:"
"(?="
"(?!"
"(?<="
"(?<!"
"(?>"
"(?("
"(?R)"
"(?i)"
"(?-ms:"
"(?#"
"\\s*"
"\\d"
"\\w"
"\\b"
"\\Q"
"\\E"
"\\1"
"\\x4"
"\\c"
"[^>]"
"[[:alpha:]]"
"[[:^digit:]]"
"*?"
"+?"
"??"
"{2,3}"
"{,}"
"}?"
".*"
DICT

echo "Fuzzing the regular-expression engine for $seconds s ($build)"
"$fuzzer" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -max_len=4096 \
  -print_final_stats=1 -dict="$build/regex.dict" -artifact_prefix="$build/artifacts/" "$build/corpus"
