#!/bin/sh
# Every fault scripts/mutants.sh plants must still change its file: a fault
# whose line was since rewritten would silently test nothing.
# Argument: SOURCE-DIR
set -u
src=$1
tmp=$(mktemp)
trap 'rm -f "$tmp"' EXIT
status=0
awk "/^faults='/{f=1;next} /^'\$/{f=0} f" "$src/scripts/mutants.sh" | while IFS='|' read -r name file expr; do
  [ -n "$name" ] || continue
  if [ ! -f "$src/$file" ]; then
    echo "mutants-apply: $name: no file $file" >&2
    echo bad
    continue
  fi
  cp "$src/$file" "$tmp"
  sed -i -e "$expr" "$tmp"
  if cmp -s "$src/$file" "$tmp"; then
    echo "mutants-apply: $name: the edit no longer applies to $file" >&2
    echo bad
  fi
done | grep -q bad && status=1
exit $status
