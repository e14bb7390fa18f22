// End-to-end tests of jyx-sim: each test starts its own simulator process
// on its own 127.0.2.x address and drives it through the project's TCP
// channel, packet parser and packet builders.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

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
      if (other == uart) continue;
      EXPECT_EQ(log.text().find(expected[other]), std::string::npos);
    }
    log.readFor(300);
  }
}

TEST_F(SimTest, TargetWithoutMainPowerSendsNoLogAndNoPostCodes) {
  startSim("127.0.2.13", {"--boot-ms", "100"});
  SimLogClient log;
  ASSERT_TRUE(log.connect("127.0.2.13"));
  ASSERT_EQ(uartCtrl(1).payload.at(0), 1);
  // Off, then standby power only: buttons, resets and console input on
  // every UART produce nothing.
  for (int standby = 0; standby < 2; ++standby) {
    gpio(1, kPwrOff, uint8_t(standby));
    for (int uart = 0; uart < 4; ++uart) {
      selectUart(uart);
      if (!standby) {
        gpio(1, kPwrBtn, 0);
        gpio(1, kPwrBtn, 1);
      }
      gpio(1, kWarmRst, 0);
      gpio(1, kWarmRst, 1);
      Packet r;
      ASSERT_TRUE(client_.request([](CPackage* p, uint32_t f) { p->makeStringCmd(f, "boot"); }, &r));
      EXPECT_EQ(r.data, STRING_DATA);
    }
    log.readFor(400);
    EXPECT_EQ(log.text(), "") << (standby ? "standby" : "off");
    EXPECT_TRUE(postCodes().empty()) << (standby ? "standby" : "off");
  }
  EXPECT_FALSE(sim_.waitForOp([](const OpsRecord& o) { return o.dir == "log"; }, 0));
  // The same link does carry the boot once the button is pressed.
  selectUart(0);
  gpio(1, kPwrBtn, 0);
  gpio(1, kPwrBtn, 1);
  EXPECT_TRUE(log.waitForText("shell ready", 5000)) << log.text();
  EXPECT_FALSE(postCodes().empty());
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

TEST_F(SimTest, SectorWritesNeedTheLinesAndProgrammingModeAndReadBackEqual) {
  std::string state = sim_.tempPath("state");
  startSim("127.0.2.5", {"--state", state, "--boot-ms", "100"});
  std::vector<uint8_t> data = pattern(1);
  // Lines still with the target: every SPI request is refused but the one
  // that leaves programming mode, which the tool sends to clean up.
  EXPECT_EQ(spiCtrl(1).data, ACK_FAIL);
  EXPECT_EQ(readSector(0).data, ACK_FAIL);
  EXPECT_EQ(reg(1, 0x05, 0).data, ACK_FAIL);
  EXPECT_EQ(spiCtrl(0, 1, 15).data, SPI_CTRL_INFO_DATA);
  linesToController();
  // Lines handed over but programming mode not entered.
  EXPECT_EQ(writeSector(3, data).data, ACK_FAIL);
  Packet ack = spiCtrl(1);
  ASSERT_EQ(ack.data, SPI_CTRL_INFO_DATA);
  EXPECT_EQ(ack.u32(0), 0xEF4018u) << "flash identification value";
  EXPECT_EQ(ack.u16(4), 4096) << "sector size";
  EXPECT_EQ(ack.u16(6), 4096) << "sectors of 16 MiB";
  EXPECT_EQ(writeSector(3, data).data, SPI_DATA);
  EXPECT_EQ(writeSector(4096, data).data, ACK_FAIL) << "beyond the end";
  Packet back = readSector(3);
  ASSERT_EQ(back.data, SPI_DATA);
  ASSERT_EQ(back.payload.size(), 8u + 4096u);
  EXPECT_EQ(back.u32(0), 3u);
  EXPECT_TRUE(std::equal(data.begin(), data.end(), back.payload.begin() + 8));
  Packet erased = readSector(2);
  EXPECT_EQ(erased.payload.at(8), 0xFF);
  EXPECT_EQ(erased.payload.back(), 0xFF);
  // Handing the lines back ends programming mode.
  gpio(1, kSpiPrgEn, 1);
  gpio(1, kSpiPrgSel, 1);
  linesToController();
  EXPECT_EQ(writeSector(3, data).data, ACK_FAIL);
  gpio(1, kSpiPrgEn, 1);
  gpio(1, kSpiPrgSel, 1);
  // The flash file holds what was written, and the next boot reports it.
  std::string file = readFile(state + "/spi_flash.bin");
  ASSERT_EQ(file.size(), 16u << 20);
  EXPECT_EQ(0, memcmp(file.data() + 3 * 4096, data.data(), data.size()));
  uLong crc = crc32(0L, Z_NULL, 0);
  crc = crc32(crc, reinterpret_cast<const Bytef*>(file.data()), 65536);
  char line[64];
  snprintf(line, sizeof(line), "crc32 (first 64 KiB): 0x%08lx", crc);
  SimLogClient log;
  ASSERT_TRUE(log.connect("127.0.2.5"));
  selectUart(0);
  uartCtrl(1);
  powerOn();
  EXPECT_TRUE(log.waitForText(line, 3000)) << log.text();
}

TEST_F(SimTest, ProtectedRangeRefusesWritesUntilUnlocked) {
  // BP2..0 = 110, TB = 0: the upper half is protected; SR2 carries QE.
  startSim("127.0.2.6", {"--sr1", "0x18", "--sr2", "0x02"});
  linesToController();
  Packet r = reg(1, 0x05, 0);
  ASSERT_EQ(r.data, SPI_REG_DATA);
  EXPECT_EQ(r.u16(2), 1);
  EXPECT_EQ(r.payload.at(4), 0x18);
  EXPECT_EQ(reg(1, 0x35, 0).payload.at(4), 0x02);
  EXPECT_EQ(reg(1, 0x15, 0).payload.at(4), 0x60);
  ASSERT_EQ(spiCtrl(1).data, SPI_CTRL_INFO_DATA);
  std::vector<uint8_t> data = pattern(2);
  EXPECT_EQ(writeSector(4095, data).data, ACK_FAIL) << "top sector is protected";
  EXPECT_EQ(writeSector(2048, data).data, ACK_FAIL) << "first sector of the upper half";
  EXPECT_EQ(writeSector(2047, data).data, SPI_DATA) << "lower half is writable";
  // The tool's unlock: 0 into status registers 1 and 2.
  EXPECT_EQ(reg(0, 0x01, 0x00).data, SPI_REG_DATA);
  EXPECT_EQ(reg(0, 0x31, 0x00).data, SPI_REG_DATA);
  EXPECT_EQ(reg(1, 0x05, 0).payload.at(4), 0x00);
  EXPECT_EQ(writeSector(4095, data).data, SPI_DATA);
  EXPECT_EQ(reg(1, 0x99, 0).data, ACK_FAIL) << "unknown opcode";
  OpsRecord rec;
  EXPECT_TRUE(sim_.waitForOp(
      [](const OpsRecord& o) { return o.dir == "tx" && o.str("reason").find("protected") != std::string::npos; },
      1000, &rec));
}

TEST_F(SimTest, SecurityLayoutMirrorsWritesIntoSelectedCopies) {
  startSim("127.0.2.7");
  linesToController();
  // "2M*3": access id 7, erase id 7.
  Packet ack = spiCtrl(1, 1, 7, 7);
  ASSERT_EQ(ack.data, SPI_CTRL_INFO_DATA);
  EXPECT_EQ(ack.u16(6), 512) << "sectors per 2 MiB copy";
  std::vector<uint8_t> data = pattern(3);
  ASSERT_EQ(writeSector(5, data).data, SPI_DATA);
  EXPECT_EQ(writeSector(512, data).data, ACK_FAIL) << "beyond one copy";
  spiCtrl(0);
  // Outside the security session reads are raw: copies 0-2 hold the
  // sector, copy 3 does not.
  for (uint32_t copy = 0; copy < 4; ++copy) {
    Packet r = readSector(copy * 512 + 5);
    ASSERT_EQ(r.data, SPI_DATA);
    bool same = std::equal(data.begin(), data.end(), r.payload.begin() + 8);
    EXPECT_EQ(same, copy < 3) << "copy " << copy;
  }
}

TEST_F(SimTest, PowerReportsCarryTheMaskedRailsAndFrames) {
  startSim("127.0.2.8", {"--power-rate", "1000", "--target-state", "running"});
  gpio(1, kPwrGrp, 0);
  uint32_t mask[3] = {0x0000000F, 0x00000001, 0};  // rails 0-3 and 32: 5 rails
  uint8_t addrs[24];
  memset(addrs, 0xFF, sizeof(addrs));
  addrs[0] = 0x10;  // 32 V IC on rails 0-3; slot 8 (rail 32) has no IC
  Packet r;
  ASSERT_TRUE(client_.request(
      [&](CPackage* p, uint32_t f) { p->makePowerCtrl(f, 1, mask, addrs); }, &r));
  ASSERT_EQ(r.data, POWER_DATA);
  uint64_t frames = 0, firstTs = 0, lastTs = 0;
  int reports = 0;
  while (frames < 300) {
    Packet rep;
    ASSERT_TRUE(client_.waitFor(
        [](const Packet& p) { return p.cmd == POWER_CTRL && p.data == POWER_DATA; }, &rep, 3000));
    uint16_t f = rep.u16(8);
    ASSERT_EQ(rep.payload.size(), 24u + f * 5u * 4u);
    if (!firstTs) firstTs = rep.u64(0);
    EXPECT_GE(rep.u64(0), lastTs);
    lastTs = rep.u64(0);
    frames += f;
    ++reports;
    // Rail 0 is the 12 V input: 12000 mV = bus * 32000 / 32768 within 2 %.
    int16_t bus = int16_t(rep.u16(24)), shunt = int16_t(rep.u16(26));
    int mv = int(32000LL * bus / 32768);
    int ma = int(int64_t(shunt) * 100000 / 32768 / 2);
    EXPECT_NEAR(mv, 11880, 300);
    EXPECT_NEAR(ma, 2500, 200);
    // Rail 32 has no IC: zeros.
    EXPECT_EQ(rep.u32(24 + 4 * 4), 0u);
  }
  EXPECT_GT(reports, 2);
  double seconds = double(lastTs - firstTs) / 1e6;
  ASSERT_GT(seconds, 0.0);
  // About 1000 frames per second (generous margin for a loaded machine).
  EXPECT_GT(frames / (seconds + 0.05), 500.0);
  ASSERT_TRUE(client_.request(
      [&](CPackage* p, uint32_t f) { p->makePowerCtrl(f, 0, mask, addrs); }, &r));
  client_.drain();
}

TEST_F(SimTest, PowerControlNeedsThePowerGroupSelected) {
  startSim("127.0.2.9");
  uint32_t mask[3] = {1, 0, 0};
  uint8_t addrs[24];
  memset(addrs, 0xFF, sizeof(addrs));
  Packet r;
  ASSERT_TRUE(client_.request(
      [&](CPackage* p, uint32_t f) { p->makePowerCtrl(f, 1, mask, addrs); }, &r));
  EXPECT_EQ(r.data, ACK_FAIL) << "PWRGRP still high";
}

TEST_F(SimTest, DroppedReplyNeverArrivesAndOthersDo) {
  startSim("127.0.2.10", {"--drop", "GPIO_CTRL:2"});
  Packet r;
  uint32_t f1 = client_.nextFrame(), f2 = client_.nextFrame(), f3 = client_.nextFrame();
  CPackage p;
  for (uint32_t f : {f1, f2, f3}) {
    p.makeGpioCtrl(f, 0, 0, 70);
    ASSERT_TRUE(client_.send(&p));
  }
  EXPECT_TRUE(client_.waitReply(f1, &r, 3000));
  EXPECT_TRUE(client_.waitReply(f3, &r, 3000));
  EXPECT_FALSE(client_.waitReply(f2, &r, 500));
  OpsRecord drop;
  EXPECT_TRUE(sim_.waitForOp([&](const OpsRecord& o) { return o.dir == "drop"; }, 1000, &drop));
  EXPECT_EQ(drop.frame, int64_t(f2));
}

TEST_F(SimTest, FailCorruptAndGarbageFaults) {
  startSim("127.0.2.11", {"--fail", "HEART_BEAT:1", "--corrupt", "HEART_BEAT:2", "--garbage",
                          "HEART_BEAT:3:40", "--delay", "HEART_BEAT:4:300"});
  Packet r;
  ASSERT_TRUE(client_.request([](CPackage* p, uint32_t f) { p->makeHeartBeat(f); }, &r));
  EXPECT_EQ(r.data, ACK_FAIL);
  // The corrupted reply fails the checksum and the parser drops it.
  EXPECT_FALSE(client_.request([](CPackage* p, uint32_t f) { p->makeHeartBeat(f); }, &r, 500));
  // Garbage before a packet is skipped.
  ASSERT_TRUE(client_.request([](CPackage* p, uint32_t f) { p->makeHeartBeat(f); }, &r));
  EXPECT_EQ(r.data, HEART_BEAT_DATA);
  OpsRecord tx;
  ASSERT_TRUE(sim_.waitForOp([](const OpsRecord& o) { return o.dir == "tx" && o.str("fault") == "corrupt"; },
                             1000, &tx));
  ASSERT_TRUE(sim_.waitForOp([](const OpsRecord& o) { return o.num("garbage_bytes") == 40; }, 1000));
  // A delayed reply comes no sooner than its delay.
  ASSERT_TRUE(client_.request([](CPackage* p, uint32_t f) { p->makeHeartBeat(f); }, &r));
  std::vector<OpsRecord> ops = sim_.ops();
  uint64_t rxTime = 0, txTime = 0;
  for (const OpsRecord& o : ops) {
    if (o.frame != int64_t(r.frame)) continue;
    if (o.dir == "rx") rxTime = o.timeUs;
    if (o.dir == "tx") txTime = o.timeUs;
  }
  EXPECT_GE(txTime - rxTime, 300000u);
}

TEST_F(SimTest, CloseAfterAndMuteAreSeenByTheClient) {
  startSim("127.0.2.12", {"--close-after", "2"});
  Packet r;
  ASSERT_TRUE(client_.request([](CPackage* p, uint32_t f) { p->makeHeartBeat(f); }, &r));
  ASSERT_TRUE(client_.request([](CPackage* p, uint32_t f) { p->makeHeartBeat(f); }, &r));
  // The link is closed after the second reply: sends start failing.
  CPackage p;
  bool failed = false;
  for (int i = 0; i < 100 && !failed; ++i) {
    p.makeHeartBeat(client_.nextFrame());
    client_.send(&p);
    failed = client_.errorCount() > 0;
    usleep(20000);
  }
  EXPECT_TRUE(failed);
  EXPECT_TRUE(sim_.waitForOp(
      [](const OpsRecord& o) { return o.str("event") == "packet_client" && o.str("state") == "closed"; },
      1000));
  // One-shot: a new link works.
  SimPacketClient second;
  ASSERT_TRUE(second.connect("127.0.2.12"));
  ASSERT_TRUE(second.request([](CPackage* p, uint32_t f) { p->makeHeartBeat(f); }, &r));

  // Muting, switched on at run time through the control file.
  std::string control = sim_.tempPath("faults.txt");
  ASSERT_TRUE(writeFile(control, "--mute-after 0\n"));
  sim_.stop();
  ASSERT_TRUE(sim_.start("127.0.2.12", {"--control", control}));
  SimPacketClient third;
  ASSERT_TRUE(third.connect("127.0.2.12"));
  ASSERT_TRUE(third.request([](CPackage* p, uint32_t f) { p->makeHeartBeat(f); }, &r));
  sim_.signal(SIGUSR1);
  ASSERT_TRUE(sim_.waitForOp([](const OpsRecord& o) { return o.str("event") == "faults_reload"; }, 2000));
  EXPECT_FALSE(third.request([](CPackage* p, uint32_t f) { p->makeHeartBeat(f); }, &r, 500));
  ASSERT_TRUE(writeFile(control, "# nothing\n"));
  sim_.signal(SIGUSR1);
  // Wait for the second reload instead of sleeping: a request sent before
  // it is still muted.
  auto reloads = [&] {
    int n = 0;
    for (const OpsRecord& o : sim_.ops()) n += o.str("event") == "faults_reload";
    return n;
  };
  for (int i = 0; i < 250 && reloads() < 2; ++i) usleep(20000);
  ASSERT_EQ(reloads(), 2);
  EXPECT_TRUE(third.request([](CPackage* p, uint32_t f) { p->makeHeartBeat(f); }, &r));
}

// A client that sends sector reads (28 bytes each, answered with 4124)
// and never reads its replies must not make the simulator buffer them
// without bound: it stops reading requests once its backlog is full.
TEST_F(SimTest, ClientThatNeverReadsCannotGrowTheBacklogWithoutBound) {
  startSim("127.0.2.14", {"--power-rate", "5000"});
  linesToController();
  gpio(1, kPwrGrp, 0);
  uint32_t mask[3] = {0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF};
  uint8_t addrs[24];
  memset(addrs, 0x10, sizeof(addrs));
  // The flood comes from a plain socket with small buffers; it starts the
  // power reports too, which pile up behind the unread replies.
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  int small = 16384;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));
  setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &small, sizeof(small));
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(3334);
  inet_pton(AF_INET, "127.0.2.14", &sa.sin_addr);
  ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)), 0);
  CPackage p;
  p.makePowerCtrl(1, 1, mask, addrs);
  std::string burst(reinterpret_cast<const char*>(p.data()), p.size());
  for (uint32_t i = 1; i < 40000; ++i) {
    p.makeSPIRead(i + 1, i % 4096, 4096, 1);
    burst.append(reinterpret_cast<const char*>(p.data()), p.size());
  }
  size_t sent = 0;
  for (int idle = 0; sent < burst.size() && idle < 100;) {
    ssize_t n = send(fd, burst.data() + sent, burst.size() - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n > 0) {
      sent += size_t(n);
      idle = 0;
    } else {
      ++idle;
      usleep(20000);
    }
  }
  EXPECT_LT(sent, burst.size()) << "the simulator stopped taking requests";
  std::string status = readFile("/proc/" + std::to_string(sim_.process().pid()) + "/status");
  size_t at = status.find("VmRSS:");
  ASSERT_NE(at, std::string::npos);
  long rssKb = strtol(status.c_str() + at + 6, nullptr, 10);
  // 16 MiB of flash plus a few MiB of backlog; unbounded it was above 150 MiB.
  EXPECT_LT(rssKb, 80 * 1024) << status.substr(at, 40);
  close(fd);
  // The simulator is still alive and answers a new client.
  Packet r;
  SimPacketClient next;
  ASSERT_TRUE(next.connect("127.0.2.14"));
  EXPECT_TRUE(next.request([](CPackage* q, uint32_t f) { q->makeHeartBeat(f); }, &r));
}

TEST_F(SimTest, BadOptionsAreRefusedWithAMessage) {
  int code = 0;
  std::string out = run({binPath("jyx-sim"), "--bind", "192.168.1.1"}, &code);
  EXPECT_EQ(code, 2);
  EXPECT_NE(out.find("loopback"), std::string::npos);
  out = run({binPath("jyx-sim"), "--drop", "NOPE:1"}, &code);
  EXPECT_EQ(code, 2);
  EXPECT_NE(out.find("unknown command type"), std::string::npos);
  out = run({binPath("jyx-sim"), "--help"}, &code);
  EXPECT_EQ(code, 0);
  for (const char* opt : {"--ops-log", "--state", "--flash-size", "--drop", "--control", "--seed"})
    EXPECT_NE(out.find(opt), std::string::npos) << opt;
}

}  // namespace
}  // namespace jyxtest
