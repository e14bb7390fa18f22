// End-to-end tests of jyx-sim: each test starts its own simulator process
// on its own 127.0.2.x address and drives it through the project's TCP
// channel, packet parser and packet builders.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <cstring>
#include <string>
#include <vector>

#include "sim_util.h"

namespace jyxtest {
namespace {

using Packet = SimPacketClient::Packet;
using Build = std::function<void(CPackage*, uint32_t)>;

constexpr int kPwrOff = 68, kPwrBtn = 72, kWarmRst = 71;
constexpr int kUartSel0 = 64, kUartSel1 = 65, kSpiPrgEn = 66, kSpiPrgSel = 67, kPwrGrp = 73;
constexpr int kSysPwrgd = 22;

class SimTest : public ::testing::Test {
 protected:
  void startSim(const std::string& address, std::vector<std::string> args = {}) {
    ASSERT_TRUE(sim_.start(address, args)) << sim_.lastError();
    ASSERT_TRUE(client_.connect(address)) << "packet port of " << address;
  }
  Packet req(const Build& build, int timeoutMs = 5000) {
    Packet r;
    EXPECT_TRUE(client_.request(build, &r, timeoutMs));
    return r;
  }
  // True when the request got an acknowledge within timeoutMs.
  bool answered(const Build& build, int timeoutMs) {
    Packet r;
    return client_.request(build, &r, timeoutMs);
  }
  Packet gpio(uint8_t op, uint16_t num, uint8_t level) {
    return req([&](CPackage* p, uint32_t f) { p->makeGpioCtrl(f, op, level, num); });
  }
  Packet setGpio(uint16_t num, uint8_t level) { return gpio(1, num, level); }
  uint8_t readGpio(uint16_t num) { return gpio(0, num, 0).payload.at(1); }
  void pressPowerButton() {
    setGpio(kPwrBtn, 0);
    setGpio(kPwrBtn, 1);
  }
  // The tool's power-on sequence without its 0.5 s pauses.
  void powerOn() {
    setGpio(kPwrOff, 1);
    setGpio(kPwrBtn, 1);
    pressPowerButton();
  }
  void selectUart(int uart) {
    setGpio(kUartSel1, uint8_t((uart >> 1) & 1));
    setGpio(kUartSel0, uint8_t(uart & 1));
  }
  Packet uartCtrl(uint8_t on) {
    return req([&](CPackage* p, uint32_t f) { p->makeUartCtrl(f, on); });
  }
  Packet stringCmd(const char* text) {
    return req([&](CPackage* p, uint32_t f) { p->makeStringCmd(f, text); });
  }
  std::vector<std::string> postCodes() {
    Packet r = req([](CPackage* p, uint32_t f) { p->makePostCtrl(f); });
    std::vector<std::string> codes;
    for (uint32_t i = 0; i + 1 < r.u32(0) && 5 + i < r.payload.size(); i += 2) {
      char buf[8];
      snprintf(buf, sizeof(buf), "0x%02x%02x", r.payload[4 + i], r.payload[5 + i]);
      codes.push_back(buf);
    }
    return codes;
  }
  void spiLines(bool toController) {
    setGpio(kSpiPrgSel, !toController);
    setGpio(kSpiPrgEn, !toController);
  }
  Packet spiCtrl(uint16_t enable, uint16_t security = 0, uint16_t access = 0, uint16_t erase = 0) {
    return req(
        [&](CPackage* p, uint32_t f) { p->makeSPICtrl(f, enable, security, access, erase); });
  }
  Packet writeSector(uint32_t index, const std::vector<uint8_t>& d) {
    return req([&](CPackage* p, uint32_t f) { p->makeSPIData(f, index, d.data(), 4096); });
  }
  Packet readSector(uint32_t index) {
    return req([&](CPackage* p, uint32_t f) { p->makeSPIRead(f, index, 4096, 1); });
  }
  Packet reg(uint8_t direction, uint8_t command, uint8_t value) {
    return req([&](CPackage* p, uint32_t f) { p->makeSPIReg(f, direction, command, 1, &value); });
  }
  Packet powerCtrl(uint16_t enable, const uint32_t* mask, const uint8_t* addrs) {
    return req([&](CPackage* p, uint32_t f) { p->makePowerCtrl(f, enable, mask, addrs); });
  }
  static bool isEvent(const OpsRecord& o, const char* event, const char* key, const char* v) {
    return o.str("event") == event && o.str(key) == v;
  }

  SimProcess sim_;
  SimPacketClient client_;
};

std::vector<uint8_t> pattern(uint32_t seed) {
  std::vector<uint8_t> d(4096);
  for (size_t i = 0; i < d.size(); ++i) d[i] = uint8_t((i * 7 + seed * 13) ^ (i >> 8));
  return d;
}

const Build kHeartBeat = [](CPackage* p, uint32_t f) { p->makeHeartBeat(f); };

TEST_F(SimTest, AnswersEveryRequestTypeAndReportsTheMaskedRails) {
  startSim("127.0.2.1", {"--power-rate", "1000", "--target-state", "running"});
  uint32_t mask[3] = {0x0000000F, 0x00000001, 0};  // rails 0-3 and 32: 5 rails
  uint8_t addrs[24];
  memset(addrs, 0xFF, sizeof(addrs));
  addrs[0] = 0x10;  // 32 V IC on rails 0-3; slot 8 (rail 32) has no IC
  addrs[1] = 0x14;
  addrs[2] = 0x42;  // nothing there
  auto gpioReq = [](uint8_t op, uint16_t num, uint8_t level) -> Build {
    return [=](CPackage* p, uint32_t f) { p->makeGpioCtrl(f, op, level, num); };
  };
  const uint8_t regIn = 0;
  // Payload byte `at` of the reply must equal `value` unless value < 0.
  struct Case {
    const char* name;
    Build build;
    uint16_t data;
    size_t size;
    size_t at;
    int value;
  } cases[] = {
      {"heartbeat", kHeartBeat, HEART_BEAT_DATA, 0, 0, -1},
      {"GPIO 70 := 0", gpioReq(1, 70, 0), GPIO_DATA, 8, 1, 0},
      {"GPIO 70 reads 0", gpioReq(0, 70, 0), GPIO_DATA, 8, 1, 0},
      {"GPIO 70 := 1", gpioReq(1, 70, 1), GPIO_DATA, 8, 2, 70},
      {"GPIO 70 reads 1", gpioReq(0, 70, 0), GPIO_DATA, 8, 1, 1},
      {"an input cannot be set", gpioReq(1, kSysPwrgd, 1), ACK_FAIL, 0, 0, -1},
      {"unknown line", gpioReq(0, 200, 0), ACK_FAIL, 0, 0, -1},
      {"UART on", [](CPackage* p, uint32_t f) { p->makeUartCtrl(f, 1); }, UART_DATA_TYPE, 4, 0, 1},
      {"UART off", [](CPackage* p, uint32_t f) { p->makeUartCtrl(f, 0); }, UART_DATA_TYPE, 4, 0, 0},
      {"POST", [](CPackage* p, uint32_t f) { p->makePostCtrl(f); }, POST_DATA, 6, 0, -1},
      {"string", [](CPackage* p, uint32_t f) { p->makeStringCmd(f, "help"); }, STRING_DATA, 5, 4,
       '\n'},
      {"SPI with lines at the target",
       [&](CPackage* p, uint32_t f) { p->makeSPIReg(f, 1, 0x05, 1, &regIn); }, ACK_FAIL, 0, 0, -1},
      {"power with PWRGRP high",
       [&](CPackage* p, uint32_t f) { p->makePowerCtrl(f, 1, mask, addrs); }, ACK_FAIL, 0, 0, -1},
      {"PWRGRP := 0", gpioReq(1, kPwrGrp, 0), GPIO_DATA, 8, 1, 0},
      {"unknown command", [](CPackage* p, uint32_t f) { p->make(f, 42, 255, nullptr, 0); },
       ACK_FAIL, 0, 0, -1},
      {"short GPIO payload",
       [](CPackage* p, uint32_t f) { p->make(f, GPIO_CTRL, 255, "\x01\x01", 2); }, ACK_FAIL, 0, 0,
       -1},
      // The power acknowledge names the IC found at each slot.
      {"power on", [&](CPackage* p, uint32_t f) { p->makePowerCtrl(f, 1, mask, addrs); },
       POWER_DATA, 24, 0, 123},
  };
  Packet r;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    r = req(c.build);
    EXPECT_EQ(r.cmd, DEVICE_ACK);
    EXPECT_EQ(r.data, c.data);
    EXPECT_TRUE(c.data != HEART_BEAT_DATA || r.payload.empty());
    ASSERT_GE(r.payload.size(), c.size);
    if (c.value >= 0) {
      EXPECT_EQ(r.payload.at(c.at), c.value);
    }
  }
  EXPECT_EQ(r.payload.at(1), 107);
  EXPECT_EQ(r.payload.at(2), 0);
  r = req([](CPackage* p, uint32_t f) { p->makeStringCmd(f, "help"); });
  EXPECT_EQ(std::string(r.payload.begin(), r.payload.end()), "help\n");

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
    EXPECT_NEAR(int(32000LL * bus / 32768), 11880, 300);
    EXPECT_NEAR(int(int64_t(shunt) * 100000 / 32768 / 2), 2500, 200);
    EXPECT_EQ(rep.u32(24 + 4 * 4), 0u) << "rail 32 has no IC";
  }
  EXPECT_GT(reports, 2);
  double seconds = double(lastTs - firstTs) / 1e6;
  ASSERT_GT(seconds, 0.0);
  // About 1000 frames per second (generous margin for a loaded machine).
  EXPECT_GT(frames / (seconds + 0.05), 500.0);
  EXPECT_EQ(powerCtrl(0, mask, addrs).data, POWER_DATA);

  int rx = 0, tx = 0;
  for (const OpsRecord& o : sim_.ops()) {
    rx += o.dir == "rx";
    tx += o.dir == "tx";
  }
  EXPECT_EQ(rx, tx) << "every request has exactly one reply in the ops log";
  EXPECT_GT(rx, 10);
  EXPECT_TRUE(sim_.stop()) << "SIGTERM ends the simulator cleanly";
}

TEST_F(SimTest, TargetFollowsTheGpioSequencesAndForwardsTheSelectedUart) {
  startSim("127.0.2.2", {"--boot-ms", "200"});
  SimLogClient log;
  ASSERT_TRUE(log.connect("127.0.2.2"));
  ASSERT_EQ(uartCtrl(1).payload.at(0), 1);
  // Off, then standby power only: buttons, resets and console input on
  // every UART produce nothing.
  for (int standby = 0; standby < 2; ++standby) {
    setGpio(kPwrOff, uint8_t(standby));
    for (int uart = 0; uart < 4; ++uart) {
      selectUart(uart);
      if (!standby) pressPowerButton();
      setGpio(kWarmRst, 0);
      setGpio(kWarmRst, 1);
      EXPECT_EQ(stringCmd("boot").data, STRING_DATA);
    }
    log.readFor(400);
    EXPECT_EQ(log.text(), "") << (standby ? "standby" : "off");
    EXPECT_TRUE(postCodes().empty()) << (standby ? "standby" : "off");
    EXPECT_EQ(readGpio(kSysPwrgd), 0);
  }
  EXPECT_FALSE(sim_.waitForOp([](const OpsRecord& o) { return o.dir == "log"; }, 0));

  selectUart(0);
  powerOn();
  ASSERT_TRUE(log.waitForText("shell ready", 5000)) << log.text();
  EXPECT_TRUE(inOrder(log.text(), {"JYX UEFI firmware", "SPI flash crc32 (first 64 KiB): 0x"}));
  EXPECT_FALSE(has(log.text(), "CSU_SE:")) << "only the selected UART";
  EXPECT_EQ(readGpio(kSysPwrgd), 1);
  std::vector<std::string> codes = postCodes();
  ASSERT_FALSE(codes.empty());
  EXPECT_EQ(codes.front(), "0x0001");
  EXPECT_EQ(codes.back(), "0x00aa");

  // The console answers string commands on the selected UART; with
  // forwarding off nothing reaches the port.
  log.clear();
  stringCmd("ifconfig");
  ASSERT_TRUE(log.waitForText("target# ", 3000)) << log.text();
  EXPECT_TRUE(has(log.text(), "inet 192.168.10.20"));
  uartCtrl(0);
  log.clear();
  stringCmd("echo hidden");
  log.readFor(300);
  EXPECT_EQ(log.text(), "");
  uartCtrl(1);

  // A power button pulse restarts the boot; each UART carries its own text.
  const char* expected[4] = {"UEFI firmware", "SFH: secure flash handler", "CSU_PM: power manager",
                             "CSU_SE: security engine"};
  for (int uart = 1; uart < 4; ++uart) {
    selectUart(uart);
    log.readFor(300);
    log.clear();
    pressPowerButton();
    ASSERT_TRUE(log.waitForText(expected[uart], 3000)) << "UART " << uart << ": " << log.text();
    for (int other = 0; other < 4; ++other) {
      EXPECT_EQ(log.text().find(expected[other]) == std::string::npos, other != uart) << other;
    }
  }

  setGpio(kPwrOff, 0);
  EXPECT_TRUE(postCodes().empty());
  EXPECT_EQ(readGpio(kSysPwrgd), 0);
  EXPECT_TRUE(sim_.waitForOp(
      [](const OpsRecord& o) { return isEvent(o, "target_state", "to", "off"); }, 2000));
}

TEST_F(SimTest, SectorWritesHonourLinesModeProtectionAndLayoutAndReadBackEqual) {
  // BP2..0 = 110, TB = 0: the upper half is protected; SR2 carries QE.
  std::string state = sim_.tempPath("state");
  startSim("127.0.2.3", {"--state", state, "--boot-ms", "100", "--sr1", "0x18", "--sr2", "0x02"});
  std::vector<uint8_t> data = pattern(1);
  // Lines still with the target: every SPI request is refused but the one
  // that leaves programming mode, which the tool sends to clean up.
  EXPECT_EQ(spiCtrl(1).data, ACK_FAIL);
  EXPECT_EQ(readSector(0).data, ACK_FAIL);
  EXPECT_EQ(spiCtrl(0, 1, 15).data, SPI_CTRL_INFO_DATA);
  spiLines(true);
  EXPECT_EQ(writeSector(3, data).data, ACK_FAIL) << "programming mode not entered";
  Packet r = reg(1, 0x05, 0);
  ASSERT_EQ(r.data, SPI_REG_DATA);
  EXPECT_EQ(r.u16(2), 1);
  EXPECT_EQ(r.payload.at(4), 0x18);
  EXPECT_EQ(reg(1, 0x35, 0).payload.at(4), 0x02);
  EXPECT_EQ(reg(1, 0x15, 0).payload.at(4), 0x60);
  EXPECT_EQ(reg(1, 0x99, 0).data, ACK_FAIL) << "unknown opcode";
  Packet ack = spiCtrl(1);
  ASSERT_EQ(ack.data, SPI_CTRL_INFO_DATA);
  EXPECT_EQ(ack.u32(0), 0xEF4018u) << "flash identification value";
  EXPECT_EQ(ack.u16(4), 4096) << "sector size";
  EXPECT_EQ(ack.u16(6), 4096) << "sectors of 16 MiB";

  EXPECT_EQ(writeSector(4095, data).data, ACK_FAIL) << "top sector is protected";
  EXPECT_EQ(writeSector(2048, data).data, ACK_FAIL) << "first sector of the upper half";
  EXPECT_TRUE(sim_.waitForOp(
      [](const OpsRecord& o) { return o.str("reason").find("protected") != std::string::npos; },
      1000));
  EXPECT_EQ(writeSector(2047, data).data, SPI_DATA) << "lower half is writable";
  // The tool's unlock: 0 into status registers 1 and 2.
  EXPECT_EQ(reg(0, 0x01, 0x00).data, SPI_REG_DATA);
  EXPECT_EQ(reg(0, 0x31, 0x00).data, SPI_REG_DATA);
  EXPECT_EQ(reg(1, 0x05, 0).payload.at(4), 0x00);
  EXPECT_EQ(writeSector(4095, data).data, SPI_DATA);

  // "2M*3" security layout (access id 7, erase id 7) erases and mirrors
  // writes into copies 0-2; outside the session reads are raw.
  spiCtrl(0);
  ack = spiCtrl(1, 1, 7, 7);
  ASSERT_EQ(ack.data, SPI_CTRL_INFO_DATA);
  EXPECT_EQ(ack.u16(6), 512) << "sectors per 2 MiB copy";
  std::vector<uint8_t> mirrored = pattern(3);
  ASSERT_EQ(writeSector(5, mirrored).data, SPI_DATA);
  EXPECT_EQ(writeSector(512, mirrored).data, ACK_FAIL) << "beyond one copy";
  spiCtrl(0);
  for (uint32_t copy = 0; copy < 4; ++copy) {
    Packet c = readSector(copy * 512 + 5);
    ASSERT_EQ(c.data, SPI_DATA);
    EXPECT_EQ(std::equal(mirrored.begin(), mirrored.end(), c.payload.begin() + 8), copy < 3)
        << "copy " << copy;
  }
  ASSERT_EQ(spiCtrl(1).data, SPI_CTRL_INFO_DATA);

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
  spiLines(false);
  spiLines(true);
  EXPECT_EQ(writeSector(3, data).data, ACK_FAIL);
  spiLines(false);
  // The flash file holds what was written, and the next boot reports it.
  std::string file = readFile(state + "/spi_flash.bin");
  ASSERT_EQ(file.size(), 16u << 20);
  EXPECT_EQ(0, memcmp(file.data() + 3 * 4096, data.data(), data.size()));
  uLong crc = crc32(crc32(0L, Z_NULL, 0), reinterpret_cast<const Bytef*>(file.data()), 65536);
  char line[64];
  snprintf(line, sizeof(line), "crc32 (first 64 KiB): 0x%08lx", crc);
  SimLogClient log;
  ASSERT_TRUE(log.connect("127.0.2.3"));
  selectUart(0);
  uartCtrl(1);
  powerOn();
  EXPECT_TRUE(log.waitForText(line, 3000)) << log.text();
}

TEST_F(SimTest, DropFailCorruptGarbageAndDelayFaults) {
  startSim("127.0.2.4",
           {"--drop", "GPIO_CTRL:2", "--fail", "HEART_BEAT:1", "--corrupt", "HEART_BEAT:2",
            "--garbage", "HEART_BEAT:3:40", "--delay", "HEART_BEAT:4:300"});
  Packet r;
  uint32_t f1 = client_.nextFrame(), f2 = client_.nextFrame(), f3 = client_.nextFrame();
  CPackage p;
  for (uint32_t f : {f1, f2, f3}) {
    p.makeGpioCtrl(f, 0, 0, 70);
    ASSERT_TRUE(client_.send(&p));
  }
  EXPECT_TRUE(client_.waitReply(f1, &r, 3000));
  EXPECT_TRUE(client_.waitReply(f3, &r, 3000));
  EXPECT_FALSE(client_.waitReply(f2, &r, 500)) << "dropped";
  OpsRecord drop;
  EXPECT_TRUE(sim_.waitForOp([&](const OpsRecord& o) { return o.dir == "drop"; }, 1000, &drop));
  EXPECT_EQ(drop.frame, int64_t(f2));

  EXPECT_EQ(req(kHeartBeat).data, ACK_FAIL);
  // The corrupted reply fails the checksum and the parser drops it.
  EXPECT_FALSE(answered(kHeartBeat, 500));
  EXPECT_TRUE(sim_.waitForOp(
      [](const OpsRecord& o) { return o.dir == "tx" && o.str("fault") == "corrupt"; }, 1000));
  // Garbage before a packet is skipped.
  EXPECT_EQ(req(kHeartBeat).data, HEART_BEAT_DATA);
  EXPECT_TRUE(
      sim_.waitForOp([](const OpsRecord& o) { return o.num("garbage_bytes") == 40; }, 1000));
  // A delayed reply comes no sooner than its delay.
  r = req(kHeartBeat);
  uint64_t rxTime = 0, txTime = 0;
  for (const OpsRecord& o : sim_.ops()) {
    if (o.frame != int64_t(r.frame)) continue;
    if (o.dir == "rx") rxTime = o.timeUs;
    if (o.dir == "tx") txTime = o.timeUs;
  }
  EXPECT_GE(txTime - rxTime, 300000u);
}

TEST_F(SimTest, CloseAfterAndMuteAreSeenByTheClient) {
  std::string control = sim_.tempPath("faults.txt");
  ASSERT_TRUE(writeFile(control, "# nothing\n"));
  startSim("127.0.2.5", {"--close-after", "2", "--control", control});
  EXPECT_TRUE(answered(kHeartBeat, 5000));
  EXPECT_TRUE(answered(kHeartBeat, 5000));
  // The link is closed after the second reply: sends start failing.
  CPackage p;
  for (int i = 0; i < 100 && client_.errorCount() == 0; ++i) {
    p.makeHeartBeat(client_.nextFrame());
    client_.send(&p);
    usleep(20000);
  }
  EXPECT_GT(client_.errorCount(), 0);
  EXPECT_TRUE(sim_.waitForOp(
      [](const OpsRecord& o) { return isEvent(o, "packet_client", "state", "closed"); }, 1000));
  // One-shot: a new link works.
  ASSERT_TRUE(client_.connect("127.0.2.5"));
  ASSERT_TRUE(answered(kHeartBeat, 5000));

  // Muting, switched on and off at run time through the control file.
  auto reloads = [&] {
    int n = 0;
    for (const OpsRecord& o : sim_.ops()) n += o.str("event") == "faults_reload";
    return n;
  };
  ASSERT_TRUE(writeFile(control, "--mute-after 0\n"));
  sim_.signal(SIGUSR1);
  for (int i = 0; i < 250 && reloads() < 1; ++i) usleep(20000);
  EXPECT_FALSE(answered(kHeartBeat, 500));
  ASSERT_TRUE(writeFile(control, "# nothing\n"));
  sim_.signal(SIGUSR1);
  // A request sent before the second reload is still muted.
  for (int i = 0; i < 250 && reloads() < 2; ++i) usleep(20000);
  ASSERT_EQ(reloads(), 2);
  EXPECT_TRUE(answered(kHeartBeat, 5000));
}

// A client that sends sector reads (28 bytes each, answered with 4124)
// and never reads its replies must not make the simulator buffer them
// without bound: it stops reading requests once its backlog is full.
TEST_F(SimTest, ClientThatNeverReadsCannotGrowTheBacklogWithoutBound) {
  startSim("127.0.2.6", {"--power-rate", "5000"});
  spiLines(true);
  setGpio(kPwrGrp, 0);
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
  sockaddr_in sa = loopbackAddr("127.0.2.6", 3334);
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
  std::string status = readFile("/proc/" + std::to_string(sim_.pid()) + "/status");
  size_t at = status.find("VmRSS:");
  ASSERT_NE(at, std::string::npos);
  long rssKb = strtol(status.c_str() + at + 6, nullptr, 10);
  // 16 MiB of flash plus a few MiB of backlog; unbounded it was above 150 MiB.
  EXPECT_LT(rssKb, 80 * 1024) << status.substr(at, 40);
  close(fd);
  // The simulator is still alive and answers a new client.
  ASSERT_TRUE(client_.connect("127.0.2.6"));
  EXPECT_TRUE(answered(kHeartBeat, 5000));
}

TEST(SimOptionsE2E, BadOptionsAreRefusedWithAMessage) {
  struct Case {
    std::vector<std::string> args;
    int code;
    const char* text;
  } cases[] = {{{"--bind", "192.168.1.1"}, 2, "loopback"},
               {{"--drop", "NOPE:1"}, 2, "unknown command type"},
               {{"--help"}, 0, "--control"}};
  for (Case& c : cases) {
    c.args.insert(c.args.begin(), binPath("jyx-sim"));
    int code = -1;
    std::string out = run(c.args, &code);
    EXPECT_EQ(code, c.code) << c.args[1];
    EXPECT_TRUE(has(out, c.text));
  }
}

}  // namespace
}  // namespace jyxtest
