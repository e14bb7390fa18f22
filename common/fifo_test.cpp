#include "common/fifo.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "common/buffer.h"

TEST(FifoTest, PushAndPopAreAllOrNothing) {
  CFifo fifo(8);
  EXPECT_TRUE(fifo.push("abcde", 5));
  EXPECT_FALSE(fifo.push("xyzw", 4));  // one byte too many
  EXPECT_EQ(5, fifo.size());
  EXPECT_TRUE(fifo.push("xyz", 3));  // exactly the free space
  char out[9] = {};
  EXPECT_FALSE(fifo.pop(out, 9));
  EXPECT_TRUE(fifo.pop(out, 8));
  EXPECT_STREQ("abcdexyz", out);
}

TEST(FifoTest, WrapAroundKeepsOrderForFindPeekAndPop) {
  CFifo fifo(8);
  char out[8] = {};
  ASSERT_TRUE(fifo.push("123456", 6));
  ASSERT_TRUE(fifo.pop(out, 5));
  ASSERT_TRUE(fifo.push("abcdef", 6));  // crosses the end of the buffer
  EXPECT_EQ(0, fifo.find("6ab", 3));
  char peeked[2] = {};
  ASSERT_TRUE(fifo.peek(peeked, 2, 5));
  EXPECT_EQ("ef", std::string(peeked, 2));
  ASSERT_TRUE(fifo.pop(out, 7));
  EXPECT_EQ("6abcdef", std::string(out, 7));
  // Positions went back to 0: a full-capacity push now fits in one piece.
  EXPECT_TRUE(fifo.push("ABCDEFGH", 8));
}

TEST(FifoTest, SkipToDropsBytesBeforeTheMarkOrEverythingExamined) {
  CFifo fifo(16);
  ASSERT_TRUE(fifo.push("xxZZyy", 6));
  EXPECT_TRUE(fifo.skipTo("ZZ", 2));
  EXPECT_EQ(4, fifo.size());
  EXPECT_FALSE(fifo.skipTo("QQQQ", 4));
  EXPECT_EQ(3, fifo.size());  // a partial match at the end may still complete
  EXPECT_FALSE(fifo.peek(nullptr, 4, 0));
}

TEST(FifoTest, ConcurrentPushPopKeepsEveryByteInOrder) {
  CFifo fifo(1000);
  const int total = 200000;
  std::thread producer([&] {
    unsigned char v = 0;
    for (int i = 0; i < total;) {
      if (fifo.push(&v, 1)) {
        ++v;
        ++i;
      }
    }
  });
  unsigned char expect = 0;
  for (int got = 0; got < total;) {
    unsigned char b;
    if (!fifo.pop(&b, 1)) continue;
    ASSERT_EQ(expect, b);
    ++expect;
    ++got;
  }
  producer.join();
}

TEST(BufferTest, EqualsNeedsEqualPositiveLengths) {
  CBuffer a(4), b(4);
  EXPECT_FALSE(a.equals(b));  // two empty buffers are not equal
  a.append("abc", 3);
  b.append("abc", 3);
  EXPECT_TRUE(a.equals(b));
  b.append("d", 1);
  EXPECT_FALSE(a.equals(b));
}

// The filling thread sleeps on a full FIFO until a pop makes room; the
// draining thread sleeps on an empty one until a push.
TEST(FifoTest, WaitForRoomAndWaitForDataWakeOnTheOtherSidesMove) {
  CFifo fifo(8);
  ASSERT_TRUE(fifo.push("12345678", 8));
  std::atomic<int> roomResult{-1};
  std::thread filler([&] { roomResult = fifo.waitForRoom(3) ? 1 : 0; });
  char out[8];
  ASSERT_TRUE(fifo.pop(out, 2));  // not yet enough room: still waiting
  ASSERT_TRUE(fifo.pop(out, 1));
  filler.join();
  EXPECT_EQ(1, roomResult.load());
  EXPECT_GE(fifo.freeSpace(), 3);

  ASSERT_TRUE(fifo.pop(out, fifo.size()));
  std::atomic<int> dataResult{-1};
  std::thread drainer([&] { dataResult = fifo.waitForData() ? 1 : 0; });
  ASSERT_TRUE(fifo.push("x", 1));
  drainer.join();
  EXPECT_EQ(1, dataResult.load());
}

TEST(FifoTest, InterruptWaitsEndsPresentAndLaterWaitsWithFalse) {
  CFifo fifo(4);
  ASSERT_TRUE(fifo.push("full", 4));
  std::atomic<int> result{-1};
  std::thread filler([&] { result = fifo.waitForRoom(1) ? 1 : 0; });
  fifo.interruptWaits();
  filler.join();
  EXPECT_EQ(0, result.load());
  EXPECT_FALSE(fifo.waitForRoom(4));
  fifo.reset();
  EXPECT_FALSE(fifo.waitForData()) << "an interrupted FIFO never blocks again";
}
