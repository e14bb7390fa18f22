// CJYXLogManager over a scripted channel: verbatim printing, the partial-line
// flush after a second of silence, and saving the log.
#include "jyx/device/log_manager.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "common/api_manager.h"
#include "jyx/device/data_manager.h"
#include "jyx/jyx.h"
#include "test_util.h"

namespace {

using jyxtest::FakeChannel;

class TestLogManager : public CJYXLogManager {
 public:
  TestLogManager()
      : CJYXLogManager(CJYX::instance(), CJYXDataManager::instance(), "127.0.0.1", kDefaultPort,
                       false) {}
  double clockNow() override { return clock; }
  double clock = 1000.0;
};

class LogManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    lm = new TestLogManager();
    fake = new FakeChannel(lm);
    lm->setChannel(fake);
    lm->start();
  }
  void TearDown() override { delete lm; }

  void receive(const char* text) { fake->receiveFifo()->push(text, std::strlen(text)); }

  TestLogManager* lm = nullptr;
  FakeChannel* fake = nullptr;
};

TEST_F(LogManagerTest, LinesArePrintedVerbatimAndKept) {
  receive("count %d of %s 100%\nsecond line\r\n");
  testing::internal::CaptureStdout();
  lm->parser()->onUpdate(lm->clock);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "count %d of %s 100%\nsecond line\r\n");
  EXPECT_EQ(lm->logText(), "count %d of %s 100%\nsecond line\r\n");
}

TEST_F(LogManagerTest, TerminalControlIsShownButTheSavedLogIsRaw) {
  receive("\x1b]0;owned\x07\x1b[32mgreen\x1b[m \x1b[2J\r\n");
  testing::internal::CaptureStdout();
  lm->parser()->onUpdate(lm->clock);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "^[]0;owned^G\x1b[32mgreen\x1b[m ^[[2J\r\n");
  EXPECT_EQ(lm->logText(), "\x1b]0;owned\x07\x1b[32mgreen\x1b[m \x1b[2J\r\n");
}

TEST_F(LogManagerTest, ColourSplitByASilenceFlushStillPasses) {
  receive("boot \x1b[3");
  testing::internal::CaptureStdout();
  lm->parser()->onUpdate(lm->clock);
  lm->onUpdate(lm->clock + 1.0);
  receive("1mred\n");
  lm->parser()->onUpdate(lm->clock + 1.1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "boot \x1b[31mred\n");
}

TEST_F(LogManagerTest, PartialLineIsFlushedAfterOneSecondOfSilence) {
  receive("boot");
  testing::internal::CaptureStdout();
  lm->parser()->onUpdate(lm->clock);
  lm->onUpdate(lm->clock + 0.5);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

  testing::internal::CaptureStdout();
  lm->onUpdate(lm->clock + 1.0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "boot");
  EXPECT_EQ(lm->logText(), "boot");

  // A line that keeps arriving resets the silence clock.
  receive("abc\n");
  lm->clock += 5.0;
  testing::internal::CaptureStdout();
  lm->parser()->onUpdate(lm->clock);
  receive("tail");
  lm->onUpdate(lm->clock + 0.9);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "abc\n");

  // A closed channel never flushes what it holds.
  fake->setOpen(false);
  testing::internal::CaptureStdout();
  lm->onUpdate(lm->clock + 10.0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST_F(LogManagerTest, SaveWritesTheLogText) {
  jyxtest::ScopedTempDir dir;
  for (const char* content : {"", "line %d\n"}) {
    lm->setLogText(content);
    std::string args = "{\"path\":\"" + dir.file("log.txt") + "\"}";
    APIDATA data;
    data.append(args.c_str(), nullptr, 0);
    lm->dispatchTask(CAPIManager::instance()->createTask(0, "jyx.log:save", &data, nullptr));
    CAPIManager::instance()->update();
    EXPECT_EQ(jyxtest::readFile(dir.file("log.txt")), content);
  }
}

}  // namespace
