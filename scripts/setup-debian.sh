#!/usr/bin/env bash
# Installs what Skerrow needs on a fresh Debian 12 machine (as root). Idempotent, and quiet when everything
# is there already.
#   scripts/setup-debian.sh          what building and running Skerrow needs (the main job)
#   scripts/setup-debian.sh --test   that, and what the tests, the fuzzer and the benchmarks need
#   scripts/setup-debian.sh --bench  that, and what bench/web_run.py needs
set -euo pipefail

PACKAGES=(
  cmake g++ make pkg-config
  libcurl4-openssl-dev libzip-dev zlib1g-dev libbrotli-dev libzstd-dev libxml2-dev
  libtomlplusplus-dev libgumbo-dev
  python3
  ca-certificates openssl
)
TEST_PACKAGES=(
  googletest libgtest-dev libbenchmark-dev
  libpcre2-dev clang libclang-rt-14-dev
  chromium fonts-dejavu-core tidy
  unzip zip p7zip-full wget wget2 aria2 clang-format
  zlib1g-dev libbrotli-dev libssl-dev
  python3-brotli python3-h2
  epubcheck default-jre-headless
)
# What bench/web_run.py runs besides the test packages: the HTTP/2 server and the peers.
BENCH_PACKAGES=(
  curl time iproute2 nginx-light libnginx-mod-http-echo calibre
)
case "${1:-}" in
  "") ;;
  --test) PACKAGES+=("${TEST_PACKAGES[@]}") ;;
  --bench) PACKAGES+=("${TEST_PACKAGES[@]}" "${BENCH_PACKAGES[@]}") ;;
  *) echo "usage: scripts/setup-debian.sh [--test|--bench]" >&2; exit 2 ;;
esac

missing=()
for package in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "setup-debian.sh: missing packages: ${missing[*]}; run this script as root to install them" >&2
  exit 1
fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
