// End to end: signals that end a run of the real jyx against the real
// jyx-sim. Each ends with the signal's number as status and, for a -d/-o
// power run, a complete data file; a reader that closes jyx's output ends it
// the same way; and after the controller restarts its session the UART log
// and the power samples come back.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "jyx/power/power_format.h"
#include "sim_util.h"
#include "test_util.h"

namespace jyxtest {
namespace {

// Every rail of a -m 0x... mask run.
const char kAllRails[] = "0xffffffffffffffffffffffff";

// The number of records of each sampled rail of a whole data file, or 0.
size_t completeDataFile(const std::string& path, std::string* why) {
  auto rails = readDataFile(path, why);
  return rails.empty() ? 0 : rails.begin()->second.size();
}

class SignalE2E : public SimE2E {
 protected:
  SignalE2E() { simArgs_ = {"--target-state", "running"}; }
};

// The save of a large run takes a while; the second Ctrl-C is sent the
// moment the first one is acknowledged, so it arrives while the data file is
// being written. It must neither cut the save short nor change the status.
TEST_F(SignalE2E, SecondInterruptDuringTheSaveLeavesACompleteDataFile) {
  startSim("127.0.13.1", {"--power-rate", "2000"});
  std::string out = dir_.file("run");
  Subprocess jyx;
  ASSERT_TRUE(
      jyx.start({binPath("jyx"), "-a", "127.0.13.1", "-m", kAllRails, "-d", "600", "-o", out}));
  // Three redraws: about six seconds of 96 rails at 2000 frames/s.
  ASSERT_TRUE(waitUntil([&] { return countOf(jyx.out(), "frames per second") >= 3; }, 60000))
      << jyx.out();
  jyx.signal(SIGINT);
  ASSERT_TRUE(jyx.waitForOutput("exception signal: 2\n", 20000));
  jyx.signal(SIGINT);
  ASSERT_TRUE(jyx.wait(60000));
  EXPECT_EQ(0, jyx.termSignal());
  EXPECT_EQ(2, jyx.exitCode());
  EXPECT_EQ(1u, countOf(jyx.out(), "exception signal:")) << "one orderly end";
  std::string why;
  EXPECT_GT(completeDataFile(out, &why), 5000u) << why;
  EXPECT_EQ('\n', readFile(out + ".raw_power.csv").back());
}

// The stop request has gone out and its reply is not there yet (the
// simulator drops it): the manager no longer samples, but nothing is saved.
TEST_F(SignalE2E, InterruptWhileSamplingStopsStillSaves) {
  startSim("127.0.13.2", {"--drop", "POWER_CTRL:2"});
  std::string out = dir_.file("run");
  Subprocess jyx;
  ASSERT_TRUE(jyx.start({binPath("jyx"), "-a", "127.0.13.2", "-m", "0xf", "-d", "2", "-o", out}));
  ASSERT_TRUE(sim_.waitForOp(
      [](const OpsRecord& r) {
        return r.dir == "rx" && r.cmd == "POWER_CTRL" && r.num("enable") == 0;
      },
      30000))
      << jyx.out();
  jyx.signal(SIGINT);
  ASSERT_TRUE(jyx.wait(30000));
  EXPECT_EQ(2, jyx.exitCode());
  EXPECT_TRUE(has(jyx.out(), "exception signal: 2\n"));
  std::string why;
  EXPECT_GT(completeDataFile(out, &why), 100u) << why;
}

// SIGHUP (terminal closed, ssh dropped) and SIGTERM end a run like SIGINT:
// data saved, the signal's number as status. And a reader that stops
// reading (`| head -n 1`) ends the log stream instead of leaving jyx writing
// into a closed pipe for ever.
TEST_F(SignalE2E, HangupTerminateAndAClosedOutputEndTheRun) {
  startSim("127.0.13.3", {"--pm-heartbeat-ms", "100"});
  for (int sig : {SIGHUP, SIGTERM}) {
    std::string out = dir_.file("run" + std::to_string(sig));
    Subprocess jyx;
    ASSERT_TRUE(
        jyx.start({binPath("jyx"), "-a", "127.0.13.3", "-m", "0xf", "-d", "600", "-o", out}));
    ASSERT_TRUE(jyx.waitForOutput("frames per second", 30000)) << jyx.out();
    jyx.signal(sig);
    ASSERT_TRUE(jyx.wait(30000)) << sig;
    EXPECT_EQ(0, jyx.termSignal()) << sig;
    EXPECT_EQ(sig, jyx.exitCode());
    EXPECT_TRUE(has(jyx.out(), "exception signal: " + std::to_string(sig) + "\n"));
    std::string why;
    EXPECT_GT(completeDataFile(out, &why), 100u) << sig << ": " << why;
  }
  const char* script =
      "\"$0\" -a 127.0.13.3 --switch-uart 2 | head -n 1 >/dev/null; "
      "echo \"status ${PIPESTATUS[0]}\"";
  int code = -1;
  EXPECT_EQ("status 13\n", run({"/bin/bash", "-c", script, binPath("jyx")}, &code, 30000));
  EXPECT_EQ(0, code);
}

// A flash read to a file that a Ctrl-C cuts short: the old file keeps its
// bytes and no half-written temporary file is left beside it.
TEST_F(SignalE2E, InterruptedReadLeavesTheOldDumpAndNoTemporary) {
  startSim("127.0.13.7", {"--read-us", "20000"});
  std::string out = dir_.file("dump.bin");
  ASSERT_TRUE(writeFile(out, "old"));
  Subprocess jyx;
  ASSERT_TRUE(
      jyx.start({binPath("jyx"), "-a", "127.0.13.7", "-r", "0", "-0", "0x100000", "-o", out}));
  ASSERT_TRUE(jyx.waitForOutput("reading: [", 30000)) << jyx.out();
  jyx.signal(SIGINT);
  ASSERT_TRUE(jyx.wait(20000));
  EXPECT_EQ(2, jyx.exitCode());
  EXPECT_FALSE(has(jyx.out(), "OK\n")) << jyx.out();
  EXPECT_EQ("old", readFile(out));
  for (const std::string& name : listDir(dir_.path()))
    EXPECT_TRUE(name == "dump.bin" || name.find("dump.bin") == std::string::npos) << name;
}

// The controller restarts its session right after forwarding was switched on
// (both links close, forwarding off). Once jyx has reconnected, the target's
// log flows again.
TEST_F(SignalE2E, ForwardingResumesAfterTheControllerResets) {
  // Four requests: UART_SEL1, UART_SEL0, forwarding off, forwarding on.
  startSim("127.0.13.5", {"--pm-heartbeat-ms", "100", "--reset-after", "4"});
  Subprocess jyx;
  ASSERT_TRUE(jyx.start({binPath("jyx"), "-a", "127.0.13.5", "--switch-uart", "2"}));
  ASSERT_TRUE(jyx.waitForOutput("--connect:127.0.13.5--\n", 30000)) << jyx.out();
  // Log lines after the reconnect, not only those before the reset.
  auto reconnected = [&jyx] {
    std::string text = jyx.out();
    size_t at = text.find("--connect:127.0.13.5--\n");
    return at != std::string::npos && text.find("CSU_PM: status", at) != std::string::npos;
  };
  EXPECT_TRUE(waitUntil(reconnected, 20000)) << jyx.out();
  EXPECT_FALSE(has(jyx.out(), "not restored"));
  // The controller saw forwarding switched on again after its reset.
  bool reset = false, onAgain = false;
  for (const OpsRecord& r : sim_.ops()) {
    if (r.dir != "event") continue;
    if (r.str("event") == "session_reset") reset = true;
    if (reset && r.str("event") == "uart_forwarding" && r.str("state") == "on") onAgain = true;
  }
  EXPECT_TRUE(reset);
  EXPECT_TRUE(onAgain);
  jyx.signal(SIGINT);
  ASSERT_TRUE(jyx.wait(20000));
  EXPECT_EQ(2, jyx.exitCode());
}

// The same reset during power monitoring: the table stops showing the last
// values as if they were live, says the link is lost, and comes back once
// jyx has reconnected and asked for samples again; the saved run holds
// samples from after the reset.
TEST_F(SignalE2E, PowerMonitorSaysTheLinkIsLostAndResumes) {
  // Two requests start sampling: PWRGRP low, then the power-control request.
  startSim("127.0.13.6", {"--reset-after", "2"});
  std::string out = dir_.file("run");
  Subprocess jyx;
  ASSERT_TRUE(jyx.start({binPath("jyx"), "-a", "127.0.13.6", "-m", "0xf", "-d", "14", "-o", out}));
  ASSERT_TRUE(jyx.wait(60000)) << jyx.out();
  EXPECT_EQ(0, jyx.exitCode());
  std::string text = jyx.out();
  size_t lost = text.find("power monitor: link to the controller lost, waiting for samples\n");
  ASSERT_NE(std::string::npos, lost) << text;
  size_t back = text.find("--connect:127.0.13.6--\n", lost);
  ASSERT_NE(std::string::npos, back) << text;
  EXPECT_NE(std::string::npos, text.find("Rail(s)", back)) << "the table is back";
  EXPECT_FALSE(has(text, "enablePower fail"));

  uint64_t resetUs = 0, resumedUs = 0;
  for (const OpsRecord& r : sim_.ops()) {
    if (r.dir == "event" && r.str("event") == "session_reset") resetUs = r.timeUs;
    if (resetUs && !resumedUs && r.dir == "rx" && r.cmd == "POWER_CTRL" && r.num("enable") == 1)
      resumedUs = r.timeUs;
  }
  EXPECT_NE(0u, resetUs);
  EXPECT_NE(0u, resumedUs) << "sampling requested again after the reset";
  std::string why;
  EXPECT_GT(completeDataFile(out, &why), 100u) << why;
}

}  // namespace
}  // namespace jyxtest
