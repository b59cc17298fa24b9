#!/usr/bin/env bash
# fuzz.sh BUILD_DIR [SECONDS]: runs every fuzz target of a KELVAT_FUZZ build
# for SECONDS (default 60, or $FUZZ_SECONDS) each, starting from the
# checked-in corpus in fuzz/corpus/<target>/. New inputs go to a scratch
# corpus in the build directory, so the checked-in one stays as it is.
# Fails on the first target that finds a crash, a sanitizer report, a leak,
# a timeout or an out-of-memory; the input is kept in BUILD_DIR/fuzz-findings/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=$(cd "$1" && pwd)
seconds=${2:-${FUZZ_SECONDS:-60}}
findings=$dir/fuzz-findings
mkdir -p "$findings"

status=0
for corpus in "$root"/fuzz/corpus/*/; do
  target=$(basename "$corpus")
  binary=$dir/bin/$target
  [ -x "$binary" ] || { echo "missing fuzz target $binary" >&2; exit 1; }
  scratch=$dir/fuzz-corpus/$target
  mkdir -p "$scratch"
  echo "== $target: ${seconds}s"
  if ! "$binary" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=4096 \
      -print_final_stats=1 -artifact_prefix="$findings/$target-" "$scratch" "$corpus" \
      >"$dir/$target.log" 2>&1; then
    echo "$target FOUND A FAULT; log: $dir/$target.log" >&2
    grep -E 'ERROR|SUMMARY|Test unit written|deadly signal|runtime error' "$dir/$target.log" | head -20 >&2 || true
    status=1
  else
    grep -E '^stat::number_of_executed_units|^Done' "$dir/$target.log" | head -2 || true
  fi
done
exit $status
