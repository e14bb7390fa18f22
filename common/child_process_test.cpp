#include "common/child_process.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

namespace {

double secondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

TEST(ChildProcessTest, ArgumentsReachTheProgramAsTheyAreWithoutAShell) {
  std::string out, err;
  ASSERT_TRUE(jyx::runCaptured({"printf", "%s|", "a b", "$(id)", "'", "; echo x"}, {}, &out, &err))
      << err;
  EXPECT_EQ("a b|$(id)|'|; echo x|", out);
}

TEST(ChildProcessTest, FailuresNameTheProgramAndTheReason) {
  struct Case {
    std::vector<std::string> argv;
    const char* reason;
  };
  const Case cases[] = {
      {{"sh", "-c", "echo partial; echo 'it broke' >&2; exit 3"},
       "sh: failed (exit status 3): it broke"},
      {{"sh", "-c", "kill -9 $$"}, "sh: ended by signal 9"},
      {{"no-such-program-anywhere"}, "no-such-program-anywhere: program not found"},
  };
  for (const Case& c : cases) {
    std::string out, err;
    EXPECT_FALSE(jyx::runCaptured(c.argv, {}, &out, &err));
    EXPECT_EQ(c.reason, err);
  }
  std::string out, err;
  jyx::runCaptured({"sh", "-c", "echo partial; exit 1"}, {}, &out, &err);
  EXPECT_EQ("partial\n", out);  // what came before the failure is kept
}

TEST(ChildProcessTest, TheDeadlineKillsTheWholeGroup) {
  // The background sleep keeps the output pipe open: without the group kill
  // the read would wait for it too.
  jyx::CaptureLimits limits;
  limits.totalSeconds = 0.5;
  std::string out, err;
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(
      jyx::runCaptured({"sh", "-c", "echo started; sleep 30 & sleep 30"}, limits, &out, &err));
  EXPECT_LT(secondsSince(start), 5.0);
  EXPECT_EQ("sh: no result within 0.5 s, stopped", err);
  EXPECT_EQ("started\n", out);
}

TEST(ChildProcessTest, OutputBeyondTheLimitStopsTheProgram) {
  jyx::CaptureLimits limits;
  limits.maxOutput = 100000;
  std::string out, err;
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(jyx::runCaptured({"cat", "/dev/zero"}, limits, &out, &err));
  EXPECT_LT(secondsSince(start), 5.0);
  EXPECT_EQ("cat: output larger than 100000 bytes, stopped", err);
  EXPECT_LE(out.size(), limits.maxOutput);
}

}  // namespace
