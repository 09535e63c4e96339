#!/usr/bin/env bash
# Installs every Debian package the build, the tests, the demo and the benchmarks need, or only
# the packages named on its command line (scripts/bootstrap.sh PACKAGE...).
# Idempotent: installs only what is missing, with one package-list update at most.
set -euo pipefail

packages=(
  build-essential cmake pkg-config git
  libssl-dev openssl
  libcurl4-openssl-dev curl
  zlib1g-dev
  libtinyxml2-dev
  libsqlite3-dev sqlite3
  libcpp-httplib-dev
  libgif-dev libpng-dev libfreetype-dev fonts-nanum
  7zip unzip zip
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  nginx-light
  python3 bc
  clang libclang-rt-dev
)
if [ $# -gt 0 ]; then packages=("$@"); fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "bootstrap: installing ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
