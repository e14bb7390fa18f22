// End-to-end tests of jyx-sim: each test starts its own simulator process
// on its own 127.0.2.x address and drives it through the project's TCP
// channel, packet parser and packet builders.
#include <signal.h>

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <zlib.h>

#include "sim_util.h"

namespace jyxtest {
namespace {

using Packet = SimPacketClient::Packet;

constexpr int kPwrOff = 68, kPwrBtn = 72, kWarmRst = 71, kPowerBtn2 = 78;
constexpr int kUartSel0 = 64, kUartSel1 = 65, kSpiPrgEn = 66, kSpiPrgSel = 67, kPwrGrp = 73;
constexpr int kSysPwrgd = 22;

class SimTest : public ::testing::Test {
 protected:
  // Starts the simulator on `address` and connects the packet client.
  void startSim(const std::string& address, std::vector<std::string> args = {}) {
    ASSERT_TRUE(sim_.start(address, args)) << sim_.lastError();
    ASSERT_TRUE(client_.connect(address)) << "packet port of " << address;
  }

  Packet gpio(uint8_t op, uint16_t num, uint8_t level) {
    Packet reply;
    EXPECT_TRUE(client_.request(
        [&](CPackage* p, uint32_t f) { p->makeGpioCtrl(f, op, level, num); }, &reply))
        << "GPIO " << num;
    return reply;
  }
  uint8_t readGpio(uint16_t num) { return gpio(0, num, 0).payload.at(1); }

  // The tool's power-on sequence without its 0.5 s pauses.
  void powerOn() {
    for (auto step : {std::make_pair(kPwrOff, 1), std::make_pair(kPwrBtn, 1),
                      std::make_pair(kPwrBtn, 0), std::make_pair(kPwrBtn, 1)}) {
      Packet r = gpio(1, uint16_t(step.first), uint8_t(step.second));
      ASSERT_EQ(r.data, GPIO_DATA);
    }
  }
  void selectUart(int uart) {
    gpio(1, kUartSel1, uint8_t((uart >> 1) & 1));
    gpio(1, kUartSel0, uint8_t(uart & 1));
  }
  Packet uartCtrl(uint8_t enable) {
    Packet r;
    EXPECT_TRUE(client_.request([&](CPackage* p, uint32_t f) { p->makeUartCtrl(f, enable); }, &r));
    return r;
  }
  std::vector<std::string> postCodes() {
    Packet r;
    EXPECT_TRUE(client_.request([](CPackage* p, uint32_t f) { p->makePostCtrl(f); }, &r));
    std::vector<std::string> codes;
    uint32_t n = r.u32(0);
    for (uint32_t i = 0; i + 1 < n && 5 + i < r.payload.size(); i += 2) {
      char buf[8];
      snprintf(buf, sizeof(buf), "0x%02x%02x", r.payload[4 + i], r.payload[5 + i]);
      codes.push_back(buf);
    }
    return codes;
  }
  void linesToController() {
    gpio(1, kSpiPrgSel, 0);
    gpio(1, kSpiPrgEn, 0);
  }
  Packet spiCtrl(uint16_t enable, uint16_t security = 0, uint16_t access = 0, uint16_t erase = 0) {
    Packet r;
    EXPECT_TRUE(client_.request(
        [&](CPackage* p, uint32_t f) { p->makeSPICtrl(f, enable, security, access, erase); }, &r));
    return r;
  }
  Packet writeSector(uint32_t index, const std::vector<uint8_t>& data) {
    Packet r;
    EXPECT_TRUE(client_.request(
        [&](CPackage* p, uint32_t f) {
          p->makeSPIData(f, index, data.data(), uint16_t(data.size()));
        },
        &r));
    return r;
  }
  Packet readSector(uint32_t index) {
    Packet r;
    EXPECT_TRUE(client_.request(
        [&](CPackage* p, uint32_t f) { p->makeSPIRead(f, index, 4096, 1); }, &r));
    return r;
  }
  Packet reg(uint8_t direction, uint8_t command, uint8_t value) {
    Packet r;
    EXPECT_TRUE(client_.request(
        [&](CPackage* p, uint32_t f) { p->makeSPIReg(f, direction, command, 1, &value); }, &r));
    return r;
  }

  SimProcess sim_;
  SimPacketClient client_;
};

std::vector<uint8_t> pattern(uint32_t seed) {
  std::vector<uint8_t> d(4096);
  for (size_t i = 0; i < d.size(); ++i) d[i] = uint8_t((i * 7 + seed * 13) ^ (i >> 8));
  return d;
}

TEST_F(SimTest, AnswersEveryRequestTypeWithItsLayout) {
  startSim("127.0.2.1");
  Packet r;
  ASSERT_TRUE(client_.request([](CPackage* p, uint32_t f) { p->makeHeartBeat(f); }, &r));
  EXPECT_EQ(r.cmd, DEVICE_ACK);
  EXPECT_EQ(r.data, HEART_BEAT_DATA);
  EXPECT_TRUE(r.payload.empty());

  r = gpio(1, 70, 0);
  EXPECT_EQ(r.data, GPIO_DATA);
  ASSERT_EQ(r.payload.size(), 8u);
  EXPECT_EQ(r.payload[1], 0);
  EXPECT_EQ(r.u16(2), 70);
  EXPECT_EQ(readGpio(70), 0);
  gpio(1, 70, 1);
  EXPECT_EQ(readGpio(70), 1);
  // A line that is not an output cannot be set; unknown lines cannot be read.
  EXPECT_EQ(gpio(1, kSysPwrgd, 1).data, ACK_FAIL);
  EXPECT_EQ(gpio(0, 200, 0).data, ACK_FAIL);

  r = uartCtrl(1);
  EXPECT_EQ(r.data, UART_DATA_TYPE);
  ASSERT_EQ(r.payload.size(), 4u);
  EXPECT_EQ(r.payload[0], 1);
  EXPECT_EQ(uartCtrl(0).payload.at(0), 0);

  ASSERT_TRUE(client_.request([](CPackage* p, uint32_t f) { p->makePostCtrl(f); }, &r));
  EXPECT_EQ(r.data, POST_DATA);
  EXPECT_EQ(r.u32(0), 0u) << "a target that is off has no POST codes";

  ASSERT_TRUE(client_.request([](CPackage* p, uint32_t f) { p->makeStringCmd(f, "help"); }, &r));
  EXPECT_EQ(r.data, STRING_DATA);
  EXPECT_EQ(std::string(r.payload.begin(), r.payload.end()), "help\n");

  // Power control: the acknowledge names the IC found at each slot.
  gpio(1, kPwrGrp, 0);
  uint32_t mask[3] = {0x3, 0, 0};
  uint8_t addrs[24];
  memset(addrs, 0xFF, sizeof(addrs));
  addrs[0] = 0x10;
  addrs[1] = 0x14;
  addrs[2] = 0x42;  // nothing there
  ASSERT_TRUE(client_.request(
      [&](CPackage* p, uint32_t f) { p->makePowerCtrl(f, 1, mask, addrs); }, &r));
  EXPECT_EQ(r.data, POWER_DATA);
  ASSERT_GE(r.payload.size(), 24u);
  EXPECT_EQ(r.payload[0], 123);
  EXPECT_EQ(r.payload[1], 107);
  EXPECT_EQ(r.payload[2], 0);
  ASSERT_TRUE(client_.request(
      [&](CPackage* p, uint32_t f) { p->makePowerCtrl(f, 0, mask, addrs); }, &r));
  EXPECT_EQ(r.data, POWER_DATA);

  // Unknown command types and malformed payloads are refused.
  ASSERT_TRUE(client_.request([](CPackage* p, uint32_t f) { p->make(f, 42, 255, nullptr, 0); }, &r));
  EXPECT_EQ(r.data, ACK_FAIL);
  ASSERT_TRUE(client_.request(
      [](CPackage* p, uint32_t f) { p->make(f, GPIO_CTRL, 255, "\x01\x01", 2); }, &r));
  EXPECT_EQ(r.data, ACK_FAIL);

  std::vector<OpsRecord> ops = sim_.ops();
  int rx = 0, tx = 0;
  for (const OpsRecord& o : ops) {
    rx += o.dir == "rx";
    tx += o.dir == "tx";
  }
  EXPECT_EQ(rx, tx) << "every request has exactly one reply in the ops log";
  EXPECT_GT(rx, 10);
  EXPECT_TRUE(sim_.stop()) << "SIGTERM ends the simulator cleanly";
}

TEST_F(SimTest, PowerOnSequenceBootsTargetAndForwardsSelectedUart) {
  startSim("127.0.2.2", {"--boot-ms", "300"});
  SimLogClient log;
  ASSERT_TRUE(log.connect("127.0.2.2"));
  EXPECT_EQ(readGpio(kSysPwrgd), 0);
  selectUart(0);
  uartCtrl(1);
  powerOn();
  ASSERT_TRUE(log.waitForText("shell ready", 5000)) << log.text();
  EXPECT_NE(log.text().find("JYX UEFI firmware"), std::string::npos);
  EXPECT_NE(log.text().find("SPI flash crc32 (first 64 KiB): 0x"), std::string::npos);
  // Only the selected UART is forwarded.
  EXPECT_EQ(log.text().find("CSU_SE:"), std::string::npos);
  EXPECT_EQ(readGpio(kSysPwrgd), 1);
  std::vector<std::string> codes = postCodes();
  ASSERT_FALSE(codes.empty());
  EXPECT_EQ(codes.front(), "0x0001");
  EXPECT_EQ(codes.back(), "0x00aa");

  // The console answers string commands on the selected UART.
  log.clear();
  Packet r;
  ASSERT_TRUE(client_.request([](CPackage* p, uint32_t f) { p->makeStringCmd(f, "ifconfig"); }, &r));
  ASSERT_TRUE(log.waitForText("target# ", 3000)) << log.text();
  EXPECT_NE(log.text().find("inet 192.168.10.20"), std::string::npos);

  // Forwarding off: the console still answers, but nothing reaches the port.
  uartCtrl(0);
  log.clear();
  client_.request([](CPackage* p, uint32_t f) { p->makeStringCmd(f, "echo hidden"); }, &r);
  log.readFor(300);
  EXPECT_EQ(log.text(), "");

  // Power off: no more POST codes, inputs low.
  gpio(1, kPwrOff, 0);
  EXPECT_TRUE(postCodes().empty());
  EXPECT_EQ(readGpio(kSysPwrgd), 0);
  OpsRecord off;
  EXPECT_TRUE(sim_.waitForOp(
      [](const OpsRecord& o) { return o.str("event") == "target_state" && o.str("to") == "off"; },
      2000, &off));
}

TEST_F(SimTest, EachUartCarriesItsOwnBootText) {
  startSim("127.0.2.3", {"--boot-ms", "200"});
  SimLogClient log;
  ASSERT_TRUE(log.connect("127.0.2.3"));
  uartCtrl(1);
  const char* expected[4] = {"UEFI firmware", "SFH: secure flash handler", "CSU_PM: power manager",
                             "CSU_SE: security engine"};
  gpio(1, kPwrOff, 1);
  for (int uart = 0; uart < 4; ++uart) {
    selectUart(uart);
    log.clear();
    // A power button pulse restarts the boot.
    gpio(1, kPwrBtn, 0);
    gpio(1, kPwrBtn, 1);
    ASSERT_TRUE(log.waitForText(expected[uart], 3000)) << "UART " << uart << ": " << log.text();
    for (int other = 0; other < 4; ++other) {
      if (other != uart) EXPECT_EQ(log.text().find(expected[other]), std::string::npos);
    }
    log.readFor(300);
  }
}

TEST_F(SimTest, WarmResetAndFastbootFollowTheGpioSequences) {
  startSim("127.0.2.4", {"--boot-ms", "200"});
  auto waitState = [&](const std::string& state, size_t after) {
    return sim_.waitForOp(
        [&](const OpsRecord& o) {
          return o.timeUs >= after && o.str("event") == "target_state" && o.str("to") == state;
        },
        3000);
  };
  powerOn();
  ASSERT_TRUE(waitState("running", 0));
  uint64_t t = sim_.ops().back().timeUs;
  gpio(1, kWarmRst, 0);
  EXPECT_EQ(readGpio(kSysPwrgd), 0) << "held in reset";
  gpio(1, kWarmRst, 1);
  EXPECT_TRUE(waitState("booting", t));
  EXPECT_TRUE(waitState("running", t));

  // Enter fastboot: power off, POWER_BTN2 low, power on.
  t = sim_.ops().back().timeUs;
  gpio(1, kPwrOff, 0);
  gpio(1, kPowerBtn2, 0);
  powerOn();
  EXPECT_TRUE(waitState("fastboot", t));
  std::vector<std::string> codes = postCodes();
  ASSERT_FALSE(codes.empty());
  EXPECT_EQ(codes.back(), "0x00fb");
  // Exit fastboot: power off, POWER_BTN2 high, power on.
  t = sim_.ops().back().timeUs;
  gpio(1, kPwrOff, 0);
  gpio(1, kPowerBtn2, 1);
  powerOn();
  EXPECT_TRUE(waitState("running", t));
}

}  // namespace
}  // namespace jyxtest
