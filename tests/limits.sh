#!/bin/sh
# Both programs under the limits a system can set: a file-size limit
# (ulimit -f) must fail a write like a full disk, not end the program by
# SIGXFSZ; a process that cannot start threads must still do its work.
# Arguments: PIXMEND PIXMEND-BATCH PHOTO (a JPEG) NOMEMORY (a preload library)
set -u
pixmend=$1 batch=$2 photo=$3 nomemory=$4
work=$(mktemp -d)
app=""
trap '[ -n "$app" ] && kill -9 "$app" 2>/dev/null; rm -rf "$work"' EXIT
fail() { echo "limits: $*" >&2; exit 1; }
cp "$photo" "$work/photo.jpg"
printf 'not a picture' > "$work/none.jpg"

# pixmend-batch past a 64 KiB limit: the PNG of the photograph cannot be
# written, and that is said of it; the run ends normally.
( ulimit -f 128; exec "$batch" --format png --rect 10,10,50,50 --out "$work/big" "$work/photo.jpg" ) \
  >"$work/batch.out" 2>&1
status=$?
[ $status -eq 1 ] || { cat "$work/batch.out" >&2; fail "pixmend-batch ended with $status past a file-size limit, not 1"; }
grep -q 'photo.png.*ファイルが大きすぎます' "$work/batch.out" || { cat "$work/batch.out" >&2; fail "the failed write was not told"; }
[ -z "$(ls -A "$work/big")" ] || fail "a partial file was left behind"

# The window, whose settings cannot even be written at its start: it lives on.
mkdir "$work/app"
cp "$pixmend" "$work/app/pixmend"
printf '[Image]\nFront=%s\n' "$work/photo.jpg" > "$work/app/Pixmend.ini"
( ulimit -f 0; QT_QPA_PLATFORM=offscreen exec "$work/app/pixmend" ) >"$work/app.log" 2>&1 &
app=$!
sleep 3
kill -0 "$app" 2>/dev/null || { wait "$app"; fail "the window died under a file-size limit (status $?)"; }

# No thread can be started (every stack would pass the address-space
# limit): pixmend-batch and its PNG writer do the work on the one they have.
"$batch" --quiet --format png --rect 10,10,50,50 --out "$work/want" "$work/photo.jpg" || fail "no reference result"
( ulimit -s 4000000; ulimit -v 3000000; exec "$batch" --jobs 2 --quiet --format png --rect 10,10,50,50 \
    --out "$work/one" "$work/photo.jpg" "$work/none.jpg" ) >"$work/threads.out" 2>&1
status=$?
[ $status -eq 1 ] || { cat "$work/threads.out" >&2; fail "pixmend-batch without threads ended with $status, not 1"; }
cmp "$work/want/photo.png" "$work/one/photo.png" || fail "pixmend-batch without threads wrote another picture"
# Memory running out at any point of a 文字補正 and a PNG save (an address-
# space limit stepped down): that file fails, said so, with nothing left
# behind; the small one after it is done; nothing ends the program. One job:
# with two, the small file is saved while the photo is at its peak, and
# whether it fits then is down to timing.
cp "$(dirname "$0")/data/loads/rle.bmp" "$work/small.bmp"
said=""
for limit in $(seq 250000 -5000 105000) $(seq 104000 -1000 86000); do
  rm -rf "$work/mem"
  ( ulimit -v $limit; exec "$batch" --jobs 1 --mode L --format png --rect 1%,1%,60%,56% --out "$work/mem" \
      "$work/photo.jpg" "$work/small.bmp" ) >"$work/mem.out" 2>&1
  status=$?
  [ $status -le 1 ] || { cat "$work/mem.out" >&2; fail "pixmend-batch ended with $status under ulimit -v $limit"; }
  [ -s "$work/mem/small.png" ] || { cat "$work/mem.out" >&2; fail "the next file was not done under ulimit -v $limit"; }
  if [ $status -eq 1 ]; then
    grep -q 'メモリが足りません' "$work/mem.out" || { cat "$work/mem.out" >&2; fail "a failure under ulimit -v $limit that is not told as memory"; }
    [ ! -e "$work/mem/photo.png" ] || fail "a partial result under ulimit -v $limit"
    said=yes
  fi
done
[ -n "$said" ] || fail "no limit ran out of memory: the test tried nothing"
# A PNG's decoder out of memory is told as memory, never as a damaged file.
cp "$work/want/photo.png" "$work/pic.png"
said=""
for limit in $(seq 110000 -2000 70000); do
  ( ulimit -v $limit; exec "$batch" --format bmp --rect 10,10,50,50 --out "$work/png-mem" "$work/pic.png" ) \
    >"$work/png.out" 2>&1
  [ $? -eq 127 ] && continue # too little for the program's own libraries
  if grep -q '読み込めません' "$work/png.out"; then
    grep -q 'メモリが足りません' "$work/png.out" || { cat "$work/png.out" >&2; fail "a PNG out of memory under ulimit -v $limit was told otherwise"; }
    said=yes
  fi
done
[ -n "$said" ] || fail "no limit ran the PNG decoder out of memory: the test tried nothing"
# Memory running out inside the encoders' libraries is told as memory,
# never as a picture that could not be encoded: zlib's window, which the
# PNG writer's inflate takes only when it joins the bands; libjpeg's first
# block, the JPEG of a PNG (each read by the other library).
for lib in libz.so:32768:png:photo.jpg libjpeg.so::jpg:pic.png; do
  from=${lib%%:*} rest=${lib#*:}
  size=${rest%%:*} rest=${rest#*:}
  format=${rest%%:*} input=$work/${rest#*:}
  rm -rf "$work/lib"
  ( export NOMEMORY_FROM=$from LD_PRELOAD=$nomemory; [ -n "$size" ] && export NOMEMORY_SIZE=$size
    exec "$batch" --format $format --rect 10,10,50,50 --out "$work/lib" "$input" ) >"$work/lib.out" 2>&1
  status=$?
  [ $status -eq 1 ] || { cat "$work/lib.out" >&2; fail "$from out of memory: pixmend-batch ended with $status, not 1"; }
  grep -q "\.$format.*メモリが足りません" "$work/lib.out" || { cat "$work/lib.out" >&2; fail "$from out of memory was told otherwise"; }
  [ -z "$(ls -A "$work/lib" 2>/dev/null)" ] || fail "a partial file was left behind when $from ran out of memory"
done
# And the JPEG saved keeping its blocks, which reads the source again:
# libjpeg refused memory from a point on, after the picture was loaded.
said=""
for after in $(seq 8 2 40); do
  rm -rf "$work/lib"
  NOMEMORY_FROM=libjpeg.so NOMEMORY_AFTER=$after LD_PRELOAD=$nomemory "$batch" --format keep --keep-quality \
    --rect 10,10,50,50 --out "$work/lib" "$work/photo.jpg" >"$work/lib.out" 2>&1
  grep -q 'photo.jpg に保存できません' "$work/lib.out" || continue
  grep -q 'メモリが足りません' "$work/lib.out" || { cat "$work/lib.out" >&2; fail "a JPEG keeping its blocks out of memory was told otherwise"; }
  [ -z "$(ls -A "$work/lib" 2>/dev/null)" ] || fail "a partial JPEG was left behind"
  said=yes
done
[ -n "$said" ] || fail "no JPEG save kept its blocks out of memory: the test tried nothing"
echo "limits: passed"
