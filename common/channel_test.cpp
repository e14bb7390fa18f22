#include "common/channel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "test_util.h"

namespace {

using jyxtest::collect;
using jyxtest::RecordingDelegate;
using jyxtest::waitUntil;

// A device in memory: write() appends to written(), read() hands out what a
// test queued.
class FakeChannel : public CChannel {
 public:
  explicit FakeChannel(CChannelDelegate* delegate, bool enable = true)
      : CChannel(delegate, 1 << 16) {
    if (enable) enableThreads();
  }
  ~FakeChannel() override { shutdown(); }

  bool isOpen() override { return open.load(); }
  // Opens or closes the fake device and, like every real channel, tells the
  // channel's threads.
  void setOpen(bool isOpen) {
    open = isOpen;
    wakeThreads();
  }
  // Like a device, read() waits (briefly) for bytes instead of returning at
  // once, so the receive thread calls it back to back.
  bool readWaitsForDevice() override { return true; }
  int write(const void* data, int len) override {
    CSmartLock guard(&lock_);
    written_.append(static_cast<const char*>(data), static_cast<size_t>(len));
    ++writes;
    int result = writeResult;
    return result == 0 ? len : result;
  }
  int read(void* buf, int len) override {
    std::unique_lock<CLock> guard(lock_);
    arrived_.wait_for(guard, std::chrono::milliseconds(20),
                      [this] { return !incoming_.empty() || stopping(); });
    ++reads;
    int n = std::min(static_cast<int>(incoming_.size()), len);
    memcpy(buf, incoming_.data(), static_cast<size_t>(n));
    incoming_.erase(0, static_cast<size_t>(n));
    receiveFifo_->push(buf, n);
    return n;
  }
  void queue(const std::string& bytes) {
    {
      CSmartLock guard(&lock_);
      incoming_ += bytes;
    }
    arrived_.notify_all();
  }
  std::string written() {
    CSmartLock guard(&lock_);
    return written_;
  }

  std::atomic<bool> open{false};
  std::atomic<int> writeResult{0};
  std::atomic<int> writes{0};
  std::atomic<int> reads{0};

 private:
  std::string written_;
  std::string incoming_;
  std::condition_variable_any arrived_;
};

// Takes every free pool thread; hands them back on destruction.
struct PoolHog {
  PoolHog() {
    while (CThread* t = CThreadPool::instance()->get([](CThread*) {}, -1, 0)) taken.push_back(t);
  }
  ~PoolHog() {
    for (CThread* t : taken) t->recycle();
  }
  std::vector<CThread*> taken;
};

TEST(ChannelTest, SendBufferWithoutCallbackOrWithoutLength) {
  RecordingDelegate delegate;
  FakeChannel channel(&delegate);
  bool called = false;
  const unsigned char bytes[] = {1, 2, 3, 0, 5};
  EXPECT_EQ(0, channel.sendBuffer(bytes, 0, [&](bool) { called = true; }));
  EXPECT_EQ(-5, channel.sendBuffer(bytes, -5, [&](bool) { called = true; }));
  EXPECT_EQ(0, channel.sendBuffer(bytes, 0, nullptr));
  sleepMs(30);
  EXPECT_FALSE(called);
  EXPECT_EQ(0, channel.writes.load());

  // Without a callback the write runs on the caller and its result is returned.
  EXPECT_EQ(5, channel.sendBuffer(bytes, 5, nullptr));
  EXPECT_EQ(std::string("\x01\x02\x03\x00\x05", 5), channel.written());
  channel.writeResult = -1;
  EXPECT_EQ(-1, channel.sendBuffer(bytes, 5, nullptr));
  // The text form leaves out the terminating NUL.
  channel.writeResult = 0;
  EXPECT_EQ(3, channel.sendBuffer("abc", nullptr));
  EXPECT_EQ("abc", channel.written().substr(10));
}

TEST(ChannelTest, SendBufferWithCallbackWritesACopyOnThePoolThenCallsDoneTrue) {
  RecordingDelegate delegate;
  FakeChannel channel(&delegate);
  std::atomic<int> done{0};
  {
    // The job works on its own copy: the caller's bytes may go at once.
    std::vector<unsigned char> bytes = {'f', 'i', 'r', 's', 't', ';'};
    EXPECT_EQ(6, channel.sendBuffer(bytes.data(), 6, [&](bool ok) { done += ok ? 1 : 100; }));
  }
  channel.sendBuffer("second;", [&](bool ok) { done += ok ? 1 : 100; });
  ASSERT_TRUE(waitUntil([&] { return done.load() >= 2; }));
  EXPECT_EQ(2, done.load());
  std::string written = channel.written();
  EXPECT_TRUE(written == "first;second;" || written == "second;first;") << written;
}

TEST(ChannelTest, SendBufferWithExhaustedPoolCallsDoneFalseBeforeReturning) {
  RecordingDelegate delegate;
  FakeChannel channel(&delegate);
  int calls = 0;
  bool result = true;
  {
    PoolHog hog;
    EXPECT_EQ(3, channel.sendBuffer(reinterpret_cast<const unsigned char*>("abc"), 3, [&](bool ok) {
      result = ok;
      ++calls;
    }));
    EXPECT_EQ(1, calls);
    EXPECT_FALSE(result);
  }
  sleepMs(30);
  EXPECT_EQ(1, calls);
  EXPECT_EQ(0, channel.writes.load());
}

TEST(ChannelTest, ThreadsMoveBytesOnlyOnceEnabledAndReadOnlyWhileOpen) {
  RecordingDelegate delegate;
  FakeChannel channel(&delegate, false);
  channel.setOpen(true);
  channel.queue("waiting");
  ASSERT_TRUE(channel.sendFifo()->push("out", 3));
  sleepMs(50);
  EXPECT_EQ(0, channel.reads.load());
  EXPECT_EQ(0, channel.writes.load());

  channel.setOpen(false);
  // start() enables them (the fake's open() is the base one: false, and it
  // flushed both FIFOs).
  EXPECT_FALSE(channel.start());
  std::string big(20000, 'q');  // more than one 8 KiB write
  ASSERT_TRUE(channel.sendFifo()->push(big.data(), static_cast<int>(big.size())));
  ASSERT_TRUE(waitUntil([&] { return channel.written().size() == big.size(); }));
  EXPECT_EQ(big, channel.written());
  EXPECT_GE(channel.writes.load(), 3);
  EXPECT_EQ(0, channel.reads.load());  // closed: nothing read meanwhile

  // A burst larger than one read chunk is drained across full reads.
  std::string burst(5000, 'z');
  channel.queue(burst);
  channel.setOpen(true);
  std::string got;
  ASSERT_TRUE(collect(channel.receiveFifo(), &got, 7 + burst.size()));
  EXPECT_EQ("waiting" + burst, got);
}

// A burst larger than the receive FIFO used to be read in full and what
// did not fit was dropped. Now the device is left alone until there is
// room, so every byte arrives, in order, however slowly the parser pops.
TEST(ChannelTest, FullReceiveFifoLeavesBytesInTheDeviceInsteadOfDroppingThem) {
  RecordingDelegate delegate;
  FakeChannel channel(&delegate);
  const int capacity = channel.receiveFifo()->capacity();
  std::string burst;
  for (int i = 0; burst.size() < static_cast<size_t>(capacity) * 3 + 777; ++i) {
    burst += std::to_string(i) + ",";
  }
  channel.queue(burst);
  channel.setOpen(true);
  std::string got;
  for (int round = 0; got.size() < burst.size() && round < 10; ++round) {
    // Wait until the receive thread has stopped for lack of room (or the
    // device is empty), then take everything at once.
    ASSERT_TRUE(waitUntil([&] {
      return channel.receiveFifo()->freeSpace() < 1024 ||
             got.size() + channel.receiveFifo()->size() == burst.size();
    }));
    got += jyxtest::popAll(channel.receiveFifo());
  }
  ASSERT_EQ(burst.size(), got.size());
  EXPECT_TRUE(got == burst);
}

// Free pool threads right now (other live channels hold some).
int freePoolThreads() { return static_cast<int>(PoolHog().taken.size()); }

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
    auto* sent = new std::atomic<bool>(false);
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
