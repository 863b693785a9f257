#!/usr/bin/env bash
# Installs what building, testing and running Skerrow needs on a fresh Debian 12 machine (as root).
# Idempotent, and quiet when everything is there already.
set -euo pipefail

PACKAGES=(
  cmake g++ make pkg-config
  libcurl4-openssl-dev
  libzip-dev unzip
  googletest libgtest-dev libbenchmark-dev
  python3 chromium fonts-dejavu-core
  libpcre2-dev clang libclang-rt-14-dev
  wget wget2 aria2
)

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
