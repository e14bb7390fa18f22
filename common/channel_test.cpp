#include "common/channel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "channel_test_util.h"

namespace {

using jyxtest::RecordingDelegate;
using jyxtest::waitUntil;

// A device in memory: write() appends to `written`, read() hands out what a
// test queued in `incoming`.
class FakeChannel : public CChannel {
 public:
  explicit FakeChannel(CChannelDelegate* delegate, bool enable = true)
      : CChannel(delegate, 1 << 16) {
    if (enable) enableThreads();
  }
  ~FakeChannel() override { shutdown(); }

  bool isOpen() override { return open_.load(); }
  int write(const void* data, int len) override {
    CSmartLock guard(&lock_);
    written_.append(static_cast<const char*>(data), static_cast<size_t>(len));
    ++writes_;
    return writeResult_ == 0 ? len : writeResult_;
  }
  int read(void* buf, int len) override {
    CSmartLock guard(&lock_);
    ++reads_;
    int n = static_cast<int>(incoming_.size()) < len ? static_cast<int>(incoming_.size()) : len;
    if (n > 0) {
      memcpy(buf, incoming_.data(), static_cast<size_t>(n));
      incoming_.erase(0, static_cast<size_t>(n));
      receiveFifo_->push(buf, n);
    }
    return n;
  }

  void setOpen(bool open) { open_ = open; }
  void setWriteResult(int result) {
    CSmartLock guard(&lock_);
    writeResult_ = result;
  }
  void queue(const std::string& bytes) {
    CSmartLock guard(&lock_);
    incoming_ += bytes;
  }
  std::string written() {
    CSmartLock guard(&lock_);
    return written_;
  }
  int writes() {
    CSmartLock guard(&lock_);
    return writes_;
  }
  int reads() {
    CSmartLock guard(&lock_);
    return reads_;
  }

 private:
  std::atomic<bool> open_{false};
  std::string written_;
  std::string incoming_;
  int writeResult_ = 0;
  int writes_ = 0;
  int reads_ = 0;
};

// Takes every free pool thread; hands them back on destruction.
class PoolHog {
 public:
  PoolHog() {
    while (CThread* t = CThreadPool::instance()->get([](CThread*) {}, -1, 0)) taken_.push_back(t);
  }
  ~PoolHog() {
    for (CThread* t : taken_) t->recycle();
  }

 private:
  std::vector<CThread*> taken_;
};

TEST(ChannelTest, SendBufferWithoutPositiveLengthDoesNothing) {
  RecordingDelegate delegate;
  FakeChannel channel(&delegate);
  bool called = false;
  const unsigned char byte = 'x';
  EXPECT_EQ(0, channel.sendBuffer(&byte, 0, [&](bool) { called = true; }));
  EXPECT_EQ(-5, channel.sendBuffer(&byte, -5, [&](bool) { called = true; }));
  EXPECT_EQ(0, channel.sendBuffer(&byte, 0, nullptr));
  sleepMs(30);
  EXPECT_FALSE(called);
  EXPECT_EQ(0, channel.writes());
}

TEST(ChannelTest, SendBufferWithoutCallbackWritesOnCallerAndReturnsWriteResult) {
  RecordingDelegate delegate;
  FakeChannel channel(&delegate);
  const unsigned char bytes[] = {1, 2, 3, 0, 5};
  EXPECT_EQ(5, channel.sendBuffer(bytes, 5, nullptr));
  EXPECT_EQ(std::string("\x01\x02\x03\x00\x05", 5), channel.written());
  channel.setWriteResult(-1);
  EXPECT_EQ(-1, channel.sendBuffer(bytes, 5, nullptr));
  // The text form leaves out the terminating NUL.
  channel.setWriteResult(0);
  EXPECT_EQ(3, channel.sendBuffer("abc", nullptr));
  EXPECT_EQ("abc", channel.written().substr(10));
}

TEST(ChannelTest, SendBufferWithCallbackWritesOnPoolThenCallsDoneTrue) {
  RecordingDelegate delegate;
  FakeChannel channel(&delegate);
  std::atomic<int> done{0};
  std::atomic<bool> result{false};
  {
    // The job works on its own copy: the caller's bytes may go at once.
    std::vector<unsigned char> bytes = {'h', 'e', 'l', 'l', 'o'};
    EXPECT_EQ(5, channel.sendBuffer(bytes.data(), 5, [&](bool ok) {
      result = ok;
      ++done;
    }));
  }
  ASSERT_TRUE(waitUntil([&] { return done.load() == 1; }));
  EXPECT_TRUE(result.load());
  EXPECT_EQ("hello", channel.written());
}

TEST(ChannelTest, SendBufferWithExhaustedPoolCallsDoneFalseBeforeReturning) {
  RecordingDelegate delegate;
  FakeChannel channel(&delegate);
  int calls = 0;
  bool result = true;
  {
    PoolHog hog;
    EXPECT_EQ(3, channel.sendBuffer(reinterpret_cast<const unsigned char*>("abc"), 3,
                                    [&](bool ok) {
                                      result = ok;
                                      ++calls;
                                    }));
    EXPECT_EQ(1, calls);
    EXPECT_FALSE(result);
  }
  sleepMs(30);
  EXPECT_EQ(1, calls);
  EXPECT_EQ(0, channel.writes());
}

TEST(ChannelTest, TwoBackToBackAsyncSendsBothArrive) {
  RecordingDelegate delegate;
  FakeChannel channel(&delegate);
  std::atomic<int> done{0};
  channel.sendBuffer("first;", [&](bool ok) { done += ok ? 1 : 100; });
  channel.sendBuffer("second;", [&](bool ok) { done += ok ? 1 : 100; });
  ASSERT_TRUE(waitUntil([&] { return done.load() >= 2; }));
  EXPECT_EQ(2, done.load());
  std::string written = channel.written();
  EXPECT_TRUE(written == "first;second;" || written == "second;first;") << written;
}

TEST(ChannelTest, ReceiveThreadReadsOnlyWhileOpenAndFillsReceiveFifo) {
  RecordingDelegate delegate;
  FakeChannel channel(&delegate);
  channel.queue("queued bytes");
  sleepMs(50);
  EXPECT_EQ(0, channel.reads());
  EXPECT_EQ(0, channel.receiveFifo()->size());

  channel.setOpen(true);
  std::string got;
  ASSERT_TRUE(jyxtest::collect(channel.receiveFifo(), &got, 12));
  EXPECT_EQ("queued bytes", got);

  // A burst larger than one read chunk is drained across full reads.
  std::string burst(5000, 'z');
  channel.queue(burst);
  got.clear();
  ASSERT_TRUE(jyxtest::collect(channel.receiveFifo(), &got, burst.size()));
  EXPECT_EQ(burst, got);
}

TEST(ChannelTest, ThreadsLeaveTheChannelAloneUntilEnabled) {
  RecordingDelegate delegate;
  FakeChannel channel(&delegate, false);
  channel.setOpen(true);
  channel.queue("waiting");
  ASSERT_TRUE(channel.sendFifo()->push("out", 3));
  sleepMs(50);
  EXPECT_EQ(0, channel.reads());
  EXPECT_EQ(0, channel.writes());
  // start() enables them (the fake's open() is the base one: false).
  EXPECT_FALSE(channel.start());
  // The base open() flushed both FIFOs; queue again.
  ASSERT_TRUE(channel.sendFifo()->push("out", 3));
  std::string got;
  ASSERT_TRUE(jyxtest::collect(channel.receiveFifo(), &got, 7));
  EXPECT_EQ("waiting", got);
  ASSERT_TRUE(waitUntil([&] { return channel.written() == "out"; }));
}

TEST(ChannelTest, SendThreadDrainsSendFifoThroughWrite) {
  RecordingDelegate delegate;
  FakeChannel channel(&delegate);
  std::string big(20000, 'q');  // more than one 8 KiB write
  ASSERT_TRUE(channel.sendFifo()->push(big.data(), static_cast<int>(big.size())));
  ASSERT_TRUE(waitUntil([&] { return channel.written().size() == big.size(); }));
  EXPECT_EQ(big, channel.written());
  EXPECT_GE(channel.writes(), 3);
}

// Free pool threads right now (other live channels hold some).
int freePoolThreads() {
  std::vector<CThread*> taken;
  while (CThread* t = CThreadPool::instance()->get([](CThread*) {}, -1, 0)) taken.push_back(t);
  for (CThread* t : taken) t->recycle();
  return static_cast<int>(taken.size());
}

TEST(ChannelTest, DestroyingBusyChannelsStopsTheirThreadsAndHandsThemBack) {
  // Each channel is destroyed while its receive thread is reading and an
  // asynchronous send is in flight; ASan/TSan builds catch a thread that
  // still touches the dead object.
  int freeBefore = freePoolThreads();
  RecordingDelegate delegate;
  for (int i = 0; i < 5; ++i) {
    auto* channel = new FakeChannel(&delegate);
    channel->setOpen(true);
    channel->queue(std::string(3000, 'r'));
    std::atomic<bool>* sent = new std::atomic<bool>(false);
    channel->sendBuffer("late", [sent](bool) { *sent = true; });
    sleepMs(2);
    delete channel;
    // The in-flight send finished before the channel went away.
    EXPECT_TRUE(sent->load());
    delete sent;
  }
  // The async jobs recycle themselves right after their last pass.
  EXPECT_TRUE(waitUntil([&] { return freePoolThreads() == freeBefore; }));
}

}  // namespace
