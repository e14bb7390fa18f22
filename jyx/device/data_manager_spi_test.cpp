// SPI flows of the data manager against a scripted controller: the manager
// writes into a fake channel, the controller below decodes every request and
// answers through onPackage, with faults on chosen replies. Time-outs are
// driven by calling onUpdate with a time 300 s ahead.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "common/api_manager.h"
#include "controller_test_util.h"
#include "jyx/device/data_manager.h"
#include "jyx/jyx.h"
#include "test_util.h"

namespace {

using jyxtest::FakeChannel;
using jyxtest::runTask;

class TestDataManager : public CJYXDataManager {
 public:
  TestDataManager() : CJYXDataManager(CJYX::instance(), "127.0.0.1", kDefaultPort, false) {}
};

bool hasReason(CJYXDataManager* dm, const std::string& part) {
  for (const std::string& reason : dm->spiFailReasons()) {
    if (reason.find(part) != std::string::npos) return true;
  }
  return false;
}

struct Request : jyxtest::Sent {
  uint16_t u16(size_t at) const { return payload[at] | payload[at + 1] << 8; }
  uint32_t u32(size_t at) const {
    return payload[at] | payload[at + 1] << 8 | payload[at + 2] << 16 |
           static_cast<uint32_t>(payload[at + 3]) << 24;
  }
};

enum Fault { kNone, kDrop, kAckFail };

// A controller with a small flash, the two flash-line GPIOs, programming mode
// and three status registers. It refuses sector requests while the lines are
// with the target, as the board does; sector writes are acknowledged, not kept.
class ScriptedController {
 public:
  explicit ScriptedController(size_t flashSize) : flash(flashSize, 0xFF) {}

  // Answers every request written since the last call.
  void serve(CJYXDataManager* dm, FakeChannel* fake) {
    while (next_ < fake->writeCount()) {
      Request r{jyxtest::decode(fake->writeAt(next_++))};
      requests.push_back(r);
      if (answersLeft-- <= 0) continue;  // stopped answering
      CPackage reply;
      if (!answer(r, &reply)) continue;
      dm->onPackage(&reply);
    }
  }

  bool answer(const Request& r, CPackage* reply) {
    bool linesHeld = gpio[0] == 0 && gpio[1] == 0;  // SPI_PRG_EN, SPI_PRG_SEL
    auto refuse = [&] {
      reply->makeAckFail(r.frame);
      return true;
    };
    switch (r.cmd) {
      case HEART_BEAT:
        reply->makeHeartBeatAck(r.frame);
        return true;
      case GPIO_CTRL: {
        uint16_t num = r.u16(2);
        if (gpioRequests++ == gpioAckFailAt) return refuse();  // the line keeps its level
        if (num == 66 || num == 67) gpio[num - 66] = r.payload[1];
        reply->makeGpioAck(r.frame, r.payload[0], r.payload[1], num);
        return true;
      }
      case SPI_CTRL:
        if (r.data == SPI_CTRL_INFO_DATA) {
          progMode = r.u16(0) == 1;
          reply->makeSPICtrlAck(r.frame, 0xEF4018, 4096, ackSectors);
          return true;
        }
        if (r.data == SPI_DATA) {
          int n = sectorWrites++;
          Fault f = n < static_cast<int>(sectorFaults.size()) ? sectorFaults[n] : kNone;
          if (f == kDrop) return false;
          if (f == kAckFail || !linesHeld || !progMode) return refuse();
          reply->makeSPIDataAck(r.frame);
          return true;
        }
        if (r.data == SPI_REG_DATA) {
          uint8_t command = r.payload[1];
          if (command == 0x9F && linesHeld) {
            const uint8_t id[3] = {0xEF, 0x40, jedecCapacity};
            reply->makeSPIRegAck(r.frame, 1, command, 3, id);
            return true;
          }
          int reg = command == 0x05 || command == 0x01   ? 0
                    : command == 0x35 || command == 0x31 ? 1
                                                         : 2;
          if (!linesHeld) return refuse();
          if (r.payload[0] != 1 || regReadsLeft-- == 0) return false;  // reads only
          reply->makeSPIRegAck(r.frame, 1, command, 1, &regs[reg]);
          return true;
        }
        return false;
      case SPI_READ: {
        int n = blockReads++;
        Fault f = n < static_cast<int>(readFaults.size()) ? readFaults[n] : kNone;
        if (f == kDrop) return false;
        if (f == kAckFail || !linesHeld) return refuse();
        uint32_t at = r.u32(0) * 4096;
        std::vector<uint8_t> block(4096, 0xFF);
        if (at < flash.size())
          memcpy(block.data(), &flash[at], std::min<size_t>(4096, flash.size() - at));
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
  // Sector count of the programming-mode acknowledge and the JEDEC capacity
  // byte (2^n bytes): 16 MiB and 64 KiB unless a test says otherwise.
  uint16_t ackSectors = 4096;
  uint8_t jedecCapacity = 0x10;
  // The GPIO request (counted from 0) answered with ACK_FAIL; -1: none.
  int gpioAckFailAt = -1;
  int gpioRequests = 0;
  uint8_t gpio[2] = {1, 1};
  bool progMode = false;
  uint8_t regs[3] = {0, 0, 0};
  int regReadsLeft = 1 << 30;
  std::vector<Fault> sectorFaults;
  int sectorWrites = 0;
  std::vector<Fault> readFaults;
  int blockReads = 0;
  std::vector<Request> requests;
  int answersLeft = 1 << 30;  // requests answered before the controller goes silent

  // Sector indices of the sector writes, in the order they were sent.
  std::vector<uint32_t> sectorWriteIndices() const {
    std::vector<uint32_t> out;
    for (const Request& r : requests) {
      if (r.cmd == SPI_CTRL && r.data == SPI_DATA) out.push_back(r.u32(0));
    }
    return out;
  }

 private:
  size_t next_ = 0;
};

class SPIFlowTest : public jyxtest::ControllerFixture<TestDataManager> {
 protected:
  void TearDown() override {
    if (capturing_) captured();
    ControllerFixture::TearDown();
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
  bool failed(const std::vector<int>& progress) { return !progress.empty() && progress.back() < 0; }
  bool ended() { return failed(progress) || (!progress.empty() && progress.back() > 100); }
  // Starts a flow on a fresh `progress` and serves it until it fails or is
  // done; false when it never ended. `out` receives what it printed.
  bool runFlow(const std::function<void(CJYXDataManager::SPIProgress)>& start,
               std::string* out = nullptr) {
    progress.clear();
    capture();
    start([this](int p) { progress.push_back(p); });
    bool done = run([&] { return ended(); });
    std::string text = captured();
    if (out) *out = text;
    return done;
  }
  bool flash(std::string* out = nullptr) {
    return runFlow([&](CJYXDataManager::SPIProgress p) { dm->startFlashSPI(p); }, out);
  }

  std::string writeImage(size_t size, uint8_t seed) {
    std::string image(size, '\0');
    for (size_t i = 0; i < size; ++i) image[i] = static_cast<char>(i * 131 + seed + (i >> 12));
    std::string path = dir.file("image.bin");
    jyxtest::writeFile(path, image);
    return path;
  }
  // Writes an image that the flash already holds and makes it the one to check.
  std::string preload(size_t size, uint8_t seed) {
    std::string path = writeImage(size, seed);
    std::string image = jyxtest::readFile(path);
    memcpy(controller.flash.data(), image.data(), image.size());
    dm->setImagePath(path);
    return image;
  }
  void expectLinesBack() {
    EXPECT_EQ(1, controller.gpio[0]);
    EXPECT_EQ(1, controller.gpio[1]);
    EXPECT_FALSE(controller.progMode);
    EXPECT_FALSE(dm->spiBusy());
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
  std::vector<int> progress;
  jyxtest::ScopedTempDir dir;
  ScriptedController controller{64 * 1024};
};

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
    ASSERT_TRUE(
        run([&] { return controller.sectorWrites == pass + 1 && dm->pendingCount() == 1; }));
    future += CJYXDataManager::kRequestTimeout + 1;
    dm->onUpdate(future);
  }
  run([&] { return failed(progress); });
  std::string out = captured();
  EXPECT_EQ(-1, progress.back());
  const char* timeout = "network is abnormal or send SPI data time out.\n";
  size_t at = 0;
  std::vector<std::string> order;
  for (const char* line :
       {timeout, "SPI flash, retry 1\n", timeout, "SPI flash, retry 2\n", timeout, timeout}) {
    at = out.find(line, at);
    ASSERT_NE(std::string::npos, at) << "missing in order: " << line << "\n" << out;
    at += strlen(line);
  }
  EXPECT_EQ(std::string::npos, out.find("retry 3"));
  EXPECT_TRUE(hasReason(dm, "no reply from the controller for sector 0 (time-out or lost link)"));
}

// A controller that stops answering in the middle of a flash used to cost
// about 65 minutes: every chained request (leaving programming mode, the
// line hand-back, each retry's first steps) paid the full 300 s again. Time
// is moved by hand: while nothing happens, the pending requests are made one
// second older per pass; when one expires, that wait is added to the
// virtual time, as are the real pauses of the retries.
TEST_F(SPIFlowTest, SilentControllerGetsItsVerdictWithinOneTimeOutPlusTheRetries) {
  dm->setImagePath(writeImage(40000, 3));  // 10 sectors
  dm->setRetryLimit(5);
  controller.answersLeft = 2 + 1 + 3;  // the two lines, programming mode, three sectors
  std::vector<int> progress;
  capture();
  double start = CAPIManager::wallClock();
  double waited = 0;  // virtual seconds spent waiting for expiries
  double age = 0;     // how far the current wait has got
  dm->startFlashSPI([&](int p) { progress.push_back(p); });
  while (!failed(progress) && waited < 20 * CJYXDataManager::kRequestTimeout) {
    // Pump first, then serve: a request sent while serving stamps the last
    // activity with the pump's clock and itself with the wall clock. With the
    // pump a pass behind, the heartbeat could fall due before the sector's
    // time-out and restart this wait.
    CAPIManager::instance()->update();
    controller.serve(dm, fake);
    age += 1.0;
    int pending = dm->pendingCount();
    size_t writes = fake->writeCount();
    dm->onUpdate(CAPIManager::wallClock() + age);
    if (dm->pendingCount() != pending || fake->writeCount() != writes) {
      waited += age;
      age = 0;
    }
  }
  double verdict = CAPIManager::wallClock() - start + waited + age;
  std::string out = captured();
  ASSERT_TRUE(failed(progress)) << out;
  EXPECT_EQ(1, std::count(progress.begin(), progress.end(), -1));
  // One full time-out for the sector that went unanswered; then each of the
  // four retries and the final hand-back wait only the short limit per step.
  double bound = CJYXDataManager::kRequestTimeout +
                 5 * (3.0 + 4 * (CJYXDataManager::kUnansweredLinkTimeout + 1.0));
  EXPECT_GT(verdict, CJYXDataManager::kRequestTimeout);
  EXPECT_LT(verdict, bound) << out;
  EXPECT_NE(std::string::npos, out.find("SPI flash, retry 4\n"));
  EXPECT_EQ(std::string::npos, out.find("SPI flash, retry 5"));
  EXPECT_EQ(4u, controller.sectorWriteIndices().size());  // no pass got past its first step
  // Nothing of the flash is left pending to fire later.
  for (int i = 0; i < 5; ++i) {
    dm->onUpdate(CAPIManager::wallClock() + CJYXDataManager::kRequestTimeout + 1);
  }
  EXPECT_EQ(1, std::count(progress.begin(), progress.end(), -1));
}

// Each sector write erases and programs its own sector, so a retry goes on
// at the sector that failed instead of sending the whole image again;
// only a layout whose programming mode erases its copies on entry starts
// over.
TEST_F(SPIFlowTest, ARetryGoesOnAtTheSectorThatFailed) {
  struct Case {
    const char* flashType;
    std::vector<uint32_t> indices;
  };
  const Case cases[] = {
      {"Normal", {0, 1, 2, 3, 3, 4, 5, 6, 7, 8, 9}},
      {"2M*3", {0, 1, 2, 3, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.flashType);
    controller.requests.clear();
    controller.sectorWrites = 0;
    controller.sectorFaults = {kNone, kNone, kNone, kAckFail};
    dm->setFlashType(c.flashType);
    dm->setImagePath(writeImage(40000, 9));
    std::string out;
    ASSERT_TRUE(flash(&out));
    EXPECT_EQ(CJYXDataManager::kSPIFlashDone, progress.back()) << out;
    EXPECT_EQ(c.indices, controller.sectorWriteIndices());
  }
}

TEST_F(SPIFlowTest, RefusedOrLostCheckBlockFailsWithTheLinesBack) {
  preload(9000, 7);
  dm->setFlashType("2M*3");  // programming mode is left too
  controller.readFaults = {kNone, kAckFail};
  ASSERT_TRUE(runFlow([&](CJYXDataManager::SPIProgress p) { dm->startCheckSPI(p); }));
  EXPECT_EQ(-1, progress.back());
  EXPECT_EQ(2, controller.count(SPI_READ, SPI_DATA));
  expectLinesBack();

  // A block whose reply never comes fails at the time-out the same way.
  controller.gpio[0] = controller.gpio[1] = 1;
  controller.blockReads = 0;
  controller.readFaults = {kDrop};
  progress.clear();
  capture();
  dm->startCheckSPI([&](int p) { progress.push_back(p); });
  ASSERT_TRUE(run([&] { return controller.blockReads == 1 && dm->pendingCount() == 1; }));
  dm->onUpdate(CAPIManager::wallClock() + CJYXDataManager::kRequestTimeout + 1);
  ASSERT_TRUE(run([&] { return failed(progress); }));
  captured();
  expectLinesBack();
}

TEST_F(SPIFlowTest, RegisterReadGivesNoneWhenAStepTimesOut) {
  int count = -1;
  controller.regReadsLeft = 1;  // the second read goes unanswered
  capture();
  dm->winbondReadSPIRegisters([&](const uint8_t* bytes, int n) { count = bytes ? n : 0; });
  ASSERT_TRUE(run(
      [&] { return dm->pendingCount() == 1 && controller.count(SPI_CTRL, SPI_REG_DATA) == 2; }));
  dm->onUpdate(CAPIManager::wallClock() + CJYXDataManager::kRequestTimeout + 1);
  run([&] { return count >= 0; });
  std::string out = captured();
  EXPECT_EQ(0, count);
  EXPECT_EQ(2, controller.count(SPI_CTRL, SPI_REG_DATA));  // no third request
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
  std::string out = captured();
  EXPECT_NE(std::string::npos,
            out.find("jyx.data(winbondReadSPIRegisters): channel is not valid.\n"));
  EXPECT_NE(std::string::npos, out.find("jyx.data(winbondUnlockFlash): channel is not valid.\n"));
  dm->setImagePath(writeImage(100, 1));
  dm->setRetryLimit(1);
  ASSERT_TRUE(flash(&out));
  EXPECT_EQ(-1, progress.back());
  EXPECT_NE(std::string::npos, out.find("jyx.data(gpio): channel is not valid.\n"));
  EXPECT_NE(std::string::npos, out.find("SPI flash fail.\n"));
  EXPECT_EQ(0u, fake->writeCount());
}

TEST_F(SPIFlowTest, ReadTaskRefusesSizesAbove10MiB) {
  capture();
  runTask(dm, "jyx.data:spi_read_addr", "{\"value\":\"4100\"}");
  runTask(dm, "jyx.data:spi_read_size", "{\"value\":\"0xA00001\"}");
  runTask(dm, "jyx.data:spi_read", "");
  EXPECT_EQ("read spi(offset:4100, size:10485761) fail\n", captured());
  EXPECT_EQ(0u, fake->writeCount());
}

TEST_F(SPIFlowTest, ImageListFromAFolderServerSkipsBadEntriesAndKeepsItOnBrokenJson) {
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

  jyxtest::writeFile(dir.file("qel.json"), "{\"images\":[");
  capture();
  runTask(dm, "jyx.data:spi_refresh_images", "");
  run([&] { return false; }, 0.3);
  captured();
  EXPECT_EQ(2u, dm->imageList().size());
}

// Every flow ends with the lines given back; when that hand-back is refused
// the flow fails whatever came before, and says why.
TEST_F(SPIFlowTest, RefusedHandBackFailsAFlowThatOtherwiseSucceeded) {
  // Read: take (GPIO 0, 1), one block, hand back (GPIO 2 refused).
  controller.gpioAckFailAt = 2;
  std::vector<uint8_t> dest(100);
  std::string out;
  ASSERT_TRUE(runFlow(
      [&](CJYXDataManager::SPIProgress p) { dm->startGetSPIContent(0, 100, dest.data(), p); },
      &out));
  EXPECT_EQ(-1, progress.back());
  EXPECT_TRUE(hasReason(dm, "SPI lines were not handed back")) << out;
  EXPECT_NE(std::string::npos, out.find("SPI_PRG_EN to 1 fail.\n"));

  // Flash: the last request of the pass, SPI_PRG_SEL to 1, is refused.
  dm->setImagePath(writeImage(5000, 3));
  dm->setRetryLimit(1);
  controller.gpio[0] = controller.gpio[1] = 1;
  controller.gpioRequests = 0;
  controller.gpioAckFailAt = 3;
  ASSERT_TRUE(flash(&out));
  EXPECT_EQ(-1, progress.back()) << out;
  EXPECT_EQ(2, controller.sectorWrites);  // every sector was written
  EXPECT_NE(std::string::npos, out.find("SPI_PRG_SEL to 1 fail.\n"));
  ASSERT_EQ(1u, dm->spiFailReasons().size());
  EXPECT_TRUE(hasReason(dm, "(SPI_PRG_SEL to 1 fail.)"));

  // The same flash with the hand-back acknowledged succeeds and has no reason.
  controller.gpioAckFailAt = -1;
  ASSERT_TRUE(flash());
  EXPECT_EQ(CJYXDataManager::kSPIFlashDone, progress.back());
  EXPECT_TRUE(dm->spiFailReasons().empty());
  expectLinesBack();
}

// The flash size the controller reports bounds the image and the read
// range before the first sector; no pass is retried for it.
TEST_F(SPIFlowTest, ImageOrRangeLargerThanTheFlashIsRefusedBeforeTheFirstSector) {
  controller.ackSectors = 2;  // 8 KiB
  dm->setImagePath(writeImage(9000, 4));
  dm->setRetryLimit(5);
  ASSERT_TRUE(flash());
  EXPECT_EQ(-1, progress.back());
  EXPECT_EQ(0, controller.sectorWrites);
  EXPECT_EQ(2, controller.count(SPI_CTRL, SPI_CTRL_INFO_DATA));  // one pass: open, leave
  EXPECT_TRUE(hasReason(dm, "(9000 bytes) is larger than the flash (8192 bytes)"));
  EXPECT_EQ(8192u, dm->spiFlashSize());
  expectLinesBack();

  // A read learns the size from the JEDEC id (64 KiB here); up to its last
  // byte is fine.
  std::vector<uint8_t> dest(0x2000);
  auto read = [&](int offset) {
    return runFlow([&](CJYXDataManager::SPIProgress p) {
      dm->startGetSPIContent(offset, 0x2000, dest.data(), p);
    });
  };
  ASSERT_TRUE(read(0xF000));
  EXPECT_EQ(-1, progress.back());
  EXPECT_EQ(0, controller.blockReads);
  EXPECT_TRUE(hasReason(dm, "ends beyond the flash (65536 bytes)"));
  expectLinesBack();
  ASSERT_TRUE(read(0xE000));
  EXPECT_EQ(CJYXDataManager::kSPICheckDone, progress.back());
  EXPECT_EQ(2, controller.blockReads);
}

// An image that cannot be used fails a flash or a check at once, before
// anything is sent, with a reason naming the problem; a refused sector names
// the sector.
TEST_F(SPIFlowTest, FailureReasonsNameTheImageProblemOrTheSector) {
  jyxtest::writeFile(dir.file("empty.bin"), "");
  const std::pair<std::string, const char*> images[] = {
      {"", "no image file given"},
      {dir.file("missing.bin"), "No such file or directory"},
      {dir.path(), "is a directory"},
      {dir.file("empty.bin"), "is empty"},
  };
  for (const auto& image : images) {
    SCOPED_TRACE(image.first);
    dm->setImagePath(image.first);
    progress.clear();
    capture();
    dm->startFlashSPI([&](int p) { progress.push_back(p); });
    EXPECT_TRUE(hasReason(dm, image.second));
    dm->startCheckSPI([&](int p) { progress.push_back(p); });
    captured();
    EXPECT_EQ(std::vector<int>({-1, -1}), progress);  // without a pump
  }
  EXPECT_EQ(0u, fake->writeCount());

  dm->setRetryLimit(1);
  controller.sectorFaults = {kNone, kAckFail};
  dm->setImagePath(writeImage(5000, 9));
  ASSERT_TRUE(flash());
  EXPECT_EQ(-1, progress.back());
  EXPECT_TRUE(hasReason(dm, "refused sector 1 (ACK_FAIL)"));
  EXPECT_EQ(1u, dm->spiFailReasons().size());  // the lines went back
}

}  // namespace
