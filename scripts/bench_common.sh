# Shared by the whole-run benchmarks (sourced): the build folder "$build"
# with the files "$@", a work folder "$work" removed at exit unless WORK
# names one, "now" and "calc".
bench_setup() {
  script=$1
  shift
  for f in "$@"; do
    if [ ! -e "$build/$f" ]; then
      echo "$script: $build/$f is missing; build first" >&2
      exit 1
    fi
  done
  work=${WORK:-$(mktemp -d "/tmp/$script.XXXXXX")}
  keep=${WORK:+1}
  mkdir -p "$work"
  trap '[ -n "$keep" ] || rm -rf "$work"' EXIT
}

# Seconds since the epoch with nanoseconds, as a decimal number.
now() { date +%s.%N; }
# Evaluates an arithmetic expression with "$2" decimals (default 2).
calc() { awk "BEGIN { printf \"%.${2:-2}f\", ($1) }"; }
