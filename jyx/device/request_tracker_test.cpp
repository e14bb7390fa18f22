// CRequestTracker: reply matching by frame number, the two time-outs, and
// the hand-back of every pending request when the link is replaced.
#include "jyx/device/request_tracker.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "jyx/protocol/package_manager.h"

namespace {

class RequestTrackerTest : public ::testing::Test {
 protected:
  // Tracks a request with frame `frame` sent at `sentAt`; its callback
  // appends "<frame>:<reply or null>" to calls_.
  void track(uint32_t frame, double sentAt) {
    CPackage* request = CPackageManager::instance()->getPackage();
    request->makeHeartBeat(frame);
    request->setTime(sentAt);
    tracker_.track(request, [this, frame](CPackage* reply) {
      calls_.push_back(std::to_string(frame) + (reply ? ":reply" : ":null"));
    });
  }

  CRequestTracker tracker_;
  std::vector<std::string> calls_;
};

TEST_F(RequestTrackerTest, FramesCountUpFromZero) {
  EXPECT_EQ(0u, tracker_.nextFrameNum());
  EXPECT_EQ(1u, tracker_.nextFrameNum());
  EXPECT_EQ(2u, tracker_.nextFrameNum());
}

TEST_F(RequestTrackerTest, ReplyReachesOnlyTheRequestWithItsFrame) {
  track(1, 0);
  track(2, 0);
  track(3, 0);
  CPackage* reply = CPackageManager::instance()->getPackage();
  reply->makeHeartBeat(2);
  PackageCallback callback = tracker_.match(reply);
  ASSERT_TRUE(callback);
  callback(reply);
  EXPECT_EQ(std::vector<std::string>{"2:reply"}, calls_);
  EXPECT_EQ(2, tracker_.pendingCount());
  // The same frame again finds nothing: each request is answered once.
  EXPECT_FALSE(tracker_.match(reply));
  reply->makeHeartBeat(9);
  EXPECT_FALSE(tracker_.match(reply));
  CPackageManager::instance()->releasePackage(reply);
}

TEST_F(RequestTrackerTest, TimeOutShortensOnceTheLinkWentUnanswered) {
  struct Step {
    double now;
    bool live;
    bool expires;
    bool unansweredAfter;
  };
  track(1, 0);
  track(2, 300);
  const Step steps[] = {
      {300.0, true, false, false},  // exactly at the limit: still waiting
      {300.5, true, true, true},    // request 1 past 300 s: the link is silent
      {304.0, true, false, true},   // request 2 is 4 s old: under the 5 s limit
      {305.5, true, true, true},    // and fails at 5 s, not 300 s
  };
  for (const Step& s : steps) {
    PackageCallback callback = tracker_.expireOne(s.now, s.live);
    EXPECT_EQ(s.expires, static_cast<bool>(callback)) << s.now;
    if (callback) callback(nullptr);
    EXPECT_EQ(s.unansweredAfter, tracker_.linkUnanswered()) << s.now;
  }
  EXPECT_EQ((std::vector<std::string>{"1:null", "2:null"}), calls_);
  tracker_.received(306);
  EXPECT_FALSE(tracker_.linkUnanswered());
  EXPECT_EQ(306, tracker_.lastActivity());
}

TEST_F(RequestTrackerTest, LinkNotLiveFailsRequestsWithoutBlamingTheController) {
  track(1, 100);
  PackageCallback callback = tracker_.expireOne(100, false);
  ASSERT_TRUE(callback);
  callback(nullptr);
  EXPECT_FALSE(tracker_.linkUnanswered());
  EXPECT_EQ(0, tracker_.pendingCount());
}

TEST_F(RequestTrackerTest, TakeAllEmptiesTheListBeforeAnyCallbackRuns) {
  track(1, 0);
  track(2, 0);
  std::vector<PackageCallback> callbacks = tracker_.takeAll();
  EXPECT_EQ(0, tracker_.pendingCount());
  ASSERT_EQ(2u, callbacks.size());
  for (PackageCallback& callback : callbacks) callback(nullptr);
  EXPECT_EQ((std::vector<std::string>{"2:null", "1:null"}), calls_);
}

}  // namespace
