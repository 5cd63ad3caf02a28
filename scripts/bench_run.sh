#!/bin/sh
# Whole-run benchmark: grabs simulated week-long broadcasts of about 10 000,
# 50 000 and 200 000 events (all four tables) from recordings and prints,
# per recording, the wall time and peak memory of the grab, the time and
# peak memory per event, and the time it takes merely to read the recording
# once.
# Usage: scripts/bench_run.sh [BUILD_DIR]   (WORK=dir keeps the files there)
set -eu

. "$(dirname "$0")/bench_setup.sh"
bench_setup bench_run "${1:-build}" mhw2grab mhw2sim libtarnwell.so
today=$(date -u +%Y-%m-%d)

# Runs "$@" and prints "seconds peak_kib": /usr/bin/time when it is there,
# otherwise the wall clock alone (peak memory then shows as "-").
measure() {
  if [ -x /usr/bin/time ]; then
    /usr/bin/time -f '%e %M' -o "$work/time.txt" "$@" > "$work/status.txt" 2>/dev/null || true
    cat "$work/time.txt"
  else
    t0=$(now)
    "$@" > "$work/status.txt" 2>/dev/null || true
    t1=$(now)
    echo "$(calc "$t1 - $t0") -"
  fi
}

cp "$build/mhw2grab" "$build/libtarnwell.so" "$work/"
printf '%-8s %8s %9s %9s %10s %10s %12s %11s %9s\n' events channels "file MiB" "read s" "grab s" "peak MiB" "us/event" \
  "KiB/event" stored
# channels days events-per-day (per channel)
for size in "60 7 24" "120 7 65" "160 7 175"; do
  set -- $size
  stream="$work/bench_$1.ts"
  "$build/mhw2sim" --random --seed 3 --start "$today" --channels "$1" --days "$2" --events-per-day "$3" \
    --summaries 0.6 --repeats 0.3 --big -o "$stream" --stats "$work/stats.txt" 2>/dev/null
  events=$(awk '$1 == "total_events" { print $2 }' "$work/stats.txt")
  bytes=$(stat -c %s "$stream")
  # Reading the recording once, with the file in the page cache as the grab finds it.
  cat "$stream" > /dev/null
  t0=$(now)
  cat "$stream" > /dev/null
  t1=$(now)
  read_s=$(calc "$t1 - $t0")
  printf 'demux=%s\n' "$stream" > "$work/mhw2grab.conf"
  rm -rf "$work/db"
  set -- $(measure "$work/mhw2grab" "$work/db")
  grab_s=$1
  peak=$2
  stored=$("$build/epgdb" info "$work/db" 2>/dev/null | sed -n 's/^Titles: //p')
  [ -n "$stored" ] || stored="?"
  peak_mib=-
  peak_per_event=-
  if [ "$peak" != "-" ]; then
    peak_mib=$(calc "$peak / 1024")
    peak_per_event=$(calc "$peak / $events")
  fi
  per_event=$(calc "$grab_s * 1000000 / $events")
  printf '%-8s %8s %9s %9s %10s %10s %12s %11s %9s\n' "$events" "$(echo $size | cut -d' ' -f1)" \
    "$(calc "$bytes / 1048576")" "$read_s" "$grab_s" "$peak_mib" "$per_event" "$peak_per_event" "$stored"
done
