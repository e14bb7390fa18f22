#include "jyx/spi_image.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_util.h"

namespace {

TEST(SPIImageTest, SecurityFieldsPerFlashType) {
  struct Case {
    const char* type;
    uint8_t mode;
    uint16_t id;
  } cases[] = {{"2M*3", 1, 7}, {"2M*4", 1, 15}, {"2M*8", 1, 255},
               {"Normal", 0, 0}, {"", 0, 0},     {"2M*5", 0, 0}};
  for (const Case& c : cases) {
    SPISecurity s = spiSecurityForFlashType(c.type);
    EXPECT_EQ(c.mode, s.mode) << c.type;
    EXPECT_EQ(c.id, s.accessId) << c.type;
    EXPECT_EQ(c.id, s.eraseId) << c.type;
  }
}

TEST(SPIImageTest, FlashSectorCountIsTwoPerStarted8KiB) {
  EXPECT_EQ(2u, spiFlashSectorCount(0));
  EXPECT_EQ(2u, spiFlashSectorCount(1));
  EXPECT_EQ(2u, spiFlashSectorCount(5000));
  EXPECT_EQ(2u, spiFlashSectorCount(8192));
  EXPECT_EQ(4u, spiFlashSectorCount(8193));
  EXPECT_EQ(4096u, spiFlashSectorCount(16u << 20));
  EXPECT_EQ(1048576u, spiFlashSectorCount(0xFFFFFFFFu));
}

TEST(SPIImageTest, CheckBlockCountAndPercent) {
  EXPECT_EQ(0u, spiCheckBlockCount(0));
  EXPECT_EQ(1u, spiCheckBlockCount(4096));
  EXPECT_EQ(2u, spiCheckBlockCount(4097));
  EXPECT_EQ(1048576u, spiCheckBlockCount(0xFFFFFFFFu));
  EXPECT_EQ(0, spiPercent(5, 0));
  EXPECT_EQ(50, spiPercent(1, 2));
  EXPECT_EQ(33, spiPercent(1, 3));
  EXPECT_EQ(100, spiPercent(4096, 4096));
  EXPECT_EQ(99, spiPercent(0xFFFFFFFEull, 0xFFFFFFFFull));
}

TEST(SPIImageTest, FillSectorPadsTheTailWithErasedBytes) {
  std::vector<uint8_t> image(5000);
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 7 + 1);
  std::vector<uint8_t> sector(4096, 0);
  spiFillSector(image.data(), 5000, 0, 4096, sector.data());
  EXPECT_EQ(0, memcmp(sector.data(), image.data(), 4096));
  spiFillSector(image.data(), 5000, 1, 4096, sector.data());
  EXPECT_EQ(0, memcmp(sector.data(), image.data() + 4096, 904));
  for (size_t i = 904; i < 4096; ++i) ASSERT_EQ(0xFF, sector[i]) << i;
  // Past the image end (sector count rounds up to pairs) the sector is erased.
  std::fill(sector.begin(), sector.end(), 0);
  spiFillSector(image.data(), 5000, 3, 4096, sector.data());
  for (uint8_t b : sector) ASSERT_EQ(0xFF, b);
}

TEST(SPIImageTest, LoadImageReportsMissingEmptyAndDirectory) {
  jyxtest::ScopedTempDir dir;
  std::vector<uint8_t> buffer;
  uint32_t size = 99;
  EXPECT_FALSE(spiLoadImage(dir.file("missing.bin"), &buffer, &size));
  EXPECT_EQ(0u, size);
  EXPECT_FALSE(spiLoadImage(dir.path(), &buffer, &size));

  ASSERT_TRUE(jyxtest::writeFile(dir.file("empty.bin"), ""));
  EXPECT_TRUE(spiLoadImage(dir.file("empty.bin"), &buffer, &size));
  EXPECT_EQ(0u, size);

  std::string big(10000, 'x');
  big[9999] = 'y';
  ASSERT_TRUE(jyxtest::writeFile(dir.file("big.bin"), big));
  ASSERT_TRUE(spiLoadImage(dir.file("big.bin"), &buffer, &size));
  EXPECT_EQ(10000u, size);
  EXPECT_EQ('y', buffer[9999]);
  size_t capacity = buffer.capacity();

  ASSERT_TRUE(jyxtest::writeFile(dir.file("small.bin"), "abc"));
  ASSERT_TRUE(spiLoadImage(dir.file("small.bin"), &buffer, &size));
  EXPECT_EQ(3u, size);
  EXPECT_EQ(0, memcmp(buffer.data(), "abc", 3));
  EXPECT_EQ(capacity, buffer.capacity());  // grown, never shrunk
}

TEST(SPIImageTest, ReadRangeCoversUnalignedSpans) {
  SPIReadRange r = spiReadRange(0x1000, 16);
  EXPECT_EQ(1u, r.firstBlock);
  EXPECT_EQ(2u, r.endBlock);
  r = spiReadRange(0, 20);
  EXPECT_EQ(0u, r.firstBlock);
  EXPECT_EQ(1u, r.endBlock);
  r = spiReadRange(4090, 10);  // crosses one block boundary
  EXPECT_EQ(0u, r.firstBlock);
  EXPECT_EQ(2u, r.endBlock);
  r = spiReadRange(4096, 4096);
  EXPECT_EQ(1u, r.firstBlock);
  EXPECT_EQ(2u, r.endBlock);
  r = spiReadRange(0xFFFFFFFFu, 0x7FFFFFFFu);  // no 32-bit wrap
  EXPECT_EQ(0xFFFFFu, r.firstBlock);
  EXPECT_EQ(0xFFFFFu + 0x80001u, r.endBlock);
}

TEST(SPIImageTest, CopyBlockOverlapPlacesBytesAtTheirRangeOffset) {
  std::vector<uint8_t> block0(4096), block1(4096);
  for (int i = 0; i < 4096; ++i) {
    block0[i] = static_cast<uint8_t>(i);
    block1[i] = static_cast<uint8_t>(0x80 + i);
  }
  uint8_t dest[10];
  memset(dest, 0, sizeof(dest));
  EXPECT_EQ(6u, spiCopyBlockOverlap(0, block0.data(), 4096, 4090, 10, dest));
  EXPECT_EQ(4u, spiCopyBlockOverlap(1, block1.data(), 4096, 4090, 10, dest));
  const uint8_t want[10] = {0xFA, 0xFB, 0xFC, 0xFD, 0xFE, 0xFF, 0x80, 0x81, 0x82, 0x83};
  EXPECT_EQ(0, memcmp(want, dest, 10));
  // A block outside the range copies nothing; a short reply copies only what it has.
  EXPECT_EQ(0u, spiCopyBlockOverlap(5, block0.data(), 4096, 4090, 10, dest));
  EXPECT_EQ(2u, spiCopyBlockOverlap(1, block1.data(), 2, 4090, 10, dest));
}

TEST(SPIImageTest, MismatchDumpPrintsOnlyDifferingLines) {
  std::vector<uint8_t> file(4096, 0x11), flash(4096, 0x11);
  std::string out;
  EXPECT_FALSE(spiFormatMismatch(flash.data(), file.data(), 4096, 8192, &out));
  EXPECT_EQ("", out);

  flash[0x25] = 0xAB;  // line 2 of the block, line 514 of the image
  EXPECT_TRUE(spiFormatMismatch(flash.data(), file.data(), 4096, 8192, &out));
  EXPECT_EQ(
      "00000002--JYX:1111111111ab1111  1111111111111111\n"
      "00000514-FILE:1111111111111111  1111111111111111\n\n",
      out);
}

TEST(SPIImageTest, MismatchDumpComparesOnlyWithinTheImage) {
  // The last block holds 20 image bytes: line 1 is compared over 4 bytes and
  // its file part prints ff past the image end.
  std::vector<uint8_t> file(20, 0x00), flash(4096, 0xFF);
  memset(flash.data(), 0x00, 20);
  std::string out;
  EXPECT_FALSE(spiFormatMismatch(flash.data(), file.data(), 20, 4096, &out));
  flash[19] = 0x42;
  EXPECT_TRUE(spiFormatMismatch(flash.data(), file.data(), 20, 4096, &out));
  EXPECT_EQ(
      "00000001--JYX:00000042ffffffff  ffffffffffffffff\n"
      "00000257-FILE:00000000ffffffff  ffffffffffffffff\n\n",
      out);
}

TEST(SPIImageTest, HexRowAndDataDump) {
  uint8_t b[16];
  for (int i = 0; i < 16; ++i) b[i] = static_cast<uint8_t>(i * 17);
  EXPECT_EQ("0011 2233 4455 6677 8899 aabb ccdd eeff", spiHexRow(b));
  EXPECT_EQ("data:\n", spiDataDump(b, 0));
  EXPECT_EQ("data: 00 11 22\n", spiDataDump(b, 3));
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
  SPIRegisterWrite w = spiSplitRegisterWrite(0x00000040);
  EXPECT_EQ(0x40, w.values[0]);
  EXPECT_EQ(1, w.mask);
  w = spiSplitRegisterWrite(0x02000000);
  EXPECT_EQ(2, w.mask);
  EXPECT_EQ(0, w.values[1]);
  w = spiSplitRegisterWrite(0);
  EXPECT_EQ(1, w.mask);
  w = spiSplitRegisterWrite(0x03000000);
  EXPECT_EQ(3, w.mask);
  w = spiSplitRegisterWrite(0x04000200);  // mask selects register 3, register 2 forced
  EXPECT_EQ(6, w.mask);
  EXPECT_EQ(0x02, w.values[1]);
}

}  // namespace
