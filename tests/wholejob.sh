#!/bin/sh
# The whole job through the real program in a real X server: open a
# photograph named on the command line, mark a rectangle with two clicks,
# press 補正, take it back and do it again with the keyboard, press 保存,
# type a name, and check the written pixels and the remembered path.
# Arguments: PIXMEND PIXMEND-BATCH PHOTO (a JPEG)
set -e
pixmend=$1 batch=$2 photo=$3
work=$(mktemp -d)
# Wait for the server to be gone: a dying server removes its socket on the
# way out, which would pull the floor from under the next run on that display.
cleanup() {
  [ -n "$app" ] && kill "$app" 2>/dev/null && wait "$app" 2>/dev/null || true
  [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null && wait "$xvfb" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "wholejob: $*" >&2; exit 1; }
wait_for() { # seconds, command...
  t=$1; shift
  i=0
  while ! "$@" >/dev/null 2>&1; do
    i=$((i + 1)); [ $i -gt $((t * 10)) ] && return 1
    sleep 0.1
  done
}

cp "$photo" "$work/photo.jpg"
cp "$pixmend" "$work/pixmend"
printf '[Image]\nFront=%s\n[JPEG]\nRate=50\nPrgrs=0\n[PNG]\nRate=1\n[Window]\nLeft=0\nTop=0\nWidth=322\nHeight=280\n' "$work/remembered.png" > "$work/Pixmend.ini"

# Xvfb picks a free display itself and tells us its number when it is ready.
# -noreset: otherwise the server resets when our probe disconnects, and the
# program's connection can fall into that gap.
Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp -noreset 3>"$work/display" >"$work/xvfb.log" 2>&1 &
xvfb=$!
wait_for 10 test -s "$work/display" || fail "no X server"
export DISPLAY=:$(cat "$work/display")
wait_for 10 xdotool getmouselocation || fail "no X server at $DISPLAY"

QT_QPA_PLATFORM=xcb "$work/pixmend" "$work/photo.jpg" >"$work/app.log" 2>&1 &
app=$!
wait_for 30 xdotool search --onlyvisible --name '^Pixmend' || { cat "$work/app.log" "$work/xvfb.log" >&2; fail "no window"; }
win=$(xdotool search --onlyvisible --name '^Pixmend' | head -1)
sleep 0.5

click() { xdotool mousemove --window "$win" "$1" "$2" click 1; sleep 0.2; }
# The photograph opens fitted to the view: a middle click gives the view the
# focus, Ctrl+1 shows 100 %, Home and Shift+Home scroll to its top-left corner.
xdotool mousemove --window "$win" $((89 + 50)) $((25 + 50)) click 2; sleep 0.2
xdotool key ctrl+1 Home shift+Home; sleep 0.3
# The view's drawing area starts at (89, 25): picture (20, 30) and (120, 90).
click $((89 + 20)) $((25 + 30))
click $((89 + 120)) $((25 + 90))
click $((8 + 24)) $((248 + 12))     # 補正
xdotool key ctrl+z; sleep 0.2
xdotool key ctrl+y; sleep 0.2
click $((120 + 24)) $((248 + 12))   # 保存
wait_for 10 xdotool search --onlyvisible --name 'ファイルの保存' || fail "no save dialog"
sleep 0.5
xdotool type --delay 20 "$work/out.png"
xdotool key Return
# A new name is confirmed by the dialog itself (a second window of the same
# title); Yes is the default.
wait_for 20 sh -c "[ \$(xdotool search --onlyvisible --name 'ファイルの保存' | wc -l) -ge 2 ]" || fail "no confirmation"
sleep 0.3
xdotool key Return
wait_for 20 test -s "$work/out.png" || fail "nothing was saved"
click $((264 + 24)) $((248 + 12))   # 閉じる
wait_for 10 sh -c "! kill -0 $app" || fail "the window did not close"
app=""
# pixmend-batch saves the same fill through the same writer: the same bytes.
"$batch" --mode V --rect 20,30,120,90 --format png --png-rate 1 --out "$work/want" "$work/photo.jpg" || fail "no batch result"
cmp "$work/want/photo.png" "$work/out.png" || fail "saved pixels differ from the fill"
grep -q "^Front=$work/photo.jpg" "$work/Pixmend.ini" || fail "settings not written on close"
echo "wholejob: passed"
