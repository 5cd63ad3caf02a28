#!/bin/sh
# Runs every fuzz target. Usage: scripts/fuzz.sh [SECONDS]  (default 60 per target)
# With FUZZ_RUNS=N each target runs N inputs instead (the smoke run of make test).
# Inputs that crash are written to fuzz/crashes/<target>/ and kept: the replay
# test of make test runs them again. Prints the executions per target.
set -eu
cd "$(dirname "$0")/.."
BUILD=${FUZZ_BUILD:-build-fuzz}
SECONDS_PER_TARGET=${1:-60}
TARGETS=$(cat fuzz/targets.list)

cmake -S . -B "$BUILD" -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
  -DMHW2_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$BUILD" -j2 >/dev/null

if [ -n "${FUZZ_RUNS:-}" ]; then limit="-runs=$FUZZ_RUNS"; else limit="-max_total_time=$SECONDS_PER_TARGET"; fi
status=0
printf '%-16s %12s  %s\n' target executions result
for t in $TARGETS; do
  work="$BUILD/corpus/$t"
  mkdir -p "$work" "fuzz/crashes/$t"
  log="$BUILD/fuzz_$t.log"
  if "$BUILD/fuzz_$t" $limit -dict=fuzz/mhw2.dict -print_final_stats=1 \
       -artifact_prefix="fuzz/crashes/$t/" "$work" "fuzz/corpus/$t" >"$log" 2>&1; then
    result="no finding"
  else
    result="FINDING (see $log, input kept in fuzz/crashes/$t/)"
    status=1
  fi
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  printf '%-16s %12s  %s\n' "$t" "${execs:-?}" "$result"
done
exit $status
