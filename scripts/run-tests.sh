#!/usr/bin/env bash
# Runs the test suites of every configured build, then prints one total line and fails if
# any suite failed. Usage: run-tests.sh BUILD_ROOT
set -uo pipefail
root=${1:-build}
jobs=$(nproc)
failed_suites=()
passed_total=0
failed_total=0
log=$(mktemp)
trap 'rm -f "$log"' EXIT

run() {  # name, ctest arguments...
  local name=$1; shift
  echo "== tests: $name =="
  ctest "$@" --output-on-failure 2>&1 | tee "$log"
  local rc=${PIPESTATUS[0]}
  # "100% tests passed, 0 tests failed out of 42"
  local line failed total
  line=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -n 1)
  if [ -n "$line" ]; then
    failed=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\1/' <<<"$line")
    total=$(sed -E 's/.* tests failed out of ([0-9]+).*/\1/' <<<"$line")
    passed_total=$((passed_total + total - failed))
    failed_total=$((failed_total + failed))
  fi
  if [ "$rc" -ne 0 ] || [ -z "$line" ]; then failed_suites+=("$name"); fi
}

run linux    --test-dir "$root/linux" -j "$jobs"
rm -f "$root/windows/wine-run-restarts.log"
run windows  --test-dir "$root/windows" -j "$((jobs * 2))"
if [ -s "$root/windows/wine-run-restarts.log" ]; then
  echo "Wine failed to start these programs and they were started again:"
  cat "$root/windows/wine-run-restarts.log"
fi
run sanitize --test-dir "$root/sanitize" -j "$jobs"
# Only the tests built for ThreadSanitizer (TSAN_TARGETS in the Makefile).
run tsan     --test-dir "$root/tsan" -j "$jobs" -R '^(hosts/driver_|driver_lifecycle_fake|nat_concurrency|proxy_io_completion_port|proxy_tcp_relay|proxy_udp_relay|proxy_socks5_udp_relay|dns_message|dns_reply_frame|dns_pending_queries|dns_forwarder\.|proxy_tcp_redirect|proxy_udp_redirect|proxy_gateway\.)'

echo
if [ ${#failed_suites[@]} -ne 0 ]; then
  echo "FAILED suites: ${failed_suites[*]}"
  echo "tests: $passed_total passed, $failed_total failed"
  exit 1
fi
echo "tests: $passed_total passed, $failed_total failed"
