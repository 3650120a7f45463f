#!/bin/sh
# Runs one Windows test program under Wine for ctest: wine-run.sh LOG PROGRAM.exe ARGS...
#
# Under a loaded run, Wine now and then fails to start a process: wine64 exits non-zero
# within milliseconds and prints nothing, so the program never reached main. That is the
# emulator failing, not a test failing, and it failed whole runs. Such a run (non-zero exit,
# not one byte printed) is started again, at most twice more, and each restart is appended
# to LOG, which run-tests.sh prints after the suite, so a restart stays visible even when
# the next start passes. A run that printed anything, passing or failing, counts as it
# ended: GoogleTest flushes its banner before any test body runs, so a real test failure
# always has output. The output still streams to ctest as it comes, so a test that hangs
# shows how far it got when ctest's timeout ends it.
log=$1
shift
out=$(mktemp) && status=$(mktemp) || { echo "wine-run: no temporary file" >&2; exit 1; }
trap 'rm -f "$out" "$status"' EXIT

attempt=1
while :; do
  { /usr/lib/wine/wine64 "$@" 2>&1; echo $? >"$status"; } | tee "$out"
  rc=$(cat "$status")
  rc=${rc:-1}
  if [ "$rc" -eq 0 ] || [ -s "$out" ] || [ "$attempt" -ge 3 ]; then
    break
  fi
  echo "wine-run: $* exited with status $rc before printing anything (attempt $attempt); started again" |
    tee -a "$log" >&2
  attempt=$((attempt + 1))
done
exit "$rc"
