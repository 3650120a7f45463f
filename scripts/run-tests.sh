#!/usr/bin/env bash
# Runs the test suites of every configured build and fails if any of them failed.
# Usage: run-tests.sh BUILD_ROOT
set -uo pipefail
root=${1:-build}
jobs=$(nproc)
failed=()

run() {  # name, ctest arguments...
  local name=$1; shift
  echo "== tests: $name =="
  if ! ctest "$@" --output-on-failure; then failed+=("$name"); fi
}

run linux    --test-dir "$root/linux" -j "$jobs"
run windows  --test-dir "$root/windows" -j "$((jobs * 2))"
run sanitize --test-dir "$root/sanitize" -j "$jobs"

if [ ${#failed[@]} -ne 0 ]; then
  echo "FAILED suites: ${failed[*]}"
  exit 1
fi
echo "all suites passed"
