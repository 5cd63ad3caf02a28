#!/bin/sh
# opkg packages for a receiver, from the cross build in DIR (make cross):
#
#   scripts/ipk.sh ARCH DIR     writes DIR/ipk/*.ipk and lists them
#
#   mhw2grab        the grabber alone, no library: it takes the receiver's
#                   own libtarnwell.so from the system's library path (or one
#                   copied beside it), as the receiver's frontend expects
#   mhw2grab-tools  epgdb and tv_grab_zz_mhw2, which need the read interface
#                   of our library, with that library in a private directory
#                   (/usr/lib/mhw2grab/libtarnwell.so, their run path): it
#                   never overwrites or shadows the receiver's library
#   mhw2grab-lib    only for a receiver without a library of its own: the
#                   link /usr/lib/libtarnwell.so -> mhw2grab/libtarnwell.so,
#                   so that the grabber finds ours on the system's path; its
#                   preinst refuses to install where a libtarnwell.so is
#
# Each is an ar archive of debian-binary, control.tar.gz and data.tar.gz.
# IPK_ARCH names the Architecture field (default ARCH): opkg installs only
# packages of the architectures the image lists (opkg print-architecture).
set -eu

[ $# -eq 2 ] || { echo "usage: $0 ARCH DIR (ARCH: armhf, arm64, mipsel)" >&2; exit 2; }
arch=$1
dir=$(cd "$2" && pwd)
src=$(cd "$(dirname "$0")/.." && pwd)
ipk_arch=${IPK_ARCH:-$arch}
version=$(sed -n '1s/^[^(]*(\([^)]*\)).*/\1/p' "$src/debian/changelog")
maintainer=$(sed -n 's/^Maintainer: //p' "$src/debian/control")
out=$dir/ipk
stage=$out/stage

fail() {
  echo "ipk $arch: $*" >&2
  exit 1
}

[ -n "$version" ] || fail "no version in debian/changelog"
for f in mhw2grab libtarnwell.so epgdb tv_grab_zz_mhw2; do
  [ -e "$dir/$f" ] || fail "$dir/$f is missing (make cross ARCH=$arch builds it)"
done
machine=$(readelf -h "$dir/mhw2grab" | sed -n 's/ *Machine: *//p')

rm -rf "$out"
mkdir -p "$stage"
# Installed into the staging folder, stripped with the cross build's strip.
DESTDIR=$stage cmake --install "$dir" --prefix /usr --strip >/dev/null

# The grabber must not look in the private directory, where it would take
# our library before the receiver's.
runpath=$(readelf -d "$stage/usr/bin/mhw2grab" | sed -n 's/.*(RUNPATH).*\[\(.*\)\]/\1/p')
[ "$runpath" = '$ORIGIN' ] ||
  fail "the grabber's run path is '$runpath', not \$ORIGIN (configure with -DMHW2_GRABBER_SYSTEM_LIB=ON)"

# IpkPack NAME DEPENDS DESCRIPTION FILE... : the package NAME with the staged
# FILEs (paths under /usr); maintainer scripts come from $scripts/NAME.*.
IpkPack() {
  name=$1 depends=$2 description=$3
  shift 3
  work=$out/$name
  mkdir -p "$work/control" "$work/data"
  for f in "$@"; do
    mkdir -p "$work/data/$(dirname "$f")"
    cp -P "$stage/$f" "$work/data/$f"
  done
  cat >"$work/control/control" <<EOF
Package: $name
Version: $version
Architecture: $ipk_arch
Maintainer: $maintainer
Depends: $depends
Section: misc
Priority: optional
Source: mhw2grab
Description: $description
EOF
  for script in preinst postinst prerm postrm; do
    if [ -e "$scripts/$name.$script" ]; then
      cp "$scripts/$name.$script" "$work/control/$script"
      chmod 755 "$work/control/$script"
    fi
  done
  echo 2.0 >"$work/debian-binary"
  (cd "$work/control" && tar --owner=0 --group=0 --numeric-owner --sort=name -czf ../control.tar.gz ./*)
  (cd "$work/data" && tar --owner=0 --group=0 --numeric-owner --sort=name -czf ../data.tar.gz ./usr)
  ipk=$out/${name}_${version}_$ipk_arch.ipk
  (cd "$work" && ar rcD "$ipk" debian-binary control.tar.gz data.tar.gz)
  [ "$(ar t "$ipk" | tr '\n' ' ')" = "debian-binary control.tar.gz data.tar.gz " ] ||
    fail "$ipk: unexpected members $(ar t "$ipk")"
  echo "$(basename "$ipk") ($(wc -c <"$ipk") bytes): Depends: $depends"
  ar p "$ipk" data.tar.gz | tar tzvf - | awk '$1 !~ /^d/ { printf "  %-40s %9s %s\n", $6 ($7 == "->" ? " -> " $8 : ""), $3, $1 }'
  rm -rf "$work"
}

scripts=$out/scripts
mkdir -p "$scripts"
cat >"$scripts/mhw2grab-lib.preinst" <<'EOF'
#!/bin/sh
# A receiver's own libtarnwell.so is the one its grabber must use: this
# package installs only where there is none (or only its own link).
root=${PKG_ROOT:-}
root=${root%/}
for lib in "$root/usr/lib/libtarnwell.so" "$root/lib/libtarnwell.so"; do
  if [ -e "$lib" ] || [ -L "$lib" ]; then
    [ "$(readlink "$lib")" = mhw2grab/libtarnwell.so ] && continue
    echo "mhw2grab-lib: $lib exists: the receiver has a guide database library of its own, which mhw2grab uses; not installed" >&2
    exit 1
  fi
done
exit 0
EOF
ln -s mhw2grab/libtarnwell.so "$stage/usr/lib/libtarnwell.so"

echo "opkg packages for $arch ($machine), version $version, in $out:"
IpkPack mhw2grab "libc6, libgcc1, libstdc++6" \
  "MHW2 satellite programme guide grabber, using the receiver's guide database library" \
  usr/bin/mhw2grab
IpkPack mhw2grab-tools "mhw2grab, libc6, libgcc1, libstdc++6, libsqlite3-0" \
  "Guide database reader epgdb and XMLTV grabber tv_grab_zz_mhw2, with a private libtarnwell.so" \
  usr/bin/epgdb usr/bin/tv_grab_zz_mhw2 usr/lib/mhw2grab/libtarnwell.so
IpkPack mhw2grab-lib "mhw2grab-tools" \
  "The private libtarnwell.so of mhw2grab-tools as the system's, for receivers without one" \
  usr/lib/libtarnwell.so
rm -rf "$stage" "$scripts"
