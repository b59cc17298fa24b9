#!/usr/bin/env bash
# The Windows stage (./test.sh --windows):
#  1. installs mingw-w64 and Wine when missing, cross-builds the library, the
#     tool and the tests in build-windows/ with cmake/mingw-w64-x86_64.cmake;
#  2. in a private mount namespace where every /dev/ttyS* is /dev/null (Wine
#     maps COM1 to /dev/ttyS0, the console of these machines), with a Wine
#     prefix of its own and one Wine server for the whole stage:
#     - runs the test suites under Wine and prints their counts;
#     - runs kelvat-port.exe list, and send to a Wine COM port;
#     - installs the build, builds examples/consumer-windows against it
#       outside the tree (find_package(KelvatCPort) with the toolchain file)
#       and has it talk to a Wine COM port.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
dir=$root/build-windows
prefix=$dir/wineprefix
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver

fail() { echo "test-windows: $*" >&2; exit 1; }
step() { echo "== $*"; }

if [ "${1:-}" != --in-namespace ]; then
  ./scripts/install-deps.sh --windows
  step "cross-building in $dir"
  cmake -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
    -DKELVAT_WINEPREFIX="$prefix" >/dev/null
  cmake --build "$dir" -j "$(nproc)"
  exec unshare -m "$0" --in-namespace
fi

# ---- inside the private mount namespace --------------------------------------
for tty in /dev/ttyS*; do
  [ -e "$tty" ] || continue
  mount --bind /dev/null "$tty"
  [ -t 0 ] <"$tty" && fail "$tty still reaches a terminal"
done

export WINEPREFIX=$prefix WINEDEBUG=-all
if [ ! -f "$prefix/system.reg" ]; then
  step "making the Wine prefix $prefix"
  "$wine" wineboot -i >/dev/null 2>&1
fi
# One persistent server for every Wine process of the stage (the one that
# made the prefix, if any, is ours and is stopped first); -k at the end.
"$wineserver" -k >/dev/null 2>&1 || true
"$wineserver" -p >/dev/null 2>&1
# Wine's services start with the first program and keep its standard output
# open; started here, they hold no test's output pipe (ctest would wait for
# it to close).
"$wine" wineboot >/dev/null 2>&1 </dev/null
work=$(mktemp -d /tmp/kelvat-windows.XXXXXX)
peer_pid=
cleanup() {
  [ -n "$peer_pid" ] && kill "$peer_pid" 2>/dev/null
  "$wineserver" -k 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

step "test suites under Wine"
if ! ctest --test-dir "$dir" -V -j 2 >"$work/ctest.log" 2>&1; then
  cat "$work/ctest.log"
  fail "test suites failed"
fi
# The counts of each suite, the cases skipped under Wine and why.
grep -E '^[0-9]+: (\[  (PASSED|SKIPPED|FAILED) |Wine|.*: Skipped$)|tests passed|Test +#' "$work/ctest.log" || true

# Wine asks the pty behind a COM port for modem lines it does not have; the
# tests' shim answers them (tests/win32/tiocm_shim.c).
shim=$dir/tests/win32/tiocm_shim.so

# A COM port for the tool and the consumer: com_peer.py on the Linux side,
# driven here over its control connection.
start_peer() {
  local number=$1
  rm -f "$work/ready"
  python3 tests/win32/com_peer.py "$prefix/dosdevices/com$number" "$work/ready" &
  peer_pid=$!
  for _ in $(seq 200); do [ -s "$work/ready" ] && break; sleep 0.05; done
  [ -s "$work/ready" ] || fail "the COM peer did not come up"
  exec 3<>"/dev/tcp/127.0.0.1/$(cat "$work/ready")"
}
peer() { echo "$*" >&3; local answer; read -r answer <&3; echo "$answer"; }
stop_peer() { peer quit >/dev/null; exec 3<&-; wait "$peer_pid" || true; peer_pid=; }

step "kelvat-port.exe list"
"$wine" "$dir/bin/kelvat-port.exe" list | tee "$work/list.txt"
grep -q '^NAME' "$work/list.txt" || fail "list printed no table"

step "kelvat-port.exe send"
start_peer 41
# The far end reads while the tool runs, as a device does: Wine's PurgeComm
# at close flushes the pty, taking along bytes nobody has read yet.
echo "read 15 10000" >&3
LD_PRELOAD=$shim "$wine" "$dir/bin/kelvat-port.exe" send --crlf COM41 "hello Windows"
read -r answer <&3
[ "$answer" = "data $(printf 'hello Windows\r\n' | od -An -tx1 | tr -d ' \n')" ] ||
  fail "send did not deliver its bytes (the far end got: $answer)"
stop_peer
echo "delivered"

step "a consumer outside the tree against the installed Windows package"
cmake --install "$dir" --prefix "$work/install" >/dev/null
cp -r examples/consumer-windows "$work/consumer"
cmake -S "$work/consumer" -B "$work/consumer/build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
  -DKelvatCPort_DIR="$work/install/lib/cmake/KelvatCPort" >/dev/null
cmake --build "$work/consumer/build" >/dev/null
start_peer 42
LD_PRELOAD=$shim "$wine" "$work/consumer/build/ping.exe" COM42 >"$work/ping.txt" 2>&1 &
ping_pid=$!
[ "$(peer read 6 10000)" = "data 70696e670d0a" ] || fail "the consumer's ping did not arrive"
peer write 706f6e67 >/dev/null
wait "$ping_pid" || { cat "$work/ping.txt"; fail "the consumer did not get its pong"; }
stop_peer
cat "$work/ping.txt"
step "Windows stage passed"
