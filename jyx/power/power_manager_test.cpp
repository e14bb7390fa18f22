// CJYXPowerManager over a data manager on a scripted channel: the start and
// stop exchange, report hand-over, configuration files and the tasks.
#include "jyx/power/power_manager.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/api_manager.h"
#include "controller_test_util.h"
#include "jyx/device/data_manager.h"
#include "jyx/jyx.h"
#include "test_util.h"

namespace {

using jyxtest::runTask;
using jyxtest::ScopedTempDir;
using jyxtest::Sent;
using jyxtest::writeFile;

class TestDataManager : public CJYXDataManager {
 public:
  TestDataManager() : CJYXDataManager(CJYX::instance(), "127.0.0.1", kDefaultPort, false) {}
};

class PowerManagerTest : public jyxtest::ControllerFixture<TestDataManager> {
 protected:
  void SetUp() override {
    ControllerFixture::SetUp();
    pm = new CJYXPowerManager(CJYX::instance(), dm, false);
    pm->start();
  }
  void TearDown() override {
    delete pm;
    ControllerFixture::TearDown();
  }

  void ackGpio(size_t i) {
    Sent s = sent(i);
    CPackage reply;
    reply.makeGpioAck(s.frame, s.payload[0], s.payload[1], s.payload[2] | s.payload[3] << 8);
    dm->onPackage(&reply);
  }
  void ackPower(size_t i, const std::vector<uint8_t>& ids) {
    CPackage reply;
    reply.makePowerAck(sent(i).frame, ids.empty() ? nullptr : ids.data());
    dm->onPackage(&reply);
  }
  // Runs start to the acknowledge; true when done(true) came.
  bool startSampling() {
    int result = -1;
    size_t first = fake->writeCount();
    pm->start([&](bool ok) { result = ok; });
    ackGpio(first);
    std::vector<uint8_t> ids(24, 0);
    ids[0] = 123;
    testing::internal::CaptureStdout();
    ackPower(first + 1, ids);
    testing::internal::GetCapturedStdout();
    return result == 1;
  }
  void report(uint64_t clock, int frames, const std::vector<std::pair<int16_t, int16_t>>& pairs) {
    std::vector<uint8_t> payload = jyxtest::powerReport(clock, frames, pairs);
    CPackage p;
    p.make(0, POWER_CTRL, POWER_DATA, payload.data(), uint32_t(payload.size()));
    dm->onPackage(&p);
  }

  CJYXPowerManager* pm = nullptr;
};

TEST_F(PowerManagerTest, StartExchangeReportsAndStop) {
  pm->loadRails("rails:\n  - {name: VDD, index: 1}\n  - {name: VIO, index: 34}\n");
  int result = -1;
  pm->start([&](bool ok) { result = ok; });
  ASSERT_EQ(1u, fake->writeCount());
  Sent gpio = sent(0);
  EXPECT_EQ(GPIO_CTRL, gpio.cmd);
  EXPECT_EQ(1, gpio.payload[0]);   // set
  EXPECT_EQ(0, gpio.payload[1]);   // level 0
  EXPECT_EQ(73, gpio.payload[2]);  // PWRGRP
  ackGpio(0);
  ASSERT_EQ(2u, fake->writeCount());
  Sent ctrl = sent(1);
  EXPECT_EQ(POWER_CTRL, ctrl.cmd);
  EXPECT_EQ(NO_DATA, ctrl.data);
  ASSERT_EQ(40u, ctrl.payload.size());
  EXPECT_EQ(1, ctrl.payload[0]);
  EXPECT_EQ(0x02, ctrl.payload[4]);   // rail 1
  EXPECT_EQ(0x04, ctrl.payload[8]);   // rail 34
  EXPECT_EQ(0x10, ctrl.payload[16]);  // default IC address table
  EXPECT_EQ(-1, result);
  EXPECT_FALSE(pm->running());

  std::vector<uint8_t> ids(24, 0);
  ids[0] = 123;
  ids[8] = 107;
  testing::internal::CaptureStdout();
  ackPower(1, ids);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(0u, out.find("size:20/44, IC_ID (24):0x7b 0x00 "));
  EXPECT_EQ(1, result);
  EXPECT_TRUE(pm->running());
  EXPECT_EQ(32000u, pm->rail(1)->maxVoltage());
  EXPECT_EQ(9000u, pm->rail(34)->maxVoltage());

  report(2000000, 3, {{16384, 1000}, {8192, 2000}});
  report(2500000, 1, {{16384, 1000}, {8192, 2000}});
  EXPECT_EQ(4u, pm->rail(1)->rawVoltage.count());
  EXPECT_EQ(16000, pm->rail(1)->rawVoltage.now());

  bool stopped = false;
  testing::internal::CaptureStdout();
  pm->stop([&] { stopped = true; });
  out = testing::internal::GetCapturedStdout();
  EXPECT_EQ("frames: 4, time: 0.500s, frames per second: 8\n", out);
  EXPECT_FALSE(pm->running());
  EXPECT_FALSE(stopped);
  ASSERT_EQ(3u, fake->writeCount());
  EXPECT_EQ(POWER_CTRL, sent(2).cmd);
  EXPECT_EQ(0, sent(2).payload[0]);
  ackPower(2, {});
  EXPECT_TRUE(stopped);

  // Reports after the stop are ignored; the data stay until the next start.
  report(3000000, 1, {{1, 1}, {1, 1}});
  EXPECT_EQ(4u, pm->rail(1)->rawVoltage.count());
  bool again = false;
  pm->stop([&] { again = true; });
  EXPECT_TRUE(again);  // not running: at once
  EXPECT_EQ(3u, fake->writeCount());
}

TEST_F(PowerManagerTest, StartAndStopFailures) {
  ASSERT_TRUE(startSampling());
  int result = -1;
  pm->start([&](bool ok) { result = ok; });  // already running
  EXPECT_EQ(0, result);
  pm->stop(nullptr);

  // No reply to the GPIO step: the message names PWRGRP (73), the line
  // that was set, not UART_SEL1.
  result = -1;
  testing::internal::CaptureStdout();
  pm->start([&](bool ok) { result = ok; });
  CJYX::instance()->setWantConnected(false);
  dm->onUpdate(CAPIManager::wallClock());
  EXPECT_EQ("PWRGRP to 0 fail.\n", testing::internal::GetCapturedStdout());
  EXPECT_EQ(0, result);
  CJYX::instance()->setWantConnected(true);

  // The controller refuses the power-control request.
  result = -1;
  size_t first = fake->writeCount();
  testing::internal::CaptureStdout();
  pm->start([&](bool ok) { result = ok; });
  ackGpio(first);
  CPackage fail;
  fail.make(sent(first + 1).frame, DEVICE_ACK, ACK_FAIL, nullptr, 0);
  dm->onPackage(&fail);
  EXPECT_NE(std::string::npos, testing::internal::GetCapturedStdout().find("enablePower fail\n"));
  EXPECT_EQ(0, result);
  EXPECT_FALSE(pm->running());

  // The link closes while sampling: the stop still completes.
  ASSERT_TRUE(startSampling());
  fake->setOpen(false);
  bool stopped = false;
  testing::internal::CaptureStdout();
  pm->stop([&] { stopped = true; });
  testing::internal::GetCapturedStdout();
  EXPECT_TRUE(stopped);
  EXPECT_FALSE(pm->running());

  // No link at all.
  result = -1;
  testing::internal::CaptureStdout();
  pm->start([&](bool ok) { result = ok; });
  EXPECT_EQ("socket is invalid\n", testing::internal::GetCapturedStdout());
  EXPECT_EQ(0, result);
}

TEST_F(PowerManagerTest, ConfigurationAndRailsFiles) {
  ScopedTempDir dir;
  writeFile(
      dir.file("config.yaml"),
      "ic-addr:\n  - addr: 0x20\n    resistance: [5]\n"
      "config:\n  - {title: First, path: first.yaml}\n  - {title: Second, path: second.json}\n");
  writeFile(dir.file("first.yaml"), "rails:\n  - {name: ONE, index: 3}\n");
  writeFile(
      dir.file("second.json"),
      "{\"rails\": [{\"name\": \"TWO\", \"index\": \"9\"}, {\"name\": \"X\", \"index\": 12}]}");
  pm->setConfigPath(dir.file("config.yaml"));

  bool done = false;
  pm->updatePowerConfig(nullptr, [&] { done = true; });
  EXPECT_TRUE(done);
  EXPECT_EQ((std::vector<int>{3, 96}), pm->enabledRails());
  EXPECT_EQ(5u, pm->rail(2)->resistance());

  runTask(pm, "jyx.power:config_file", "{\"value\":\"Second\"}");
  EXPECT_EQ((std::vector<int>{9, 12, 96}), pm->enabledRails());
  runTask(pm, "jyx.power:config_file", "{\"value\":\"First\"}");
  EXPECT_EQ((std::vector<int>{3, 96}), pm->enabledRails());
  runTask(pm, "jyx.power:config_file", "{\"value\":\"Nothing\"}");
  EXPECT_EQ("First", pm->currentTitle());
}

TEST_F(PowerManagerTest, BrokenRailsFilesGetMessages) {
  testing::internal::CaptureStdout();
  pm->loadRails("{\"rails\": [ {\"name\": \"A\", \"index\": 1} ", "bad.json");
  pm->loadRails("rail: []\n", "other.yaml");
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(std::string::npos, out.find("rails file (bad.json) is not valid YAML or JSON\n"));
  EXPECT_NE(std::string::npos, out.find("rails file (other.yaml) has no \"rails\" list\n"));
  EXPECT_TRUE(pm->enabledRails().empty());
}

TEST_F(PowerManagerTest, RangeAndRailSelectionTasks) {
  runTask(pm, "jyx.power:average_interval", "{\"value\":\"0\"}");
  EXPECT_EQ(1u, pm->averageInterval());  // 0 would never close an interval
  runTask(pm, "jyx.power:voltage_range", "{\"value\":\"1.5\"}");
  EXPECT_EQ(1500u, pm->voltageRange());
  pm->loadRails("rails:\n  - {name: A, index: 0}\n  - {name: B, index: 5}\n");
  runTask(pm, "jyx.power:show_total", "{\"value\":false}");
  EXPECT_FALSE(pm->rail(0)->selected());
  EXPECT_TRUE(pm->rail(96)->selected());
  EXPECT_FALSE(pm->rail(7)->selected());  // not listed: untouched
  runTask(pm, "jyx.power:rail", "{\"index\":5,\"value\":true}");
  EXPECT_TRUE(pm->rail(5)->selected());
  runTask(pm, "jyx.power:rail", "{\"index\":200,\"value\":false}");
}

TEST_F(PowerManagerTest, RunTaskTogglesAndLoadsAreRefusedWhileRunning) {
  pm->loadRails("rails:\n  - {name: A, index: 0}\n  - {name: B, index: 5}\n");
  testing::internal::CaptureStdout();
  runTask(pm, "jyx.power:run", "");
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ("CJYXPowerManager::start, rail count:2\n", out);
  ackGpio(0);
  ackPower(1, std::vector<uint8_t>(24, 0));
  EXPECT_TRUE(pm->running());

  testing::internal::CaptureStdout();
  runTask(pm, "jyx.power:load", "");
  runTask(pm, "jyx.power:load_config", "");
  out = testing::internal::GetCapturedStdout();
  EXPECT_NE(std::string::npos, out.find("now is busy, stop first and try it again.\n"));
  EXPECT_NE(std::string::npos, out.find("now is busy, stop first and try again later.\n"));

  testing::internal::CaptureStdout();
  runTask(pm, "jyx.power:run", "");
  out = testing::internal::GetCapturedStdout();
  EXPECT_NE(std::string::npos, out.find("CJYXPowerManager::stop!\n"));
  EXPECT_FALSE(pm->running());
}

}  // namespace
