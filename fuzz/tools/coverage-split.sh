#!/usr/bin/env bash
# Where a fuzz target's coverage lies: the edges its corpus covers in the project's library
# code (src/), in the harness itself (fuzz/) and elsewhere (standard library templates).
# A target whose library edges stay near zero is fuzzing blind (the library was built
# without coverage instrumentation).
# Usage: coverage-split.sh FUZZ_EXECUTABLE CORPUS_DIR...
set -euo pipefail
exe=$1; shift
src=$(cd "$(dirname "$0")/../.." && pwd)
"$exe" -runs=0 -print_coverage=1 "$@" 2>&1 | awk -v src="$src/src/" -v fuzz="$src/fuzz/" '
  /^COVERED_FUNC:/ {
    split($5, e, "/"); path = $NF
    if (index(path, src) == 1) lib += e[1]; else if (index(path, fuzz) == 1) harness += e[1]; else other += e[1]
  }
  END { printf "library %d harness %d other %d\n", lib, harness, other }'
