#!/bin/sh
# The README's "Many machines" recipe, run here with two local job slots of
# GNU parallel standing for two hosts: 40 files (one of them damaged), one
# list, two shards, a report each; then every file must have been done
# exactly once, and the rerun list must hold just the damaged file.
# Arguments: PIXMEND-BATCH PHOTO
set -eu
batch=$1 photo=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
mkdir archive
for i in $(seq -w 1 39); do cp "$photo" "archive/photo $i.jpg"; done
printf 'not a picture' > archive/damaged.jpg
find "$work/archive" -name '*.jpg' -print0 > list

parallel --will-cite --jobs 2 "$batch" --rect 10,10,60,40 -0 --files-from list \
  --shard {}/2 --report report-{}.jsonl --out "$work/mended" ::: 0 1 || true

done_ok=$(jq -r 'select(.status == "ok") | .input' report-*.jsonl | sort | uniq | wc -l)
lines=$(cat report-*.jsonl | wc -l)
[ "$done_ok" -eq 39 ] || { echo "recipe: $done_ok files done, not 39" >&2; exit 1; }
[ "$lines" -eq 40 ] || { echo "recipe: $lines report lines, not 40 (a file done twice or not at all)" >&2; exit 1; }
[ "$(ls mended | wc -l)" -eq 39 ] || { echo "recipe: outputs missing" >&2; exit 1; }

jq -j 'select(.status == "failed") | .input + "\u0000"' report-*.jsonl > failed
[ "$(tr '\0' '\n' < failed)" = "$work/archive/damaged.jpg" ] || { echo "recipe: wrong rerun list" >&2; exit 1; }
"$batch" --rect 10,10,60,40 -0 --files-from failed --report report-retry.jsonl --out "$work/mended" && exit 1
[ "$(jq -r .status report-retry.jsonl)" = failed ]
echo "recipe: passed"
