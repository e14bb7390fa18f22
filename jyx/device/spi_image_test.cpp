#include "jyx/device/spi_image.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "test_util.h"

namespace {

// Edges only: empty images, pair rounding and sizes near 4 GiB, where 32-bit
// arithmetic would wrap.
TEST(SPIImageTest, CountsAndPercentAtTheEdges) {
  EXPECT_EQ(2u, spiFlashSectorCount(0));
  EXPECT_EQ(2u, spiFlashSectorCount(8192));
  EXPECT_EQ(4u, spiFlashSectorCount(8193));
  EXPECT_EQ(1048576u, spiFlashSectorCount(0xFFFFFFFFu));
  EXPECT_EQ(0u, spiCheckBlockCount(0));
  EXPECT_EQ(1048576u, spiCheckBlockCount(0xFFFFFFFFu));
  EXPECT_EQ(0, spiPercent(5, 0));
  EXPECT_EQ(99, spiPercent(0xFFFFFFFEull, 0xFFFFFFFFull));
  SPIReadRange r = spiReadRange(0xFFFFFFFFu, 0x7FFFFFFFu);
  EXPECT_EQ(0xFFFFFu, r.firstBlock);
  EXPECT_EQ(0xFFFFFu + 0x80001u, r.endBlock);
}

// Each refusal names the path and says why in one line, and none of them
// blocks: a FIFO without a writer used to hang the open. Regular files load
// whole, an empty one too.
TEST(SPIImageTest, LoadImageRefusalsSayWhyAndNeverBlock) {
  jyxtest::ScopedTempDir dir;
  ASSERT_EQ(0, mkfifo(dir.file("fifo").c_str(), 0600));
  ASSERT_TRUE(jyxtest::writeFile(dir.file("big.bin"), ""));
  ASSERT_EQ(0, truncate(dir.file("big.bin").c_str(), off_t{kSPIMaxImageSize} + 1));
  struct Case {
    std::string path;
    const char* reason;
  } cases[] = {
      {dir.file("missing.bin"), "No such file"},
      {dir.path(), "is a directory"},
      {dir.file("fifo"), "not a regular file"},
      {dir.file("big.bin"), "too large"},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> buffer;
    uint32_t size = 7;
    EXPECT_FALSE(spiLoadImage(c.path, &buffer, &size)) << c.path;  // no reason asked for
    EXPECT_EQ(0u, size);
    size = 7;
    std::string err;
    EXPECT_FALSE(spiLoadImage(c.path, &buffer, &size, &err)) << c.path;
    EXPECT_EQ(0u, size);
    EXPECT_NE(std::string::npos, err.find(c.path)) << err;
    EXPECT_NE(std::string::npos, err.find(c.reason)) << err;
    EXPECT_EQ(std::string::npos, err.find('\n')) << err;
  }
  std::vector<uint8_t> buffer;
  uint32_t size = 99;
  ASSERT_TRUE(jyxtest::writeFile(dir.file("small.bin"), "abc"));
  ASSERT_TRUE(spiLoadImage(dir.file("small.bin"), &buffer, &size));
  EXPECT_EQ(3u, size);
  EXPECT_EQ(0, memcmp(buffer.data(), "abc", 3));
  ASSERT_TRUE(jyxtest::writeFile(dir.file("empty.bin"), ""));
  EXPECT_TRUE(spiLoadImage(dir.file("empty.bin"), &buffer, &size));
  EXPECT_EQ(0u, size);
}

TEST(SPIImageTest, CopyBlockOverlapIgnoresOutsideBlocksAndShortReplies) {
  std::vector<uint8_t> block(4096, 0x5A);
  uint8_t dest[10] = {0};
  EXPECT_EQ(0u, spiCopyBlockOverlap(5, block.data(), 4096, 4090, 10, dest));
  // Block 1 starts 6 bytes into the range; its reply holds 2 bytes only.
  EXPECT_EQ(2u, spiCopyBlockOverlap(1, block.data(), 2, 4090, 10, dest));
  EXPECT_EQ(0, memcmp(dest, "\0\0\0\0\0\0\x5a\x5a\0\0", 10));
}

TEST(SPIImageTest, MismatchDumpComparesOnlyWithinTheImage) {
  // The last block holds 20 image bytes: line 1 is compared over 4 bytes and
  // its file part prints ff past the image end.
  std::vector<uint8_t> file(20, 0x00), flash(4096, 0xFF);
  memset(flash.data(), 0x00, 20);
  std::string out;
  EXPECT_FALSE(spiFormatMismatch(flash.data(), file.data(), 20, 4096, &out));
  EXPECT_EQ("", out);
  flash[19] = 0x42;
  EXPECT_TRUE(spiFormatMismatch(flash.data(), file.data(), 20, 4096, &out));
  EXPECT_EQ(
      "00000001--JYX:00000042ffffffff  ffffffffffffffff\n"
      "00000257-FILE:00000000ffffffff  ffffffffffffffff\n\n",
      out);
}

TEST(SPIImageTest, ParseNumberTakesHexAfter0xElseDecimal) {
  EXPECT_EQ(0x188B70, spiParseNumber("0x188B70"));
  EXPECT_EQ(124, spiParseNumber("124"));
  EXPECT_EQ(0, spiParseNumber(""));
  EXPECT_EQ(0, spiParseNumber("abc"));
  EXPECT_EQ(0, spiParseNumber("0xg"));
  EXPECT_EQ(0, spiParseNumber(nullptr));
  EXPECT_EQ(12, spiParseNumber("12abc"));
  EXPECT_EQ(-1, spiParseNumber("0xffffffff"));
}

TEST(SPIImageTest, RegisterWriteSplitForcesMaskBits) {
  SPIRegisterWrite w = spiSplitRegisterWrite(0);  // no mask: register 1
  EXPECT_EQ(1, w.mask);
  w = spiSplitRegisterWrite(0x04000200);  // mask selects register 3, register 2 forced
  EXPECT_EQ(6, w.mask);
  EXPECT_EQ(0x02, w.values[1]);
}

}  // namespace

TEST(SPIImageTest, FlashSizeFromTheJedecCapacityByte) {
  const struct {
    uint8_t capacity;
    uint64_t size;
  } cases[] = {{0x18, 16u << 20}, {0x10, 64u << 10}, {0x20, 1ull << 32}, {0x19, 32u << 20},
               {0x0F, 0},         {0x21, 0},         {0x00, 0},          {0xFF, 0}};
  for (const auto& c : cases) {
    const uint8_t id[3] = {0xEF, 0x40, c.capacity};
    EXPECT_EQ(c.size, spiFlashSizeFromJedecId(id)) << int(c.capacity);
  }
}

// The share handed to a streaming reader must agree with the copy into a
// whole buffer: same bytes at the same place, nothing outside the range.
TEST(SPIImageTest, BlockShareMatchesTheCopiedOverlap) {
  std::vector<uint8_t> block(4096);
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i * 7 + 1);
  const struct {
    uint32_t offset, size;
  } ranges[] = {{0, 16}, {4090, 10}, {4096, 4096}, {100, 9000}, {0xFFFFF000u, 0x1000}};
  for (const auto& r : ranges) {
    SPIReadRange blocks = spiReadRange(r.offset, r.size);
    std::vector<uint8_t> copied(r.size), streamed(r.size);
    uint32_t total = 0;
    for (uint32_t b = blocks.firstBlock; b < blocks.endBlock; ++b) {
      spiCopyBlockOverlap(b, block.data(), 4096, r.offset, r.size, copied.data());
      SPIBlockShare share = spiBlockShare(b, 4096, r.offset, r.size);
      ASSERT_LE(uint64_t{share.inRange} + share.len, r.size);
      ASSERT_LE(uint64_t{share.inBlock} + share.len, 4096u);
      EXPECT_EQ(total, share.inRange);  // in address order, without gaps
      memcpy(streamed.data() + share.inRange, block.data() + share.inBlock, share.len);
      total += share.len;
    }
    EXPECT_EQ(r.size, total);
    EXPECT_EQ(copied, streamed);
  }
  EXPECT_EQ(0u, spiBlockShare(0, 4096, 4096, 10).len);  // block before the range
  EXPECT_EQ(6u, spiBlockShare(0, 100, 94, 50).len);     // short reply: only what came
}
