// Request tracker, feature-manager base and device operations of
// CJYXDataManager, over a scripted channel and with time moved by hand.
#include "jyx/data_manager.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "common/api_manager.h"
#include "channel_test_util.h"
#include "controller_test_util.h"
#include "fake_channel.h"
#include "jyx/jyx.h"
#include "jyx/package_manager.h"

namespace {

using jyxtest::FakeChannel;
using jyxtest::Sent;
using jyxtest::decode;
using jyxtest::runTask;

class TestDataManager : public CJYXDataManager {
 public:
  TestDataManager() : CJYXDataManager("127.0.0.1", kDefaultPort, false) {}
  double clockNow() override { return manualClock ? clock : CJYXDataManager::clockNow(); }
  bool manualClock = false;
  double clock = 0;
};

class DataManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CJYX::instance()->setWantConnected(true);
    // Keep the controller object's reconnection check away from real sockets.
    CJYX::instance()->setLastCheck(1e15);
    dm = new TestDataManager();
    fake = new FakeChannel(dm);
    dm->setChannel(fake);
  }
  void TearDown() override {
    delete dm;
    CJYX::instance()->setWantConnected(false);
  }

  Sent sent(size_t i) { return decode(fake->writeAt(i)); }
  // Fails what is still pending, so that every task a test started is
  // finished and handed back to the pool. Call it while the callbacks'
  // captures are still alive.
  void failPending() {
    fake->setOpen(false);
    for (int i = 0; i < 100 && dm->pendingCount() > 0; ++i) dm->onUpdate(farFuture());
    CAPIManager::instance()->update();
    CAPIManager::instance()->update();
  }
  // Acknowledges request i the way the controller does.
  void ackGpio(size_t i) {
    Sent s = sent(i);
    CPackage reply;
    reply.makeGpioAck(s.frame, s.payload[0], s.payload[1], s.payload[2] | s.payload[3] << 8);
    dm->onPackage(&reply);
  }
  // Pumps the API manager until `count` writes exist or `seconds` pass.
  bool pumpUntilWrites(size_t count, double seconds) {
    double end = CAPIManager::wallClock() + seconds;
    while (fake->writeCount() < count && CAPIManager::wallClock() < end) {
      CAPIManager::instance()->update();
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return fake->writeCount() >= count;
  }
  void pumpFor(double seconds) {
    double end = CAPIManager::wallClock() + seconds;
    while (CAPIManager::wallClock() < end) {
      CAPIManager::instance()->update();
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
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

  TestDataManager* dm = nullptr;
  FakeChannel* fake = nullptr;
};

TEST_F(DataManagerTest, RepliesMatchByFrameNumberInAnyOrder) {
  std::vector<std::string> calls;
  ASSERT_TRUE(dm->gpio(1, 64, 1, [&](CPackage* r) { calls.push_back(r ? "first" : "null1"); }));
  ASSERT_TRUE(dm->gpio(1, 65, 0, [&](CPackage* r) { calls.push_back(r ? "second" : "null2"); }));
  ASSERT_EQ(fake->writeCount(), 2u);
  Sent a = sent(0), b = sent(1);
  EXPECT_EQ(a.cmd, GPIO_CTRL);
  EXPECT_EQ(b.frame, a.frame + 1);
  EXPECT_EQ(dm->pendingCount(), 2);

  ackGpio(1);
  EXPECT_EQ(calls, std::vector<std::string>({"second"}));
  EXPECT_EQ(dm->pendingCount(), 1);
  ackGpio(0);
  EXPECT_EQ(calls, std::vector<std::string>({"second", "first"}));
  EXPECT_EQ(dm->pendingCount(), 0);
}

TEST_F(DataManagerTest, ReplyMatchesOnFrameNumberOnlyNotCommandType) {
  int got = -1;
  dm->gpio(0, 22, 0, [&](CPackage* r) { got = r ? r->cmdType() : -2; });
  CPackage reply;
  reply.makeUartAck(sent(0).frame, 1);  // wrong kind of reply, right frame
  dm->onPackage(&reply);
  EXPECT_EQ(got, DEVICE_ACK);
}

TEST_F(DataManagerTest, RepliesArriveThroughTheParser) {
  int level = -1;
  dm->gpio(0, 22, 0, [&](CPackage* r) { level = r ? r->payloadU8(1) : -2; });
  CPackage reply;
  reply.makeGpioAck(sent(0).frame, 0, 1, 22);
  const uint8_t garbage[] = {1, 2, 3, 'Z', 0};
  fake->receiveFifo()->push(garbage, sizeof(garbage));
  fake->receiveFifo()->push(reply.data(), reply.size());
  dm->parser()->onUpdate(CAPIManager::wallClock());
  EXPECT_EQ(level, 1);
}

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

TEST_F(DataManagerTest, DroppedReplyFailsOnlyAfterTimeout) {
  int calls = 0;
  CPackage* got = reinterpret_cast<CPackage*>(1);
  dm->gpio(1, 72, 1, [&](CPackage* r) {
    ++calls;
    got = r;
  });
  double now = CAPIManager::wallClock();
  dm->onUpdate(now + 1);
  dm->onUpdate(now + CJYXDataManager::kRequestTimeout - 5);
  EXPECT_EQ(calls, 0);
  dm->onUpdate(farFuture());
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(got, nullptr);
  // Only the heartbeat that the long silence triggered is left.
  EXPECT_EQ(dm->pendingCount(), 1);
  EXPECT_EQ(sent(fake->writeCount() - 1).cmd, HEART_BEAT);

  // The reply that finally arrives matches nothing.
  CPackage late;
  late.makeGpioAck(sent(0).frame, 1, 1, 72);
  dm->onPackage(&late);
  EXPECT_EQ(calls, 1);
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
}

TEST_F(DataManagerTest, LinkNotReadyFailsPendingRequests) {
  bool failed = false;
  dm->gpio(1, 64, 1, [&](CPackage* r) { failed = r == nullptr; });
  CJYX::instance()->setWantConnected(false);
  dm->onUpdate(CAPIManager::wallClock());
  EXPECT_TRUE(failed);
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

TEST_F(DataManagerTest, NoHeartbeatWhileChannelClosed) {
  fake->setOpen(false);
  dm->onUpdate(farFuture() + 1000);
  EXPECT_EQ(fake->writeCount(), 0u);
}

TEST_F(DataManagerTest, ClosedChannelClearsSpiFlags) {
  dm->setLoopFlash(true);
  dm->setSpiBusy(true);
  dm->onUpdate(CAPIManager::wallClock());
  EXPECT_TRUE(dm->loopFlash());
  EXPECT_TRUE(dm->spiBusy());
  fake->setOpen(false);
  dm->onUpdate(CAPIManager::wallClock());
  EXPECT_FALSE(dm->loopFlash());
  EXPECT_FALSE(dm->spiBusy());
}

TEST_F(DataManagerTest, SpiRefreshHookRunsOnceWhenFlagged) {
  int runs = 0;
  dm->setSpiRefreshHook([&] { ++runs; });
  dm->onUpdate(CAPIManager::wallClock());
  EXPECT_EQ(runs, 0);
  dm->setSpiRefresh(true);
  dm->onUpdate(CAPIManager::wallClock());
  dm->onUpdate(CAPIManager::wallClock());
  EXPECT_EQ(runs, 1);
  EXPECT_FALSE(dm->spiRefresh());
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
}

TEST_F(DataManagerTest, ChannelErrorFromAChannelThreadDisconnectsAtNextUpdate) {
  testing::internal::CaptureStdout();
  std::thread([this] { dm->onMessage(CHANNEL_MSG_ERROR, -202, "select failed\n"); }).join();
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, "error-data-manager: select failed\n\n");
  EXPECT_TRUE(fake->isOpen());
  dm->onUpdate(CAPIManager::wallClock());
  EXPECT_FALSE(fake->isOpen());
}

// Runs one task through the manager's handler table; returns its result text.
TEST_F(DataManagerTest, ConnectTaskWithEmptyObjectKeepsAddress) {
  dm->setAddress("127.0.3.99", 4000);
  fake->setOpen(false);
  EXPECT_EQ(runTask(dm, "jyx.data:connect", "{}"), "1");
  EXPECT_EQ(fake->opens, 1);
  EXPECT_TRUE(dm->isEnabled());
  EXPECT_EQ(dm->host(), "127.0.3.99");
  EXPECT_EQ(dm->port(), 4000);
}

TEST_F(DataManagerTest, ConnectTaskWithIpAndZeroPortChangesHostOnly) {
  fake->setOpen(false);
  EXPECT_EQ(runTask(dm, "jyx.data:connect", "{\"ip\":\"127.0.3.7\",\"port\":0}"), "1");
  EXPECT_EQ(dm->host(), "127.0.3.7");
  EXPECT_EQ(dm->port(), CJYXDataManager::kDefaultPort);
  EXPECT_EQ(runTask(dm, "jyx.data:connect", "{\"port\":4444}"), "1");
  EXPECT_EQ(dm->host(), "127.0.3.7");
  EXPECT_EQ(dm->port(), 4444);
  // Broken JSON still connects to the current address.
  fake->setOpen(false);
  EXPECT_EQ(runTask(dm, "jyx.data:connect", "{\"ip\":"), "1");
  EXPECT_EQ(dm->host(), "127.0.3.7");
  EXPECT_TRUE(fake->isOpen());
}

TEST_F(DataManagerTest, ConnectOnOpenChannelDoesNotReopen) {
  dm->disconnect();
  fake->setOpen(true);
  dm->connect();
  EXPECT_EQ(fake->opens, 0);
  EXPECT_TRUE(dm->isEnabled());
  EXPECT_EQ(runTask(dm, "jyx.data:disconnect", ""), "1");
  EXPECT_FALSE(fake->isOpen());
  EXPECT_FALSE(dm->isEnabled());
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

TEST_F(DataManagerTest, GpioRequestLayout) {
  dm->gpio(1, 79, 1, nullptr);
  Sent s = sent(0);
  EXPECT_EQ(s.cmd, GPIO_CTRL);
  EXPECT_EQ(s.data, NO_DATA);
  EXPECT_EQ(s.payload, std::vector<uint8_t>({1, 1, 79, 0, 0, 0, 0, 0}));
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
  ASSERT_TRUE(pumpUntilWrites(2, 5.0));
  EXPECT_GE(CAPIManager::wallClock() - acked, 0.5);
  Sent second = sent(1);
  EXPECT_EQ(second.payload[1], 1);
  EXPECT_EQ(second.payload[2], 72);

  // The second reply never comes: only the time-out ends the step.
  testing::internal::CaptureStdout();
  dm->onUpdate(farFuture());
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "PWR_BTN: FAIL (num:72, level:1)\n");
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(result, nullptr);
  pumpFor(0.8);
  int gpioWrites = 0;
  for (size_t i = 0; i < fake->writeCount(); ++i) gpioWrites += sent(i).cmd == GPIO_CTRL;
  EXPECT_EQ(gpioWrites, 2);
}

TEST_F(DataManagerTest, FirstStepFailuresNameTheirLine) {
  struct Case {
    bool (CJYXDataManager::*op)(PackageCallback);
    const char* message;
  };
  const Case cases[] = {
      {&CJYXDataManager::powerOnTargetDevice, "PWR_OFF: FAIL (num:68, level:1)\n"},
      {&CJYXDataManager::powerOffTargetDevice, "powerOff: FAIL (num:68, level:0)\n"},
      {&CJYXDataManager::powerResetTargetDevice, "powerReset: FAIL (num:71, level:0)\n"},
      {&CJYXDataManager::powerWakeupTargetDevice, "PWR_BTN: FAIL (num:72, level:0)\n"},
  };
  for (const Case& c : cases) {
    bool failed = false;
    (dm->*c.op)([&](CPackage* r) { failed = r == nullptr; });
    testing::internal::CaptureStdout();
    dm->onUpdate(farFuture());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.message);
    EXPECT_TRUE(failed) << c.message;
  }
}

TEST_F(DataManagerTest, ResetSecondStepFailureAndClosedChannelMidSequence) {
  bool failed = false;
  dm->powerResetTargetDevice([&](CPackage* r) { failed = r == nullptr; });
  ackGpio(0);
  ASSERT_TRUE(pumpUntilWrites(2, 5.0));
  testing::internal::CaptureStdout();
  dm->onUpdate(farFuture());
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "powerReset: FAIL (num:71, level:1)\n");
  EXPECT_TRUE(failed);

  // The link goes down between two steps: the next step cannot be sent and
  // the sequence ends with null.
  failed = false;
  size_t before = fake->writeCount();
  dm->powerWakeupTargetDevice([&](CPackage* r) { failed = r == nullptr; });
  ackGpio(before);
  fake->setOpen(false);
  testing::internal::CaptureStdout();
  bool ended = pumpUntil([&] { return failed; }, 10.0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "jyx.data(gpio): channel is not valid.\n");
  EXPECT_TRUE(ended);
  EXPECT_EQ(fake->writeCount(), before + 1);
}

// Acknowledges every GPIO request as it appears until `count` were sent.
void ackAll(DataManagerTest* t, FakeChannel* fake, size_t count, std::vector<double>* times,
            const std::function<void(size_t)>& ack) {
  size_t acked = 0;
  double end = CAPIManager::wallClock() + 10.0;
  while (acked < count && CAPIManager::wallClock() < end) {
    while (acked < fake->writeCount() && acked < count) {
      times->push_back(CAPIManager::wallClock());
      ack(acked++);
    }
    CAPIManager::instance()->update();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

TEST_F(DataManagerTest, EnterFastbootSequence) {
  bool ok = false;
  testing::internal::CaptureStdout();
  ASSERT_TRUE(runTask(dm, "jyx.data:enter_fastboot", "").empty());
  std::vector<double> times;
  ackAll(this, fake, 6, &times, [this](size_t i) { ackGpio(i); });
  pumpFor(0.05);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "enter fastboot mode: OK\n");
  ok = true;
  ASSERT_EQ(fake->writeCount(), 6u);
  const int expected[6][2] = {{68, 0}, {78, 0}, {68, 1}, {72, 1}, {72, 0}, {72, 1}};
  for (int i = 0; i < 6; ++i) {
    Sent s = sent(i);
    EXPECT_EQ(s.payload[2], expected[i][0]) << i;
    EXPECT_EQ(s.payload[1], expected[i][1]) << i;
  }
  for (int i = 1; i < 6; ++i) EXPECT_GE(times[i] - times[i - 1], 0.45) << i;
  EXPECT_TRUE(ok);
}

TEST_F(DataManagerTest, SwitchLogUartSetsBothSelectLines) {
  PackageCallback none;
  dm->switchLogUart(2, none);
  ackGpio(0);
  ASSERT_EQ(fake->writeCount(), 2u);
  EXPECT_EQ(sent(0).payload[2], 65);
  EXPECT_EQ(sent(0).payload[1], 1);
  EXPECT_EQ(sent(1).payload[2], 64);
  EXPECT_EQ(sent(1).payload[1], 0);
  EXPECT_EQ(dm->logUartNum(), 2);

  bool gotReply = false;
  dm->switchLogUart(5, [&](CPackage* r) { gotReply = r != nullptr; });
  EXPECT_EQ(dm->logUartNum(), 3);
  ackGpio(1);
  ackGpio(2);
  ackGpio(3);
  EXPECT_EQ(sent(3).payload[1], 1);
  EXPECT_TRUE(gotReply);

  // A lost select step names its line.
  bool failed = false;
  dm->switchLogUart(1, [&](CPackage* r) { failed = r == nullptr; });
  testing::internal::CaptureStdout();
  dm->onUpdate(farFuture());
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "UART_SEL1 to 0 fail.\n");
  EXPECT_TRUE(failed);
}

TEST_F(DataManagerTest, PostCodesArePrintedAsPairs) {
  bool done = false;
  dm->postCode([&](CPackage* r) { done = r != nullptr; });
  const uint8_t codes[] = {0x12, 0x34, 0xAB, 0xCD};
  CPackage reply;
  reply.makePostAck(sent(0).frame, codes, 4);
  testing::internal::CaptureStdout();
  dm->onPackage(&reply);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "--get post code: len(4)\n0x1234 0xabcd");
  EXPECT_TRUE(done);
  EXPECT_EQ(dm->postCodes(), "0x1234 0xabcd");

  dm->postCode(nullptr);
  reply.makePostAck(sent(1).frame, codes, 3);
  testing::internal::CaptureStdout();
  dm->onPackage(&reply);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "--get post code: len(3)\n0x1234");

  // A count larger than the payload is cut to what arrived.
  dm->postCode(nullptr);
  uint8_t lying[8] = {0xff, 0xff, 0xff, 0x7f, 0x01, 0x02, 0x03, 0x04};
  reply.make(sent(2).frame, DEVICE_ACK, POST_DATA, lying, sizeof(lying));
  testing::internal::CaptureStdout();
  dm->onPackage(&reply);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "--get post code: len(2147483647)\n0x0102 0x0304");
}

TEST_F(DataManagerTest, StringCommandsAndUartForwarding) {
  EXPECT_EQ(dm->sendStringCmd("boot", nullptr), 1);
  Sent s = sent(0);
  EXPECT_EQ(s.cmd, STRING_CMD);
  EXPECT_EQ(std::string(s.payload.begin(), s.payload.end()), "boot\n");

  runTask(dm, "jyx.data:device_up", "");
  s = sent(1);
  EXPECT_EQ(s.payload, std::vector<uint8_t>({0x1b, '[', 'A', '\n'}));

  runTask(dm, "jyx.data:string_cmd_content", "{\"value\":\"ls\\\\nboot\"}");
  EXPECT_EQ(dm->stringCmd(), "ls\\nboot");
  runTask(dm, "jyx.data:string_cmd_send", "");
  s = sent(2);
  EXPECT_EQ(std::string(s.payload.begin(), s.payload.end()), "ls\nboot\n");

  bool fresh = false;
  EXPECT_TRUE(dm->enableStringCmd(1, [&](CPackage* p) { fresh = p && p->size() == 0; }));
  EXPECT_TRUE(fresh);

  dm->enableUart(1, nullptr);
  s = sent(3);
  EXPECT_EQ(s.cmd, UART_CTRL);
  EXPECT_EQ(s.payload[0], 1);
  failPending();
}

TEST_F(DataManagerTest, GpioTasksPrintTheirResults) {
  runTask(dm, "jyx.data:change_set_gpio_num", "{\"value\":\"70\"}");
  runTask(dm, "jyx.data:change_set_gpio_level", "{\"value\":\"1\"}");
  testing::internal::CaptureStdout();
  APIDATA data;
  CTask* task = CAPIManager::instance()->createTask(0, "jyx.data:set_gpio", &data, nullptr);
  dm->dispatchTask(task);
  ackGpio(0);
  EXPECT_EQ(std::string(task->result()->text), "{\"gpioNum\":70, \"level\":1}");
  CAPIManager::instance()->update();

  runTask(dm, "jyx.data:change_get_gpio_num", "{\"value\":\"22\"}");
  task = CAPIManager::instance()->createTask(0, "jyx.data:get_gpio", &data, nullptr);
  dm->dispatchTask(task);
  CPackage reply;
  reply.makeGpioAck(sent(1).frame, 0, 1, 22);
  dm->onPackage(&reply);
  CAPIManager::instance()->update();
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "setGpio: OK (num:70, level:1)\ngetGpio: result(num:22, level:1)\n");
}

}  // namespace

namespace {

// The real controller socket of the manager against a raw loopback peer.
TEST(ControllerLinkTest, PeerClosingTheLinkIsReportedAfterWhatItSentAndFailsTheRest) {
  int listener = jyxtest::rawListen("127.0.3.40", CJYXDataManager::kDefaultPort);
  ASSERT_GE(listener, 0);
  CJYX::instance()->setWantConnected(true);
  {
    CJYXDataManager dm("127.0.3.40", CJYXDataManager::kDefaultPort, false);
    dm.connect();
    ASSERT_TRUE(dm.isConnected());
    int peer = accept(listener, nullptr, nullptr);
    ASSERT_GE(peer, 0);

    std::vector<std::string> results;
    auto record = [&](const char* name) {
      return [&results, name](CPackage* r) {
        results.push_back(std::string(name) + (r ? ":reply" : ":null"));
      };
    };
    ASSERT_TRUE(dm.gpio(1, 68, 1, record("first")));
    ASSERT_TRUE(dm.gpio(1, 72, 1, record("second")));
    // The controller reads both requests (so that its close is an orderly
    // end, not a reset), answers the first and hangs up at once.
    char requests[2 * 28];
    size_t got = 0;
    while (got < sizeof(requests)) {
      ssize_t n = recv(peer, requests + got, sizeof(requests) - got, 0);
      ASSERT_GT(n, 0);
      got += static_cast<size_t>(n);
    }
    CPackage ack;
    ack.makeGpioAck(0, 1, 1, 68);
    ASSERT_EQ(static_cast<ssize_t>(ack.size()), send(peer, ack.data(), ack.size(), 0));
    close(peer);

    testing::internal::CaptureStdout();
    double end = CAPIManager::wallClock() + 10.0;
    while (dm.isConnected() && CAPIManager::wallClock() < end) {
      dm.onUpdate(CAPIManager::wallClock());
      sleepMs(2);
    }
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_FALSE(dm.isConnected());
    EXPECT_FALSE(dm.isEnabled());
    EXPECT_EQ(out, "error-data-manager: tcp: the controller closed the connection!\n\n");
    // The reply that came before the end was delivered; the request left
    // waiting failed in the same update that dropped the link.
    EXPECT_EQ(results, std::vector<std::string>({"first:reply", "second:null"}));
    EXPECT_EQ(dm.pendingCount(), 0);
  }
  CJYX::instance()->setWantConnected(false);
  close(listener);
}

}  // namespace
