// The stress driver over the fake JNI, one environment per thread: built with ThreadSanitizer in
// the test command, where the JVM cannot run.
#include <gtest/gtest.h>

#include <cstdlib>

#include "native/stress.h"
#include "winhost/control.h"

namespace {

TEST(NativeStress, ThreadsOverEveryFamilyLeaveNothingHeld) {
  winhost::SelectWorld(winhost::World::Simulated);
  winhost::Reset();
  const std::map<std::string, int> before = winhost::LiveCounts();
  const char* seconds = std::getenv("QUENTREL_STRESS_SECONDS");
  const auto duration = std::chrono::milliseconds(static_cast<long>(1000 * std::atof(seconds ? seconds : "2")));
  native::StressResult result = native::RunStress<native::Session>(
      [] { return std::make_unique<native::Session>(); }, duration);
  for (const std::string& failure : result.failures) ADD_FAILURE() << failure;
  EXPECT_GT(result.pairs, 10);
  EXPECT_GT(result.freedByOthers, 0);
  EXPECT_EQ(winhost::LiveCounts(), before) << "something is still held after every handle was freed";
  std::printf("native stress: %ld calls, %ld established pairs, %ld servers freed by another thread\n", result.calls,
              result.pairs, result.freedByOthers);
}

}  // namespace
