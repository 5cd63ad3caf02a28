#!/bin/sh
# Receiver budget: a first grab, an unchanged regrab and a next-day grab of
# a small simulated week (about 25 000 events) and of the largest (about
# 129 000), each measured for wall and processor time, peak memory, bytes
# written and durable flushes beside its floor (scripts/bench_budget_lib.sh
# says how the weeks are made and what the floors are). Every figure is the
# median of RUNS runs (default 3); the first run checks every stored guide
# row by row. Fails when a grab fails or a figure cannot be read.
# Usage: scripts/bench_budget.sh [BUILD_DIR]   (WORK=dir keeps the files there)
set -eu

here=$(dirname "$0")
. "$here/bench_setup.sh"
. "$here/bench_budget_lib.sh"
bench_setup bench_budget "${1:-build}" mhw2grab mhw2sim libtarnwell.so
[ -x /usr/bin/time ] || budget_die "/usr/bin/time is missing (Debian package time)"
runs=${RUNS:-3}
name=mhw2grab-budget-$$
trap '[ -n "$keep" ] || rm -rf "$work"; rm -f "/tmp/$name.log"' EXIT

budget_counter_build "$build"
budget_weeks "$build/mhw2sim" "$work"
budget_rundir "$work/this" "$build/mhw2grab" "$build/libtarnwell.so" "$name"
: > "$work/results"
i=1
while [ "$i" -le "$runs" ]; do
  verify=
  [ "$i" -gt 1 ] || verify=1
  for shape in $budget_sizes; do
    budget_round this "$work/this" "$name" "$build/mhw2sim" "${shape%%:*}" "$work" "$verify" >> "$work/results"
  done
  i=$((i + 1))
done
budget_table "$work/results" "$work" this "$runs"
