#!/bin/sh
# pixmend-batch on 200 copies of a 2560 x 1600 JPEG photograph, with one
# worker and with two, beside ImageMagick's mogrify doing only the decode and
# re-encode of the same files at the same quality, in the same run.
# Usage: bench/batch-bench.sh BUILD
set -e
build=${1:-build-bench}
batch="$build/bin/pixmend-batch"
photo=/usr/share/backgrounds/mate/nature/Aqua.jpg
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/in"
for i in $(seq -w 1 200); do cp "$photo" "$work/in/photo$i.jpg"; done
now() { date +%s.%N; }
rate() { echo "$1 $2" | awk '{ printf "%.2f", 200 / ($2 - $1) }'; }

# The same quality: rate 50 is quality 51.
rm -rf "$work/m"; cp -r "$work/in" "$work/m"
t0=$(now); mogrify -quality 51 "$work"/m/*.jpg; t1=$(now)
mog=$(rate "$t0" "$t1")
t0=$(now); "$batch" --jobs 1 --jpeg-rate 50 --rect 2200,1500,2500,1560 --out "$work/o1" "$work"/in/*.jpg; t1=$(now)
one=$(rate "$t0" "$t1")
t0=$(now); "$batch" --jobs 2 --jpeg-rate 50 --rect 2200,1500,2500,1560 --out "$work/o2" "$work"/in/*.jpg; t1=$(now)
two=$(rate "$t0" "$t1")
echo "files/s: mogrify re-encode $mog, pixmend-batch 1 worker $one, 2 workers $two"
echo "$one $two $mog" | awk '{ printf "ratios: two/one %.2f, one/mogrify %.2f, two/mogrify %.2f\n", $2/$1, $1/$3, $2/$3 }'
