# Sourced by bench_budget.sh and bench_compare.sh: the receiver-budget grabs.
# The weeks, one grab with its figures, the check of what it stored, medians.
#
# Two weeks are simulated, a small one (60 channels, about 25 000 events)
# and the largest (160 channels, about 129 000 events), each as a guide of
# eight days from today cut into two recordings: "a", days 1 to 7, and "b",
# days 2 to 8, the same week a day later (the 3-day tables move with it), so
# 1/7 of b is new and the rest is identical to a. Three grabs per week:
#   first      a into an empty database
#   unchanged  a again into the database of the first grab
#   next-day   b into a copy of the database of the first grab
# Each is measured for wall and processor time, peak memory, bytes written
# (the kernel's count of the bytes the grab sent towards the disk,
# getrusage's blocks out) and durable flushes (fsync, fdatasync, syncfs,
# sync: counted by bench/sync_count.cpp, loaded into the grab).
#
# The floors beside them: reading the recording once (wall and processor
# time of cat from the page cache); the guide's texts, each distinct text
# once, plus 20 bytes of fixed fields per title (channel 6, start 4, length
# 2, event id 2, MJD 2, flags 1, language 3) for the peak memory and for the
# bytes of a first grab; the same for the titles of b that a does not hold
# for the bytes of a next-day grab; nothing for an unchanged regrab; one
# flush for a grab that changes the guide, none for one that does not.

# The weeks as NAME:CHANNELS:EVENTS_PER_DAY; BUDGET_SIZES=small:60:65 keeps
# to the small one while working on the scripts.
budget_sizes=${BUDGET_SIZES:-"small:60:65 large:160:125"}
budget_grabs="first unchanged next-day"

budget_die() {
  echo "bench_budget: $*" >&2
  exit 1
}

# Byte length of an expectation field (escapes \\, \n, \t, \xHH count one).
budget_awk_len='function tlen(s) { gsub(/\\(x[0-9A-F][0-9A-F]|.)/, "x", s); return length(s) }'

# budget_weeks SIM DIR: writes DIR/<size>.{a,b}.{guide,ts,expect,stats} with
# the simulator SIM and DIR/<size>.floors ("key value" lines).
budget_weeks() {
  sim=$1
  dir=$2
  d0=$(date -u +%Y-%m-%d)
  d1=$(date -u -d "$d0 + 1 day" +%Y-%m-%d)
  d4=$(date -u -d "$d0 + 4 day" +%Y-%m-%d)
  d7=$(date -u -d "$d0 + 7 day" +%Y-%m-%d)
  for shape in $budget_sizes; do
    size=${shape%%:*}
    rest=${shape#*:}
    channels=${rest%%:*}
    per_day=${rest#*:}
    "$sim" --random --seed 3 --start "$d0" --channels "$channels" --days 8 --events-per-day "$per_day" \
      --summaries 0.6 --repeats 0.3 --big --write-guide "$dir/$size.8.guide" 2>/dev/null ||
      budget_die "mhw2sim could not write the $size guide"
    budget_cut "$d0" "$d7" "" "$dir/$size.8.guide" > "$dir/$size.a.guide" &&
      budget_cut "$d1" "9999" "$d4" "$dir/$size.8.guide" > "$dir/$size.b.guide" ||
      budget_die "cannot cut the $size guide into its weeks"
    rm -f "$dir/$size.8.guide"
    for w in a b; do
      "$sim" --guide "$dir/$size.$w.guide" --section-size 4096 -o "$dir/$size.$w.ts" \
        --expect "$dir/$size.$w.expect" --stats "$dir/$size.$w.stats" 2>/dev/null ||
        budget_die "mhw2sim could not write the $size week $w"
    done
    budget_floors "$dir/$size" > "$dir/$size.floors"
  done
}

# budget_cut FROM UNTIL THREE_UNTIL GUIDE > guide: the events of GUIDE that
# start in [FROM, UNTIL), the summaries they use; with THREE_UNTIL, events
# before it go into the 3-day table as well.
budget_cut() {
  LC_ALL=C awk -v from="$1T00:00" -v until="$2T00:00" -v three="${3:+$3T00:00}" '
    function attr(line, key,   m) {
      if (!match(line, " " key "=[^ ]*")) return ""
      return substr(line, RSTART + length(key) + 2, RLENGTH - length(key) - 2)
    }
    function kept(line,   s) { s = attr(line, "start"); return s >= from && s < until }
    NR == FNR {
      if ($1 == "event" && kept($0)) { used7[attr($0, "sid")] = 1; used3[attr($0, "sid3")] = 1 }
      next
    }
    $1 == "summary" { keep = (attr($0, "id7") in used7) || (attr($0, "id3") in used3) }
    $1 == "event" {
      keep = kept($0)
      if (keep && three != "" && attr($0, "start") < three) sub(/ tables=7/, "")
    }
    $1 == "channel" || /^#/ { keep = 1 }
    keep { print }
  ' "$4" "$4"
}

# budget_floors PREFIX: the floors of PREFIX.{a,b}.* and the weeks' counts.
budget_floors() {
  p=$1
  awk '$1 == "total_events" { print "events_" w, $2 }' w=a "$p.a.stats"
  awk '$1 == "total_events" { print "events_" w, $2 }' w=b "$p.b.stats"
  LC_ALL=C awk -F '\t' "$budget_awk_len"'
    FILENAME ~ /\.a\.expect$/ {
      na++; seen_a[$0] = 1
      for (f = 8; f <= 9; f++) if (!($f in text_a)) { text_a[$f] = 1; ta += tlen($f) }
      next
    }
    {
      nb++
      for (f = 8; f <= 9; f++) if (!($f in text_b)) { text_b[$f] = 1; tb += tlen($f) }
      if ($0 in seen_a) next
      nnew++
      for (f = 8; f <= 9; f++) if (!($f in text_a) && !($f in text_new)) { text_new[$f] = 1; tnew += tlen($f) }
    }
    END {
      print "titles_a", na; print "titles_b", nb; print "titles_new", nnew + 0
      print "guide_a", ta + 20 * na; print "guide_b", tb + 20 * nb; print "changed", tnew + 20 * nnew
    }' "$p.a.expect" "$p.b.expect"
  for w in a b; do
    cat "$p.$w.ts" > /dev/null
    t0=$(now)
    /usr/bin/time -f '%U %S' -o "$p.read" cat "$p.$w.ts" > /dev/null
    t1=$(now)
    echo "read_wall_$w $(calc "$t1 - $t0" 3)"
    awk '{ printf "read_cpu_%s %.2f\n", w, $1 + $2 }' w=$w "$p.read"
  done
  rm -f "$p.read"
}

# budget_floor PREFIX KEY: one floor.
budget_floor() {
  v=$(awk -v k="$2" '$1 == k { print $2 }' "$1.floors")
  [ -n "$v" ] || budget_die "no floor $2 in $1.floors"
  echo "$v"
}

# budget_rundir DIR GRABBER LIBRARY NAME: a folder to run a build's grabber
# in, under NAME (its configuration DIR/NAME.conf, its log /tmp/NAME.log).
budget_rundir() {
  mkdir -p "$1"
  cp "$2" "$1/$4"
  cp "$3" "$1/"
}

# budget_grab RUNDIR NAME STREAM DB OUT: grabs STREAM into DB with the
# grabber RUNDIR/NAME and writes "wall cpu peak_kib written_bytes flushes
# db_bytes" to OUT; dies when the grab fails or a figure is missing.
budget_grab() {
  rd=$1
  out=$5
  printf 'demux=%s\n' "$3" > "$rd/$2.conf"
  rm -f "$rd/time" "$rd/syncs"
  mkdir -p "$4"
  # Nothing of an earlier step (the copy of a database, another grab) is
  # left to write back: the kernel counts a page towards the bytes written
  # of the task that makes it dirty, so a page the copy left dirty would hide
  # the grab's write to it, and its writeback would slow the grab's syncs.
  sync
  # The status lines go to a pipe, as to a frontend: written to a file they
  # would count as the grab's writes (a PROGRESS line per section).
  rm -f "$rd/rc"
  { /usr/bin/time -f '%e %U %S %M %O' -o "$rd/time" env LD_PRELOAD="$budget_counter" \
      BENCH_SYNC_COUNT="$rd/syncs" "$rd/$2" "$4" 2> "$rd/stderr"; echo $? > "$rd/rc"; } |
    grep -v '^PROGRESS ' > "$rd/status" || true
  if [ "$(cat "$rd/rc" 2>/dev/null)" != 0 ]; then
    cat "$rd/stderr" >&2
    budget_die "$rd/$2 $4 (demux=$3) failed"
  fi
  [ -f "$rd/syncs" ] || budget_die "the flush counter was not loaded into $rd/$2"
  grep -q '^LOGTEXT Done\. ' "$rd/status" || budget_die "$rd/$2 $4 (demux=$3) did not report its end"
  dbb=$(stat -c %s "$4/guide.db" 2>/dev/null) || budget_die "$4/guide.db is missing after the grab"
  set -- $(tail -n 1 "$rd/time") $(wc -l < "$rd/syncs")
  [ $# -eq 6 ] || budget_die "cannot read the figures of $rd/$2 from $rd/time"
  echo "$*" | awk -v db="$dbb" '{ printf "%s %.2f %s %s %s %s\n", $1, $2 + $3, $4, $5 * 512, $6, db }' > "$out"
}

# budget_events RUNDIR: the event count of the last grab's closing line.
budget_events() {
  sed -n 's/^LOGTEXT Done\. [0-9]* channels - \([0-9]*\) events.*/\1/p' "$1/status"
}

# budget_check SIM DB EXPECTED...: dies unless DB holds exactly the titles of
# the EXPECTED files (their union), read and written by the build's SIM.
budget_check() {
  sim=$1
  db=$2
  shift 2
  "$sim" --dump-db "$db" 2>/dev/null | LC_ALL=C sort > "$db.rows" || budget_die "$sim cannot read $db"
  LC_ALL=C sort -u "$@" > "$db.want"
  cmp -s "$db.rows" "$db.want" ||
    budget_die "$db does not hold the expected guide ($(LC_ALL=C comm -3 "$db.rows" "$db.want" | wc -l) rows differ)"
  rm -f "$db.rows" "$db.want"
}

# budget_round TAG RUNDIR NAME SIM SIZE DIR VERIFY >> results: the three
# grabs of week SIZE with one build, a result line each ("TAG SIZE GRAB
# figures"); with VERIFY also checks every stored guide with the build's SIM
# (its own expectation of the same guide files).
budget_round() {
  tag=$1 rd=$2 name=$3 sim=$4 size=$5 dir=$6 verify=$7
  db=$rd/db
  rm -rf "$db" "$db.first"
  if [ -n "$verify" ]; then
    for w in a b; do
      "$sim" --guide "$dir/$size.$w.guide" --expect "$rd/$size.$w.expect" 2>/dev/null ||
        budget_die "$sim cannot read $dir/$size.$w.guide"
    done
  fi
  want_a=$(budget_floor "$dir/$size" events_a)
  want_b=$(budget_floor "$dir/$size" events_b)
  for grab in $budget_grabs; do
    case $grab in
      first) stream=$dir/$size.a.ts want=$want_a ;;
      unchanged) stream=$dir/$size.a.ts want=$want_a ;;
      # Straight after the unchanged grab, in the file the grabs wrote, as
      # on a receiver: a copy of the file would be counted as written again.
      next-day) stream=$dir/$size.b.ts want=$want_b ;;
    esac
    budget_grab "$rd" "$name" "$stream" "$db" "$rd/figures"
    got=$(budget_events "$rd")
    [ "$got" = "$want" ] || budget_die "$tag: the $grab grab of the $size week took ${got:-no} events, not $want"
    echo "$tag $size $grab $(cat "$rd/figures")" | awk 'NF == 9' | grep . || budget_die "no figures for $grab"
    if [ -n "$verify" ]; then
      case $grab in
        next-day) budget_check "$sim" "$db" "$rd/$size.a.expect" "$rd/$size.b.expect" ;;
        *) budget_check "$sim" "$db" "$rd/$size.a.expect" ;;
      esac
    fi
  done
  rm -rf "$db"
}

# budget_median TAG SIZE GRAB FIELD < results: the median of a figure
# (fields: 4 wall, 5 cpu, 6 peak KiB, 7 bytes written, 8 flushes, 9 db bytes).
budget_median() {
  awk -v t="$1" -v s="$2" -v g="$3" -v f="$4" '
    $1 == t && $2 == s && $3 == g { v[n++] = $f + 0 }
    END {
      if (n == 0) exit 1
      for (i = 1; i < n; i++) for (j = i; j > 0 && v[j - 1] > v[j]; j--) { x = v[j]; v[j] = v[j - 1]; v[j - 1] = x }
      m = n % 2 ? v[(n - 1) / 2] : (v[n / 2 - 1] + v[n / 2]) / 2
      printf "%.6f\n", m
    }'
}

# budget_counter_build BUILD: builds the flush counter into BUILD and sets
# budget_counter to it.
budget_counter_build() {
  cmake --build "$1" --target bench_sync_count -j2 > /dev/null ||
    budget_die "cannot build the flush counter in $1 (a build with the benchmarks: make test-build)"
  budget_counter=$(cd "$1" && pwd)/libbench_sync_count.so
  [ -f "$budget_counter" ] || budget_die "$budget_counter is missing"
}

# budget_floor_of DIR SIZE GRAB FIGURE: the floor of a figure (wall, cpu,
# peak, written, flushes) in the table's units (s, MiB, MB).
budget_floor_of() {
  w=a
  [ "$3" != next-day ] || w=b
  case $4 in
    wall) calc "$(budget_floor "$1/$2" "read_wall_$w")" 2 ;;
    cpu) budget_floor "$1/$2" "read_cpu_$w" ;;
    peak) calc "$(budget_floor "$1/$2" "guide_$w") / 1048576" 1 ;;
    written)
      case $3 in
        first) calc "$(budget_floor "$1/$2" guide_a) / 1000000" 2 ;;
        unchanged) echo 0.00 ;;
        next-day) calc "$(budget_floor "$1/$2" changed) / 1000000" 2 ;;
      esac
      ;;
    flushes) [ "$3" = unchanged ] && echo 0 || echo 1 ;;
  esac
}

# budget_figure RESULTS TAG SIZE GRAB FIGURE: a figure's median in the
# table's units.
budget_figure() {
  case $5 in
    wall) m=$(budget_median "$2" "$3" "$4" 4 < "$1") && calc "$m" 2 ;;
    cpu) m=$(budget_median "$2" "$3" "$4" 5 < "$1") && calc "$m" 2 ;;
    peak) m=$(budget_median "$2" "$3" "$4" 6 < "$1") && calc "$m / 1024" 1 ;;
    written) m=$(budget_median "$2" "$3" "$4" 7 < "$1") && calc "$m / 1000000" 2 ;;
    flushes) m=$(budget_median "$2" "$3" "$4" 8 < "$1") && calc "$m" 0 ;;
    db) m=$(budget_median "$2" "$3" "$4" 9 < "$1") && calc "$m / 1000000" 2 ;;
  esac || budget_die "no $5 figure for the $4 grab of the $3 week ($2)"
}

budget_week_label() {
  echo "$2 $(budget_floor "$1/$2" events_a)"
}

# budget_complete RESULTS RUNS TAG...: dies unless RESULTS holds RUNS lines
# of nine fields for every build TAG, week and grab.
budget_complete() {
  results=$1 n=$2
  shift 2
  for tag in "$@"; do
    for shape in $budget_sizes; do
      for grab in $budget_grabs; do
        got=$(awk -v t="$tag" -v s="${shape%%:*}" -v g="$grab" '$1 == t && $2 == s && $3 == g && NF == 9' "$results" | wc -l)
        [ "$got" -eq "$n" ] || budget_die "$got of $n results for the $grab grab of the ${shape%%:*} week ($tag)"
      done
    done
  done
}

# budget_table RESULTS DIR TAG RUNS: the table of one build.
budget_table() {
  budget_complete "$1" "$4" "$3"
  echo "Receiver budget: median of $4 runs, each figure beside its floor in brackets"
  echo "  (first: into an empty guide.db; unchanged: the same week again; next-day: the week a day later, 1/7 new)"
  printf '%-13s %-10s %14s %14s %15s %16s %8s %10s\n' week grab "wall s" "cpu s" "peak MiB" \
    "written MB" "of db" "flushes"
  for shape in $budget_sizes; do
    size=${shape%%:*}
    for grab in $budget_grabs; do
      line=
      for f in wall cpu peak written; do
        line="$line $(printf '%14s' "$(budget_figure "$1" "$3" "$size" "$grab" $f) [$(budget_floor_of "$2" "$size" "$grab" $f)]")"
      done
      wr=$(budget_median "$3" "$size" "$grab" 7 < "$1")
      db=$(budget_median "$3" "$size" "$grab" 9 < "$1")
      share=$(calc "100 * $wr / $db" 1)%
      fl="$(budget_figure "$1" "$3" "$size" "$grab" flushes) [$(budget_floor_of "$2" "$size" "$grab" flushes)]"
      printf '%-13s %-10s%s %8s %10s\n' "$(budget_week_label "$2" "$size")" "$grab" "$line" "$share" "$fl"
    done
  done
}

# budget_ratio OLD NEW: NEW / OLD as "1.23x", "-" when OLD is 0.
budget_ratio() {
  awk -v a="$1" -v b="$2" 'BEGIN { if (a + 0 == 0) print (b + 0 == 0 ? "=" : "-"); else printf "%.2fx\n", b / a }'
}

# budget_compare RESULTS DIR REF_TAG REF_LABEL RUNS: REF's medians beside
# this tree's, their ratio and the floor.
budget_compare_table() {
  budget_complete "$1" "$5" "$3" this
  echo "Receiver budget: $4 against this tree, median of $5 interleaved runs (ratio: this / $4)"
  printf '%-13s %-10s %-11s %11s %11s %8s %9s\n' week grab figure "$4" this ratio floor
  for shape in $budget_sizes; do
    size=${shape%%:*}
    for grab in $budget_grabs; do
      label=$(budget_week_label "$2" "$size")
      g=$grab
      for f in wall cpu peak written flushes db; do
        old=$(budget_figure "$1" "$3" "$size" "$grab" $f)
        new=$(budget_figure "$1" this "$size" "$grab" $f)
        case $f in
          wall) unit="wall s" ;; cpu) unit="cpu s" ;; peak) unit="peak MiB" ;;
          written) unit="written MB" ;; flushes) unit="flushes" ;; db) unit="guide.db MB" ;;
        esac
        floor=-
        [ "$f" = db ] || floor=$(budget_floor_of "$2" "$size" "$grab" $f)
        printf '%-13s %-10s %-11s %11s %11s %8s %9s\n' "$label" "$g" "$unit" "$old" "$new" \
          "$(budget_ratio "$old" "$new")" "$floor"
        label= g=
      done
    done
  done
}
