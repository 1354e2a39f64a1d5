#!/usr/bin/env bash
# Installs, builds and runs the whole test suite: plain, with AddressSanitizer + UndefinedBehaviorSanitizer,
# and the threaded units with ThreadSanitizer. Exits non-zero on any failure.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh" --test
VANTREL_TEST_POSTGRES=$("$root/scripts/start-postgres.sh")
export VANTREL_TEST_POSTGRES
export VANTREL_PG_CONTROL="$root/scripts/start-postgres.sh"

run_suite() {  # run_suite DIR SANITIZE TARGETS [ctest arguments]: TARGETS "all", or the test programs to build
  local dir=$1 sanitize=$2 targets=$3
  shift 3
  echo "=== build ${sanitize:-plain} $(date +%T)"
  if [ "$targets" = all ]; then
    "$root/scripts/build.sh" "$dir" "$sanitize"
  else
    # shellcheck disable=SC2086  # a list of target names
    "$root/scripts/build.sh" "$dir" "$sanitize" $targets
  fi
  echo "=== test ${sanitize:-plain} $(date +%T)"
  # Two at a time, but for the tests that load the machine or time what a person would see, and the shared
  # PostgreSQL server's: those run alone afterwards. Each SIP test has an RTP range of its own.
  local alone="PostgreSQL|RoutedTraffic|CallQueue|WebGateway|WebReports|SipPhones|SipStrangers|SipRestart|SipRecording|SipWebPhone|CallerExperienceSip|CallerMenuSip|CallbackSip|SipConference|SipPanelPhone|SipTls|SipMonitor"
  ctest --test-dir "$dir" --output-on-failure --timeout 120 -j2 -E "$alone" "$@"
  if [ -n "${VANTREL_TEST_POSTGRES:-}" ] || [ "$sanitize" != thread ]; then
    ctest --test-dir "$dir" --output-on-failure --timeout 120 -R "$alone" "$@"
  fi
}

# The plain build builds everything (the benchmarks too); the checking builds only what their tests run.
run_suite "$root/build" "" all
# The units ran one by one already; whether they also pass in one process the plain suite tells.
ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_suite "$root/build-asan" address "vantrel_unit_tests vantrel_remote_tests vantrel_export_tests" -LE one-process
# omniORB and the ODBC drivers are not built for ThreadSanitizer, so the TSan job covers our own threaded
# units on the embedded database (the load tests are not among the units).
VANTREL_TEST_POSTGRES= TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:suppressions=$root/tests/tsan.supp \
  run_suite "$root/build-tsan" thread vantrel_unit_tests -L unit -E "PostgreSQL"
echo "=== every suite passed $(date +%T)"
