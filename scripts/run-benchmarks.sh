#!/usr/bin/env bash
# Runs every Google Benchmark program of a build. Usage: run-benchmarks.sh BUILD_DIR
set -euo pipefail
build=$1
for exe in "$build"/bench/bench_*; do
  [ -x "$exe" ] || continue
  echo "== $(basename "$exe") =="
  "$exe" --benchmark_min_time=0.2
done
