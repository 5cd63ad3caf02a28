#!/bin/sh
# Builds the Debian package the Debian way (debhelper, debian/ of the
# sources) from a copy of the sources, so that dpkg-buildpackage writes its
# results beside that copy and not beside the work tree:
#
#   scripts/deb.sh DIR     DIR/mhw2grab-VERSION/ the copy, DIR/*.deb the package
set -eu

[ $# -eq 1 ] || { echo "usage: $0 DIR" >&2; exit 2; }
src=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "$1"
out=$(cd "$1" && pwd)
version=$(sed -n '1s/^[^(]*(\([^)]*\)).*/\1/p' "$src/debian/changelog")
copy=$out/mhw2grab-$version

rm -rf "$copy" "$out"/mhw2grab_* "$out"/mhw2grab-dbgsym_*
mkdir -p "$copy"
# Every file of the sources (tracked or new, not ignored); a tree without
# git gives every file but the build folders.
if git -C "$src" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  (cd "$src" && git ls-files -z --cached --others --exclude-standard |
    xargs -0 sh -c 'for f; do [ -e "$f" ] && printf "%s\n" "$f"; done' sh) >"$out/files"
else
  (cd "$src" && find . -path './build*' -prune -o -type f -print) >"$out/files"
fi
(cd "$src" && tar -cf - -T "$out/files") | tar -xf - -C "$copy"
rm -f "$out/files"

echo "deb: dpkg-buildpackage in $copy (log: $out/build.log)"
if ! (cd "$copy" && dpkg-buildpackage -b -us -uc -j"${JOBS:-2}") >"$out/build.log" 2>&1; then
  tail -40 "$out/build.log" >&2
  echo "deb: dpkg-buildpackage failed (log: $out/build.log)" >&2
  exit 1
fi
ls -l "$out"/*.deb
