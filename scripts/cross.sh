#!/bin/sh
# Builds for the receivers' processors with Debian's cross compilers and
# checks the result under qemu-user against the host's build.
#
#   scripts/cross.sh setup ARCH DIR             installs the cross compiler, the
#                                               target's SQLite and qemu-user
#   scripts/cross.sh build ARCH DIR             builds mhw2grab, libtarnwell.so, epgdb
#                                               and tv_grab_zz_mhw2 into DIR, says what to copy
#   scripts/cross.sh check ARCH HOST_DIR DIR    grabs a simulated week with both
#                                               builds and compares everything,
#                                               grabs it once more against a library
#                                               with only the receiver's ten calls,
#                                               and with the unpacked opkg packages
#                                               of DIR/ipk (scripts/ipk.sh)
#
# ARCH is a Debian architecture: armhf, arm64 or mipsel. SUDO (from the
# Makefile) runs the package commands when not root.
set -eu

usage() {
  echo "usage: $0 setup ARCH DIR | build ARCH DIR | check ARCH HOST_DIR DIR (ARCH: armhf, arm64, mipsel)" >&2
  exit 2
}

[ $# -ge 2 ] || usage
action=$1
arch=$2
case "$arch" in
  armhf) triplet=arm-linux-gnueabihf; qemu=arm ;;
  arm64) triplet=aarch64-linux-gnu; qemu=aarch64 ;;
  mipsel) triplet=mipsel-linux-gnu; qemu=mipsel ;;
  *) echo "cross: unknown ARCH '$arch' (armhf, arm64 or mipsel)" >&2; exit 2 ;;
esac
src=$(cd "$(dirname "$0")/.." && pwd)
SUDO=${SUDO:-}
APT="apt-get -o DPkg::Lock::Timeout=600 -q -y"

fail() {
  echo "cross $arch: $*" >&2
  exit 1
}

# Prints the packages of "$@" that are not installed.
CrossMissing() {
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || printf ' %s' "$p"
  done
}

# Runs one apt-get command ("$@") with its output in $log; 1 when it fails
# or reports an error.
CrossApt() {
  $SUDO env DEBIAN_FRONTEND=noninteractive $APT "$@" >"$log" 2>&1 && ! grep -q '^E:' "$log"
}

# apt-get's lines that say why an install failed.
CrossAptReason() {
  grep -E '^E:|Depends:|Conflicts:|Breaks:|has no installation candidate|Unable to locate' "$log" || tail -20 "$log"
}

# Removes the architecture again when this run added it and nothing of it
# got installed, so that a machine that cannot serve it keeps its package
# lists as they were.
CrossUndoArchitecture() {
  [ "$added" = 1 ] || return 0
  if [ -z "$(dpkg-query -W -f='${Package}:${Architecture}\n' 2>/dev/null | grep ":$arch\$")" ]; then
    $SUDO dpkg --remove-architecture "$arch" && CrossApt update || true
  fi
}

# Adds the Debian architecture when needed and installs what the build and
# the check need: the cross compiler, qemu-user and libsqlite3-dev:ARCH.
# Debian holds a library of every architecture at one version, so where the
# target's updates stopped (bookworm's security updates leave mipsel out)
# its -dev chain may not install beside the host's newer libraries; then
# libsqlite3-dev and libsqlite3-0 of the target are unpacked into
# DIR/target-dev, which the build and the check use instead. Anything else
# that fails stops with apt's own reason.
CrossSetup() {
  dev_root=$1/target-dev
  command -v dpkg >/dev/null && command -v apt-get >/dev/null ||
    fail "needs Debian's dpkg and apt-get to install the $arch cross compiler and libraries"
  base="cmake make pkg-config g++ g++-$triplet qemu-user-static"
  missing=$(CrossMissing $base libsqlite3-dev:$arch)
  [ -n "$missing" ] || return 0
  if [ -z "$(CrossMissing $base)" ] && [ -e "$dev_root/usr/lib/$triplet/pkgconfig/sqlite3.pc" ]; then
    return 0
  fi
  echo "cross $arch: installing$missing"
  log=$(mktemp)
  added=0
  if [ "$(dpkg --print-architecture)" != "$arch" ] && ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
    $SUDO dpkg --add-architecture "$arch" || fail "dpkg --add-architecture $arch failed"
    added=1
  fi
  if ! CrossApt update; then
    cat "$log" >&2
    CrossUndoArchitecture
    fail "apt-get update failed with the $arch architecture added (message above)"
  fi
  if CrossApt install --no-install-recommends $missing; then
    rm -rf "$dev_root"
  else
    echo "cross $arch: libsqlite3-dev:$arch does not install beside this machine's packages:" >&2
    CrossAptReason >&2
    missing=$(CrossMissing $base)
    if [ -n "$missing" ] && ! CrossApt install --no-install-recommends $missing; then
      CrossAptReason >&2
      CrossUndoArchitecture
      fail "cannot install$missing from Debian's packages (apt-get's reason above)"
    fi
    download=$(mktemp -d)
    if ! (cd "$download" && apt-get download libsqlite3-dev:$arch libsqlite3-0:$arch >"$log" 2>&1); then
      CrossAptReason >&2
      CrossUndoArchitecture
      fail "cannot download libsqlite3-dev:$arch and libsqlite3-0:$arch (apt-get's reason above)"
    fi
    rm -rf "$dev_root"
    mkdir -p "$dev_root"
    for deb in "$download"/*.deb; do dpkg-deb -x "$deb" "$dev_root"; done
    rm -rf "$download"
    echo "cross $arch: unpacked libsqlite3-dev:$arch and libsqlite3-0:$arch into $dev_root instead"
  fi
  # The host's packages must stay installable beside the foreign architecture.
  $SUDO apt-get check >"$log" 2>&1 || { cat "$log" >&2; fail "apt-get check fails after the $arch install"; }
  rm -f "$log"
}

# Highest symbol version that "file" needs from the library "lib" with
# versions named "prefix"_N.N...
CrossNeedsVersion() {
  readelf -V --wide "$1" 2>/dev/null | awk -v lib="$2" -v p="$3" '
    /File:/ { cur = index($0, "File: " lib " ") > 0 }
    cur && index($0, "Name: " p "_") { for (i = 1; i <= NF; i++) if ($i == "Name:") print $(i + 1) }' |
    sed "s/^$3_//" | sort -V | tail -1
}

# What the receiver needs to run the grabber: its loader and libraries, with
# the highest symbol versions it asks of the C and C++ libraries.
CrossRuntimeNeeds() {
  dir=$1
  loader=$(readelf -l "$dir/mhw2grab" | sed -n 's/.*Requesting program interpreter: \(.*\)]/\1/p')
  libs=$( (readelf -d "$dir/mhw2grab"; readelf -d "$dir/libtarnwell.so") |
    sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | grep -v '^libtarnwell.so$' | sort -u)
  echo "  loader $loader"
  for lib in $libs; do
    v=""
    case "$lib" in
      libc.so.*) v=$( (CrossNeedsVersion "$dir/mhw2grab" "$lib" GLIBC; CrossNeedsVersion "$dir/libtarnwell.so" "$lib" GLIBC) | sort -V | tail -1)
        [ -z "$v" ] || v=" (GLIBC $v or later)" ;;
      libstdc++.so.*) v=$( (CrossNeedsVersion "$dir/mhw2grab" "$lib" GLIBCXX; CrossNeedsVersion "$dir/libtarnwell.so" "$lib" GLIBCXX) | sort -V | tail -1)
        [ -z "$v" ] || v=" (GLIBCXX $v or later)" ;;
    esac
    echo "  $lib$v"
  done
}

CrossBuild() {
  dir=$1
  dev_root=""
  [ ! -d "$dir/target-dev" ] || dev_root=$(cd "$dir/target-dev" && pwd)
  cmake -S "$src" -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$src/cmake/toolchain-$arch.cmake" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMHW2_TESTS=OFF -DMHW2_CROSS_DEV_ROOT="$dev_root" \
    -DMHW2_GRABBER_SYSTEM_LIB=ON >/dev/null
  cmake --build "$dir" -j"${JOBS:-2}" --target mhw2grab tarnwell epgdb tv_grab_zz_mhw2
  dir=$(cd "$dir" && pwd)
  machine=$(readelf -h "$dir/mhw2grab" | sed -n 's/ *Machine: *//p')
  cat <<EOF

Built for $arch ($triplet, $machine) in $dir:
$(cd "$dir" && ls -l mhw2grab libtarnwell.so epgdb | awk '{ printf "  %-15s %8d bytes\n", $9, $5 }')

Copy to the receiver (e.g. scp mhw2grab libtarnwell.so root@receiver:/usr/bin/):
  mhw2grab        -> /usr/bin/mhw2grab         the frontend runs /usr/bin/mhw2grab [DB_ROOT]
  libtarnwell.so  -> /usr/bin/libtarnwell.so   found beside the grabber (rpath \$ORIGIN); without
                                               it there, the image's /usr/lib/libtarnwell.so is used
  epgdb           -> /usr/bin/epgdb            optional: reads the guide database
Paths the grabber uses on the receiver:
  /usr/bin/mhw2grab.conf       configuration, optional (beside the executable)
  /hdd/tarnwell/guide.db       guide database (default DB_ROOT; made by the first run)
  /tmp/mhw2grab.log            main log
  /dev/dvb/adapter0/demux0     demux (or demux=auto in the configuration)
The receiver's image must provide:
$(CrossRuntimeNeeds "$dir")
To save flash, strip the copies first: $triplet-strip mhw2grab libtarnwell.so epgdb
EOF
}

# Keeps every status line but the spinner's "LOGTEXT <activity> (<c>)",
# whose number depends on how fast the machine runs.
CrossStatusLines() {
  grep -v '^LOGTEXT .* ([|/\\-])$' "$1" || true
}

# The main log without the timestamp at the start of each line.
CrossLogLines() {
  sed -E 's#^[0-9]{2}/[0-9]{2}/[0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2} ##' "$1"
}

# One grab: side "host" or "target", mode "file" (the week's recording named
# as demux), "y2038" (the same with the recording of a week across
# 2038-01-19) or "vdvb" (the week through the virtual adapter,
# auto-detection). Leaves status, exit code, log, adapter trace and rows in
# $work/$side-$mode.
CrossGrab() {
  side=$1 mode=$2
  if [ "$side" = host ]; then bin=$host_dir; else bin=$target_dir; fi
  dir=$work/$side-$mode
  mkdir -p "$dir"
  cp "$bin/mhw2grab" "$dir/$name"
  cp "$bin/libtarnwell.so" "$dir/"
  if [ "$mode" != vdvb ]; then
    printf 'demux=%s\nalias=%s\n' "$work/$mode.ts" "$alias" >"$dir/$name.conf"
  else
    # No demux line: auto-detection, which must pass over a missing device
    # and a silent one before it finds the broadcast on demux2.
    printf 'ConvertToUTF8=1\nalias=%s\n' "$alias" >"$dir/$name.conf"
  fi
  rm -f "/tmp/$name.log"
  started=$(date +%s)
  rc=0
  if [ "$mode" != vdvb ]; then
    if [ "$side" = host ]; then
      (cd "$dir" && "./$name" db) >"$dir/status" || rc=$?
    else
      (cd "$dir" && "$emulator" $qemu_args "./$name" db) >"$dir/status" || rc=$?
    fi
  else
    set -- VDVB_SILENT1=1 VDVB_DEMUX2="$work/file.ts" VDVB_TRACE="$dir/trace"
    if [ "$side" = host ]; then
      (cd "$dir" && env "$@" LD_PRELOAD="$bin/libvdvb.so" "./$name" db) >"$dir/status" || rc=$?
    else
      (cd "$dir" && env "$@" "$emulator" $qemu_args -E LD_PRELOAD="$bin/libvdvb.so" "./$name" db) \
        >"$dir/status" || rc=$?
    fi
  fi
  echo "$rc" >"$dir/exit"
  echo $(($(date +%s) - started)) >"$dir/seconds"
  mv "/tmp/$name.log" "$dir/log" 2>/dev/null || : >"$dir/log"
  "$host_dir/mhw2sim" --dump-db "$dir/db" >"$dir/rows" 2>"$dir/rows.err" || echo "dump failed" >>"$dir/rows"
}

# The target's grabber on the week's recording once more, beside the library
# that has only the ten calls every receiver's library has (and records
# them) in place of ours: the run must reach its end, log without the
# library's counts and reasons, and make its calls in the library's order,
# one group of six per title the simulator says it stores. Counts a failure
# in $differences.
CrossContractGrab() {
  dir=$work/target-contract
  mkdir -p "$dir"
  cp "$target_dir/mhw2grab" "$dir/$name"
  cp "$target_dir/contractlib/libtarnwell.so" "$dir/"
  printf 'demux=%s\nalias=%s\n' "$work/file.ts" "$alias" >"$dir/$name.conf"
  rm -f "/tmp/$name.log" "$dir/calls"
  rc=0
  (cd "$dir" && CONTRACTLIB_CALLS="$dir/calls" "$emulator" $qemu_args "./$name" db) >"$dir/status" || rc=$?
  mv "/tmp/$name.log" "$dir/log" 2>/dev/null || : >"$dir/log"
  stores=$(awk '$1 == "stores" { print $2 }' "$work/file.stats")
  echo "contract: $arch grab against the library of ten calls (exit $rc)"
  failed=0
  [ "$rc" = 0 ] || { echo "  DIFFERS  the grab exited with $rc"; failed=1; }
  grep -q '^LOGTEXT Done\. ' "$dir/status" || { echo "  DIFFERS  no \"LOGTEXT Done.\" status line"; failed=1; }
  grep -q ' Data saved$' "$dir/log" || { echo "  DIFFERS  no \"Data saved\" in the main log"; failed=1; }
  if grep -E ' (EPGDB: |[0-9]+ titles saved)' "$dir/log"; then
    echo "  DIFFERS  the main log has lines only a richer library can give"
    failed=1
  fi
  [ -s "$dir/calls" ] || { echo "  DIFFERS  the library of ten calls recorded nothing"; failed=1; : >"$dir/calls"; }
  awk -v stores="$stores" '
    function bad(why) { print "  DIFFERS  call " NR ": " why ": " $0; failed = 1; exit }
    BEGIN {
      n = split("epgdb_channels_add epgdb_title_alloc epgdb_calculate_mjd epgdb_titles_add " \
                "epgdb_titles_set_description epgdb_titles_set_long_description", group, " ")
    }
    NR == 1 { if ($1 != "epgdb_open" || $3 != "1") bad("not a successful epgdb_open"); next }
    tail == 0 && k == 0 && $1 == "epgdb_save" { if ($2 != "0") bad("a save with a progress call"); tail = 1; next }
    tail == 0 { if ($1 != group[k + 1]) bad("expected " group[k + 1]); k = (k + 1) % n; if (k == 0) groups++; next }
    tail == 1 { if ($1 != "epgdb_close") bad("expected epgdb_close"); tail = 2; next }
    tail == 2 { if ($1 != "epgdb_clean") bad("expected epgdb_clean"); tail = 3; next }
    { bad("a call after epgdb_clean") }
    END {
      if (failed) exit 1
      if (tail != 3) { print "  DIFFERS  the calls end before epgdb_clean"; exit 1 }
      if (groups != stores) { print "  DIFFERS  " groups " titles stored, the simulator says " stores; exit 1 }
      print "  same  call order: epgdb_open, " groups " titles in groups of six, epgdb_save(0), epgdb_close, epgdb_clean"
    }' "$dir/calls" || failed=1
  [ "$failed" = 0 ] || differences=$((differences + 1))
}

# The opkg packages (DIR/ipk), unpacked as on two receivers, each a root
# folder with the target's C libraries: "receiver" has a guide database
# library of its own (the one of ten calls, which records them) in
# /usr/lib, and gets the grabber and the tools; "bare" has none, and gets
# every package, the link package too. On "receiver" the link package's
# preinst must refuse, and the unpacked grabber must store through the
# receiver's library, not the tools' private one; on "bare" the unpacked
# grabber must store the simulator's expected rows through the packages' own
# library, and the unpacked epgdb read them. Counts a failure in
# $differences.
CrossIpkGrab() {
  ipk_dir=$target_dir/ipk
  for p in mhw2grab mhw2grab-tools mhw2grab-lib; do
    set -- "$ipk_dir/${p}_"*.ipk
    [ -e "$1" ] || fail "$ipk_dir has no $p package (make ipk ARCH=$arch builds them)"
  done
  for receiver in receiver bare; do
    root=$work/ipk-$receiver
    mkdir -p "$root/usr/lib"
    ln -s "/usr/$triplet/lib" "$root/lib"
    packages="mhw2grab mhw2grab-tools"
    if [ "$receiver" = receiver ]; then
      cp "$target_dir/contractlib/libtarnwell.so" "$root/usr/lib/libtarnwell.so"
    else
      packages="$packages mhw2grab-lib"
    fi
    ar p "$ipk_dir"/mhw2grab-lib_*.ipk control.tar.gz | tar xzf - -C "$work" ./preinst
    preinst=0
    PKG_ROOT=$root sh "$work/preinst" 2>"$root.preinst" || preinst=$?
    for p in $packages; do ar p "$ipk_dir/${p}_"*.ipk data.tar.gz | tar xzf - -C "$root"; done
    # The unpacked grabber under a name of its own (its log, its
    # configuration), through a link beside it.
    ln -s mhw2grab "$root/usr/bin/$name"
    printf 'demux=%s\nalias=%s\n' "$work/file.ts" "$alias" >"$root/usr/bin/$name.conf"
    rm -f "/tmp/$name.log" "$root.calls"
    rc=0
    (cd "$root/usr/bin" && CONTRACTLIB_CALLS="$root.calls" "$emulator" -L "$root" ${target_dev_env:-} \
      "./$name" "$root.db") >"$root.status" || rc=$?
    mv "/tmp/$name.log" "$root.log" 2>/dev/null || : >"$root.log"
    echo "ipk: $arch packages ($packages) unpacked on a $receiver root (grab exit $rc)"
    failed=0
    [ "$rc" = 0 ] || { echo "  DIFFERS  the unpacked grabber exited with $rc"; failed=1; }
    grep -q '^LOGTEXT Done\. ' "$root.status" || { echo "  DIFFERS  no \"LOGTEXT Done.\" status line"; failed=1; }
    if [ "$receiver" = receiver ]; then
      [ "$preinst" != 0 ] || { echo "  DIFFERS  mhw2grab-lib's preinst accepts a receiver with its own library"; failed=1; }
      grep -q 'has a guide database library of its own' "$root.preinst" ||
        { echo "  DIFFERS  mhw2grab-lib's preinst gives no reason"; failed=1; }
      [ -s "$root.calls" ] && grep -q '^epgdb_save ' "$root.calls" ||
        { echo "  DIFFERS  the grab did not save through the receiver's library"; failed=1; }
      if grep -q ' titles saved' "$root.log"; then
        echo "  DIFFERS  the grab saved through the tools' library"
        failed=1
      fi
      [ "$failed" = 1 ] || echo "  same  preinst of mhw2grab-lib refused; the grabber saved through the receiver's library"
    else
      [ "$preinst" = 0 ] || { echo "  DIFFERS  mhw2grab-lib's preinst refused a receiver without a library"; failed=1; }
      "$host_dir/mhw2sim" --dump-db "$root.db" >"$root.rows" 2>&1 || echo "dump failed" >>"$root.rows"
      if cmp -s "$work/file.expect" "$root.rows"; then
        echo "  same  rows of the unpacked grabber and the simulator's expectation ($(wc -l <"$root.rows") rows)"
      else
        echo "  DIFFERS  rows: diff $work/file.expect $root.rows"
        diff "$work/file.expect" "$root.rows" | head -10 | cut -c1-160 | sed "s/^/    /"
        failed=1
      fi
      info=$(cd "$root/usr/bin" && "$emulator" -L "$root" ${target_dev_env:-} ./epgdb info "$root.db") ||
        { echo "  DIFFERS  the unpacked epgdb info failed"; failed=1; }
      titles=$(echo "$info" | sed -n 's/^Titles: \([0-9]*\)$/\1/p')
      if [ "$titles" = "$(wc -l <"$work/file.expect")" ]; then
        echo "  same  the unpacked epgdb counts $titles titles"
      else
        echo "  DIFFERS  the unpacked epgdb counts '$titles' titles"
        failed=1
      fi
    fi
    [ "$failed" = 0 ] || differences=$((differences + 1))
  done
}

# Compares one output of the host's and the target's grab; prints the first
# differences and counts them.
CrossCompare() {
  what=$1 a=$2 b=$3
  if cmp -s "$a" "$b"; then
    echo "  same  $what ($(wc -l <"$a") lines)"
  else
    echo "  DIFFERS  $what: diff $a $b"
    diff "$a" "$b" | head -20 | cut -c1-160 | sed "s/^/    /"
    differences=$((differences + 1))
  fi
}

CrossCheck() {
  host_dir=$(cd "$1" && pwd)
  target_dir=$(cd "$2" && pwd)
  for f in "$host_dir/mhw2grab" "$host_dir/mhw2sim" "$host_dir/libtarnwell.so" "$host_dir/libvdvb.so" \
    "$target_dir/mhw2grab" "$target_dir/libtarnwell.so"; do
    [ -e "$f" ] || fail "$f is missing (make cross-check builds it)"
  done
  emulator=$(command -v "qemu-$qemu-static" || command -v "qemu-$qemu") ||
    fail "qemu-$qemu-static not found (package qemu-user-static)"
  cmake --build "$target_dir" -j"${JOBS:-2}" --target vdvb contractlib >/dev/null
  # The target's loader and C library come from the cross compiler's
  # directory, SQLite from the multiarch directory or the unpacked one.
  set -- -L "/usr/$triplet"
  target_dev_env=""
  if [ -d "$target_dir/target-dev" ]; then
    target_dev_env="-E LD_LIBRARY_PATH=$target_dir/target-dev/usr/lib/$triplet"
    set -- "$@" $target_dev_env
  fi
  qemu_args="$*"
  total_started=$(date +%s)
  work=$target_dir/cross-check
  rm -rf "$work"
  mkdir -p "$work"
  # One name for both grabs (it shows in the status lines and names the
  # log), unique on this machine while the check runs.
  name=mhw2grab-cross$$
  alias=1F41:400:1,2000:400:1
  # A time zone with summer time, written out so that neither C library
  # needs time zone files: event ids are minutes of the local month.
  TZ=CET-1CEST,M3.5.0,M10.5.0/3
  export TZ

  # A week of 30 channels with every kind of section, in packed TS packets
  # among noise; what a grab stores without and with UTF-8 conversion. And
  # a week whose starts pass 2^31 seconds (2038-01-19), which 32-bit
  # targets must break down as 64-bit ones do.
  week="--random --seed 29 --channels 30 --days 7 --events-per-day 24 --continuations --long-titles 0.1 --big"
  "$host_dir/mhw2sim" $week --pack --noise --alias "$alias" -o "$work/file.ts" --expect "$work/file.expect" \
    --stats "$work/file.stats" >/dev/null
  "$host_dir/mhw2sim" $week --utf8 --alias "$alias" --expect "$work/vdvb.expect" >/dev/null
  "$host_dir/mhw2sim" --random --seed 38 --channels 10 --days 7 --start 2038-01-15 --alias "$alias" \
    -o "$work/y2038.ts" --expect "$work/y2038.expect" >/dev/null
  echo "cross-check $arch: a simulated week ($(wc -l <"$work/file.expect") titles, $(($(wc -c <"$work/file.ts") / 1024)) KiB) and a week across 2038-01-19 ($(wc -l <"$work/y2038.expect") titles), grabbed on the host and under $(basename "$emulator")"

  differences=0
  for mode in file y2038 vdvb; do
    CrossGrab host "$mode"
    CrossGrab target "$mode"
    h=$work/host-$mode t=$work/target-$mode
    echo "$mode: host $(cat "$h/seconds") s, $arch $(cat "$t/seconds") s"
    for side in host target; do
      if [ "$(cat "$work/$side-$mode/exit")" != 0 ]; then
        echo "  DIFFERS  $side grab exited with $(cat "$work/$side-$mode/exit")"
        differences=$((differences + 1))
      fi
    done
    CrossCompare "exit code" "$h/exit" "$t/exit"
    CrossStatusLines "$h/status" >"$h/status.cmp"
    CrossStatusLines "$t/status" >"$t/status.cmp"
    CrossCompare "status lines" "$h/status.cmp" "$t/status.cmp"
    CrossLogLines "$h/log" >"$h/log.cmp"
    CrossLogLines "$t/log" >"$t/log.cmp"
    CrossCompare "main log" "$h/log.cmp" "$t/log.cmp"
    CrossCompare "guide.db rows" "$h/rows" "$t/rows"
    [ "$mode" != vdvb ] || CrossCompare "virtual adapter trace" "$h/trace" "$t/trace"
    CrossCompare "host rows and the simulator's expectation" "$work/$mode.expect" "$h/rows"
  done
  CrossContractGrab
  CrossIpkGrab
  echo "cross-check $arch: $(($(date +%s) - total_started)) s"
  [ "$differences" -eq 0 ] || fail "$differences differences between the host's and the $arch grab (files in $work)"
  echo "cross-check $arch: the $arch grabber stores exactly what the host's does"
}

case "$action" in
  setup) [ $# -eq 3 ] || usage; CrossSetup "$3" ;;
  build) [ $# -eq 3 ] || usage; CrossBuild "$3" ;;
  check) [ $# -eq 4 ] || usage; CrossCheck "$3" "$4" ;;
  *) usage ;;
esac
