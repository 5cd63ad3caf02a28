#!/bin/sh
# Runs the benchmarks of a build folder (default: build).
set -e
BUILD=${1:-build}
cmake --build "$BUILD" --target bench_guide -j2
"$BUILD/bench_guide" --benchmark_counters_tabular=true
