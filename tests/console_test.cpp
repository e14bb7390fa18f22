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

#include "test_util.h"

namespace {

std::string jyx() { return jyxtest::binPath("jyx"); }

// One field of /proc/<pid>/status ("SigCgt", ...), empty when gone.
std::string procStatus(pid_t pid, const std::string& field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.compare(0, field.size() + 1, field + ":") == 0) {
      size_t start = line.find_first_not_of(" \t", field.size() + 1);
      return start == std::string::npos ? "" : line.substr(start);
    }
  }
  return "";
}

bool catches(pid_t pid, int sig) {
  std::string mask = procStatus(pid, "SigCgt");
  if (mask.empty()) return false;
  return (std::stoull(mask, nullptr, 16) >> (sig - 1)) & 1;
}

// Sends `sig` to a jyx run that is certainly past installing its handlers
// and not yet finished: the child is stopped first, so the signal is
// handled the moment it continues. Returns false when the run ended before
// it could be caught (the caller retries).
bool signalRunningJyx(jyxtest::Subprocess* p, int sig) {
  for (int i = 0; i < 500 && !catches(p->pid(), sig); ++i) {
    if (!p->running()) return false;
    usleep(2000);
  }
  if (!catches(p->pid(), sig)) return false;
  p->signal(SIGSTOP);
  for (int i = 0; i < 500; ++i) {
    std::string state = procStatus(p->pid(), "State");
    if (state.empty() || state[0] == 'Z') return false;  // ended first
    if (state[0] == 'T') break;
    usleep(2000);
  }
  p->signal(sig);
  p->signal(SIGCONT);
  return true;
}

}  // namespace

TEST(JyxEntryTest, NoArgumentsPrintsTheHelp) {
  int code = -1;
  std::string out = jyxtest::run({jyx()}, &code);
  EXPECT_EQ(0, code);
  EXPECT_EQ(0u, out.find("    v.2025.08.11\n"));
  EXPECT_NE(std::string::npos, out.find("--jyx <options ... >"));
  int helpCode = -1;
  EXPECT_EQ(out, jyxtest::run({jyx(), "-h"}, &helpCode));
  EXPECT_EQ(0, helpCode);
  EXPECT_EQ(out, jyxtest::run({jyx(), "--jyx", "--help"}));
  EXPECT_EQ(out, jyxtest::run({jyx(), "-q"}));  // unlisted option
}

TEST(JyxEntryTest, VersionOnly) {
  int code = -1;
  EXPECT_EQ("v.2025.08.11\n", jyxtest::run({jyx(), "-v"}, &code));
  EXPECT_EQ(0, code);
  EXPECT_EQ("v.2025.08.11\n", jyxtest::run({jyx(), "--jyx", "-i", "img", "--version"}));
}

TEST(JyxEntryTest, ReleaseToolHandOffPrintsNothing) {
  int code = -1;
  std::string err;
  EXPECT_EQ("", jyxtest::run({jyx(), "--release-tool", "x", "y"}, &code, 60000, &err));
  EXPECT_EQ(0, code);
  EXPECT_EQ("", err);
}

TEST(JyxEntryTest, ToolsMissingFromThisBuildSaySo) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{jyx(), "--flash-tool", "-h"}, "the flash tool is not available in this build\n"},
      {{jyx(), "--fct-tool"}, "the FCT tool is not available in this build\n"},
      {{jyx(), "--release-tool", "--gpt", "-l", "disk.img"},
       "the GPT disk tool is not available in this build\n"},
  };
  for (const auto& c : cases) {
    int code = -1;
    EXPECT_EQ(c.second, jyxtest::run(c.first, &code)) << c.first[1];
    EXPECT_EQ(0, code) << c.first[1];
  }
}

TEST(JyxEntryTest, RefusedControllerEndsTheRun) {
  // Both managers report their refused connect (the channel text carries its
  // own line end), then the console gives up.
  const std::string expected =
      "errno:111\nerror-log-manager: tcp-client: connect socket error!\n\n"
      "errno:111\nerror-data-manager: tcp-client: connect socket error!\n\n"
      "socket connect 127.0.6.1 fail\n";
  int code = -1;
  EXPECT_EQ(expected, jyxtest::run({jyx(), "-a", "127.0.6.1", "--power-on"}, &code));
  EXPECT_EQ(0, code);
  // The same options after "--jyx" behave the same.
  code = -1;
  EXPECT_EQ(expected, jyxtest::run({jyx(), "--jyx", "-a", "127.0.6.1", "--power-on"}, &code));
  EXPECT_EQ(0, code);
}

TEST(JyxEntryTest, InterruptExitsWithTheSignalNumber) {
  for (int sig : {SIGINT, SIGTERM}) {
    bool caught = false;
    // A run lasts about a second (the managers' start-up pause); a loaded
    // machine may miss that window, so a few attempts are allowed.
    for (int attempt = 0; attempt < 5 && !caught; ++attempt) {
      jyxtest::Subprocess p;
      ASSERT_TRUE(p.start({jyx(), "-a", "127.0.6.2", "--power-on"}));
      if (!signalRunningJyx(&p, sig)) continue;
      ASSERT_TRUE(p.wait(20000));
      caught = true;
      EXPECT_EQ(sig, p.exitCode());
      EXPECT_EQ(0, p.termSignal());
      EXPECT_NE(std::string::npos, p.out().find("exception signal: " + std::to_string(sig) + "\n"))
          << p.out();
    }
    EXPECT_TRUE(caught) << "jyx always ended before signal " << sig << " could be sent";
  }
}
