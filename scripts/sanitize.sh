#!/usr/bin/env bash
# The suite under sanitizers, in build directories of their own:
#  - the library, the stand-in host and the tests with AddressSanitizer and
#    UndefinedBehaviorSanitizer; every report fails the run;
#  - the native stress driver over the fake JNI with ThreadSanitizer (the JVM cannot run under it),
#    on the simulated world and, inside a throwaway realm, sign-ons of many threads on the system
#    world's GSSAPI, and in a throwaway domain, account lookups of many threads at once.
set -euo pipefail
cd "$(dirname "$0")/.."
asan=${QUENTREL_ASAN_BUILD_DIR:-build-asan}
tsan=${QUENTREL_TSAN_BUILD_DIR:-build-tsan}
jobs=$(nproc)

cmake -S . -B "$asan" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUENTREL_SANITIZE=address,undefined >/dev/null
cmake --build "$asan" -j"$jobs" --target quentrel_tests quentrel_native_tests quentrel_sweep >/dev/null
# HotSpot takes SIGSEGV for its own null checks and safepoints, so the sanitizer leaves that signal
# to it. The JVM's one known report is suppressed by its frames (tests/sanitize/lsan.supp).
export ASAN_OPTIONS="handle_segv=0:allow_user_segv_handler=1:detect_leaks=1:abort_on_error=1"
export LSAN_OPTIONS="suppressions=$PWD/tests/sanitize/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
# LeakSanitizer stops every thread to scan for leaks at exit. With a JVM's threads coming and
# going on a busy machine, its own tracer can crash ("LeakSanitizer has encountered a fatal
# error"), which says nothing of the code under test: the tests that failed so, and only so, run
# again (below). A report of a leak, a memory error or undefined behaviour is never run again.
log="$asan/sanitize-ctest.log"
# Whether a failed run failed only by LeakSanitizer's own tracer: no report of the code's.
tracer_only() {
  grep -q 'LeakSanitizer has encountered a fatal error' "$1" &&
    ! grep -qE 'ERROR: (AddressSanitizer|LeakSanitizer: detected)|runtime error:' "$1"
}
status=0
ctest --test-dir "$asan" -R '^(jvm|native|sweep|Fresh.*)$' --output-on-failure 2>&1 | tee "$log" || status=$?
# The tracer crashes in some runs of a test that starts a JVM (about one in two for one of them,
# whatever the load): such a test runs again, twice at most, and if the tracer fails every time,
# once more without the leak check, so that memory errors and undefined behaviour are still
# checked and the run says which test went without it.
for attempt in 1 2 3; do
  [ "$status" -eq 0 ] && break
  tracer_only "$log" || exit "$status"
  status=0
  if [ "$attempt" -lt 3 ]; then
    echo "LeakSanitizer's tracer failed, not a test: those tests once more"
    ctest --test-dir "$asan" --rerun-failed --output-on-failure 2>&1 | tee "$log" || status=$?
  else
    echo "LeakSanitizer's tracer failed three times: those tests without the leak check"
    ASAN_OPTIONS="$ASAN_OPTIONS:detect_leaks=0" ctest --test-dir "$asan" --rerun-failed --output-on-failure 2>&1 |
      tee "$log" || status=$?
    [ "$status" -eq 0 ] || exit "$status"
  fi
done

cmake -S . -B "$tsan" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUENTREL_SANITIZE=thread >/dev/null
cmake --build "$tsan" -j"$jobs" --target quentrel_native_tests quentrel_native_system_tests >/dev/null
# Two reports from below the library are suppressed by name (tests/sanitize/tsan.supp): locks inside
# glibc and nss_wrapper that the sanitizer cannot see.
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/tests/sanitize/tsan.supp"
QUENTREL_STRESS_SECONDS=${QUENTREL_STRESS_SECONDS:-5} \
  "$tsan/tests/quentrel_native_tests" --gtest_filter='NativeStress.*:NativeEntryTest.*'
# The realm's nss_wrapper binds libc with RTLD_DEEPBIND unless told not to, which no sanitizer allows.
NSS_WRAPPER_DISABLE_DEEPBIND=1 QUENTREL_STRESS_REALM=1 QUENTREL_STRESS_SECONDS=${QUENTREL_STRESS_SECONDS:-5} \
  tests/kdc/with-realm.sh \
  "$tsan/tests/quentrel_native_system_tests" --gtest_filter='NativeStress.SignOns*:ReplayTable.*'
# Account lookups of several threads at once, each on a directory connection of its own, in a
# throwaway domain as a member host with only its keytab.
NSS_WRAPPER_DISABLE_DEEPBIND=1 QUENTREL_STRESS_DOMAIN=1 tests/ad/with-domain.sh tests/ad/member-host.sh keytab \
  "$tsan/tests/quentrel_native_system_tests" --gtest_filter='NativeStress.Domain*'
