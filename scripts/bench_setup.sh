# Sourced by the benchmark scripts: bench_setup NAME BUILD_DIR FILE... sets
# "build" to the build folder (it must hold every FILE) and "work" to a
# scratch folder removed at exit, unless WORK names one to keep; "now" and
# "calc" for the figures.
bench_setup() {
  name=$1
  build=$(cd "${2:-build}" && pwd)
  shift 2
  for f in "$@"; do
    if [ ! -e "$build/$f" ]; then
      echo "$name: $build/$f is missing; build first" >&2
      exit 1
    fi
  done
  work=${WORK:-$(mktemp -d "/tmp/$name.XXXXXX")}
  keep=${WORK:+1}
  mkdir -p "$work"
  trap '[ -n "$keep" ] || rm -rf "$work"' EXIT
}

# Seconds since the epoch with nanoseconds, as a decimal number.
now() { date +%s.%N; }
# Evaluates an arithmetic expression with "$2" decimals (default 2).
calc() { awk "BEGIN { printf \"%.${2:-2}f\", ($1) }"; }
