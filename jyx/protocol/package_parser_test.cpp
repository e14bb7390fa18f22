#include "jyx/protocol/package_parser.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// Keeps a copy of every delivered packet: the parser only lends its package.
class Recorder : public CPackageParserDelegate {
 public:
  void onPackage(CPackage* package) override {
    packets.emplace_back(package->data(), package->data() + package->size());
  }
  std::vector<Bytes> packets;
};

Bytes heartBeatAck(uint32_t frame) {
  CPackage p;
  p.makeHeartBeatAck(frame);
  return Bytes(p.data(), p.data() + p.size());
}

Bytes gpioAck(uint32_t frame, uint16_t num) {  // carries an 8-byte payload
  CPackage p;
  p.makeGpioAck(frame, GPIO_OP_SET, 1, num);
  return Bytes(p.data(), p.data() + p.size());
}

Bytes header(uint32_t frame, uint32_t length) {
  Bytes b = heartBeatAck(frame);
  for (int i = 0; i < 4; ++i) b[12 + i] = static_cast<uint8_t>(length >> (8 * i));
  return b;
}

uint32_t frameOf(const Bytes& b) { return b[4] | b[5] << 8 | b[6] << 16 | b[7] << 24; }

class PackageParserTest : public testing::Test {
 protected:
  PackageParserTest() : fifo_(4096), parser_(&recorder_, &fifo_) {}

  void push(const Bytes& b) { ASSERT_TRUE(fifo_.push(b.data(), static_cast<int>(b.size()))); }
  void update() { parser_.onUpdate(0.0); }

  Recorder recorder_;
  CFifo fifo_;
  CPackageParser parser_;
};

TEST_F(PackageParserTest, GarbageBeforeAckIsSkipped) {
  push({0x00, 0x5A, 0x5A, 0x01, 0xFF, 0x5A, 0x5A, 0x5A, 0x13, 0x37});
  push(heartBeatAck(4));
  push(gpioAck(5, 66));
  update();
  ASSERT_EQ(2u, recorder_.packets.size());
  EXPECT_EQ(heartBeatAck(4), recorder_.packets[0]);
  EXPECT_EQ(gpioAck(5, 66), recorder_.packets[1]);
  EXPECT_EQ(0, fifo_.size());
}

TEST_F(PackageParserTest, SplitPacketWaitsForTheRest) {
  Bytes p = gpioAck(9, 66);
  push(Bytes(p.begin(), p.begin() + 3));  // not even a whole magic
  update();
  push(Bytes(p.begin() + 3, p.begin() + 24));  // header and part of the payload
  update();
  EXPECT_TRUE(recorder_.packets.empty());
  EXPECT_EQ(24, fifo_.size());
  push(Bytes(p.begin() + 24, p.end()));
  update();
  ASSERT_EQ(1u, recorder_.packets.size());
  EXPECT_EQ(p, recorder_.packets[0]);
}

TEST_F(PackageParserTest, OversizedLengthResynchronises) {
  push(header(1, 4096));  // not smaller than the FIFO capacity
  push(gpioAck(2, 7));
  update();
  ASSERT_EQ(1u, recorder_.packets.size());
  EXPECT_EQ(2u, frameOf(recorder_.packets[0]));
  EXPECT_EQ(0, fifo_.size());
  push(header(3, 4095));  // the largest length that fits: waits for the rest
  update();
  EXPECT_EQ(1u, recorder_.packets.size());
  EXPECT_EQ(20, fifo_.size());
}

TEST_F(PackageParserTest, UndersizedLengthResynchronises) {
  for (uint32_t length : {0u, 1u, 19u}) {
    push(header(1, length));
    push(heartBeatAck(length + 100));
  }
  update();
  ASSERT_EQ(3u, recorder_.packets.size());
  EXPECT_EQ(100u, frameOf(recorder_.packets[0]));
  EXPECT_EQ(101u, frameOf(recorder_.packets[1]));
  EXPECT_EQ(119u, frameOf(recorder_.packets[2]));
}

// Flipping any single byte of a valid packet must never yield a packet
// other than the original (flipping the magic or length may just hide it).
TEST(PackageParserCorruption, EveryFlippedByteIsDroppedSilently) {
  CPackage p;
  const uint8_t payload[] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
  p.make(31, DEVICE_ACK, POST_DATA, payload, sizeof(payload));
  Bytes good(p.data(), p.data() + p.size());
  for (size_t i = 0; i < good.size(); ++i) {
    for (uint8_t flip : {0x01, 0x80, 0xFF}) {
      Recorder recorder;
      CFifo fifo(1024);
      CPackageParser parser(&recorder, &fifo);
      Bytes bad = good;
      bad[i] ^= flip;
      testing::internal::CaptureStdout();
      fifo.push(bad.data(), static_cast<int>(bad.size()));
      parser.onUpdate(0.0);
      // The next valid packet still gets through once the damage is flushed.
      Bytes next = heartBeatAck(32);
      Bytes filler(512, 0);  // longer than any length a flip can produce below capacity
      fifo.push(filler.data(), static_cast<int>(filler.size()));
      fifo.push(next.data(), static_cast<int>(next.size()));
      parser.onUpdate(0.0);
      EXPECT_EQ("", testing::internal::GetCapturedStdout());
      ASSERT_FALSE(recorder.packets.empty()) << "byte " << i;
      EXPECT_EQ(next, recorder.packets.back()) << "byte " << i;
      EXPECT_EQ(1u, recorder.packets.size()) << "byte " << i << " flip " << int(flip);
    }
  }
}

}  // namespace
