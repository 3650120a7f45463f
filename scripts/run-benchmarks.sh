#!/usr/bin/env bash
# Runs every Google Benchmark program of a build. Usage: run-benchmarks.sh BUILD_DIR
set -euo pipefail
build=$1
for exe in $(find "$build/bench" -type f -name "bench_*" -executable 2>/dev/null | sort); do
  [ -x "$exe" ] || continue
  echo "== $(basename "$exe") =="
  "$exe" --benchmark_min_time=0.2
done
