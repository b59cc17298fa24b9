#!/usr/bin/env bash
# package.sh [BUILD_DIR]: builds the Debian package (the window, the
# command-line tool, the demo device, the port libraries as shared libraries
# with their headers, CMake package and pkg-config files) in BUILD_DIR
# (default build-pkg/), configured for /usr. The .deb lands in BUILD_DIR.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-$root/build-pkg}

cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr -DBUILD_SHARED_LIBS=ON \
  -DKELVAT_BUILD_TESTS=OFF -DKELVAT_BUILD_BENCH=OFF >/dev/null
cmake --build "$dir" -j "$(nproc)"
rm -f "$dir"/*.deb
(cd "$dir" && cpack -G DEB)
