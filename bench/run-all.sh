#!/bin/sh
# Runs every benchmark program of a build tree. Each reports its baseline
# beside the measured operation; compare them as ratios.
set -e
build=${1:-build-bench}
export QT_QPA_PLATFORM=offscreen
for b in bench_fills bench_codec bench_view bench_letters; do
  [ -x "$build/bench/$b" ] || continue
  echo "== $b"
  "$build/bench/$b" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
    --benchmark_counters_tabular=true
done
echo "== bench_memory"
"$build/bench/bench_memory"
