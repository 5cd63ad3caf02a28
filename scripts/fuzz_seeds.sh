#!/bin/sh
# Refreshes the simulator part of the fuzz seed corpus (fuzz/corpus/*/sim-*):
# valid sections of every MHW2 table from a small simulated broadcast, so the
# fuzzer starts past the first checks. Usage: scripts/fuzz_seeds.sh [BUILD]
set -eu
cd "$(dirname "$0")/.."
BUILD=${1:-build}
cmake --build "$BUILD" --target mhw2sim fuzz_seeds >/dev/null
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
"$BUILD/mhw2sim" --random --seed 7 --channels 4 --days 7 --events-per-day 6 --summaries 0.8 \
  --repeats 0.3 --long-titles 0.3 --continuations --start 2026-12-07 -o "$tmp/seed.ts" >/dev/null
python3 fuzz/make_seeds.py
"$BUILD/fuzz_seeds" "$tmp/seed.ts" fuzz/corpus
