#!/usr/bin/env bash
# Runs the fuzz targets of a sanitizer build one after the other (one process at a time), each
# until SECONDS have passed or RUNS inputs were executed, whichever comes first, with a
# persistent work corpus under fuzz/corpus-run/<target> (not committed) seeded from
# fuzz/corpus/<target>. Prints one summary line per target: executions, exec/s, coverage
# (cov = edges, ft = features) and work corpus size.
#
# Usage: run-fuzzers.sh BUILD_DIR [SECONDS] [RUNS] [TARGET...]
#   FUZZ_MERGE=1  afterwards minimise fuzz/corpus/<target> to the inputs that keep the
#                 coverage of the committed and the work corpus (seed-* files are kept).
# Exit status 1 when any target crashed, leaked, timed out or broke an invariant; its input
# is left as fuzz/corpus-run/<target>/crash-* (or leak-*, timeout-*, oom-*).
set -euo pipefail
build=$1; seconds=${2:-60}; runs=${3:-0}
shift $(( $# < 3 ? $# : 3 ))
src=$(cd "$(dirname "$0")/.." && pwd)
merge=${FUZZ_MERGE:-0}

targets=()
if [ $# -gt 0 ]; then
  for name in "$@"; do
    exe=$(find "$build/fuzz" -type f -name "$name" -executable | head -n 1)
    [ -n "$exe" ] || { echo "no fuzz target $name in $build/fuzz" >&2; exit 2; }
    targets+=("$exe")
  done
else
  while IFS= read -r exe; do targets+=("$exe"); done < <(find "$build/fuzz" -type f -name "fuzz_*" -executable | sort)
fi
[ ${#targets[@]} -gt 0 ] || { echo "no fuzz targets under $build/fuzz (configure with -DCORVANE_FUZZ=ON)" >&2; exit 2; }

status=0
summary=()
for exe in "${targets[@]}"; do
  name=$(basename "$exe")
  work="$src/fuzz/corpus-run/$name"
  committed="$src/fuzz/corpus/$name"
  mkdir -p "$work"
  seeds=()
  [ -d "$committed" ] && seeds=("$committed")
  log=$(mktemp)
  limits=(-max_total_time="$seconds")
  if [ "$runs" != 0 ]; then
    limits+=(-runs="$runs")
    echo "== $name: up to $seconds s or $runs runs =="
  else
    echo "== $name: $seconds s =="
  fi
  result=ok
  if ! "$exe" "${limits[@]}" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
       -artifact_prefix="$work/" "$work" "${seeds[@]}" >"$log" 2>&1; then
    result=FAILED
    status=1
    grep -E "ERROR|SUMMARY|Test unit written" "$log" | head -n 20 || true
  fi
  last=$(grep -E "cov: [0-9]+" "$log" | tail -n 1 || true)
  cov=$(sed -nE 's/.*cov: ([0-9]+).*/\1/p' <<<"$last")
  ft=$(sed -nE 's/.*ft: ([0-9]+).*/\1/p' <<<"$last")
  execs=$(sed -nE 's/^stat::number_of_executed_units: *([0-9]+)/\1/p' "$log")
  rate=$(sed -nE 's/^stat::average_exec_per_sec: *([0-9]+)/\1/p' "$log")
  files=$(find "$work" -maxdepth 1 -type f ! -name 'crash-*' ! -name 'leak-*' ! -name 'timeout-*' ! -name 'oom-*' | wc -l)
  rm -f "$log"

  if [ "$merge" = 1 ] && [ "$result" = ok ]; then
    merged=$(mktemp -d)
    "$exe" -merge=1 -timeout=10 -rss_limit_mb=2048 "$merged" "${seeds[@]}" "$work" >/dev/null 2>&1
    mkdir -p "$committed"
    find "$committed" -maxdepth 1 -type f ! -name 'seed-*' -delete
    # libFuzzer names merged inputs by their SHA-1: a seed kept under its own name is not
    # copied twice.
    for seed in "$committed"/seed-*; do
      [ -f "$seed" ] && rm -f "$merged/$(sha1sum "$seed" | cut -d' ' -f1)"
    done
    find "$merged" -maxdepth 1 -type f -exec cp -n {} "$committed/" \;
    rm -rf "$merged"
  fi
  committed_files=$( [ -d "$committed" ] && find "$committed" -maxdepth 1 -type f | wc -l || echo 0)
  summary+=("$(printf '%-32s %-6s %12s %9s %6s %7s %8s %10s' "$name" "$result" "${execs:-?}" "${rate:-?}" \
    "${cov:-?}" "${ft:-?}" "$files" "$committed_files")")
done

printf '\n%-32s %-6s %12s %9s %6s %7s %8s %10s\n' target result executions exec/s cov ft corpus committed
printf '%s\n' "${summary[@]}"
exit $status
