#!/bin/sh
# The README's "Many machines" recipe, run here with two local job slots of
# GNU parallel standing for two hosts, from a folder other than the
# archive's: 40 files (one of them damaged), one list, two shards, a report
# each; then every file must have been done exactly once, and the rerun list
# must hold just the damaged file. The recipe is run twice as it stands: the
# second run must find the same inputs, not the first run's outputs.
# Arguments: PIXMEND-BATCH PHOTO
set -eu
batch=$1 photo=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
archive="$work/archive"
mkdir -p "$archive/photos" "$work/elsewhere"
for i in $(seq -w 1 39); do cp "$photo" "$archive/photos/photo $i.jpg"; done
printf 'not a picture' > "$archive/photos/damaged.jpg"
cd "$work/elsewhere"

for run in 1 2; do
  find "$archive/photos" -name '*.jpg' -print0 > "$archive/list"
  parallel --will-cite --jobs 2 "$batch" --anchor br --rect 20,10,60,40 -0 --files-from "$archive/list" \
    --shard {}/2 --report "$archive/report-{}.jsonl" --out "$archive/mended" ::: 0 1 || true

  done_ok=$(jq -r 'select(.status == "ok") | .input' "$archive"/report-*.jsonl | sort | uniq -c | awk -v r=$run '$1 == r' | wc -l)
  lines=$(cat "$archive"/report-*.jsonl | wc -l)
  [ "$done_ok" -eq 39 ] || { echo "recipe: run $run: $done_ok files done $run times, not 39" >&2; exit 1; }
  [ "$lines" -eq $((40 * run)) ] || { echo "recipe: run $run: $lines report lines, not $((40 * run)) (a file done twice or not at all)" >&2; exit 1; }
  [ "$(ls "$archive/mended" | wc -l)" -eq 39 ] || { echo "recipe: run $run: outputs missing" >&2; exit 1; }

  jq -s -j 'group_by(.input)[] | last | select(.status == "failed") | .input + "\u0000"' \
    "$archive"/report-*.jsonl > "$archive/failed"
  [ "$(tr '\0' '\n' < "$archive/failed")" = "$archive/photos/damaged.jpg" ] || { echo "recipe: wrong rerun list" >&2; exit 1; }
done
"$batch" --anchor br --rect 20,10,60,40 -0 --files-from "$archive/failed" \
  --report "$archive/report-retry.jsonl" --out "$archive/mended" && exit 1
[ "$(jq -r .status "$archive/report-retry.jsonl" | sort -u)" = failed ]
[ -z "$(ls "$work/elsewhere")" ] || { echo "recipe: files left in the working folder" >&2; exit 1; }
echo "recipe: passed"
