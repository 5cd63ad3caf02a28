#!/bin/sh
# Hostile-stream benchmark: grabs checksum-valid streams shaped against the
# grabber (mhw2sim --hostile, see tools/sim/README.md) at two sizes 4x apart
# and prints, per stream, the grab's wall time and processor time (user +
# system, best of RUNS runs, default 3), its peak memory and the size of
# guide.db, the last three per byte of stream, and how much the processor
# time and memory per byte grow from the smaller to the larger stream. A
# growth above 1.3 means the cost is not linear in the stream. Processor
# time rather than wall time decides, since the wall time of a shared
# machine and of the database's disk syncs varies from run to run.
# Usage: scripts/bench_hostile.sh [BUILD_DIR]   (WORK=dir keeps the files there)
set -eu

. "$(dirname "$0")/bench_setup.sh"
bench_setup bench_hostile "${1:-build}" mhw2grab mhw2sim libtarnwell.so
if [ ! -x /usr/bin/time ]; then
  echo "bench_hostile: /usr/bin/time is missing (Debian package time)" >&2
  exit 1
fi
runs=${RUNS:-3}
today=$(date -u +%Y-%m-%d)
cp "$build/mhw2grab" "$build/libtarnwell.so" "$work/"

# Grabs "$1" RUNS times into a fresh database and sets "wall" and "cpu"
# (seconds, the fastest run's), "kib" (the largest peak memory) and "db"
# (guide.db bytes).
grab() {
  printf 'demux=%s\n' "$1" > "$work/mhw2grab.conf"
  wall=
  cpu=
  kib=0
  i=0
  while [ "$i" -lt "$runs" ]; do
    rm -rf "$work/db"
    /usr/bin/time -f '%e %U %S %M' -o "$work/time.txt" "$work/mhw2grab" "$work/db" > /dev/null 2>&1 || true
    set -- $(cat "$work/time.txt")
    c=$(calc "$2 + $3")
    if [ -z "$cpu" ] || [ "$(calc "$c < $cpu" 0)" = 1 ]; then cpu=$c; fi
    if [ -z "$wall" ] || [ "$(calc "$1 < $wall" 0)" = 1 ]; then wall=$1; fi
    [ "$4" -le "$kib" ] || kib=$4
    i=$((i + 1))
  done
  db=$(stat -c %s "$work/db/guide.db" 2>/dev/null || echo 0)
}

printf '%-17s %7s %6s %6s %6s %8s %8s %9s %7s %7s\n' shape events MiB "wall s" "cpu s" "cpu ns/B" \
  "peak MiB" "peak B/B" "db B/B" stored
# shape, smaller and larger event count
for row in "shared-summary 8000 32000" "reverse-merge 40000 160000" "repeated-summary 25000 100000"; do
  set -- $row
  shape=$1
  small=$2
  large=$3
  for n in "$small" "$large"; do
    stream="$work/$shape-$n.ts"
    "$build/mhw2sim" --hostile "$shape" --events "$n" --start "$today" -o "$stream" 2>/dev/null
    bytes=$(stat -c %s "$stream")
    grab "$stream"
    stored=$("$build/epgdb" info "$work/db" 2>/dev/null | sed -n 's/^Titles: //p')
    [ -n "$stored" ] || stored="?"
    ns=$(calc "$cpu * 1000000000 / $bytes" 1)
    mem=$(calc "$kib * 1024 / $bytes" 2)
    printf '%-17s %7s %6s %6s %6s %8s %8s %9s %7s %7s\n' "$shape" "$n" "$(calc "$bytes / 1048576")" \
      "$wall" "$cpu" "$ns" "$(calc "$kib / 1024" 1)" "$mem" "$(calc "$db / $bytes")" "$stored"
    if [ "$n" = "$small" ]; then small_ns=$ns; small_mem=$mem; fi
    rm -f "$stream"
  done
  time_growth=$(calc "$ns / $small_ns")
  mem_growth=$(calc "$mem / $small_mem")
  verdict=linear
  if [ "$(calc "$time_growth > 1.3 || $mem_growth > 1.3" 0)" = 1 ]; then verdict="NOT LINEAR"; fi
  printf '%-17s per byte from %s to %s events: cpu time x%s, peak memory x%s -> %s\n' "$shape" \
    "$small" "$large" "$time_growth" "$mem_growth" "$verdict"
done
