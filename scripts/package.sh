#!/usr/bin/env bash
# Builds the Debian package build/orbiscope_VERSION_ARCH.deb with CPack. Install it with
#   sudo apt install ./build/orbiscope_*.deb
# then change the camera password and start the service (README, "The Debian package").
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target orbiscope Resource orbiscope_package_files
(cd build && cpack -G DEB >/dev/null)
deb=$(ls -t build/orbiscope_*.deb | head -n 1)
echo "Built $deb"
