#!/usr/bin/env bash
# Installs the Debian 12 packages the project needs, only those that are
# missing. Works as root or through sudo.
#   install-deps.sh            what the Linux build, its tests and CI need
#   install-deps.sh --windows  also the cross compiler and Wine for the
#                              Windows stage (./test.sh --windows)
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  libgtest-dev libgmock-dev
  gettext
  libsqlite3-dev libsimpleini-dev
  qt6-base-dev
  libserialport-dev qt6-serialport-dev libboost-dev strace
  xvfb xauth
  clang libclang-rt-14-dev libfuzzer-14-dev
  dpkg-dev file desktop-file-utils
  ser2net python3-serial
  tmux
)
if [ "${1:-}" = --windows ]; then
  packages+=(g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix wine wine64 googletest python3 util-linux)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -eq 0 ]; then sudo=(); else sudo=(sudo); fi
echo "Installing: ${missing[*]}"
"${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
"${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
