// The stress driver over the fake JNI, one environment per thread: built with ThreadSanitizer in
// the test command, where the JVM cannot run.
#include <gtest/gtest.h>

#include <cstdlib>

#include "harness/native/stress.h"
#include "winhost/control.h"

namespace {

TEST(NativeStress, ThreadsOverEveryFamilyLeaveNothingHeld) {
  winhost::Reset();
  const std::map<std::string, int> before = winhost::LiveCounts();
  const char* seconds = std::getenv("QUENTREL_STRESS_SECONDS");
  const auto duration = std::chrono::milliseconds(static_cast<long>(1000 * std::atof(seconds ? seconds : "2")));
  native::StressResult result = native::RunStress<native::Session>(
      [] { return std::make_unique<native::Session>(); }, duration);
  native::ExpectStressEndedClean(result, before, "native stress");
}

// Sign-ons on the machine's own GSSAPI from several threads at once, inside the realm of
// tests/kdc/with-realm.sh (QUENTREL_STRESS_REALM set): the build of the system world runs it.
TEST(NativeStress, SignOnsOfManyThreadsOnTheSystemWorld) {
  if (std::getenv("QUENTREL_STRESS_REALM") == nullptr) GTEST_SKIP() << "needs a Kerberos realm";
  const std::map<std::string, int> before = winhost::LiveCounts();
  const char* seconds = std::getenv("QUENTREL_STRESS_SECONDS");
  const auto duration = std::chrono::milliseconds(static_cast<long>(1000 * std::atof(seconds ? seconds : "3")));
  for (const char16_t* package : {u"Kerberos", u"Negotiate"}) {
    native::StressResult result = native::RunSignOnStress<native::Session>(
        [] { return std::make_unique<native::Session>(); }, 4, package, u"HTTP/localhost", duration);
    native::ExpectStressEndedClean(result, before, "sign-on stress");
  }
}

}  // namespace
