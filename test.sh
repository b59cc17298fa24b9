#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test.
#   ./test.sh             normal build (build/)
#   ./test.sh --sanitize  AddressSanitizer + UndefinedBehaviorSanitizer build (build-asan/)
#   ./test.sh --tsan      ThreadSanitizer build of the library's tests (build-tsan/)
#   ./test.sh --fuzz      clang libFuzzer build (build-fuzz/); runs each fuzz target
#                         for FUZZ_SECONDS (default 60) and fails on any finding
#   ./test.sh --windows   mingw-w64 cross build (build-windows/), tests under Wine
#                         (scripts/test-windows.sh)
set -euo pipefail
cd "$(dirname "$0")"
if [ "${1:-}" = --windows ]; then
  exec ./scripts/test-windows.sh
fi
./scripts/install-deps.sh

mode=${1:-normal}
case "$mode" in
  normal)     dir=build;      opts=() ;;
  --sanitize) dir=build-asan; opts=(-DKELVAT_SANITIZE=ON -DKELVAT_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug) ;;
  --tsan)     dir=build-tsan; opts=(-DKELVAT_TSAN=ON -DKELVAT_BUILD_GUI=OFF -DKELVAT_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug) ;;
  --fuzz)     dir=build-fuzz; opts=(-DKELVAT_FUZZ=ON -DKELVAT_BUILD_TESTS=OFF -DKELVAT_BUILD_GUI=OFF -DKELVAT_BUILD_BENCH=OFF
                                    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++) ;;
  *) echo "unknown option $mode" >&2; exit 2 ;;
esac

./scripts/build.sh "$dir" "${opts[@]}"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0:halt_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$PWD/tests/lsan.supp}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}
if [ "$mode" = --fuzz ]; then
  exec ./scripts/fuzz.sh "$dir"
fi
ctest --test-dir "$dir" --output-on-failure -j 2
