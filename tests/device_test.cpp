// End to end: the real jyx binary against a real jyx-sim, one loopback
// address per test. Requests on the wire and their spacing are read from the
// simulator's ops log.
#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <vector>

#include "sim_util.h"
#include "test_util.h"

namespace jyxtest {
namespace {

using Sets = std::vector<std::pair<int, int>>;
const Sets kPowerOn = {{68, 1}, {72, 1}, {72, 0}, {72, 1}};

class DeviceE2E : public SimE2E {
 protected:
  Sets gpioSets() {
    Sets out;
    for (const OpsRecord& op : received("GPIO_CTRL")) {
      out.push_back({static_cast<int>(op.num("gpio")), static_cast<int>(op.num("level"))});
    }
    return out;
  }

  bool targetReached(const std::string& state) {
    return sim_.waitForOp(
        [&](const OpsRecord& op) {
          return op.str("event") == "target_state" && op.str("to") == state;
        },
        10000);
  }
};

TEST_F(DeviceE2E, PowerOnPostCodesGpioAndFastbootMode) {
  startSim("127.0.3.10");
  int code = -1;
  EXPECT_EQ(jyx({}, &code), "IP address: 127.0.3.10\n");
  EXPECT_EQ(jyx({"--power-on"}, &code), "");
  EXPECT_EQ(code, 0);
  EXPECT_EQ(gpioSets(), kPowerOn);
  std::vector<OpsRecord> rx = received("GPIO_CTRL");
  ASSERT_EQ(rx.size(), 4u);
  for (size_t i = 1; i < rx.size(); ++i) EXPECT_GE(rx[i].timeUs - rx[i - 1].timeUs, 500000u);
  ASSERT_TRUE(targetReached("running"));

  std::string out = jyx({"--postcode"}, &code);
  EXPECT_EQ(code, 0);
  std::string codes;
  for (const OpsRecord& op : sim_.ops()) {
    if (op.dir == "tx" && !op.str("codes").empty()) codes = op.str("codes");
  }
  ASSERT_FALSE(codes.empty());
  ASSERT_EQ(codes.size() % 4, 0u);
  std::string expected = "--get post code: len(" + std::to_string(codes.size() / 2) + ")\n";
  for (size_t i = 0; i < codes.size(); i += 4) expected += (i ? " 0x" : "0x") + codes.substr(i, 4);
  EXPECT_EQ(out, expected + "\n");

  EXPECT_EQ(jyx({"--setio", "70", "-p", "1"}, &code), "GPIO_SET io(70) to 1.\n");
  EXPECT_EQ(jyx({"--getio", "70"}, &code), "GPIO_GET 70 is 1.\n");
  EXPECT_EQ(jyx({"-N", "70", "-p", "0"}, &code), "GPIO_SET io(70) to 0.\n");
  EXPECT_EQ(jyx({"-M", "70"}, &code), "GPIO_GET 70 is 0.\n");
  // The target runs: SYS_PWRGD reads high.
  EXPECT_EQ(jyx({"-M", "22"}, &code), "GPIO_GET 22 is 1.\n");
  EXPECT_EQ(code, 0);
  Sets all = gpioSets();
  ASSERT_EQ(all.size(), 9u);

  // Into fastboot mode and out again: power off, POWER_BTN2 low (high to
  // leave) and the power-on pulses.
  EXPECT_EQ(jyx({"--enter-fastboot"}, &code), "");
  EXPECT_EQ(code, 0);
  all.insert(all.end(), {{68, 0}, {78, 0}});
  all.insert(all.end(), kPowerOn.begin(), kPowerOn.end());
  EXPECT_EQ(gpioSets(), all);
  EXPECT_TRUE(targetReached("fastboot"));
  EXPECT_EQ(jyx({"--exit-fastboot"}, &code), "");
  all.insert(all.end(), {{68, 0}, {78, 1}});
  all.insert(all.end(), kPowerOn.begin(), kPowerOn.end());
  EXPECT_EQ(gpioSets(), all);
}

TEST_F(DeviceE2E, AckFailInTheMiddleOfPowerOnIsPrintedAndTheSequenceGoesOn) {
  startSim("127.0.3.11", {"--fail", "GPIO_CTRL:2"});
  int code = -1;
  EXPECT_EQ(jyx({"-U"}, &code), "CJYXDataManager::onPackage, cmdType(DEVICE_ACK) ACK_FAIL.\n");
  EXPECT_EQ(code, 0);
  EXPECT_EQ(gpioSets(), kPowerOn);
}

TEST_F(DeviceE2E, LinkClosedInTheMiddleOfPowerOnEndsTheRun) {
  startSim("127.0.3.12", {"--close-after", "2"});
  int code = -1;
  std::string out = jyx({"--power-on"}, &code, 20000);
  EXPECT_EQ(code, 0);
  // Normally the closed link is noticed during the pause and the next step
  // is refused; on a slow machine the next step may already be on its way
  // into the dead link, and then fails as a step.
  const std::string closed = "error-data-manager: tcp: the controller closed the connection!\n\n";
  EXPECT_TRUE(out == closed + "jyx.data(gpio): channel is not valid.\n" ||
              out == closed + "PWR_BTN: FAIL (num:72, level:0)\n")
      << out;
  EXPECT_EQ(gpioSets(), Sets({{68, 1}, {72, 1}}));
}

TEST_F(DeviceE2E, SwitchUartStreamsTheChosenUartUntilInterrupted) {
  startSim("127.0.3.15", {"--target-state", "running", "--pm-heartbeat-ms", "200"});
  Subprocess jyxRun;
  ASSERT_TRUE(jyxRun.start({binPath("jyx"), "-a", address_, "--switch-uart", "2"}));
  ASSERT_TRUE(jyxRun.waitForOutput("switchUart OK\n", 15000)) << jyxRun.out();
  ASSERT_TRUE(jyxRun.waitForOutput("CSU_PM: status", 15000)) << jyxRun.out();
  jyxRun.signal(SIGINT);
  ASSERT_TRUE(jyxRun.wait(10000));
  EXPECT_EQ(jyxRun.exitCode(), 2);
  std::string out = jyxRun.out();
  EXPECT_FALSE(has(out, "SFH:"));
  EXPECT_FALSE(has(out, "UEFI"));
  EXPECT_TRUE(has(out, "exception signal: 2\n"));
  EXPECT_EQ(gpioSets(), Sets({{65, 1}, {64, 0}}));
  EXPECT_EQ(received("UART_CTRL").size(), 2u);
}

TEST_F(DeviceE2E, LogLinesVerbatimThenForwardingOffAndTwoLineStrings) {
  startSim("127.0.3.16", {"--target-state", "running", "--pm-heartbeat-ms", "0"});
  // Forwarding on (UEFI console), then a second run types two commands.
  Subprocess stream;
  ASSERT_TRUE(stream.start({binPath("jyx"), "-a", address_, "-X", "0"}));
  ASSERT_TRUE(stream.waitForOutput("switchUart OK\n", 15000)) << stream.out();
  stream.signal(SIGINT);
  ASSERT_TRUE(stream.wait(10000));
  size_t selects = gpioSets().size();
  size_t uarts = received("UART_CTRL").size();

  int code = -1;
  std::string out = jyx({"-s", "echo load 100%d %s\\nversion"}, &code);
  EXPECT_EQ(code, 0);
  // The log text and the tool's own line come on different links: either order.
  EXPECT_TRUE(has(out, "\nload 100%d %s\r\n"));
  EXPECT_TRUE(has(out, "sendStringCmd (echo load 100%d %s\nversion) OK\n"));

  // -X takes an unsigned number: -1 is written as 0xffffffff.
  jyx({"-X", "0xffffffff"}, &code);
  EXPECT_EQ(code, 0);
  // The tool may exit before the simulator has logged its last request.
  std::vector<OpsRecord> uart;
  waitUntil([&] { return (uart = received("UART_CTRL")).size() > uarts; }, 10000);
  ASSERT_EQ(uart.size(), uarts + 1);
  EXPECT_EQ(uart.back().num("enable"), 0);
  EXPECT_EQ(gpioSets().size(), selects);

  // With forwarding off only the tool's own line is printed.
  EXPECT_EQ(jyx({"-s", "ls\\nboot"}, &code), "sendStringCmd (ls\nboot) OK\n");
  EXPECT_EQ(code, 0);
  std::vector<OpsRecord> strings = received("STRING_CMD");
  ASSERT_EQ(strings.size(), 2u);
  EXPECT_EQ(strings[0].str("text"), "echo load 100%d %s\nversion\n");
  EXPECT_EQ(strings[1].str("text"), "ls\nboot\n");
}

}  // namespace
}  // namespace jyxtest
