#!/bin/sh
# A real grab without a satellite dish: simulates a week of programme guide
# for thirty channels as a recorded broadcast, runs the grabber on it with a
# configuration that names the recording, and shows what reached the guide
# database. Usage: scripts/demo.sh [BUILD_DIR]
set -eu

build=$(cd "${1:-build}" && pwd)
demo="$build/demo"
for f in mhw2grab mhw2sim epgdb tv_grab_zz_mhw2 libtarnwell.so; do
  if [ ! -e "$build/$f" ]; then
    echo "demo: $build/$f is missing; build first (make build)" >&2
    exit 1
  fi
done

rm -rf "$demo"
mkdir -p "$demo"
today=$(date -u +%Y-%m-%d)

echo "== 1. A simulated broadcast: 30 channels, 7 days from $today, recorded mid-carousel"
"$build/mhw2sim" --random --seed 7 --start "$today" --channels 30 --days 7 --events-per-day 24 \
  --summaries 0.75 --repeats 0.25 --mid-cycle --pack -o "$demo/broadcast.ts" \
  --write-guide "$demo/broadcast.guide"

echo
echo "== 2. The grabber with its configuration beside it"
cp "$build/mhw2grab" "$build/libtarnwell.so" "$demo/"
cat > "$demo/mhw2grab.conf" <<CONF
# Demo: read the recorded broadcast instead of a receiver's demux device,
# and store the texts as UTF-8.
demux=$demo/broadcast.ts
ConvertToUTF8=1
CONF
sed 's/^/   /' "$demo/mhw2grab.conf"

echo
echo "== 3. The grab: $demo/mhw2grab $demo/db (status lines; progress values folded)"
start=$(date +%s)
status=0
(cd "$demo" && ./mhw2grab "$demo/db") > "$demo/status.txt" || status=$?
end=$(date +%s)
awk '
  /^PROGRESS [0-9]+$/ { if (!n) first = $2; last = $2; n++; next }
  { if (n) { printf "   PROGRESS %s ... %s (%d values)\n", first, last, n; n = 0 } print "   " $0 }
  END { if (n) printf "   PROGRESS %s ... %s (%d values)\n", first, last, n }' "$demo/status.txt"
echo "   exit code $status, $((end - start)) s; log: /tmp/mhw2grab.log"
if [ "$status" -ne 0 ]; then
  exit "$status"
fi

echo
echo "== 4. What the guide database holds"
"$build/epgdb" info "$demo/db" | sed -n '1,6p'
for channel in 0x1:0x400:0x1F41 0x1:0x400:0x1F4A 0x1:0x401:0x1F65; do
  sid=${channel##*:}
  name=$(LC_ALL=C sed -n "s/^channel \"\(.*\)\" .* sid=$sid\b.*/\1/p" "$demo/broadcast.guide")
  echo
  echo "$name" | iconv -f ISO-8859-1 -t UTF-8 2>/dev/null || echo "$name"
  "$build/epgdb" list "$demo/db" --channel "$channel" | sed -n '1,6p'
done

# The XMLTV grabber's configuration: grab the recording into the same root,
# then export it.
cat > "$demo/tv_grab_zz_mhw2.conf" <<CONF
root=$demo/db
demux=$demo/broadcast.ts
CONF

echo
echo "Everything is in $demo: broadcast.ts (the recording), broadcast.guide (its guide"
echo "in readable form), mhw2grab.conf, tv_grab_zz_mhw2.conf and db/guide.db."

# Each next step is run once here, so that it is printed only as it works.
xmltv="$build/epgdb xmltv $demo/db > $demo/guide.xml"
grabber="$build/tv_grab_zz_mhw2 --config-file $demo/tv_grab_zz_mhw2.conf --output $demo/grabbed.xml"
list="$build/epgdb list $demo/db --channel 1:1024:8001"
for step in "$xmltv" "$grabber" "$list > /dev/null"; do
  if ! sh -c "$step" 2>"$demo/step.err"; then
    echo "demo: this step failed: $step" >&2
    cat "$demo/step.err" >&2
    exit 1
  fi
done
rm -f "$demo/step.err"

echo
echo "Next, try:"
echo "  # the guide as an XMLTV document"
echo "  $xmltv"
echo "  # the XMLTV grabber: grabs the recording into the database, then exports it"
echo "  $grabber"
echo "  # one channel's titles (NID:TSID:SID as '$build/epgdb info $demo/db' lists them)"
echo "  $list"
echo "  # the grabber's own help"
echo "  $build/mhw2grab --help"
