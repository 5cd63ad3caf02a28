#!/bin/sh
# The man pages of man/: each renders with `man --warnings` without a
# warning, and names every option that its program's --help names.
#   scripts/man_check.sh BUILD_DIR
set -eu

[ $# -eq 1 ] || { echo "usage: $0 BUILD_DIR" >&2; exit 2; }
build=$(cd "$1" && pwd)
src=$(cd "$(dirname "$0")/.." && pwd)
failed=0
for page in "$src"/man/*.1; do
  warnings=$(man --warnings -l "$page" 2>&1 >/dev/null)
  if [ -n "$warnings" ]; then
    echo "$(basename "$page"): man --warnings:"
    echo "$warnings" | head -5
    failed=1
  fi
done
# Programs whose --help lists their options; each option must be in the
# page (written \-\- in roff).
for program in mhw2grab epgdb tv_grab_zz_mhw2; do
  page=$src/man/$program.1
  help=$("$build/$program" --help) || { echo "$program --help failed"; failed=1; continue; }
  options=$(echo "$help" | grep -oE -- '--[a-z][a-z-]*' | sort -u)
  [ -n "$options" ] || { echo "$program --help names no option"; failed=1; }
  for option in $options; do
    roff=$(echo "$option" | sed 's/-/\\\\-/g')
    grep -q -- "$roff" "$page" || { echo "$program(1) does not name $option"; failed=1; }
  done
  echo "$program(1): $(echo "$options" | wc -l) options of --help named"
done
exit "$failed"
