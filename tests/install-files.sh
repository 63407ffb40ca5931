#!/bin/sh
# The files an installed Pixmend brings: the desktop entry and the AppStream
# entry must validate, pixmend-batch must not need the widget library, the manual pages must render without a warning, and
# the options they and the bash completion list must be exactly those of each
# program's --help, so that none of them drifts from the programs.
# Arguments: SOURCE-DIR BUILD-DIR PIXMEND PIXMEND-BATCH
set -eu
src=$1 build=$2 pixmend=$3 batch=$4
status=0
fail() { echo "install-files: $*" >&2; status=1; }

desktop-file-validate "$src/data/org.pixmend.Pixmend.desktop" || fail "desktop entry does not validate"
# The batch is a command-line program: no widget library comes with it.
! ldd "$batch" | grep -q 'libQt6Widgets' || fail "pixmend-batch links QtWidgets"
appstreamcli validate --no-net "$build/data/org.pixmend.Pixmend.metainfo.xml" || fail "metainfo does not validate"

# Long options and the short one (-0), one a line, sorted. Troff's \- is a
# hyphen and its font changes are dropped.
options() {
  sed -e 's/\\-/-/g' -e 's/\\f[BIRP]//g' |
    grep -oE -- '(--[a-z][a-z-]*[a-z])|((^|[[:space:]])-[0-9]([[:space:]]|$))' |
    sed 's/[[:space:]]//g' | sort -u
}
# The OPTIONS section of a manual page.
options_section() { sed -n '/^\.SH OPTIONS/,/^\.SH [^O]/p' "$1"; }

for prog in pixmend pixmend-batch; do
  case $prog in pixmend) exe=$pixmend ;; *) exe=$batch ;; esac
  page="$build/data/$prog.1"
  QT_QPA_PLATFORM=offscreen "$exe" --help > "$build/$prog.help" || fail "$prog --help failed"
  options < "$build/$prog.help" > "$build/$prog.help-options"
  [ -s "$build/$prog.help-options" ] || fail "$prog --help lists no options"
  options_section "$page" | options > "$build/$prog.man-options"
  diff -u "$build/$prog.help-options" "$build/$prog.man-options" >&2 ||
    fail "$prog(1) does not list the options of $prog --help (- help, + manual page)"
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "$prog(1) renders with warnings: $warnings"
  version=$("$exe" --version)
  grep -q "^\.TH .*\"Pixmend ${version##* }\"" "$page" || fail "$prog(1) is not of version '$version'"
done

options < "$src/data/bash-completion/pixmend-batch" > "$build/completion-options"
diff -u "$build/pixmend-batch.help-options" "$build/completion-options" >&2 ||
  fail "the bash completion does not offer the options of pixmend-batch --help (- help, + completion)"
bash -n "$src/data/bash-completion/pixmend-batch" || fail "the bash completion is no bash"

[ $status -eq 0 ] && echo "install-files: passed"
exit $status
