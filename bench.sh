#!/usr/bin/env bash
# Builds the benchmark in Release (build-bench/) and prints its table: the
# port component against plain termios + poll + read/write on pty pairs.
#   ./bench.sh            full run (15 repetitions; a few minutes)
#   ./bench.sh --quick    3 repetitions, smaller sizes
# Any further options go to the program (see bench/bench_main.cpp), e.g.
#   ./bench.sh --only latency --reps 5
set -euo pipefail
cd "$(dirname "$0")"
./scripts/install-deps.sh
./scripts/build.sh build-bench -DCMAKE_BUILD_TYPE=Release -DKELVAT_BUILD_GUI=OFF -DKELVAT_BUILD_TESTS=OFF \
  -DKELVAT_BUILD_BENCH=ON
exec ./build-bench/bin/cport_bench "$@"
