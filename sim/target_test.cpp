#include "sim/target.h"

#include <gtest/gtest.h>

namespace jyxsim {
namespace {

constexpr uint64_t kMs = 1000;

// Timing and console behaviour that the wire cannot observe precisely: the
// target is driven on a virtual clock in microseconds.
class SimTargetTest : public ::testing::Test {
 protected:
  SimTargetTest() : target_(config()) {
    target_.setStateListener([this](TargetState, TargetState to) { states_.push_back(to); });
  }
  static CSimTarget::Config config() {
    CSimTarget::Config c;
    c.bootMs = 100;
    c.pmHeartbeatMs = 0;
    return c;
  }
  void powerOn(uint64_t t) {
    for (uint8_t level : {1, 0, 1}) target_.setGpio(kGpioPwrBtn, level, t);
  }
  std::string uart(int n) {
    std::string s;
    target_.takeUartOutput(n, &s);
    return s;
  }
  uint8_t level(uint16_t num) {
    uint8_t l = 9;
    EXPECT_TRUE(target_.readGpio(num, &l));
    return l;
  }
  CSimTarget target_;
  std::vector<TargetState> states_;
};

TEST_F(SimTargetTest, BootHoldsApuResetForATenthAndReportsStatesInOrder) {
  target_.setGpio(kGpioPwrOff, 1, 0);
  powerOn(0);
  target_.advance(5 * kMs);
  EXPECT_EQ(level(kGpioApuRst), 0) << "held during the first tenth of the boot";
  target_.advance(50 * kMs);
  EXPECT_EQ(level(kGpioApuRst), 1);
  EXPECT_EQ(target_.state(), TargetState::kBooting);
  target_.advance(100 * kMs);
  EXPECT_EQ(target_.state(), TargetState::kRunning);
  EXPECT_EQ(level(kGpioSlpS3), 1);
  EXPECT_EQ(target_.nextEventUs(), UINT64_MAX) << "nothing scheduled once running";
  EXPECT_EQ(states_, (std::vector<TargetState>{TargetState::kOn, TargetState::kBooting,
                                               TargetState::kRunning}));
  // A held warm reset does not boot until released.
  uint32_t boots = target_.bootCount();
  target_.setGpio(kGpioWarmRst, 0, 200 * kMs);
  target_.advance(400 * kMs);
  EXPECT_EQ(target_.bootCount(), boots);
  target_.setGpio(kGpioWarmRst, 1, 400 * kMs);
  EXPECT_EQ(target_.bootCount(), boots + 1);
  target_.setGpio(kGpioPwrOff, 0, 500 * kMs);
  EXPECT_EQ(level(kGpioSlpS5), 0);
  EXPECT_EQ(states_.back(), TargetState::kOff);
}

TEST_F(SimTargetTest, ShellAnswersOnTheUartTypedOnAndPowerBtn2LowBootsIntoFastboot) {
  target_.setGpio(kGpioPwrOff, 1, 0);
  powerOn(0);
  target_.advance(150 * kMs);
  for (int u = 0; u < kUartCount; ++u) uart(u);
  target_.consoleInput(kUartCsuSe, "echo hello world\nnosuch\n", 160 * kMs);
  std::string out = uart(kUartCsuSe);
  EXPECT_NE(out.find("echo hello world\r\nhello world\r\ntarget# "), std::string::npos) << out;
  EXPECT_NE(out.find("sh: nosuch: command not found"), std::string::npos);
  EXPECT_TRUE(uart(kUartUefi).empty()) << "answers go to the UART that was typed on";
  target_.consoleInput(kUartCsuSe, "\x1b[A\n", 170 * kMs);
  EXPECT_EQ(uart(kUartCsuSe), "\r\ntarget# ") << "escape sequences are dropped";
  target_.consoleInput(kUartCsuSe, "boot\n", 180 * kMs);
  EXPECT_EQ(target_.state(), TargetState::kBooting);
  EXPECT_NE(uart(kUartCsuSe).find("rebooting"), std::string::npos);

  target_.setGpio(kGpioPwrOff, 0, 200 * kMs);
  target_.setGpio(kGpioPowerBtn2, 0, 200 * kMs);
  target_.setGpio(kGpioPwrOff, 1, 200 * kMs);
  powerOn(200 * kMs);
  target_.advance(400 * kMs);
  ASSERT_EQ(target_.state(), TargetState::kFastboot);
  EXPECT_EQ(target_.postCodes().back(), 0x00FB);
  uart(kUartUefi);
  target_.consoleInput(kUartUefi, "help\n", 400 * kMs);
  EXPECT_NE(uart(kUartUefi).find("fastboot: console input ignored"), std::string::npos);
}

}  // namespace
}  // namespace jyxsim
