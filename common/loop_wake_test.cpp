#include "common/loop_wake.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <thread>

namespace {

bool readable(int fd) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, 0) == 1 && (p.revents & POLLIN) != 0;
}

TEST(LoopWakeTest, WakeFromAnyThreadMakesTheDescriptorReadableUntilCleared) {
  int fd = jyx::mainLoopWakeFd();
  ASSERT_GE(fd, 0);
  EXPECT_EQ(fd, jyx::mainLoopWakeFd()) << "one descriptor for the process";
  jyx::clearMainLoopWake();
  EXPECT_FALSE(readable(fd));

  unsigned long before = jyx::mainLoopWakeCount();
  std::thread other([] {
    jyx::wakeMainLoop();
    jyx::wakeMainLoop();
  });
  other.join();
  EXPECT_TRUE(readable(fd));
  EXPECT_EQ(before + 2, jyx::mainLoopWakeCount());
  // Several wakes collapse into one readable state; one clear empties it.
  jyx::clearMainLoopWake();
  EXPECT_FALSE(readable(fd));
  jyx::clearMainLoopWake();  // clearing an empty descriptor does not block
  EXPECT_FALSE(readable(fd));
}

}  // namespace
