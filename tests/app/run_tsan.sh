#!/bin/sh
# Runs the task queue, transfer driver, upload and TLS window tests under
# ThreadSanitizer and fails when a report names the project's own code as one
# of the racing accesses.
# Qt itself is not built with the sanitizer: its internal threads and event
# queue produce reports whose racing accesses lie inside Qt; those are listed
# by count, not failed on.
# Usage: tests/app/run_tsan.sh <build dir configured with -DQFTP_SANITIZE=thread>
set -eu
build=${1:?build directory}
log=$(mktemp)
trap 'rm -f "$log"' EXIT
QT_QPA_PLATFORM=offscreen TSAN_OPTIONS="halt_on_error=0 exitcode=0" \
  "$build/tests/app_tests" \
  --gtest_filter='LocalName*:DownloadRequest*:LocalPathFor*:TaskUrl*:OnTaskEvent*:Driver*:ParallelRows*:Upload*:Servers/UploadRealServer.*/pyftpdlib:TlsWindow*:Servers/TlsRealServer.*' >"$log" 2>&1 || {
  tail -40 "$log"; echo "tests failed"; exit 1; }
grep -E '^\[  (PASSED|FAILED)' "$log"
total=$(grep -c 'WARNING: ThreadSanitizer' "$log" || true)
ours=$(grep -A1 -E '^  (Write|Read|Previous write|Previous read|Atomic)' "$log" |
  grep -cE '^    #0 .*/(app|toolkit|downlib)/[a-z_]+\.(cpp|h):' || true)
echo "ThreadSanitizer reports: $total in all, $ours with an access in the project's code"
[ "$ours" -eq 0 ]
