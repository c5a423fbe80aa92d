#!/usr/bin/env bash
# Installs every Debian 12 package that building, running and testing Torvik needs.
# This is the one list of packages; the run and test scripts both call it.
set -euo pipefail

PACKAGES=(
  # toolchain and test frameworks
  build-essential cmake pkg-config git libgtest-dev libgmock-dev libbenchmark-dev clang libclang-rt-14-dev
  # network layer
  libcurl4-openssl-dev libssl-dev openssl nlohmann-json3-dev libcpp-httplib-dev
  # windows, printing, fonts, headless display
  qt6-base-dev qt6-base-dev-tools libgl-dev fonts-arphic-uming fonts-noto-cjk xvfb xauth
  # export formats and their independent readers in the tests
  libgsf-1-dev libxlsxwriter-dev python3 python3-xlrd python3-openpyxl poppler-utils
  # benchmark peers
  libsqlite3-dev liblmdb-dev
)

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
fi
