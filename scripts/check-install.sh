#!/usr/bin/env bash
# Checks the library as another project sees it, and the Debian package:
#  1. builds the package (scripts/package.sh, in build-pkg/) and installs the
#     same build into a temporary prefix;
#  2. compiles every installed header on its own;
#  3. copies examples/consumer out of the source tree, builds it against the
#     installed files with find_package(KelvatCPort) and with pkg-config,
#     and runs both (a pty pair, the INI store, a virtual device, and an
#     error message that LANGUAGE=de takes from the installed catalogs);
#  4. checks the .deb: its file list, its dependencies, its desktop entry,
#     that its programs find all their libraries, and that the consumer
#     builds against its development files, unpacked into a throwaway root.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
./scripts/install-deps.sh

fail() { echo "check-install: $*" >&2; exit 1; }
step() { echo "== $*"; }

build=$root/build-pkg
step "building the package in $build"
nice -n 5 ./scripts/package.sh "$build"
deb=$(ls "$build"/*.deb)

work=$(mktemp -d /tmp/kelvat-check-install.XXXXXX)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
step "installing into $prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null

step "compiling each installed header on its own"
include=$prefix/include/kelvat
mapfile -t headers < <(cd "$include" && find . -name '*.h' | sed 's|^\./||' | sort)
[ ${#headers[@]} -gt 0 ] || fail "no headers installed under $include"
for header in "${headers[@]}"; do
  case $header in *_p.h) fail "private header installed: $header" ;; esac
  # Twice, so that a header that cannot be included again fails too.
  printf '#include <%s>\n#include <%s>\n' "$header" "$header" |
    g++ -std=c++20 -fsyntax-only -Wall -Wextra -Wpedantic -Werror -I"$include" -x c++ - ||
    fail "$header does not compile on its own"
done
echo "${#headers[@]} headers"

# run_consumer NAME PROGRAM: runs it in English and in German.
run_consumer() {
  local name=$1 program=$2 out
  out=$(cd "$work" && timeout 60 env LC_ALL=C.UTF-8 LANGUAGE= "$program" "$work/$name.ini") ||
    fail "$name failed: $out"
  echo "$out"
  grep -q '^missing port: Unable to open com port (win error code: 2)$' <<<"$out" ||
    fail "$name: the English error message is not the expected one"
  out=$(cd "$work" && timeout 60 env LC_ALL=C.UTF-8 LANGUAGE=de "$program" "$work/$name-de.ini") ||
    fail "$name failed in German: $out"
  grep -q '^missing port: Serielle Schnittstelle kann nicht geöffnet werden' <<<"$out" ||
    fail "$name: the installed German catalog was not used: $out"
}

cp -r "$root/examples/consumer" "$work/consumer"
step "consumer with find_package(KelvatCPort)"
cmake -S "$work/consumer" -B "$work/consumer-cmake" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/consumer-cmake" >/dev/null
run_consumer consumer-cmake "$work/consumer-cmake/consumer"

step "consumer with pkg-config"
pcdir=$(dirname "$(find "$prefix" -name kelvat-cport.pc)")
export PKG_CONFIG_PATH=$pcdir
libdir=$(pkg-config --variable=libdir kelvat-cport)
# shellcheck disable=SC2046
g++ -std=c++20 -o "$work/consumer-pc" "$work/consumer/main.cpp" \
  $(pkg-config --cflags --libs kelvat-cport-storage kelvat-cport-testing) -Wl,-rpath,"$libdir"
run_consumer consumer-pc "$work/consumer-pc"
unset PKG_CONFIG_PATH

step "checking $(basename "$deb")"
dpkg-deb -c "$deb" | sed -E 's/ -> .*$//' | awk '{print $NF}' | sed 's|^\./|/|' > "$work/contents"
expect() { grep -Eq "^$1\$" "$work/contents" || fail "the package holds no $1"; }
expect /usr/bin/kelvat-commport
expect /usr/bin/kelvat-demo-device
expect '/usr/lib/([^/]+/)?libkelvat-cport\.so\.[0-9]+'
expect '/usr/lib/([^/]+/)?libkelvat-cport-storage\.so\.[0-9]+'
expect '/usr/lib/([^/]+/)?libkelvat-cport-testing\.so\.[0-9]+'
expect '/usr/lib/([^/]+/)?libkelvat-cport\.so'
expect /usr/include/kelvat/CPort/ComPort.h
expect /usr/include/kelvat/CPort/platform/virtual_device.h
expect '/usr/lib/([^/]+/)?cmake/KelvatCPort/KelvatCPortConfig\.cmake'
expect '/usr/lib/([^/]+/)?pkgconfig/kelvat-cport\.pc'
expect /usr/share/locale/de/LC_MESSAGES/cport.mo
expect /usr/share/applications/kelvat-commport.desktop
expect /usr/share/icons/hicolor/scalable/apps/kelvat-commport.svg
if [ -d "$root/tools/kelvat-port" ]; then expect /usr/bin/kelvat-port; fi
depends=$(dpkg-deb -f "$deb" Depends)
for dependency in libqt6widgets6 qt6-qpa-plugins libsqlite3-0; do
  grep -q "$dependency" <<<"$depends" || fail "the package does not depend on $dependency: $depends"
done

debroot=$work/root
dpkg-deb -x "$deb" "$debroot"
desktop-file-validate "$debroot/usr/share/applications/kelvat-commport.desktop"
pkglibdir=$(dirname "$(find "$debroot/usr/lib" -name 'libkelvat-cport.so.*' -type f)")
for program in "$debroot"/usr/bin/*; do
  missing=$(LD_LIBRARY_PATH=$pkglibdir ldd "$program" | grep 'not found' || true)
  [ -z "$missing" ] || fail "$(basename "$program") does not find: $missing"
done
cmake -S "$work/consumer" -B "$work/consumer-deb" -DCMAKE_PREFIX_PATH="$debroot/usr" >/dev/null
cmake --build "$work/consumer-deb" >/dev/null
(cd "$work" && timeout 60 env LC_ALL=C.UTF-8 LANGUAGE= "$work/consumer-deb/consumer" "$work/consumer-deb.ini" >/dev/null) ||
  fail "the consumer built against the package's files failed"
echo "check-install: all good"
