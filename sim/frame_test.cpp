#include "sim/frame.h"

#include <gtest/gtest.h>

#include <chrono>

namespace jyxsim {
namespace {

std::string packet(uint32_t frame, uint16_t cmd, std::vector<uint8_t> payload) {
  SimFrame f;
  f.frame = frame;
  f.cmd = cmd;
  f.data = 255;
  f.payload = std::move(payload);
  std::string out;
  encodeFrame(f, &out);
  return out;
}

// The heartbeat example of the wire format, byte for byte: the simulator's
// codec is the independent reading the tool is tested against.
TEST(SimFrameCodecTest, EncodesTheDocumentedHeartbeatAndRejectsEveryFlippedByte) {
  const std::string expected(
      "\x5A\x5A\x5A\x5A\x00\x00\x00\x00\x00\x00\xFF\x00\x14\x00\x00\x00\x6D\x5B\x5A\x5A", 20);
  EXPECT_EQ(packet(0, 0, {}), expected);
  std::string withPayload = packet(7, 8, {'l', 's', '\n', 0xFF});
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(withPayload.data());
  ASSERT_TRUE(wireValid(bytes, withPayload.size()));
  for (size_t i = 0; i < withPayload.size(); ++i) {
    std::string flipped = withPayload;
    flipped[i] ^= 0x01;
    EXPECT_FALSE(wireValid(reinterpret_cast<const uint8_t*>(flipped.data()), flipped.size()))
        << "byte " << i;
  }
  EXPECT_FALSE(wireValid(bytes, withPayload.size() - 1));
}

TEST(SimFrameReaderTest, SkipsGarbageAndCorruptPacketsAndWaitsForPartialOnes) {
  std::string stream = "\x01\x02garbage";
  stream += packet(1, 3, {1, 1, 68, 0, 0, 0, 0, 0});
  std::string bad = packet(2, 3, {1, 0, 72, 0, 0, 0, 0, 0});
  bad[16] ^= 1;  // checksum
  stream += bad;
  std::string bigLength = packet(3, 0, {});
  bigLength.replace(12, 3, "\xFF\xFF\xFF");
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

TEST(SimFrameReaderTest, FalseHeadersTrickledByteByByteCostEachOnlyOneCheck) {
  // Out of step (a stray byte first), a header claiming the largest packet,
  // then thousands of false headers whose claimed lengths arrive one by one,
  // then a real packet. Delivered a byte per read, the reader must find the
  // real packet without rescanning every false header on every byte (that
  // took minutes for this input).
  std::string stream = "x";
  uint8_t h[20] = {0x5A, 0x5A, 0x5A, 0x5A};
  putU32(h + 12, CSimFrameReader::kMaxPacket);
  stream.append(reinterpret_cast<const char*>(h), sizeof(h));
  putU32(h + 12, 32000);
  while (stream.size() < 60000) stream.append(reinterpret_cast<const char*>(h), sizeof(h));
  stream += packet(77, 0, {});
  stream += packet(78, 8, {'o', 'k', '\n'});

  CSimFrameReader r;
  std::vector<uint32_t> frames;
  SimFrame f;
  auto started = std::chrono::steady_clock::now();
  for (char c : stream) {
    r.feed(reinterpret_cast<const uint8_t*>(&c), 1);
    while (r.next(&f)) frames.push_back(f.frame);
  }
  double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  EXPECT_EQ(frames, (std::vector<uint32_t>{77, 78}));
  EXPECT_LT(seconds, 10.0) << "far below the minutes a rescan per byte takes";
}

}  // namespace
}  // namespace jyxsim
