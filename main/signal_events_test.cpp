// The signal plumbing of the main loop: what the handler records, when it
// ends the process itself, and SIGPIPE no longer being fatal. Handlers are
// process-wide, so every test puts the defaults back.
#include "main/signal_events.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace {

class SignalEvents : public ::testing::Test {
 protected:
  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    std::string err;
    ASSERT_TRUE(jyx::installSignalHandlers(&err)) << err;
  }
  void TearDown() override { jyx::resetSignalHandlersForTest(); }
};

TEST(SignalLine, Format) {
  const std::pair<int, const char*> cases[] = {{1, "exception signal: 1\n"},
                                               {2, "exception signal: 2\n"},
                                               {15, "exception signal: 15\n"},
                                               {64, "exception signal: 64\n"}};
  for (const auto& c : cases) {
    char buf[32];
    int n = jyx::formatSignalLine(c.first, buf, sizeof(buf));
    EXPECT_EQ(std::string(c.second), std::string(buf, size_t(n)));
  }
  char tiny[8];
  int n = jyx::formatSignalLine(15, tiny, sizeof(tiny));
  EXPECT_EQ(7, n);
  EXPECT_EQ('\0', tiny[7]);
}

TEST_F(SignalEvents, DeferredSignalsAreRecordedForTheLoop) {
  jyx::setSignalsDeferred(true);
  EXPECT_EQ(0, jyx::waitForSignal(0));
  raise(SIGHUP);
  EXPECT_EQ(1, jyx::deferredSignalCount());
  EXPECT_EQ(SIGHUP, jyx::waitForSignal(1000));
  EXPECT_EQ(0, jyx::waitForSignal(0)) << "taken once";
  // The second signal is recorded, interrupts nothing, and is reported.
  raise(SIGINT);
  EXPECT_EQ(2, jyx::deferredSignalCount());
  EXPECT_EQ(SIGINT, jyx::waitForSignal(0));
}

TEST_F(SignalEvents, ThirdDeferredSignalEndsTheProcess) {
  EXPECT_EXIT(
      {
        jyx::setSignalsDeferred(true);
        raise(SIGINT);
        raise(SIGINT);
        raise(SIGTERM);
        _exit(99);  // not reached
      },
      ::testing::ExitedWithCode(SIGTERM), "");
}

TEST_F(SignalEvents, ImmediateModeExitsWithTheSignalNumber) {
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    EXPECT_EXIT(
        {
          raise(sig);
          _exit(99);  // not reached
        },
        ::testing::ExitedWithCode(sig), "");
  }
}

TEST_F(SignalEvents, WriteToAClosedPipeFailsInsteadOfKilling) {
  int fds[2];
  ASSERT_EQ(0, pipe(fds));
  close(fds[0]);
  EXPECT_FALSE(jyx::brokenPipeSeen());
  errno = 0;
  EXPECT_EQ(-1, write(fds[1], "x", 1));
  EXPECT_EQ(EPIPE, errno);
  EXPECT_TRUE(jyx::brokenPipeSeen());
  close(fds[1]);
}

}  // namespace
