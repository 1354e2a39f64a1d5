#!/usr/bin/env bash
# Installs, builds and runs the whole test suite: plain, with AddressSanitizer + UndefinedBehaviorSanitizer,
# and the threaded units with ThreadSanitizer. Exits non-zero on any failure.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh" --test
VANTREL_TEST_POSTGRES=$("$root/scripts/start-postgres.sh")
export VANTREL_TEST_POSTGRES
export VANTREL_PG_CONTROL="$root/scripts/start-postgres.sh"

run_suite() {  # run_suite DIR SANITIZE [ctest arguments]
  local dir=$1 sanitize=$2
  shift 2
  echo "=== build ${sanitize:-plain}"
  "$root/scripts/build.sh" "$dir" "$sanitize"
  echo "=== test ${sanitize:-plain}"
  ctest --test-dir "$dir" --output-on-failure --timeout 120 "$@"
}

run_suite "$root/build" ""
ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_suite "$root/build-asan" address
# omniORB and the ODBC drivers are not built for ThreadSanitizer, so the TSan job covers our own threaded
# units on the embedded database.
VANTREL_TEST_POSTGRES= TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:suppressions=$root/tests/tsan.supp run_suite "$root/build-tsan" thread -L unit
