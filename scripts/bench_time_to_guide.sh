#!/bin/sh
# Time to guide: how long a grab of one simulated week takes on air, in the
# virtual time of the virtual DVB adapter, reading the tables one after
# another (ParallelDownload=0) and all at once, against the limit: the
# longest cycle of a single table, which every section has to pass once.
# Prints the three figures, the two ratios and each grab's peak memory.
# Usage: scripts/bench_time_to_guide.sh [BUILD_DIR]   (WORK=dir keeps the files)
#
# The broadcast: 40 channels, 7 days, 24 programmes a day per channel (the
# simulator's random week). The bit rates of the tables are assumptions of
# this benchmark, not measurements of a transponder: they are chosen so that
# every table goes round in the span that receivers of a satellite guide
# carousel wait for it (tens of seconds for the 3-day events, a minute and a
# half for the 7-day events and the 3-day summaries, three minutes for the
# 7-day summaries, the table users wait longest for). The multiplex is
# played at 1 Mbit/s: the guide PIDs and null packets standing in for the
# rest of a transponder, whose full rate would only make the recording
# larger without changing a cycle.
set -eu

. "$(dirname "$0")/bench_setup.sh"
bench_setup bench_time_to_guide "${1:-build}" mhw2grab mhw2sim libtarnwell.so libvdvb.so

mux=1000000
"$build/mhw2sim" --random --seed 3 --start "$(date -u +%Y-%m-%d)" --channels 40 --days 7 \
  --events-per-day 24 --mux-rate $mux --rate events3=60000 --rate events7=40000 \
  --rate summaries3=50000 --rate summaries7=60000 --cycles 1 \
  -o "$work/week.ts" --expect "$work/expect.txt" --stats "$work/stats.txt" 2>/dev/null

stat_of() { awk -v k="$1" '$1 == k { print $2 }' "$work/stats.txt"; }
limit=$(awk '$1 ~ /^cycle_(events|summaries)/ && $2 > m { m = $2 } END { printf "%.3f", m }' "$work/stats.txt")

# Grabs the week through the adapter with "ParallelDownload=$1"; prints
# "virtual_seconds peak_kib", fails when the guide differs from the expected one.
grab() {
  rm -rf "$work/db" "$work/trace"
  printf 'demux=/dev/dvb/adapter0/demux0\nParallelDownload=%s\n' "$1" > "$work/mhw2grab.conf"
  ln -sf "$build/mhw2grab" "$work/mhw2grab"
  peak=-
  if [ -x /usr/bin/time ]; then
    env LD_PRELOAD="$build/libvdvb.so" VDVB_DEMUX0="$work/week.ts" VDVB_BITRATE=$mux \
      VDVB_TRACE="$work/trace" /usr/bin/time -f '%M' -o "$work/peak.txt" \
      "$work/mhw2grab" "$work/db" > /dev/null
    peak=$(cat "$work/peak.txt")
  else
    env LD_PRELOAD="$build/libvdvb.so" VDVB_DEMUX0="$work/week.ts" VDVB_BITRATE=$mux \
      VDVB_TRACE="$work/trace" "$work/mhw2grab" "$work/db" > /dev/null
  fi
  if ! "$build/mhw2sim" --dump-db "$work/db" | cmp -s - "$work/expect.txt"; then
    echo "bench_time_to_guide: the grab with ParallelDownload=$1 stored another guide" >&2
    exit 1
  fi
  ms=$(awk '$1 == "clock" { print $2 }' "$work/trace")
  echo "$(awk "BEGIN { printf \"%.1f\", $ms / 1000 }") $peak"
}

mib() { [ "$1" = "-" ] && echo "-" || awk "BEGIN { printf \"%.1f MiB\", $1 / 1024 }"; }

set -- $(grab 0)
seq_s=$1 seq_peak=$2
set -- $(grab 1)
par_s=$1 par_peak=$2

echo "Time to guide, one simulated week ($(stat_of channels) channels, $(stat_of total_events) events), virtual seconds"
printf '  table cycles: events3 %s s, events7 %s s, summaries3 %s s, summaries7 %s s\n' \
  "$(stat_of cycle_events3)" "$(stat_of cycle_events7)" "$(stat_of cycle_summaries3)" "$(stat_of cycle_summaries7)"
printf '  %-36s %8s s   peak %s\n' "sequential (ParallelDownload=0)" "$seq_s" "$(mib "$seq_peak")"
printf '  %-36s %8s s   peak %s\n' "concurrent" "$par_s" "$(mib "$par_peak")"
printf '  %-36s %8.1f s\n' "limit (longest table cycle)" "$limit"
awk "BEGIN { printf \"  sequential / limit %.2f   concurrent / limit %.2f\n\", $seq_s / $limit, $par_s / $limit }"
