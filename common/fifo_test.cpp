#include "common/fifo.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>

#include "common/buffer.h"

TEST(FifoTest, PushIsAllOrNothing) {
  CFifo fifo(8);
  EXPECT_TRUE(fifo.push("abcde", 5));
  EXPECT_FALSE(fifo.push("xyzw", 4));  // one byte too many
  EXPECT_EQ(5, fifo.size());
  EXPECT_TRUE(fifo.push("xyz", 3));  // exactly the free space
  EXPECT_EQ(0, fifo.freeSpace());
  char out[9] = {};
  EXPECT_FALSE(fifo.pop(out, 9));
  EXPECT_TRUE(fifo.pop(out, 8));
  EXPECT_STREQ("abcdexyz", out);
}

TEST(FifoTest, WrapAroundKeepsOrderAndResetsPositions) {
  CFifo fifo(8);
  char out[8] = {};
  ASSERT_TRUE(fifo.push("123456", 6));
  ASSERT_TRUE(fifo.pop(out, 5));
  ASSERT_TRUE(fifo.push("abcdef", 6));  // crosses the end of the buffer
  EXPECT_EQ(0, fifo.find("6ab", 3));
  EXPECT_EQ(3, fifo.find("cd", 2));
  char peeked[3] = {};
  ASSERT_TRUE(fifo.peek(peeked, 2, 5));
  EXPECT_EQ(std::string("ef"), std::string(peeked, 2));
  ASSERT_TRUE(fifo.pop(out, 7));
  EXPECT_EQ(std::string("6abcdef"), std::string(out, 7));
  EXPECT_EQ(0, fifo.size());
  // Positions went back to 0: a full-capacity push now fits in one piece.
  EXPECT_TRUE(fifo.push("ABCDEFGH", 8));
}

TEST(FifoTest, FindAndSkipTo) {
  CFifo fifo(16);
  EXPECT_EQ(-1, fifo.find("ZZ", 2));
  ASSERT_TRUE(fifo.push("xxZZyy", 6));
  EXPECT_EQ(2, fifo.find("ZZ", 2));
  EXPECT_TRUE(fifo.skipTo("ZZ", 2));
  EXPECT_EQ(4, fifo.size());
  EXPECT_EQ(0, fifo.find("ZZ", 2));
  EXPECT_FALSE(fifo.skipTo("QQQQ", 4));
  EXPECT_EQ(3, fifo.size());  // examined bytes are gone
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
  int got = 0;
  while (got < total) {
    unsigned char b;
    if (fifo.pop(&b, 1)) {
      ASSERT_EQ(expect, b);
      ++expect;
      ++got;
    }
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

TEST(BufferTest, ReserveGrowsExactlyAndKeepsBytes) {
  CBuffer a(2);
  a.append("hello", 5);
  EXPECT_EQ(5, a.capacity());
  a.reserve(3);
  EXPECT_EQ(5, a.capacity());
  EXPECT_EQ(0, memcmp(a.data(), "hello", 5));
  CBuffer copy(a);
  EXPECT_EQ(5, copy.capacity());
  EXPECT_TRUE(copy.equals(a));
  copy.zero();
  EXPECT_EQ(0, copy.data()[4]);
}
