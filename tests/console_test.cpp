// End-to-end checks of the jyx entry: help, version, the release-tool
// hand-off and a refused controller. The signal exit of a run is in
// device_test (SIGINT) and signal_test (SIGHUP, SIGTERM).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_util.h"

namespace {

using jyxtest::run;

const std::string kJyx = jyxtest::binPath("jyx");

TEST(JyxEntryTest, HelpVersionAndReleaseToolHandOff) {
  int code = -1;
  std::string help = run({kJyx}, &code);
  EXPECT_EQ(0, code);
  EXPECT_EQ(0u, help.find("    v.2025.08.11\n"));
  EXPECT_TRUE(jyxtest::has(help, "--jyx <options ... >"));
  // -q is an unlisted option.
  for (std::vector<std::string> args :
       {std::vector<std::string>{"-h"}, {"--jyx", "--help"}, {"-q"}}) {
    args.insert(args.begin(), kJyx);
    code = -1;
    EXPECT_EQ(help, run(args, &code)) << args[1];
    EXPECT_EQ(0, code) << args[1];
  }
  EXPECT_EQ("v.2025.08.11\n", run({kJyx, "-v"}, &code));
  EXPECT_EQ(0, code);
  EXPECT_EQ("v.2025.08.11\n", run({kJyx, "--jyx", "-i", "img", "--version"}));

  std::string err;
  EXPECT_EQ("", run({kJyx, "--release-tool", "x", "y"}, &code, 60000, &err));
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
  EXPECT_EQ(expected, run({kJyx, "-a", "127.0.6.1", "--power-on"}, &code));
  EXPECT_EQ(0, code);
}

}  // namespace
