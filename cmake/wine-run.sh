#!/bin/sh
# Runs one Windows test program under Wine for ctest: wine-run.sh LOG PROGRAM.exe ARGS...
#
# Under a loaded run, Wine now and then fails to start a process: wine64 exits non-zero
# within milliseconds and prints nothing, so the program never reached main. That is the
# emulator failing, not a test failing, and it made whole CI runs red. The program's output
# is kept aside; a run that failed before printing a single byte is started again (at most
# twice more), and each restart is appended to LOG, which run-tests.sh prints after the
# suite, so a restart stays visible even when the second start passes. A run
# that printed anything, passing or failing, is reported as it was: GoogleTest flushes its
# banner before any test body runs, so a real test failure always has output.
log=$1
shift
out=$(mktemp) || exit 1
trap 'rm -f "$out"' EXIT

attempt=1
while :; do
  /usr/lib/wine/wine64 "$@" >"$out" 2>&1
  rc=$?
  if [ "$rc" -eq 0 ] || [ -s "$out" ] || [ "$attempt" -ge 3 ]; then
    break
  fi
  echo "wine-run: $* exited with status $rc before printing anything (attempt $attempt); started again" |
    tee -a "$log" >&2
  attempt=$((attempt + 1))
done
cat "$out"
exit "$rc"
