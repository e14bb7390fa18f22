// SPI flows of the data manager against a scripted controller: the manager
// writes into a fake channel, the controller below decodes every request and
// answers through onPackage, with faults on chosen sector replies. Time-outs
// are driven by calling onUpdate with a time 300 s ahead.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "common/api_manager.h"
#include "fake_channel.h"
#include "jyx/data_manager.h"
#include "jyx/jyx.h"
#include "jyx/package.h"
#include "test_util.h"

namespace {

using jyxtest::FakeChannel;

class TestDataManager : public CJYXDataManager {
 public:
  TestDataManager() : CJYXDataManager("127.0.0.1", kDefaultPort, false) {}
};

struct Request {
  uint32_t frame;
  uint16_t cmd;
  uint16_t data;
  std::vector<uint8_t> payload;
  uint16_t u16(size_t at) const { return payload[at] | payload[at + 1] << 8; }
  uint32_t u32(size_t at) const {
    return payload[at] | payload[at + 1] << 8 | payload[at + 2] << 16 |
           static_cast<uint32_t>(payload[at + 3]) << 24;
  }
};

enum Fault { kNone, kDrop, kAckFail };

// A controller with a small flash, the two flash-line GPIOs, programming mode
// and three status registers. It refuses sector requests while the lines are
// with the target, as the board does.
class ScriptedController {
 public:
  explicit ScriptedController(size_t flashSize) : flash(flashSize, 0xFF) {}

  // Answers every request written since the last call.
  void serve(CJYXDataManager* dm, FakeChannel* fake) {
    while (next_ < fake->writeCount()) {
      std::vector<uint8_t> bytes = fake->writeAt(next_++);
      CPackage p;
      p.append(bytes.data(), static_cast<uint32_t>(bytes.size()));
      Request r{p.frameNum(), p.cmdType(), p.dataType(), {}};
      if (p.payloadLength()) r.payload.assign(p.payload(), p.payload() + p.payloadLength());
      requests.push_back(r);
      CPackage reply;
      if (!answer(r, &reply)) continue;
      dm->onPackage(&reply);
    }
  }

  bool answer(const Request& r, CPackage* reply) {
    bool linesHeld = gpio[0] == 0 && gpio[1] == 0;  // SPI_PRG_EN, SPI_PRG_SEL
    switch (r.cmd) {
      case HEART_BEAT:
        reply->makeHeartBeatAck(r.frame);
        return true;
      case GPIO_CTRL: {
        uint16_t num = r.u16(2);
        if (num == 66 || num == 67) gpio[num - 66] = r.payload[1];
        reply->makeGpioAck(r.frame, r.payload[0], r.payload[1], num);
        return true;
      }
      case SPI_CTRL:
        if (r.data == SPI_CTRL_INFO_DATA) {
          progMode = r.u16(0) == 1;
          reply->makeSPICtrlAck(r.frame, 0xEF4018, 4096, 4096);
          return true;
        }
        if (r.data == SPI_DATA) {
          int n = sectorWrites++;
          Fault f = n < static_cast<int>(sectorFaults.size()) ? sectorFaults[n] : kNone;
          if (f == kDrop) return false;
          if (f == kAckFail || !linesHeld || !progMode) {
            reply->makeAckFail(r.frame);
            return true;
          }
          uint32_t at = r.u32(0) * 4096;
          uint16_t size = r.u16(4);
          if (at + size <= flash.size()) memcpy(&flash[at], r.payload.data() + 8, size);
          reply->makeSPIDataAck(r.frame);
          return true;
        }
        if (r.data == SPI_REG_DATA) {
          uint8_t command = r.payload[1];
          int reg = command == 0x05 || command == 0x01 ? 0 : command == 0x35 || command == 0x31 ? 1 : 2;
          if (!linesHeld) {
            reply->makeAckFail(r.frame);
            return true;
          }
          if (r.payload[0] == 1) {
            if (regReadsLeft-- == 0) return false;
            reply->makeSPIRegAck(r.frame, 1, command, 1, &regs[reg]);
          } else {
            regWrites.push_back(command);
            regs[reg] = r.payload[4];
            reply->makeSPIRegAck(r.frame, 0, command, 1, &regs[reg]);
          }
          return true;
        }
        return false;
      case SPI_READ: {
        int n = blockReads++;
        Fault f = n < static_cast<int>(readFaults.size()) ? readFaults[n] : kNone;
        if (f == kDrop) return false;
        if (f == kAckFail || !linesHeld) {
          reply->makeAckFail(r.frame);
          return true;
        }
        uint32_t at = r.u32(0) * 4096;
        std::vector<uint8_t> block(4096, 0xFF);
        if (at < flash.size()) memcpy(block.data(), &flash[at], std::min<size_t>(4096, flash.size() - at));
        reply->makeSPIData(r.frame, r.u32(0), block.data(), 4096);
        return true;
      }
      default:
        return false;
    }
  }

  int count(uint16_t cmd, uint16_t data) const {
    int n = 0;
    for (const Request& r : requests) n += r.cmd == cmd && r.data == data;
    return n;
  }

  std::vector<uint8_t> flash;
  uint8_t gpio[2] = {1, 1};
  bool progMode = false;
  uint8_t regs[3] = {0, 0, 0};
  int regReadsLeft = 1 << 30;
  std::vector<uint8_t> regWrites;
  std::vector<Fault> sectorFaults;
  int sectorWrites = 0;
  std::vector<Fault> readFaults;
  int blockReads = 0;
  std::vector<Request> requests;

 private:
  size_t next_ = 0;
};

class SPIFlowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CJYX::instance()->setWantConnected(true);
    CJYX::instance()->setLastCheck(1e15);
    dm = new TestDataManager();
    fake = new FakeChannel(dm);
    dm->setChannel(fake);
  }
  void TearDown() override {
    if (capturing_) captured();
    delete dm;
    CJYX::instance()->setWantConnected(false);
  }

  // Serves and pumps until `done` or `seconds` pass.
  bool run(const std::function<bool()>& done, double seconds = 20) {
    double end = CAPIManager::wallClock() + seconds;
    while (!done() && CAPIManager::wallClock() < end) {
      controller.serve(dm, fake);
      CAPIManager::instance()->update();
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    controller.serve(dm, fake);
    return done();
  }

  std::string writeImage(size_t size, uint8_t seed) {
    std::string image(size, '\0');
    for (size_t i = 0; i < size; ++i) image[i] = static_cast<char>(i * 131 + seed + (i >> 12));
    std::string path = dir.file("image.bin");
    jyxtest::writeFile(path, image);
    return path;
  }

  // Flashes and returns the progress values seen.
  std::vector<int> flash(const std::string& path) {
    std::vector<int> progress;
    dm->setImagePath(path);
    dm->startFlashSPI([&](int p) { progress.push_back(p); });
    run([&] { return !progress.empty() && (progress.back() < 0 || progress.back() > 100); });
    return progress;
  }

  // Stdout capture that a failed ASSERT cannot leave open for the next test.
  void capture() {
    testing::internal::CaptureStdout();
    capturing_ = true;
  }
  std::string captured() {
    capturing_ = false;
    return testing::internal::GetCapturedStdout();
  }

  bool capturing_ = false;
  jyxtest::ScopedTempDir dir;
  TestDataManager* dm = nullptr;
  FakeChannel* fake = nullptr;
  ScriptedController controller{64 * 1024};
};

TEST_F(SPIFlowTest, FlashPadsTheLastSectorAndReportsDone) {
  std::string path = writeImage(5000, 3);
  capture();
  std::vector<int> progress = flash(path);
  std::string out = captured();
  ASSERT_FALSE(progress.empty());
  EXPECT_EQ(CJYXDataManager::kSPIFlashDone, progress.back());
  EXPECT_EQ(2, controller.count(SPI_CTRL, SPI_DATA));  // 2 x ceil(5000 / 8192)
  std::string image = jyxtest::readFile(path);
  EXPECT_EQ(0, memcmp(controller.flash.data(), image.data(), 5000));
  for (size_t i = 5000; i < 8192; ++i) ASSERT_EQ(0xFF, controller.flash[i]) << i;
  EXPECT_NE(std::string::npos, out.find("spi file(" + path + "), size:(5000)\n"));
  EXPECT_NE(std::string::npos,
            out.find("recieved spi:secSize(4096), secNum(4096), secOffset(15679512) :: real "
                     "secNum(2)\n"));
  EXPECT_NE(std::string::npos, out.find("flash id num: 0xef4018\n"));
  EXPECT_NE(std::string::npos, out.find("SPI flash successfully.\n"));
  EXPECT_NE(std::string::npos, out.find("SPI file(" + path + ") flash over successfully\n"));
  // Lines back with the target and programming mode closed.
  EXPECT_EQ(1, controller.gpio[0]);
  EXPECT_EQ(1, controller.gpio[1]);
  EXPECT_FALSE(controller.progMode);
  EXPECT_FALSE(dm->spiBusy());
}

TEST_F(SPIFlowTest, SecurityFieldsFollowTheFlashType) {
  std::string path = writeImage(100, 1);
  dm->setFlashType("2M*4");
  capture();
  flash(path);
  std::vector<int> progress;
  dm->startCheckSPI([&](int p) { progress.push_back(p); });
  run([&] { return !progress.empty() && (progress.back() < 0 || progress.back() > 100); });
  std::string out = captured();
  EXPECT_EQ(CJYXDataManager::kSPICheckDone, progress.back());
  std::vector<const Request*> ctrl;
  for (const Request& r : controller.requests) {
    if (r.cmd == SPI_CTRL && r.data == SPI_CTRL_INFO_DATA) ctrl.push_back(&r);
  }
  // flash enter, flash leave, check enter, check leave
  ASSERT_EQ(4u, ctrl.size());
  EXPECT_EQ(std::vector<uint8_t>({1, 0, 1, 0, 15, 0, 15, 0}), ctrl[0]->payload);
  EXPECT_EQ(std::vector<uint8_t>({0, 0, 1, 0, 15, 0, 0, 0}), ctrl[1]->payload);
  EXPECT_EQ(std::vector<uint8_t>({1, 0, 1, 0, 15, 0, 0, 0}), ctrl[2]->payload);
  EXPECT_NE(std::string::npos,
            out.find("spi ctrl: (enable: 1, security: 1, access id: 0xf, eraseID: 0xf\n"));
}

TEST_F(SPIFlowTest, AckFailedSectorRetriesAfterReconnecting) {
  std::string path = writeImage(20000, 5);
  controller.sectorFaults = {kNone, kAckFail};
  dm->setRetryLimit(2);
  capture();
  std::vector<int> progress = flash(path);
  std::string out = captured();
  EXPECT_EQ(CJYXDataManager::kSPIFlashDone, progress.back());
  size_t fail = out.find("SPI data ACK_FAIL.\n");
  size_t retry = out.find("SPI flash, retry 1\n");
  ASSERT_NE(std::string::npos, fail);
  ASSERT_NE(std::string::npos, retry);
  EXPECT_LT(fail, retry);
  EXPECT_EQ(std::string::npos, out.find("retry 2"));
  EXPECT_EQ(1, fake->closes);
  std::string image = jyxtest::readFile(path);
  EXPECT_EQ(0, memcmp(controller.flash.data(), image.data(), image.size()));
}

TEST_F(SPIFlowTest, AckFailBeyondTheRetryLimitEndsWithTheDump) {
  std::string path = writeImage(100, 5);
  controller.sectorFaults = {kAckFail};
  dm->setRetryLimit(1);
  capture();
  std::vector<int> progress = flash(path);
  std::string out = captured();
  EXPECT_EQ(-1, progress.back());
  EXPECT_EQ(std::string::npos, out.find("retry"));
  // The message, the reply's (empty) payload, then the message once more
  // after the lines went back.
  size_t first = out.find("SPI data ACK_FAIL.\n");
  size_t dump = out.find("data:\n", first);
  ASSERT_NE(std::string::npos, dump) << out;
  EXPECT_NE(std::string::npos, out.find("SPI data ACK_FAIL.\n", dump));
  EXPECT_EQ(1, controller.gpio[0]);
  EXPECT_EQ(1, controller.gpio[1]);
  EXPECT_FALSE(dm->spiBusy());
}

TEST_F(SPIFlowTest, DroppedSectorRepliesTimeOutIntoRetriesThenFail) {
  std::string path = writeImage(100, 5);
  controller.sectorFaults = {kDrop, kDrop, kDrop};
  dm->setRetryLimit(3);
  std::vector<int> progress;
  dm->setImagePath(path);
  capture();
  dm->startFlashSPI([&](int p) { progress.push_back(p); });
  double future = CAPIManager::wallClock();
  for (int pass = 0; pass < 3; ++pass) {
    // Wait for the sector request of this pass, then jump past its time-out.
    ASSERT_TRUE(run([&] { return controller.sectorWrites == pass + 1 && dm->pendingCount() == 1; }));
    future += CJYXDataManager::kRequestTimeout + 1;
    dm->onUpdate(future);
  }
  run([&] { return !progress.empty() && progress.back() < 0; });
  std::string out = captured();
  EXPECT_EQ(-1, progress.back());
  const char* timeout = "network is abnormal or send SPI data time out.\n";
  size_t at = 0;
  std::vector<std::string> order;
  for (const char* line : {timeout, "SPI flash, retry 1\n", timeout, "SPI flash, retry 2\n", timeout,
                           timeout}) {
    at = out.find(line, at);
    ASSERT_NE(std::string::npos, at) << "missing in order: " << line << "\n" << out;
    at += strlen(line);
  }
  EXPECT_EQ(std::string::npos, out.find("retry 3"));
}

TEST_F(SPIFlowTest, CheckPrintsTheDifferingLineOfTheChangedBlock) {
  std::string path = writeImage(9000, 7);
  std::string image = jyxtest::readFile(path);
  memcpy(controller.flash.data(), image.data(), image.size());
  controller.flash[4096 + 0x23] ^= 0x01;  // block 1, line 2
  std::vector<int> progress;
  dm->setImagePath(path);
  capture();
  dm->startCheckSPI([&](int p) { progress.push_back(p); });
  run([&] { return !progress.empty() && progress.back() < 0; });
  std::string out = captured();
  EXPECT_EQ(-1, progress.back());
  EXPECT_EQ(2, controller.count(SPI_READ, SPI_DATA));  // stops at the changed block
  auto hex = [](const uint8_t* b) {
    char s[40];
    snprintf(s, sizeof(s), "%.2x%.2x%.2x%.2x%.2x%.2x%.2x%.2x  %.2x%.2x%.2x%.2x%.2x%.2x%.2x%.2x",
             b[0], b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12],
             b[13], b[14], b[15]);
    return std::string(s);
  };
  std::string want = "00000002--JYX:" + hex(&controller.flash[4096 + 32]) + "\n00000258-FILE:" +
                     hex(reinterpret_cast<const uint8_t*>(image.data()) + 4096 + 32) + "\n\n";
  EXPECT_NE(std::string::npos, out.find(want)) << out;
  EXPECT_FALSE(dm->spiBusy());
  // The failure is reported with the lines back at the target.
  EXPECT_EQ(1, controller.gpio[0]);
  EXPECT_EQ(1, controller.gpio[1]);
}

TEST_F(SPIFlowTest, RefusedOrLostCheckBlockFailsWithTheLinesBack) {
  std::string path = writeImage(9000, 7);
  std::string image = jyxtest::readFile(path);
  memcpy(controller.flash.data(), image.data(), image.size());
  dm->setImagePath(path);
  dm->setFlashType("2M*3");  // programming mode is left too
  std::vector<int> progress;
  capture();
  controller.readFaults = {kNone, kAckFail};
  dm->startCheckSPI([&](int p) { progress.push_back(p); });
  ASSERT_TRUE(run([&] { return !progress.empty() && progress.back() < 0; }));
  EXPECT_EQ(2, controller.count(SPI_READ, SPI_DATA));
  EXPECT_EQ(1, controller.gpio[0]);
  EXPECT_EQ(1, controller.gpio[1]);
  EXPECT_FALSE(controller.progMode);
  EXPECT_FALSE(dm->spiBusy());

  // A block whose reply never comes fails at the time-out the same way.
  controller.gpio[0] = controller.gpio[1] = 1;
  controller.blockReads = 0;
  controller.readFaults = {kDrop};
  progress.clear();
  dm->startCheckSPI([&](int p) { progress.push_back(p); });
  ASSERT_TRUE(run([&] { return controller.blockReads == 1 && dm->pendingCount() == 1; }));
  dm->onUpdate(CAPIManager::wallClock() + CJYXDataManager::kRequestTimeout + 1);
  ASSERT_TRUE(run([&] { return !progress.empty() && progress.back() < 0; }));
  captured();
  EXPECT_EQ(1, controller.gpio[0]);
  EXPECT_EQ(1, controller.gpio[1]);
  EXPECT_FALSE(controller.progMode);
  EXPECT_FALSE(dm->spiBusy());
}

TEST_F(SPIFlowTest, CheckOf4097BytesReadsTwoBlocksAndComparesOneByteOfTheSecond) {
  std::string path = writeImage(4097, 9);
  std::string image = jyxtest::readFile(path);
  memcpy(controller.flash.data(), image.data(), image.size());
  controller.flash[4097] = 0x00;  // beyond the image: not compared
  std::vector<int> progress;
  dm->setImagePath(path);
  capture();
  dm->startCheckSPI([&](int p) { progress.push_back(p); });
  run([&] { return !progress.empty() && (progress.back() < 0 || progress.back() > 100); });
  captured();
  EXPECT_EQ(CJYXDataManager::kSPICheckDone, progress.back());
  EXPECT_EQ(2, controller.count(SPI_READ, SPI_DATA));
  EXPECT_EQ(0, controller.count(SPI_CTRL, SPI_CTRL_INFO_DATA));  // plain flash: no programming mode
}

TEST_F(SPIFlowTest, ReadCopiesUnalignedRangesAcrossBlocks) {
  for (size_t i = 0; i < controller.flash.size(); ++i) controller.flash[i] = static_cast<uint8_t>(i / 7);
  struct Case {
    int offset, size, blocks;
  } cases[] = {{4090, 10, 2}, {0x1000, 16, 1}, {1, 3 * 4096, 4}, {0, 20, 1}};
  capture();
  for (const Case& c : cases) {
    int before = controller.count(SPI_READ, SPI_DATA);
    std::vector<uint8_t> out(c.size, 0xAA);
    std::vector<int> progress;
    dm->startGetSPIContent(c.offset, c.size, out.data(), [&](int p) { progress.push_back(p); });
    ASSERT_TRUE(run([&] { return !progress.empty() && (progress.back() < 0 || progress.back() > 100); }));
    EXPECT_EQ(CJYXDataManager::kSPICheckDone, progress.back());
    EXPECT_EQ(c.blocks, controller.count(SPI_READ, SPI_DATA) - before) << c.offset;
    EXPECT_EQ(0, memcmp(out.data(), &controller.flash[c.offset], c.size)) << c.offset;
    // Progress reaches 100 before the end value.
    ASSERT_GE(progress.size(), 2u);
    EXPECT_EQ(100, progress[progress.size() - 2]);
  }
  captured();
}

TEST_F(SPIFlowTest, ReadOfZeroLengthPrintsAndCallsNothing) {
  bool called = false;
  capture();
  dm->startGetSPIContent(0, 0, nullptr, [&](int) { called = true; });
  EXPECT_EQ("get SPI data length(0) < 0 \n", captured());
  EXPECT_FALSE(called);
  EXPECT_TRUE(controller.requests.empty());
  EXPECT_EQ(0u, fake->writeCount());
}

TEST_F(SPIFlowTest, ExportFlashDataDumpsRowsWithSpareZeros) {
  for (int i = 0; i < 20; ++i) controller.flash[i] = static_cast<uint8_t>(0x10 + i);
  bool ok = false, done = false;
  capture();
  dm->exportFlashData(true, 0, 20, [&](bool r) {
    ok = r;
    done = true;
  });
  run([&] { return done; });
  std::string out = captured();
  EXPECT_TRUE(ok);
  EXPECT_NE(std::string::npos, out.find("offset:0, len:20\n\n\n1011 1213 1415 1617 1819 1a1b 1c1d 1e1f"
                                        "\n2021 2223 0000 0000 0000 0000 0000 0000"))
      << out;
}

TEST_F(SPIFlowTest, RegisterWritesFollowTheMask) {
  struct Case {
    uint32_t value;
    std::vector<uint8_t> writes;
    uint8_t regs[3];
  } cases[] = {
      {0x00000040, {0x01}, {0x40, 0x77, 0x77}},
      {0x02000000, {0x31}, {0x77, 0x00, 0x77}},
      {0x00000000, {0x01}, {0x00, 0x77, 0x77}},
      {0x07030201, {0x01, 0x31, 0x11}, {0x01, 0x02, 0x03}},
  };
  for (const Case& c : cases) {
    memset(controller.regs, 0x77, 3);
    controller.regWrites.clear();
    int result = -1;
    capture();
    dm->winbondWriteSPIRegisters(c.value, [&](bool ok) { result = ok; });
    run([&] { return result >= 0; });
    std::string out = captured();
    EXPECT_EQ(1, result);
    EXPECT_EQ(c.writes, controller.regWrites) << std::hex << c.value;
    EXPECT_EQ(0, memcmp(c.regs, controller.regs, 3)) << std::hex << c.value;
    // The caller hears the result with the lines back at the target.
    EXPECT_EQ(1, controller.gpio[0]);
    EXPECT_EQ(1, controller.gpio[1]);
  }
  int result = -1;
  memset(controller.regs, 0x7C, 3);
  controller.regWrites.clear();
  capture();
  dm->winbondUnlockFlash([&](bool ok) { result = ok; });
  run([&] { return result >= 0; });
  EXPECT_EQ(0u, captured().find(
                    "jyx.data(winbondWriteSPIRegisters): mask(0x3), value(0x00, 0x00, 0x00).\n"));
  EXPECT_EQ(std::vector<uint8_t>({0x01, 0x31}), controller.regWrites);
  EXPECT_EQ(0x7C, controller.regs[2]);
}

TEST_F(SPIFlowTest, RegisterReadGivesThreeBytesOrNoneWhenAStepTimesOut) {
  controller.regs[0] = 0x1C;
  controller.regs[1] = 0x02;
  controller.regs[2] = 0x60;
  std::vector<uint8_t> got;
  int count = -1;
  auto callback = [&](const uint8_t* bytes, int n) {
    count = n;
    got.assign(bytes, bytes + (bytes ? n : 0));
  };
  dm->winbondReadSPIRegisters(callback);
  run([&] { return count >= 0; });
  EXPECT_EQ(3, count);
  EXPECT_EQ(std::vector<uint8_t>({0x1C, 0x02, 0x60}), got);

  controller.regReadsLeft = 1;  // the second read goes unanswered
  count = -1;
  capture();
  dm->winbondReadSPIRegisters(callback);
  ASSERT_TRUE(run([&] { return dm->pendingCount() == 1 && controller.count(SPI_CTRL, SPI_REG_DATA) == 5; }));
  dm->onUpdate(CAPIManager::wallClock() + CJYXDataManager::kRequestTimeout + 1);
  run([&] { return count >= 0; });
  std::string out = captured();
  EXPECT_EQ(0, count);
  EXPECT_EQ(5, controller.count(SPI_CTRL, SPI_REG_DATA));  // no third request
  EXPECT_NE(std::string::npos, out.find("jyx.data(readSPIReg): read spi register 0x35 failed.\n"));
  EXPECT_EQ(1, controller.gpio[1]);
}

TEST_F(SPIFlowTest, ClosedChannelFailsEveryFlowWithItsMessage) {
  fake->setOpen(false);
  fake->openSucceeds = false;
  capture();
  bool regDone = false;
  dm->winbondReadSPIRegisters([&](const uint8_t* b, int n) { regDone = b == nullptr && n == 0; });
  EXPECT_TRUE(regDone);
  int unlock = -1;
  dm->winbondUnlockFlash([&](bool ok) { unlock = ok; });
  EXPECT_EQ(0, unlock);
  std::vector<int> progress;
  std::string path = writeImage(100, 1);
  dm->setImagePath(path);
  dm->setRetryLimit(1);
  dm->startFlashSPI([&](int p) { progress.push_back(p); });
  run([&] { return !progress.empty() && progress.back() < 0; });
  std::string out = captured();
  EXPECT_EQ(-1, progress.back());
  EXPECT_NE(std::string::npos, out.find("jyx.data(winbondReadSPIRegisters): channel is not valid.\n"));
  EXPECT_NE(std::string::npos, out.find("jyx.data(winbondUnlockFlash): channel is not valid.\n"));
  EXPECT_NE(std::string::npos, out.find("jyx.data(gpio): channel is not valid.\n"));
  EXPECT_NE(std::string::npos, out.find("SPI flash fail.\n"));
  EXPECT_EQ(0u, fake->writeCount());
}

TEST_F(SPIFlowTest, MissingOrEmptyImageFailsAtOnce) {
  std::vector<int> progress;
  capture();
  dm->setImagePath("");
  dm->startFlashSPI([&](int p) { progress.push_back(p); });
  dm->setImagePath(dir.file("missing.bin"));
  dm->startFlashSPI([&](int p) { progress.push_back(p); });
  dm->startCheckSPI([&](int p) { progress.push_back(p); });
  jyxtest::writeFile(dir.file("empty.bin"), "");
  dm->setImagePath(dir.file("empty.bin"));
  dm->startFlashSPI([&](int p) { progress.push_back(p); });
  captured();
  EXPECT_EQ(std::vector<int>({-1, -1, -1, -1}), progress);
  EXPECT_EQ(0u, fake->writeCount());
}

TEST_F(SPIFlowTest, StartTasksAreRefusedWhileBusy) {
  dm->setSpiBusy(true);
  std::string path = writeImage(100, 1);
  dm->setImagePath(path);
  capture();
  for (const char* name : {"jyx.data:spi_flash", "jyx.data:spi_check", "jyx.data:spi_loop_flash"}) {
    APIDATA data;
    CTask* task = CAPIManager::instance()->createTask(0, name, &data, nullptr);
    dm->dispatchTask(task);
    CAPIManager::instance()->update();
  }
  std::string out = captured();
  EXPECT_EQ(std::string::npos, out.find("flash SPI data"));
  EXPECT_EQ(std::string::npos, out.find("check SPI data"));
  EXPECT_EQ(0u, fake->writeCount());
}

// Runs one task through the manager's handler table and hands it back.
void runTask(CJYXDataManager* dm, const std::string& name, const char* args) {
  APIDATA data;
  data.append(args, nullptr, 0);
  CTask* task = CAPIManager::instance()->createTask(0, name, &data, nullptr);
  dm->dispatchTask(task);
  CAPIManager::instance()->update();
}

TEST_F(SPIFlowTest, ReadTasksParseTheRangeAndRefuseSizesAbove10MiB) {
  for (int i = 0; i < 0x40; ++i) controller.flash[0x1000 + i] = static_cast<uint8_t>(0xC0 + i);
  capture();
  runTask(dm, "jyx.data:spi_read_addr", "{\"value\":\"4100\"}");
  runTask(dm, "jyx.data:spi_read_size", "{\"value\":\"0xA00001\"}");
  runTask(dm, "jyx.data:spi_read", "");
  EXPECT_EQ("read spi(offset:4100, size:10485761) fail\n", captured());
  EXPECT_EQ(0u, fake->writeCount());

  capture();
  runTask(dm, "jyx.data:spi_read_size", "{\"value\":\"0x10\"}");
  runTask(dm, "jyx.data:spi_read", "");
  run([&] { return !dm->spiBusy() && dm->readBuffer().length() == 16 && fake->writeCount() > 4; });
  run([&] { return dm->pendingCount() == 0 && !dm->spiBusy(); });
  std::string out = captured();
  EXPECT_NE(std::string::npos,
            out.find("offset:4100, len:16\n\n\nc4c5 c6c7 c8c9 cacb cccd cecf d0d1 d2d3")) << out;
}

TEST_F(SPIFlowTest, FlashTypeTaskAndImageListFromTheServer) {
  runTask(dm, "jyx.data:flash_type", "{\"value\":\"2M*8\"}");
  EXPECT_EQ("2M*8", dm->flashType());
  EXPECT_EQ(1, dm->securityMode());
  EXPECT_EQ(255, dm->accessId());
  EXPECT_EQ(255, dm->eraseId());
  runTask(dm, "jyx.data:flash_type", "{\"value\":\"Normal\"}");
  EXPECT_EQ(0, dm->securityMode());

  // A server base that is a local folder is read as a file.
  jyxtest::writeFile(dir.file("qel.json"),
                     "{\"images\":[{\"version\":\"v1\",\"image\":\"a.bin\"},7,"
                     "{\"version\":\"v2\",\"image\":\"b.bin\"}]}");
  std::string url = "{\"value\":\"" + dir.path() + "\"}";
  capture();
  runTask(dm, "jyx.data:spi_url", url.c_str());
  runTask(dm, "jyx.data:spi_refresh_images", "");
  run([&] { return dm->imageList().size() == 2; });
  runTask(dm, "jyx.data:spi_remote_file", "{\"value\":\"v2\"}");
  captured();
  ASSERT_EQ(2u, dm->imageList().size());
  EXPECT_EQ("v1", dm->imageList()[0].version());
  EXPECT_EQ("b.bin", dm->imageList()[1].image());
  EXPECT_EQ(1, dm->selectedImage());

  // Broken JSON leaves the list as it was.
  jyxtest::writeFile(dir.file("qel.json"), "{\"images\":[");
  capture();
  runTask(dm, "jyx.data:spi_refresh_images", "");
  run([&] { return false; }, 0.3);
  captured();
  EXPECT_EQ(2u, dm->imageList().size());
}

}  // namespace
