#!/usr/bin/env bash
# Runs every fuzz target of a sanitizer build for SECONDS each, with a persistent corpus
# under fuzz/corpus-run/ (not committed) seeded from fuzz/corpus/<target>.
# Usage: run-fuzzers.sh BUILD_DIR SECONDS
set -euo pipefail
build=$1; seconds=${2:-60}
src=$(cd "$(dirname "$0")/.." && pwd)
status=0
for exe in $(find "$build/fuzz" -type f -name "fuzz_*" -executable 2>/dev/null | sort); do
  [ -x "$exe" ] || continue
  name=$(basename "$exe")
  corpus="$src/fuzz/corpus-run/$name"
  mkdir -p "$corpus"
  echo "== $name: $seconds s =="
  seeds=()
  [ -d "$src/fuzz/corpus/$name" ] && seeds=("$src/fuzz/corpus/$name")
  if ! "$exe" -max_total_time="$seconds" -rss_limit_mb=2048 -print_final_stats=1 \
       -artifact_prefix="$corpus/" "$corpus" "${seeds[@]}"; then
    status=1
  fi
done
exit $status
