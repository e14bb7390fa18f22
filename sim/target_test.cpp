#include "sim/target.h"

#include <gtest/gtest.h>

namespace jyxsim {
namespace {

constexpr uint64_t kMs = 1000;

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
  // The tool's power-on steps.
  void powerOn(uint64_t t) {
    target_.setGpio(kGpioPwrOff, 1, t);
    target_.setGpio(kGpioPwrBtn, 1, t);
    target_.setGpio(kGpioPwrBtn, 0, t);
    target_.setGpio(kGpioPwrBtn, 1, t);
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

TEST_F(SimTargetTest, PowerOnBootsToRunningWithPostCodesAndInputs) {
  EXPECT_EQ(target_.state(), TargetState::kOff);
  EXPECT_EQ(level(kGpioRsmrst), 0);
  powerOn(0);
  EXPECT_EQ(target_.state(), TargetState::kBooting);
  EXPECT_EQ(level(kGpioSysPwrgd), 1);
  target_.advance(5 * kMs);
  EXPECT_EQ(level(kGpioApuRst), 0) << "held during the first tenth of the boot";
  target_.advance(50 * kMs);
  EXPECT_EQ(level(kGpioApuRst), 1);
  EXPECT_EQ(target_.state(), TargetState::kBooting);
  EXPECT_NE(uart(kUartUefi).find("JYX UEFI firmware"), std::string::npos);
  target_.advance(100 * kMs);
  EXPECT_EQ(target_.state(), TargetState::kRunning);
  ASSERT_FALSE(target_.postCodes().empty());
  EXPECT_EQ(target_.postCodes().back(), 0x00AA);
  EXPECT_EQ(level(kGpioSlpS3), 1);
  EXPECT_EQ(level(kGpioApuRst), 1);
  EXPECT_NE(uart(kUartCsuSe).find("CSU_SE: runtime services ready"), std::string::npos);
  EXPECT_EQ(target_.nextEventUs(), UINT64_MAX);

  target_.setGpio(kGpioPwrOff, 0, 200 * kMs);
  EXPECT_EQ(target_.state(), TargetState::kOff);
  EXPECT_TRUE(target_.postCodes().empty());
  EXPECT_EQ(level(kGpioSysPwrgd), 0);
  EXPECT_EQ(level(kGpioSlpS5), 0);
  EXPECT_EQ(states_, (std::vector<TargetState>{TargetState::kOn, TargetState::kBooting,
                                               TargetState::kRunning, TargetState::kOff}));
}

TEST_F(SimTargetTest, ButtonWithoutStandbyPowerDoesNothing) {
  target_.setGpio(kGpioPwrBtn, 0, 0);
  target_.setGpio(kGpioPwrBtn, 1, 0);
  target_.advance(500 * kMs);
  EXPECT_EQ(target_.state(), TargetState::kOff);
  EXPECT_TRUE(uart(kUartUefi).empty());
  EXPECT_FALSE(target_.setGpio(22, 1, 0)) << "inputs cannot be set";
  uint8_t l;
  EXPECT_FALSE(target_.readGpio(5, &l));
}

TEST_F(SimTargetTest, WarmResetAndButtonPulseRestartTheBoot) {
  powerOn(0);
  target_.advance(150 * kMs);
  ASSERT_EQ(target_.state(), TargetState::kRunning);
  uint32_t boots = target_.bootCount();
  target_.setGpio(kGpioWarmRst, 0, 200 * kMs);
  EXPECT_TRUE(target_.postCodes().empty());
  EXPECT_EQ(level(kGpioSysPwrgd), 0);
  target_.advance(400 * kMs);
  EXPECT_EQ(target_.bootCount(), boots) << "held in reset";
  target_.setGpio(kGpioWarmRst, 1, 400 * kMs);
  EXPECT_EQ(target_.state(), TargetState::kBooting);
  EXPECT_EQ(target_.bootCount(), boots + 1);
  target_.advance(600 * kMs);
  target_.setGpio(kGpioPwrBtn, 0, 600 * kMs);
  target_.setGpio(kGpioPwrBtn, 1, 600 * kMs);
  EXPECT_EQ(target_.bootCount(), boots + 2);
}

TEST_F(SimTargetTest, PowerBtn2LowBootsIntoFastboot) {
  target_.setGpio(kGpioPowerBtn2, 0, 0);
  powerOn(0);
  target_.advance(200 * kMs);
  EXPECT_EQ(target_.state(), TargetState::kFastboot);
  EXPECT_EQ(target_.postCodes().back(), 0x00FB);
  target_.consoleInput(kUartUefi, "help\n", 200 * kMs);
  std::string out = uart(kUartUefi);
  EXPECT_NE(out.find("fastboot: console input ignored"), std::string::npos);
}

TEST_F(SimTargetTest, ShellAnswersCommandsAndBootRestarts) {
  powerOn(0);
  target_.advance(150 * kMs);
  for (int u = 0; u < kUartCount; ++u) uart(u);
  target_.consoleInput(kUartCsuSe, "echo hello world\nnosuch\n", 160 * kMs);
  std::string out = uart(kUartCsuSe);
  EXPECT_NE(out.find("echo hello world\r\nhello world\r\ntarget# "), std::string::npos) << out;
  EXPECT_NE(out.find("sh: nosuch: command not found"), std::string::npos);
  EXPECT_TRUE(uart(kUartUefi).empty()) << "answers go to the UART that was typed on";
  target_.consoleInput(kUartCsuSe, "\x1b[A\n", 170 * kMs);
  EXPECT_EQ(uart(kUartCsuSe), "\r\ntarget# ");
  uint32_t boots = target_.bootCount();
  target_.consoleInput(kUartCsuSe, "boot\n", 180 * kMs);
  EXPECT_EQ(target_.state(), TargetState::kBooting);
  EXPECT_EQ(target_.bootCount(), boots + 1);
  EXPECT_NE(uart(kUartCsuSe).find("rebooting"), std::string::npos);
  target_.setGpio(kGpioPwrOff, 0, 200 * kMs);
  target_.consoleInput(kUartCsuSe, "help\n", 200 * kMs);
  EXPECT_TRUE(uart(kUartCsuSe).empty()) << "a target that is off answers nothing";
}

TEST_F(SimTargetTest, BootTextReportsTheFlash) {
  target_.setFlashInfoSource([] {
    CSimTarget::FlashInfo f;
    f.id = 0xEF4018;
    f.sizeBytes = 16u << 20;
    f.crc32 = 0xDEADBEEF;
    return f;
  });
  powerOn(0);
  target_.advance(150 * kMs);
  EXPECT_NE(uart(kUartUefi).find("SPI flash crc32 (first 64 KiB): 0xdeadbeef"), std::string::npos);
  EXPECT_NE(uart(kUartSfh).find("SPI NOR id 0xef4018, 16384 KiB"), std::string::npos);
}

}  // namespace
}  // namespace jyxsim
