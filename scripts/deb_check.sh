#!/bin/sh
# Checks the Debian package that scripts/deb.sh built in DIR:
#
#   scripts/deb_check.sh DIR HOST_BUILD
#
# lists its files; runs lintian on it (no error and no warning may stay);
# unpacks it (dpkg-deb -x) and checks that every program and the library
# are stripped, that the library lies only in its private directory and the
# programs find it there through their run path; then grabs a simulated week
# with the unpacked grabber on the virtual adapter (HOST_BUILD's mhw2sim and
# libvdvb.so), compares the stored rows with the simulator's expectation, and
# reads them back with the unpacked epgdb and tv_grab_zz_mhw2.
set -eu

[ $# -eq 2 ] || { echo "usage: $0 DIR HOST_BUILD" >&2; exit 2; }
out=$(cd "$1" && pwd)
host=$(cd "$2" && pwd)
arch=$(dpkg --print-architecture)
set -- "$out"/mhw2grab_*_"$arch".deb
deb=$1
changes=$(echo "$deb" | sed 's/\.deb$/.changes/')
failed=0

fail() {
  echo "deb check: $*" >&2
  exit 1
}

bad() {
  echo "  FAILS  $*"
  failed=$((failed + 1))
}

[ -e "$deb" ] || fail "no mhw2grab_*_$arch.deb in $out (scripts/deb.sh builds it)"
for f in mhw2sim libvdvb.so; do
  [ -e "$host/$f" ] || fail "$host/$f is missing (make host-tools builds it)"
done

echo "deb check: $(basename "$deb") ($(wc -c <"$deb") bytes)"
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { printf "  %-45s %8s\n", $6, $3 }'

# lintian on the .changes: the package, its debug symbols and the build's
# record. It warns that it runs as root, which is no finding of the package.
lint=0
lintian --fail-on error,warning --info "$changes" >"$out/lintian.log" 2>&1 || lint=$?
tags=$(grep -v 'running with root privileges is not recommended' "$out/lintian.log" || true)
if [ -n "$tags" ]; then
  echo "lintian (exit $lint):"
  echo "$tags" | sed 's/^/  /'
else
  echo "lintian $(lintian --version | sed 's/^Lintian v//'): no tags (exit $lint)"
fi
[ "$lint" = 0 ] || bad "lintian reports errors or warnings (above)"

work=$out/check
root=$work/root
rm -rf "$work"
mkdir -p "$root"
dpkg-deb -x "$deb" "$root"

for program in mhw2grab epgdb tv_grab_zz_mhw2; do
  [ -x "$root/usr/bin/$program" ] || bad "no /usr/bin/$program"
  page=$root/usr/share/man/man1/$program.1.gz
  if [ ! -e "$page" ]; then
    bad "no man page $program(1)"
  elif [ -n "$(man --warnings -l "$page" 2>&1 >/dev/null)" ]; then
    bad "man --warnings finds fault with $program(1): $(man --warnings -l "$page" 2>&1 >/dev/null | head -3)"
  fi
done
libs=$(cd "$root" && find . -name 'libtarnwell.so*')
[ "$libs" = ./usr/lib/mhw2grab/libtarnwell.so ] || bad "the library is not only in /usr/lib/mhw2grab: $libs"
for elf in usr/bin/mhw2grab usr/bin/epgdb usr/bin/tv_grab_zz_mhw2 usr/lib/mhw2grab/libtarnwell.so; do
  sections=$(readelf -S --wide "$root/$elf" 2>/dev/null | grep -oE '\.(symtab|debug_[a-z]+)' | sort -u | tr '\n' ' ')
  [ -z "$sections" ] || bad "$elf is not stripped ($sections)"
done
for program in mhw2grab epgdb tv_grab_zz_mhw2; do
  found=$(ldd "$root/usr/bin/$program" | sed -n 's/^[[:space:]]*libtarnwell\.so => \([^ ]*\) .*/\1/p')
  [ "$found" = "$root/usr/bin/../lib/mhw2grab/libtarnwell.so" ] ||
    bad "the unpacked $program finds libtarnwell.so at '$found', not in the package's private directory"
done

# A simulated week on demux0 of the virtual adapter; the grabber unpacked,
# under a name of its own for this check (its log and configuration),
# through a link beside it; no demux line: auto-detection.
"$host/mhw2sim" --random --seed 17 --channels 20 --days 7 --events-per-day 24 --summaries 0.75 \
  --long-titles 0.1 -o "$work/week.ts" >/dev/null
"$host/mhw2sim" --random --seed 17 --channels 20 --days 7 --events-per-day 24 --summaries 0.75 \
  --long-titles 0.1 --utf8 --expect "$work/week.expect" >/dev/null
name=mhw2grab-deb$$
ln -s mhw2grab "$root/usr/bin/$name"
printf 'ConvertToUTF8=1\n' >"$root/usr/bin/$name.conf"
rm -f "/tmp/$name.log"
rc=0
(cd "$work" && VDVB_DEMUX0="$work/week.ts" LD_PRELOAD="$host/libvdvb.so" "$root/usr/bin/$name" "$work/db") \
  >"$work/status" || rc=$?
mv "/tmp/$name.log" "$work/log" 2>/dev/null || : >"$work/log"
titles=$(wc -l <"$work/week.expect")
echo "grab: the unpacked grabber on a simulated week ($titles titles) through the virtual adapter: exit $rc"
[ "$rc" = 0 ] || bad "the unpacked grabber exited with $rc (log $work/log)"
sed -n 's/^LOGTEXT Done\. /  Done. /p' "$work/status"
grep -q '^LOGTEXT Done\. ' "$work/status" || bad "no \"LOGTEXT Done.\" status line"
"$host/mhw2sim" --dump-db "$work/db" >"$work/rows" 2>&1 || echo "dump failed" >>"$work/rows"
if cmp -s "$work/week.expect" "$work/rows"; then
  echo "  the $titles stored rows are the simulator's expectation"
else
  bad "stored rows differ from the simulator's expectation: diff $work/week.expect $work/rows"
  diff "$work/week.expect" "$work/rows" | head -10 | cut -c1-160 | sed 's/^/    /'
fi
info=$("$root/usr/bin/epgdb" info "$work/db") || bad "the unpacked epgdb info failed"
counted=$(echo "$info" | sed -n 's/^Titles: \([0-9]*\)$/\1/p')
echo "  epgdb info: $counted titles"
[ "$counted" = "$titles" ] || bad "the unpacked epgdb counts '$counted' titles, $titles stored"
printf 'root=%s\n' "$work/db" >"$work/xmltv.conf"
"$root/usr/bin/tv_grab_zz_mhw2" --config-file "$work/xmltv.conf" --quiet --output "$work/guide.xml" ||
  bad "the unpacked tv_grab_zz_mhw2 failed"
programmes=$(grep -c '<programme ' "$work/guide.xml" || true)
echo "  tv_grab_zz_mhw2: $programmes programmes"
[ "$programmes" = "$titles" ] || bad "the unpacked tv_grab_zz_mhw2 writes $programmes programmes, $titles stored"

[ "$failed" = 0 ] || fail "$failed failures (files in $work)"
echo "deb check: $(basename "$deb") is lintian-clean, stripped, and its unpacked programs grab and read the guide"
