#!/bin/sh
# Runs one Windows test program under Wine for ctest: wine-run.sh PROGRAM.exe ARGS...
#
# Under a loaded run, Wine now and then fails to start a process: wine64 exits non-zero
# within milliseconds and prints nothing, so the program never reached main. That is the
# emulator failing, not a test failing, and it made whole CI runs red. The program's output
# is kept aside; a run that failed before printing a single byte is started again (at most
# twice more), and each restart is reported on stderr so it stays visible in the log. A run
# that printed anything, passing or failing, is reported as it was: GoogleTest flushes its
# banner before any test body runs, so a real test failure always has output.
out=$(mktemp) || exit 1
trap 'rm -f "$out"' EXIT

attempt=1
while :; do
  /usr/lib/wine/wine64 "$@" >"$out" 2>&1
  rc=$?
  if [ "$rc" -eq 0 ] || [ -s "$out" ] || [ "$attempt" -ge 3 ]; then
    break
  fi
  echo "wine-run: $1 exited with status $rc before printing anything (attempt $attempt); starting it again" >&2
  attempt=$((attempt + 1))
done
cat "$out"
exit "$rc"
