#include "sim/controller.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace jyxsim {
namespace {

// Drives the controller without sockets: requests in, due packets out.
class SimControllerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CSimController::Config c;
    c.flash.sizeBytes = 1u << 20;
    c.power.frameRate = 1000;
    c.eraseUsPerSector = 300;
    c.programUsPerSector = 700;
    controller_.reset(new CSimController(c, &faults_, &log_));
    std::string err;
    ASSERT_TRUE(controller_->init(now_, &err)) << err;
    controller_->onPacketClientConnected(now_);
  }
  // Sends a request and returns the replies due by `now_` as decoded frames.
  std::vector<SimFrame> send(uint16_t cmd, uint16_t data, std::vector<uint8_t> payload) {
    SimFrame f;
    f.frame = ++frame_;
    f.cmd = cmd;
    f.data = data;
    f.payload = std::move(payload);
    controller_->onRequest(f, now_, frame_);
    return due();
  }
  std::vector<SimFrame> due() {
    std::vector<SimFrame> out;
    CSimController::Outgoing o;
    CSimFrameReader reader;
    while (controller_->takeDue(now_, &o))
      reader.feed(reinterpret_cast<const uint8_t*>(o.bytes.data()), o.bytes.size());
    SimFrame f;
    while (reader.next(&f)) out.push_back(f);
    return out;
  }
  std::vector<uint8_t> gpio(uint16_t num, uint8_t level) {
    return {1, level, uint8_t(num), uint8_t(num >> 8), 0, 0, 0, 0};
  }

  CSimFaults faults_;
  COpsLog log_;
  std::unique_ptr<CSimController> controller_;
  uint64_t now_ = 5000000;
  uint32_t frame_ = 0;
};

TEST_F(SimControllerTest, SectorWriteReplyWaitsForEraseAndProgramTime) {
  send(GPIO_CTRL, NO_DATA, gpio(67, 0));
  send(GPIO_CTRL, NO_DATA, gpio(66, 0));
  std::vector<SimFrame> r = send(SPI_CTRL, SPI_CTRL_INFO_DATA, {1, 0, 0, 0, 0, 0, 0, 0});
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(getU16(&r[0].payload[6]), 256) << "sectors of 1 MiB";
  std::vector<uint8_t> sector(8 + 4096, 0xAB);
  putU32(&sector[0], 1);
  putU16(&sector[4], 4096);
  putU16(&sector[6], 1);
  EXPECT_TRUE(send(SPI_CTRL, SPI_DATA, sector).empty());
  now_ += 999;
  EXPECT_TRUE(due().empty());
  now_ += 1;
  r = due();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].data, SPI_DATA);
  EXPECT_EQ(controller_->flash().bytes()[4096], 0xAB);
  EXPECT_EQ(controller_->nextWakeUs(), UINT64_MAX) << "nothing left to do";
}

TEST_F(SimControllerTest, PowerReportsFollowTheClockAndStopWithTheLink) {
  send(GPIO_CTRL, NO_DATA, gpio(73, 0));
  std::vector<uint8_t> p(40, 0xFF);
  putU32(&p[0], 1);
  putU32(&p[4], 0x3);  // rails 0 and 1
  putU32(&p[8], 0);
  putU32(&p[12], 0);
  p[16] = 0x10;
  std::vector<SimFrame> r = send(POWER_CTRL, NO_DATA, p);
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].payload[0], 123);
  uint64_t frames = 0;
  for (int i = 0; i < 10; ++i) {
    now_ += 10000;
    controller_->tick(now_);
    for (const SimFrame& f : due()) {
      ASSERT_EQ(f.cmd, POWER_CTRL);
      uint16_t n = getU16(&f.payload[8]);
      ASSERT_EQ(f.payload.size(), 24u + n * 2u * 4u);
      frames += n;
      // The target is off: the rails read nothing.
      EXPECT_EQ(getU32(&f.payload[24]), 0u);
    }
  }
  EXPECT_EQ(frames, 100u) << "1000 frames per second over 100 ms";
  controller_->onPacketClientClosed(now_);
  now_ += 50000;
  controller_->tick(now_);
  EXPECT_TRUE(due().empty());
}

TEST_F(SimControllerTest, FailStillActsAndDelayAllHoldsEveryReply) {
  std::string err;
  ASSERT_TRUE(faults_.addOption("fail", "GPIO_CTRL:1", &err));
  ASSERT_TRUE(faults_.addOption("delay-all", "20", &err));
  EXPECT_TRUE(send(GPIO_CTRL, NO_DATA, gpio(68, 1)).empty()) << "held back 20 ms";
  now_ += 19999;
  EXPECT_TRUE(due().empty());
  now_ += 1;
  std::vector<SimFrame> r = due();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].data, NO_DATA) << "ACK_FAIL";
  EXPECT_EQ(controller_->target().state(), TargetState::kOn) << "the request took effect";
  send(HEART_BEAT, NO_DATA, {});
  now_ += 20000;
  r = due();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].data, HEART_BEAT_DATA);
}

// Random faults and garbage bytes depend only on the seed and the request
// sequence, not on whether a delayed reply went out before the next
// request arrived.
TEST(SimControllerFaultsTest, RandomFaultsDoNotDependOnReplyTiming) {
  auto run = [](bool sendDelayedFirst) {
    CSimFaults faults;
    COpsLog log;
    std::string err;
    EXPECT_TRUE(faults.addOption("garbage", "HEART_BEAT:1", &err));
    EXPECT_TRUE(faults.addOption("delay", "HEART_BEAT:1:50", &err));
    EXPECT_TRUE(faults.addOption("random", "drop=0.3,garbage=0.3", &err));
    CSimController::Config c;
    c.flash.sizeBytes = 64 * 1024;
    CSimController controller(c, &faults, &log);
    uint64_t now = 1000000;
    EXPECT_TRUE(controller.init(now, &err)) << err;
    controller.onPacketClientConnected(now);
    std::vector<std::string> sent;
    CSimController::Outgoing o;
    for (uint32_t i = 1; i <= 40; ++i) {
      SimFrame req;
      req.frame = i;
      controller.onRequest(req, now, i);
      if (i == 1 && sendDelayedFirst) now += 60000;
      while (controller.takeDue(now, &o)) sent.push_back(o.bytes);
    }
    now += 60000;
    while (controller.takeDue(now, &o)) sent.push_back(o.bytes);
    std::sort(sent.begin(), sent.end());
    return sent;
  };
  std::vector<std::string> a = run(false);
  EXPECT_LT(a.size(), 40u) << "some replies dropped";
  EXPECT_EQ(a, run(true));
}

}  // namespace
}  // namespace jyxsim
