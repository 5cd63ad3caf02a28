#!/bin/sh
# Receiver budget of another commit beside this tree's: builds REF in a
# worktree of its own under BUILD_DIR/bench-ref (its own CMake build, only
# the grabber, the library and the simulator, found by name in its build
# folder, so an older layout works too; they are kept in
# BUILD_DIR/bench-ref/<commit>/bin for the next comparison), then grabs the same recordings
# (made once with this tree's simulator) with both builds in turn, RUNS
# times (default 5; REF first in odd rounds, this tree first in even ones),
# and prints for every grab and figure REF's median, this tree's, their
# ratio and the floor (see scripts/bench_budget_lib.sh). The first round
# checks every stored guide with each build's own simulator. Fails when a
# build, a grab or a figure fails.
# Usage: scripts/bench_compare.sh BUILD_DIR REF   (WORK=dir keeps the files there)
set -eu

here=$(cd "$(dirname "$0")" && pwd)
. "$here/bench_setup.sh"
. "$here/bench_budget_lib.sh"
ref=${2:-}
[ -n "$ref" ] || budget_die "usage: bench_compare.sh BUILD_DIR REF (make bench-compare REF=<commit>)"
bench_setup bench_compare "${1:-build}" mhw2grab mhw2sim libtarnwell.so
[ -x /usr/bin/time ] || budget_die "/usr/bin/time is missing (Debian package time)"
runs=${RUNS:-5}
name=mhw2grab-budget-$$
trap '[ -n "$keep" ] || rm -rf "$work"; rm -f "/tmp/$name.log"' EXIT

repo=$(cd "$here/.." && pwd)
sha=$(git -C "$repo" rev-parse --verify --quiet "$ref^{commit}") || budget_die "$ref is not a commit"
short=$(git -C "$repo" rev-parse --short "$sha")
refdir=$build/bench-ref/$sha
bin=$refdir/bin
# REF's grabber, library and simulator are kept in $bin; the checkout and its
# build are removed once they are there, so no worktree stays registered.
if [ ! -x "$bin/mhw2grab" ] || [ ! -f "$bin/libtarnwell.so" ]; then
  rm -rf "$refdir"
  mkdir -p "$refdir"
  git -C "$repo" worktree add -f --detach "$refdir/src" "$sha" > /dev/null 2>&1 ||
    budget_die "cannot check $ref out into $refdir/src"
  launcher=
  if command -v ccache > /dev/null; then
    launcher="-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache"
  fi
  echo "Building $ref ($short) in $refdir/build" >&2
  cmake -S "$refdir/src" -B "$refdir/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo $launcher > "$refdir/cmake.log" 2>&1 ||
    { tail -n 20 "$refdir/cmake.log" >&2; budget_die "cannot configure $ref (log: $refdir/cmake.log)"; }
  targets=$(cmake --build "$refdir/build" --target help | sed -n 's/^\.\.\. \([^ ]*\).*/\1/p' |
    grep -x -e mhw2grab -e tarnwell -e mhw2sim | tr '\n' ' ')
  case " $targets " in *" mhw2grab "*) ;; *) budget_die "$ref has no mhw2grab target" ;; esac
  cmake --build "$refdir/build" -j"${JOBS:-2}" --target $targets > "$refdir/build.log" 2>&1 ||
    { tail -n 20 "$refdir/build.log" >&2; budget_die "cannot build $ref (log: $refdir/build.log)"; }
  mkdir -p "$bin.new"
  for f in mhw2grab libtarnwell.so mhw2sim; do
    found=$(find "$refdir/build" -name "$f" \( -type f -o -type l \) ! -path '*/CMakeFiles/*' | head -n 1)
    [ -z "$found" ] || cp "$found" "$bin.new/$f"
  done
  [ -x "$bin.new/mhw2grab" ] && [ -f "$bin.new/libtarnwell.so" ] ||
    budget_die "cannot find $ref's mhw2grab and libtarnwell.so in $refdir/build"
  git -C "$repo" worktree remove --force "$refdir/src" || budget_die "cannot remove the worktree $refdir/src"
  rm -rf "$refdir/build"
  mv "$bin.new" "$bin"
fi
ref_grab=$bin/mhw2grab
ref_lib=$bin/libtarnwell.so
ref_sim=$bin/mhw2sim
if [ ! -x "$ref_sim" ] || ! "$ref_sim" --help > /dev/null 2>&1; then
  echo "bench_compare: $ref has no mhw2sim that runs: its guides are checked by their counts only" >&2
  ref_sim=
fi

budget_counter_build "$build"
budget_weeks "$build/mhw2sim" "$work"
budget_rundir "$work/ref" "$ref_grab" "$ref_lib" "$name"
budget_rundir "$work/this" "$build/mhw2grab" "$build/libtarnwell.so" "$name"
: > "$work/results"
i=1
while [ "$i" -le "$runs" ]; do
  echo "Round $i of $runs" >&2
  ref_verify=
  this_verify=
  if [ "$i" -eq 1 ]; then
    [ -z "$ref_sim" ] || ref_verify=1
    this_verify=1
  fi
  for shape in $budget_sizes; do
    size=${shape%%:*}
    # REF first in odd rounds, this tree first in even ones, so that neither
    # always runs after the other.
    if [ $((i % 2)) -eq 1 ]; then
      budget_round ref "$work/ref" "$name" "$ref_sim" "$size" "$work" "$ref_verify" >> "$work/results"
      budget_round this "$work/this" "$name" "$build/mhw2sim" "$size" "$work" "$this_verify" >> "$work/results"
    else
      budget_round this "$work/this" "$name" "$build/mhw2sim" "$size" "$work" "$this_verify" >> "$work/results"
      budget_round ref "$work/ref" "$name" "$ref_sim" "$size" "$work" "$ref_verify" >> "$work/results"
    fi
  done
  i=$((i + 1))
done
budget_compare_table "$work/results" "$work" ref "$short" "$runs"
