#!/bin/sh
# The Debian package as a user gets it: built by CPack, accepted by lintian,
# unpacked into a folder of its own (nothing is installed on this machine)
# whose bin folder cannot be written. Its pixmend-batch must then take the
# save options from the user's configuration folder and write the right
# picture, and its window must create its settings there and write them on
# close.
# Arguments: BUILD-DIR BUILT-PIXMEND-BATCH PHOTO (a JPEG)
set -eu
build=$1 built_batch=$2 photo=$3
work=$(mktemp -d)
app=""
cleanup() {
  [ -n "$app" ] && kill -9 "$app" 2>/dev/null
  chmod -R u+w "$work" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "package: $*" >&2; exit 1; }

cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/pkg" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log" >&2; fail "cpack failed"; }
deb=$(ls "$work"/pkg/pixmend_*_*.deb)
lintian --fail-on error "$deb" 2>/dev/null || fail "lintian reports errors"

root="$work/root"
dpkg-deb -x "$deb" "$root"
chmod a-w "$root/usr/bin"
[ -x "$root/usr/bin/pixmend-batch" ] && [ -s "$root/usr/share/applications/org.pixmend.Pixmend.desktop" ] ||
  fail "the package lacks its files"

# pixmend-batch, with the save options only in $XDG_CONFIG_HOME/Pixmend.
mkdir -p "$work/xdg/Pixmend" "$work/home" "$work/out" "$work/want"
printf '[JPEG]\nRate=90\nPrgrs=-1\nKeep=1\n[PNG]\nRate=2\n' > "$work/xdg/Pixmend/Pixmend.ini"
cp "$photo" "$work/photo.jpg"
HOME="$work/home" XDG_CONFIG_HOME="$work/xdg" "$root/usr/bin/pixmend-batch" --quiet --reencode \
  --rect 10,10,200,60 --out "$work/out" "$work/photo.jpg" || fail "the packaged pixmend-batch failed"
"$built_batch" --quiet --reencode --jpeg-rate 90 --progressive \
  --rect 10,10,200,60 --out "$work/want" "$work/photo.jpg" || fail "the built pixmend-batch failed"
cmp "$work/want/photo.jpg" "$work/out/photo.jpg" ||
  fail "the packaged pixmend-batch did not use the settings in \$XDG_CONFIG_HOME/Pixmend"
[ ! -e "$root/usr/bin/Pixmend.ini" ] || fail "settings were written beside the program"

# The window, with XDG_CONFIG_HOME unset: ~/.config/Pixmend, created on the
# first start; SIGTERM closes it as its close box does.
ini="$work/home/.config/Pixmend/Pixmend.ini"
env -u XDG_CONFIG_HOME HOME="$work/home" QT_QPA_PLATFORM=offscreen \
  "$root/usr/bin/pixmend" "$work/photo.jpg" >"$work/app.log" 2>&1 &
app=$!
i=0
until [ -s "$ini" ]; do
  i=$((i + 1)); [ $i -le 300 ] || { cat "$work/app.log" >&2; fail "the window wrote no settings in ~/.config/Pixmend"; }
  sleep 0.1
done
sleep 1
kill -TERM "$app"
status=0
wait "$app" || status=$?
app=""
[ $status -eq 0 ] || { cat "$work/app.log" >&2; fail "the window ended with status $status on SIGTERM"; }
grep -q '^\[Window\]' "$ini" || fail "the window did not write its settings on close"
grep -q "^Front=$work/photo.jpg\$" "$ini" || fail "the window did not remember its picture"
echo "package: passed"
