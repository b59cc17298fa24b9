#!/usr/bin/env bash
# Builds the benchmark in Release (build-bench/) and prints its tables: the
# port component against plain termios + poll and against libserialport,
# QSerialPort and boost.asio, on pty pairs, with the far side of each pty in a
# process of its own. See docs/benchmarks.md.
#   ./bench.sh            full run (11 repetitions; about 10 minutes on a busy 2-CPU machine, less when quiet)
#   ./bench.sh --quick    3 repetitions, smaller sizes (under a minute)
#   ./bench.sh --net      network ports through ser2net: this port's rfc2217://
#                         against pySerial's and a raw TCP socket
# Any further options go to the program (see bench/bench_main.cpp), e.g.
#   ./bench.sh --only round-trip --reps 5
set -euo pipefail
cd "$(dirname "$0")"
./scripts/install-deps.sh
./scripts/build.sh build-bench -DCMAKE_BUILD_TYPE=Release -DKELVAT_BUILD_GUI=OFF -DKELVAT_BUILD_TESTS=OFF \
  -DKELVAT_BUILD_BENCH=ON
if [ "${1:-}" = "--net" ]; then
  shift
  exec ./build-bench/bin/cport_net_bench "$@"   # rfc2217:// through ser2net (bench/net_rows.cpp)
fi
exec ./build-bench/bin/cport_bench "$@"
