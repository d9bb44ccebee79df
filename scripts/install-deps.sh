#!/usr/bin/env bash
# Installs every Debian 12 package that building, testing, benchmarking and running
# Orbiscope needs. Safe to run again: when everything is present it only asks dpkg.
set -euo pipefail

packages=(
  # toolchain and test frameworks
  build-essential cmake pkg-config clang libclang-rt-14-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  # libraries the program links
  libxml2-dev libssl-dev libjpeg62-turbo-dev libpng-dev zlib1g-dev
  libfreetype-dev libfontconfig-dev fonts-dejavu-core libv4l-dev qt6-base-dev
  # the pictures of Resource.so are drawn from SVG sources at build time
  qt6-svg-dev
  # independent decoders and clients the tests check our output with
  python3 python3-pil curl libjpeg-turbo-progs pngcheck giflib-tools libgif-dev netpbm
  # the real clients of the compatibility routes: recorders (ffmpeg), home automation (requests)
  ffmpeg python3-requests
  # references and load tools for the benchmarks
  libturbojpeg0-dev wrk nginx-light
  # headless window tests and the end-to-end browser test
  xvfb xauth chromium chromium-driver
  # the Debian package and its checks, and the TLS proxy recipe's test
  dpkg-dev lintian desktop-file-utils openssl
  # the window's end-to-end test and screenshots: clicks and screen grabs under Xvfb
  xdotool x11-apps
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "Installing: ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
