#include "sim/frame.h"

#include <gtest/gtest.h>

namespace jyxsim {
namespace {

std::string packet(uint32_t frame, uint16_t cmd, std::vector<uint8_t> payload) {
  SimFrame f;
  f.frame = frame;
  f.cmd = cmd;
  f.data = 255;
  f.payload = std::move(payload);
  CPackage scratch;
  std::string out;
  encodeFrame(f, &scratch, &out);
  return out;
}

TEST(SimFrameReaderTest, SkipsGarbageAndCorruptPacketsAndWaitsForPartialOnes) {
  std::string stream = "\x01\x02garbage";
  stream += packet(1, 3, {1, 1, 68, 0, 0, 0, 0, 0});
  std::string bad = packet(2, 3, {1, 0, 72, 0, 0, 0, 0, 0});
  bad[16] ^= 1;  // checksum
  stream += bad;
  std::string bigLength = packet(3, 0, {});
  bigLength[12] = '\xFF';
  bigLength[13] = '\xFF';
  bigLength[14] = '\xFF';
  stream += bigLength;
  stream += packet(4, 8, {'b', 'o', 'o', 't', '\n'});
  std::string tail = packet(5, 0, {});

  CSimFrameReader r;
  r.feed(reinterpret_cast<const uint8_t*>(stream.data()), stream.size());
  r.feed(reinterpret_cast<const uint8_t*>(tail.data()), 10);
  SimFrame f;
  ASSERT_TRUE(r.next(&f));
  EXPECT_EQ(f.frame, 1u);
  EXPECT_EQ(f.payload[2], 68);
  ASSERT_TRUE(r.next(&f));
  EXPECT_EQ(f.frame, 4u);
  EXPECT_EQ(std::string(f.payload.begin(), f.payload.end()), "boot\n");
  EXPECT_FALSE(r.next(&f)) << "half a packet";
  r.feed(reinterpret_cast<const uint8_t*>(tail.data()) + 10, tail.size() - 10);
  ASSERT_TRUE(r.next(&f));
  EXPECT_EQ(f.frame, 5u);
  EXPECT_GT(r.badChecksums(), 0u);
  EXPECT_GT(r.skipped(), 4u);
}

TEST(SimFrameReaderTest, EveryFlippedByteOfAPacketIsRejectedOrHarmless) {
  std::string good = packet(9, 3, {0, 0, 22, 0, 0, 0, 0, 0});
  for (size_t i = 0; i < good.size(); ++i) {
    std::string bad = good;
    bad[i] = char(bad[i] + 1);
    CSimFrameReader r;
    r.feed(reinterpret_cast<const uint8_t*>(bad.data()), bad.size());
    SimFrame f;
    EXPECT_FALSE(r.next(&f)) << "byte " << i;
  }
}

TEST(SimFrameNamesTest, NamesFollowTheCodeTables) {
  EXPECT_STREQ(cmdName(3), "GPIO_CTRL");
  EXPECT_STREQ(cmdName(8), "STRING_CMD");
  EXPECT_STREQ(cmdName(77), "unknown");
  EXPECT_STREQ(dataName(255, true), "ACK_FAIL");
  EXPECT_STREQ(dataName(255, false), "NO_DATA");
  EXPECT_STREQ(dataName(8, true), "SPI_REG_DATA");
}

}  // namespace
}  // namespace jyxsim
