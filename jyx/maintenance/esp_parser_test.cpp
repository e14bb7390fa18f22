#include "jyx/maintenance/esp_parser.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/fifo.h"
#include "jyx/maintenance/slip.h"

namespace {

using Bytes = std::vector<uint8_t>;

class Collector : public CESPParserDelegate {
 public:
  void onPackage(ESPPackage* p) override { packages.push_back(*p); }
  std::vector<ESPPackage> packages;
};

// A response as the ROM frames it.
Bytes response(uint8_t command, uint32_t value, const Bytes& data) {
  Bytes packet = {0x01,
                  command,
                  static_cast<uint8_t>(data.size()),
                  0,
                  static_cast<uint8_t>(value),
                  static_cast<uint8_t>(value >> 8),
                  static_cast<uint8_t>(value >> 16),
                  static_cast<uint8_t>(value >> 24)};
  packet.insert(packet.end(), data.begin(), data.end());
  Bytes framed;
  esp::slipEncode(packet.data(), packet.size(), &framed);
  return framed;
}

class EspParserTest : public testing::Test {
 protected:
  EspParserTest() : fifo_(1 << 20), parser_(&collector_, &fifo_) {}
  // Pushes bytes and runs one update; returns what the parser printed.
  std::string feed(const Bytes& bytes) {
    EXPECT_TRUE(fifo_.push(bytes.data(), static_cast<int>(bytes.size())));
    testing::internal::CaptureStdout();
    parser_.onUpdate(0);
    return testing::internal::GetCapturedStdout();
  }

  CFifo fifo_;
  Collector collector_;
  CESPParser parser_;
};

TEST_F(EspParserTest, FramesAfterTextAndAcrossUpdates) {
  Bytes banner = {'w', 'a', 'i', 't', '\r', '\n'};
  Bytes frame = response(0x0A, 0x12345678, {0xC0, 0xDB, 0, 0});
  Bytes first(banner);
  first.insert(first.end(), frame.begin(), frame.begin() + 5);
  feed(first);
  EXPECT_TRUE(collector_.packages.empty());
  feed(Bytes(frame.begin() + 5, frame.end()));
  ASSERT_EQ(1u, collector_.packages.size());
  const ESPPackage& p = collector_.packages[0];
  EXPECT_EQ(0x0A, p.command);
  EXPECT_EQ(0x12345678u, p.value);
  EXPECT_EQ((Bytes{0xC0, 0xDB, 0, 0}), p.data);
  EXPECT_EQ(0, fifo_.size());
}

TEST_F(EspParserTest, SeveralFramesInOneUpdateAndEmptyFrames) {
  Bytes bytes = response(0x02, 1, {0, 0, 0, 0});
  Bytes second = response(0x03, 2, {0, 0, 0, 0});
  bytes.insert(bytes.end(), second.begin(), second.end());
  bytes.push_back(0xC0);  // a stray delimiter opens an empty frame
  Bytes third = response(0x04, 3, {});
  bytes.insert(bytes.end(), third.begin(), third.end());
  feed(bytes);
  ASSERT_EQ(3u, collector_.packages.size());
  EXPECT_EQ(0x02, collector_.packages[0].command);
  EXPECT_EQ(0x03, collector_.packages[1].command);
  EXPECT_EQ(0x04, collector_.packages[2].command);
  EXPECT_EQ(3u, collector_.packages[2].value);
}

TEST_F(EspParserTest, BadEscapeIsReportedAndKept) {
  Bytes frame = {0xC0, 0x01, 0x08, 0x00, 0x00, 0xDB, 0x41, 0x00, 0x00, 0x00, 0xC0};
  std::string out = feed(frame);
  EXPECT_NE(std::string::npos,
            out.find("Error: decode data fail. the data 0x41 presents after 0xDB\n"))
      << out;
  ASSERT_EQ(1u, collector_.packages.size());
  EXPECT_EQ(0x41u, collector_.packages[0].value);
  EXPECT_NE(std::string::npos, out.find("\nreceive package: 9 -> 8\n")) << out;
}

TEST_F(EspParserTest, ShortFramesAreNotPackages) {
  feed({0xC0, 0x01, 0x02, 0x03, 0xC0});
  EXPECT_TRUE(collector_.packages.empty());
}

TEST_F(EspParserTest, OverlongFrameIsDropped) {
  Bytes noise(CESPParser::kDecodeBufferSize + 10, 0x55);
  noise[0] = 0xC0;
  feed(noise);
  EXPECT_EQ(0, fifo_.size());
  // The parser is usable afterwards.
  feed(response(0x08, 7, {0, 0, 0, 0}));
  ASSERT_EQ(1u, collector_.packages.size());
  EXPECT_EQ(7u, collector_.packages[0].value);
}

TEST_F(EspParserTest, FlippedBytesNeverCrash) {
  Bytes valid = response(0x0A, 0xA5A5A5A5, {0, 0, 0, 0});
  for (size_t i = 0; i < valid.size(); ++i) {
    for (uint8_t flip : {0x01, 0x80, 0xFF}) {
      Bytes bad = valid;
      bad[i] ^= flip;
      feed(bad);
    }
  }
  parser_.reset();
  fifo_.reset();
  feed(valid);
  ASSERT_FALSE(collector_.packages.empty());
  EXPECT_EQ(0xA5A5A5A5u, collector_.packages.back().value);
}

}  // namespace
