// Request tracker, feature-manager base and device operations of
// CJYXDataManager, over a scripted channel and with time moved by hand.
#include "jyx/device/data_manager.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "common/api_manager.h"
#include "controller_test_util.h"
#include "jyx/jyx.h"

namespace {

using jyxtest::runTask;
using jyxtest::Sent;

class TestDataManager : public CJYXDataManager {
 public:
  TestDataManager() : CJYXDataManager(CJYX::instance(), "127.0.0.1", kDefaultPort, false) {}
  double clockNow() override { return manualClock ? clock : CJYXDataManager::clockNow(); }
  bool manualClock = false;
  double clock = 0;
};

class DataManagerTest : public jyxtest::ControllerFixture<TestDataManager> {
 protected:
  // Acknowledges request i the way the controller does.
  void ackGpio(size_t i) {
    Sent s = sent(i);
    CPackage reply;
    reply.makeGpioAck(s.frame, s.payload[0], s.payload[1], s.payload[2] | s.payload[3] << 8);
    dm->onPackage(&reply);
  }
  // Pumps the API manager until `condition` holds or `seconds` pass.
  bool pumpUntil(const std::function<bool()>& condition, double seconds) {
    double end = CAPIManager::wallClock() + seconds;
    while (!condition() && CAPIManager::wallClock() < end) {
      CAPIManager::instance()->update();
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return condition();
  }
  double farFuture() { return CAPIManager::wallClock() + CJYXDataManager::kRequestTimeout + 1; }
};

TEST_F(DataManagerTest, AckFailIsPrintedAndStillDelivered) {
  bool delivered = false;
  dm->gpio(1, 68, 1, [&](CPackage* r) { delivered = r && r->dataType() == ACK_FAIL; });
  CPackage reply;
  reply.makeAckFail(sent(0).frame);
  testing::internal::CaptureStdout();
  dm->onPackage(&reply);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "CJYXDataManager::onPackage, cmdType(DEVICE_ACK) ACK_FAIL.\n");
  EXPECT_TRUE(delivered);
}

// After one request went unanswered for the full time-out, a controller
// that stays silent must not cost another full time-out per follow-up
// request; the first packet it sends proves it alive again.
TEST_F(DataManagerTest, AfterATimeOutFollowUpRequestsWaitOnlyUntilSomethingArrives) {
  std::vector<std::string> calls;
  auto record = [&calls](const char* name) {
    return [&calls, name](CPackage* r) { calls.push_back(std::string(name) + (r ? "" : ":null")); };
  };
  CAPIManager::instance()->update();  // a fresh pump time for the activity stamp
  dm->gpio(1, 66, 1, record("first"));
  double t0 = CAPIManager::wallClock();
  dm->onUpdate(t0 + CJYXDataManager::kRequestTimeout - 1);
  EXPECT_FALSE(dm->linkUnanswered());
  // One expiry per update: a heartbeat the silence may have sent goes too.
  dm->onUpdate(t0 + CJYXDataManager::kRequestTimeout + 1);
  dm->onUpdate(t0 + CJYXDataManager::kRequestTimeout + 1);
  EXPECT_EQ(calls, std::vector<std::string>({"first:null"}));
  EXPECT_TRUE(dm->linkUnanswered());

  // The chained follow-up fails after the short limit, not 300 s later.
  double t1 = CAPIManager::wallClock();
  dm->gpio(1, 67, 1, record("second"));
  dm->onUpdate(t1 + CJYXDataManager::kUnansweredLinkTimeout - 1);
  EXPECT_EQ(1u, calls.size());
  dm->onUpdate(t1 + CJYXDataManager::kUnansweredLinkTimeout + 1);
  EXPECT_EQ(calls.back(), "second:null");

  // Any packet ends it: the next request has its full time-out again.
  dm->gpio(1, 68, 1, record("third"));
  dm->gpio(1, 69, 1, record("fourth"));
  ackGpio(fake->writeCount() - 1);
  EXPECT_EQ(calls.back(), "fourth");
  EXPECT_FALSE(dm->linkUnanswered());
  dm->onUpdate(CAPIManager::wallClock() + CJYXDataManager::kUnansweredLinkTimeout + 60);
  dm->onUpdate(CAPIManager::wallClock() + CJYXDataManager::kUnansweredLinkTimeout + 60);
  EXPECT_EQ(calls, std::vector<std::string>({"first:null", "second:null", "fourth"}));
}

// A retry closes and reopens the link at once. Requests of the old link can
// get no reply any more: they fail at the reopen, before anything is sent
// on the new link, instead of waiting out their time-out and then firing
// into whatever runs by then.
TEST_F(DataManagerTest, ReopeningTheLinkFailsEveryRequestOfTheOldOne) {
  std::vector<int> order;
  size_t writesAtReopen = 0;
  for (int i = 0; i < 3; ++i) {
    dm->gpio(1, 64 + i, 1, [&, i](CPackage* r) {
      order.push_back(r ? 100 + i : i);
      writesAtReopen = fake->writeCount();
    });
  }
  dm->disconnect();
  EXPECT_TRUE(order.empty());
  dm->connect();
  EXPECT_EQ(order, std::vector<int>({2, 1, 0}));
  EXPECT_EQ(0, dm->pendingCount());
  EXPECT_EQ(3u, writesAtReopen);
  EXPECT_TRUE(dm->isConnected());
  // Nothing is left to expire later.
  dm->onUpdate(farFuture());
  EXPECT_EQ(3u, order.size());

  // Connecting an open link is no reopen and fails nothing.
  bool failed = false;
  dm->gpio(1, 70, 1, [&](CPackage* r) { failed = r == nullptr; });
  dm->connect();
  EXPECT_FALSE(failed);
}

TEST_F(DataManagerTest, ClosedChannelFailsOnePendingRequestPerUpdateNewestFirst) {
  std::vector<int> order;
  for (int i = 0; i < 3; ++i) {
    dm->gpio(1, 64 + i, 1, [&order, i](CPackage* r) { order.push_back(r ? 100 + i : i); });
  }
  fake->setOpen(false);
  double now = CAPIManager::wallClock();
  dm->onUpdate(now);
  EXPECT_EQ(order, std::vector<int>({2}));
  dm->onUpdate(now);
  dm->onUpdate(now);
  EXPECT_EQ(order, std::vector<int>({2, 1, 0}));
  // No heartbeat goes into a closed channel, however long the silence.
  dm->onUpdate(farFuture() + 1000);
  EXPECT_EQ(fake->writeCount(), 3u);
}

TEST_F(DataManagerTest, HeartbeatAfterSilencePostponedByTraffic) {
  dm->manualClock = true;
  double t0 = CAPIManager::wallClock();
  dm->clock = t0;
  CPackage beatAck;
  beatAck.makeHeartBeatAck(999);  // refreshes activity, matches nothing
  dm->onPackage(&beatAck);

  dm->onUpdate(t0 + 200);
  EXPECT_EQ(fake->writeCount(), 0u);
  dm->clock = t0 + 200;  // a packet arrives at t0 + 200
  dm->onPackage(&beatAck);
  dm->onUpdate(t0 + 301);
  EXPECT_EQ(fake->writeCount(), 0u);
  dm->onUpdate(t0 + 501);
  ASSERT_EQ(fake->writeCount(), 1u);
  EXPECT_EQ(sent(0).cmd, HEART_BEAT);
  EXPECT_EQ(sent(0).data, NO_DATA);
  // The heartbeat itself counts as traffic: nothing more right after it.
  dm->onUpdate(t0 + 502);
  EXPECT_EQ(fake->writeCount(), 1u);

  // An outgoing request postpones the next one as well.
  dm->clock = t0 + 700;
  dm->gpio(0, 64, 0, nullptr);
  dm->onUpdate(t0 + 900);
  EXPECT_EQ(fake->writeCount(), 2u);
  dm->onUpdate(t0 + 1001);
  EXPECT_EQ(fake->writeCount(), 3u);
  EXPECT_EQ(sent(2).cmd, HEART_BEAT);
}

TEST_F(DataManagerTest, PowerReportsGoToTheirHandlerNotToPendingRequests) {
  int reports = 0;
  bool replied = false;
  dm->setPowerReportHandler([&](CPackage* p) { ++reports; });
  dm->gpio(0, 64, 0, [&](CPackage*) { replied = true; });
  CPackage report;
  uint8_t rest[8] = {0};
  report.makePowerReport(sent(0).frame, 1234, rest, sizeof(rest));
  dm->onPackage(&report);
  EXPECT_EQ(reports, 1);
  EXPECT_FALSE(replied);
  EXPECT_EQ(dm->pendingCount(), 1);
}

// The log manager learns the forwarding state only through this handler: a
// state from a refused or missing reply must not reach it.
TEST_F(DataManagerTest, AcknowledgedForwardingStateReachesItsHandlerOnly) {
  std::vector<int> states;
  dm->setUartForwardingHandler([&](uint8_t on) { states.push_back(on); });
  ASSERT_TRUE(dm->enableUart(1, nullptr));
  CPackage ack;
  ack.makeUartAck(sent(0).frame, 7);  // any non-zero state is "on"
  dm->onPackage(&ack);
  ASSERT_TRUE(dm->enableUart(0, nullptr));
  ack.makeUartAck(sent(1).frame, 0);
  dm->onPackage(&ack);
  ASSERT_TRUE(dm->enableUart(1, nullptr));
  dm->onUpdate(farFuture());  // the last request expires without a reply
  EXPECT_EQ((std::vector<int>{1, 0}), states);
}

TEST_F(DataManagerTest, PacketTracePrintsHeaderFields) {
  dm->setPacketTrace(true);
  CPackage ack;
  ack.makeHeartBeatAck(7);
  testing::internal::CaptureStdout();
  dm->onPackage(&ack);
  std::string out = testing::internal::GetCapturedStdout();
  char expected[160];
  snprintf(expected, sizeof(expected),
           "onPackage:frameNum(7),cmdType(DEVICE_ACK),dataType(HEART_BEAT_DATA),checksum(0x%x),"
           "dataLen(20)\n",
           ack.checksumField());
  EXPECT_EQ(out, expected);
}

// --- Feature-manager base ---

TEST_F(DataManagerTest, ChannelErrorPrintsAndDisconnects) {
  dm->connect();
  EXPECT_TRUE(dm->isEnabled());
  testing::internal::CaptureStdout();
  dm->onMessage(CHANNEL_MSG_WARNING, -201, "tcp: receive data - socket is invalid!\n");
  EXPECT_TRUE(fake->isOpen());
  dm->onMessage(CHANNEL_MSG_ERROR, -154, "tcp: send data - send failed!\n");
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "warning-data-manager: tcp: receive data - socket is invalid!\n\n"
            "error-data-manager: tcp: send data - send failed!\n\n");
  EXPECT_FALSE(fake->isOpen());
  EXPECT_FALSE(dm->isEnabled());
  EXPECT_FALSE(dm->isConnected());

  // From a channel thread the error is printed at once, the disconnect
  // waits for the next update on the main thread.
  fake->setOpen(true);
  testing::internal::CaptureStdout();
  std::thread([this] { dm->onMessage(CHANNEL_MSG_ERROR, -202, "select failed\n"); }).join();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "error-data-manager: select failed\n\n");
  EXPECT_TRUE(fake->isOpen());
  dm->onUpdate(CAPIManager::wallClock());
  EXPECT_FALSE(fake->isOpen());
}

TEST_F(DataManagerTest, ConnectTaskKeepsOrChangesTheAddress) {
  dm->setAddress("127.0.3.99", 4000);
  fake->setOpen(false);
  EXPECT_EQ(runTask(dm, "jyx.data:connect", "{}"), "1");
  EXPECT_EQ(fake->opens, 1);
  EXPECT_TRUE(dm->isEnabled());
  EXPECT_EQ(dm->host(), "127.0.3.99");
  EXPECT_EQ(dm->port(), 4000);

  fake->setOpen(false);
  EXPECT_EQ(runTask(dm, "jyx.data:connect", "{\"ip\":\"127.0.3.7\",\"port\":0}"), "1");
  EXPECT_EQ(dm->host(), "127.0.3.7");
  EXPECT_EQ(dm->port(), 4000);
  // Broken JSON still connects to the current address.
  fake->setOpen(false);
  EXPECT_EQ(runTask(dm, "jyx.data:connect", "{\"ip\":"), "1");
  EXPECT_EQ(dm->host(), "127.0.3.7");
  EXPECT_TRUE(fake->isOpen());
}

// --- Operations ---

TEST_F(DataManagerTest, OperationsRefuseAClosedChannelWithTheirMessage) {
  fake->setOpen(false);
  int nulls = 0;
  auto count = [&](CPackage* r) { nulls += r == nullptr; };
  testing::internal::CaptureStdout();
  EXPECT_FALSE(dm->gpio(1, 64, 1, count));
  EXPECT_FALSE(dm->powerOnTargetDevice(count));
  EXPECT_FALSE(dm->powerOffTargetDevice(count));
  EXPECT_FALSE(dm->powerResetTargetDevice(count));
  EXPECT_FALSE(dm->powerWakeupTargetDevice(count));
  EXPECT_FALSE(dm->enterFastbootMode(count));
  EXPECT_FALSE(dm->exitFastbootMode(count));
  EXPECT_FALSE(dm->enableUart(1, count));
  EXPECT_FALSE(dm->enablePower(1, count));
  EXPECT_FALSE(dm->postCode(count));
  EXPECT_EQ(dm->sendStringCmd("ls", count), 0);
  EXPECT_EQ(dm->sendStringCmd("", count), 0);
  EXPECT_FALSE(dm->sendHeartBeat(count));
  EXPECT_TRUE(dm->switchLogUart(1, count));
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "jyx.data(gpio): channel is not valid.\n"
            "jyx.data(powerOnTargetDevice): channel is not valid.\n"
            "jyx.data(powerOffTargetDevice): channel is not valid.\n"
            "jyx.data(powerResetTargetDevice): channel is not valid.\n"
            "jyx.data(powerWakeupTargetDevice): channel is not valid.\n"
            "jyx.data(enterFastbootMode): channel is not valid.\n"
            "jyx.data(exitFastbootMode): channel is not valid.\n"
            "jyx.data(enableUart): channel is not valid.\n"
            "jyx.data(enablePower): channel is not valid.\n"
            "jyx.data(getPostCode): channel is not valid.\n"
            "jyx.data(sendStringCmd): channel is not valid.\n"
            "jyx.data(sendStringCmd): the length is zero.\n"
            "jyx.data(sendHeartBeat): channel is not valid.\n"
            "jyx.data(gpio): channel is not valid.\n");
  // gpio, enableUart, enablePower and sendHeartBeat do not call back.
  EXPECT_EQ(nulls, 10);
  EXPECT_EQ(fake->writeCount(), 0u);
}

TEST_F(DataManagerTest, PowerOnStopsAtTheFailedStepWithItsMessage) {
  CPackage* result = reinterpret_cast<CPackage*>(1);
  int calls = 0;
  ASSERT_TRUE(dm->powerOnTargetDevice([&](CPackage* r) {
    ++calls;
    result = r;
  }));
  ASSERT_EQ(fake->writeCount(), 1u);
  ackGpio(0);
  double acked = CAPIManager::wallClock();
  ASSERT_TRUE(pumpUntil([&] { return fake->writeCount() >= 2; }, 5.0));
  EXPECT_GE(CAPIManager::wallClock() - acked, 0.5);
  EXPECT_EQ(sent(1).payload[1], 1);
  EXPECT_EQ(sent(1).payload[2], 72);

  // The second reply never comes: only the time-out ends the step.
  testing::internal::CaptureStdout();
  dm->onUpdate(farFuture());
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "PWR_BTN: FAIL (num:72, level:1)\n");
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(result, nullptr);
  pumpUntil([] { return false; }, 0.8);
  int gpioWrites = 0;  // the long silence also sent a heartbeat
  for (size_t i = 0; i < fake->writeCount(); ++i) gpioWrites += sent(i).cmd == GPIO_CTRL;
  EXPECT_EQ(gpioWrites, 2);
}

TEST_F(DataManagerTest, FirstStepFailuresNameTheirLine) {
  using M = CJYXDataManager;
  struct Case {
    std::function<void(M*, PackageCallback)> op;
    const char* message;
  };
  const Case cases[] = {
      {&M::powerOnTargetDevice, "PWR_OFF: FAIL (num:68, level:1)\n"},
      {&M::powerOffTargetDevice, "powerOff: FAIL (num:68, level:0)\n"},
      {&M::powerResetTargetDevice, "powerReset: FAIL (num:71, level:0)\n"},
      {&M::powerWakeupTargetDevice, "PWR_BTN: FAIL (num:72, level:0)\n"},
      {[](M* m, PackageCallback done) { m->switchLogUart(1, done); }, "UART_SEL1 to 0 fail.\n"},
  };
  for (const Case& c : cases) {
    bool failed = false;
    c.op(dm, [&](CPackage* r) { failed = r == nullptr; });
    testing::internal::CaptureStdout();
    dm->onUpdate(farFuture());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.message);
    EXPECT_TRUE(failed) << c.message;
  }
}

TEST_F(DataManagerTest, PostCodesOfAnOddOrLyingCountPrintWhatArrived) {
  const uint8_t codes[] = {0x12, 0x34, 0xAB};
  uint8_t lying[8] = {0xff, 0xff, 0xff, 0x7f, 0x01, 0x02, 0x03, 0x04};
  CPackage reply;
  dm->postCode(nullptr);
  reply.makePostAck(sent(0).frame, codes, 3);
  testing::internal::CaptureStdout();
  dm->onPackage(&reply);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "--get post code: len(3)\n0x1234");

  dm->postCode(nullptr);
  reply.make(sent(1).frame, DEVICE_ACK, POST_DATA, lying, sizeof(lying));
  testing::internal::CaptureStdout();
  dm->onPackage(&reply);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "--get post code: len(2147483647)\n0x0102 0x0304");
}

}  // namespace
