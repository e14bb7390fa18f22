// End-to-end checks of the jyx entry: help, version, the release-tool
// hand-off and the signal exit.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "sim_util.h"
#include "test_util.h"

namespace {

std::string jyxBin() { return jyxtest::binPath("jyx"); }

}  // namespace

TEST(JyxEntryTest, NoArgumentsPrintsTheHelp) {
  int code = -1;
  std::string out = jyxtest::run({jyxBin()}, &code);
  EXPECT_EQ(0, code);
  EXPECT_EQ(0u, out.find("    v.2025.08.11\n"));
  EXPECT_NE(std::string::npos, out.find("--jyx <options ... >"));
  int helpCode = -1;
  EXPECT_EQ(out, jyxtest::run({jyxBin(), "-h"}, &helpCode));
  EXPECT_EQ(0, helpCode);
  EXPECT_EQ(out, jyxtest::run({jyxBin(), "--jyx", "--help"}));
  EXPECT_EQ(out, jyxtest::run({jyxBin(), "-q"}));  // unlisted option
}

TEST(JyxEntryTest, VersionOnly) {
  int code = -1;
  EXPECT_EQ("v.2025.08.11\n", jyxtest::run({jyxBin(), "-v"}, &code));
  EXPECT_EQ(0, code);
  EXPECT_EQ("v.2025.08.11\n", jyxtest::run({jyxBin(), "--jyx", "-i", "img", "--version"}));
}

TEST(JyxEntryTest, ReleaseToolHandOffPrintsNothing) {
  int code = -1;
  std::string err;
  EXPECT_EQ("", jyxtest::run({jyxBin(), "--release-tool", "x", "y"}, &code, 60000, &err));
  EXPECT_EQ(0, code);
  EXPECT_EQ("", err);
}

TEST(JyxEntryTest, RefusedControllerEndsTheRun) {
  // Both managers report their refused connect (the channel text carries its
  // own line end), then the console gives up.
  const std::string expected =
      "errno:111\nerror-log-manager: tcp-client: connect socket error!\n\n"
      "errno:111\nerror-data-manager: tcp-client: connect socket error!\n\n"
      "socket connect 127.0.6.1 fail\n";
  int code = -1;
  EXPECT_EQ(expected, jyxtest::run({jyxBin(), "-a", "127.0.6.1", "--power-on"}, &code));
  EXPECT_EQ(0, code);
}

TEST(JyxEntryTest, InterruptExitsWithTheSignalNumber) {
  // A log stream runs until it is interrupted, so the signal always meets a
  // running program.
  jyxtest::SimProcess sim;
  ASSERT_TRUE(sim.start("127.0.6.2")) << sim.lastError();
  for (int sig : {SIGINT, SIGTERM}) {
    jyxtest::Subprocess p;
    ASSERT_TRUE(p.start({jyxBin(), "-a", "127.0.6.2", "--switch-uart", "0"}));
    ASSERT_TRUE(p.waitForOutput("switchUart OK\n", 20000)) << p.out();
    p.signal(sig);
    ASSERT_TRUE(p.wait(20000));
    EXPECT_EQ(sig, p.exitCode());
    EXPECT_EQ(0, p.termSignal());
    EXPECT_NE(std::string::npos, p.out().find("exception signal: " + std::to_string(sig) + "\n"))
        << p.out();
  }
}
