#!/bin/sh
# Runs each libFuzzer target for SECONDS, starting from its seed corpus in
# tests/fuzz-corpus/<name>. New inputs go to fuzz-work/<name>/corpus; a crash
# leaves its input in fuzz-work/<name>/ (copy it into the seed corpus once fixed).
# Usage: fuzz/run-fuzzers.sh BUILD SECONDS [NAME...]
set -e
build=$1 seconds=$2
shift 2
names=${*:-png loader ini metadata splice}
root=$(cd "$(dirname "$0")/.." && pwd)
export QT_QPA_PLATFORM=offscreen
for name in $names; do
  work="$root/fuzz-work/$name"
  mkdir -p "$work/corpus"
  echo "== fuzz_$name for ${seconds}s"
  (cd "$work" && "$root/$build/fuzz/fuzz_$name" -max_total_time="$seconds" -rss_limit_mb=4096 \
     -timeout=10 -max_len=65536 corpus "$root/tests/fuzz-corpus/$name")
done
