#include "jyx/maintenance/slip.h"

#include <gtest/gtest.h>

#include <vector>

#include "jyx/maintenance/esp_format.h"
#include "jyx/maintenance/esp_parser.h"
#include "jyx/maintenance/firmware_download_tool.h"

namespace {

using Bytes = std::vector<uint8_t>;

TEST(SlipTest, EscapesTheTwoSpecialBytes) {
  const struct {
    Bytes in;
    Bytes framed;
  } cases[] = {
      {{}, {0xC0, 0xC0}},
      {{0x01, 0x02}, {0xC0, 0x01, 0x02, 0xC0}},
      {{0xC0}, {0xC0, 0xDB, 0xDC, 0xC0}},
      {{0xDB}, {0xC0, 0xDB, 0xDD, 0xC0}},
      {{0xDB, 0xDC, 0xC0, 0xDD}, {0xC0, 0xDB, 0xDD, 0xDC, 0xDB, 0xDC, 0xDD, 0xC0}},
  };
  for (const auto& c : cases) {
    Bytes framed;
    esp::slipEncode(c.in.data(), c.in.size(), &framed);
    EXPECT_EQ(c.framed, framed);
    Bytes decoded;
    EXPECT_EQ(0, esp::slipDecode(framed.data() + 1, framed.size() - 2, &decoded));
    EXPECT_EQ(c.in, decoded);
  }
}

TEST(SlipTest, BadEscapeKeepsTheByteAndIsCounted) {
  const struct {
    Bytes in;
    Bytes out;
    int bad;
    uint8_t badByte;
  } cases[] = {
      {{0xDB, 0x41}, {0x41}, 1, 0x41},
      {{0x10, 0xDB, 0x00, 0xDB, 0xDC}, {0x10, 0x00, 0xC0}, 1, 0x00},
      {{0xDB, 0x41, 0xDB, 0x42}, {0x41, 0x42}, 2, 0x41},
      {{0x10, 0xDB}, {0x10}, 1, 0xDB},  // a lone escape at the end
  };
  for (const auto& c : cases) {
    Bytes decoded;
    uint8_t badByte = 0;
    EXPECT_EQ(c.bad, esp::slipDecode(c.in.data(), c.in.size(), &decoded, &badByte));
    EXPECT_EQ(c.out, decoded);
    EXPECT_EQ(c.badByte, badByte);
  }
}

TEST(SlipTest, ChecksumIsXorSeededWithEF) {
  EXPECT_EQ(0xEF, esp::espChecksum(nullptr, 0));
  const uint8_t one[] = {0xEF};
  EXPECT_EQ(0x00, esp::espChecksum(one, 1));
  Bytes block(4096, 0x5A);  // an even count of equal bytes cancels out
  EXPECT_EQ(0xEF, esp::espChecksum(block.data(), block.size()));
  block[7] = 0x00;
  EXPECT_EQ(0xEF ^ 0x5A, esp::espChecksum(block.data(), block.size()));
}

TEST(SlipTest, SyncRequestNeedsNoEscapes) {
  uint8_t data[36] = {0x07, 0x07, 0x12, 0x20};
  for (int i = 4; i < 36; ++i) data[i] = 0x55;
  Bytes framed = CJYXFirmwareDownloadTool::framePackage(esp::kSync, data, sizeof(data), 0);
  ASSERT_EQ(46u, framed.size());
  EXPECT_EQ(0xC0, framed.front());
  EXPECT_EQ(0xC0, framed.back());
  Bytes head(framed.begin() + 1, framed.begin() + 9);
  EXPECT_EQ((Bytes{0x00, 0x08, 0x24, 0x00, 0x00, 0x00, 0x00, 0x00}), head);
}

TEST(SlipTest, ResponseDecoding) {
  Bytes decoded = {0x01, 0x0A, 0x04, 0x00, 0x78, 0x56, 0x34, 0x12, 0, 0, 0, 0};
  ESPPackage p;
  ASSERT_TRUE(CESPParser::decodePackage(decoded, &p));
  EXPECT_EQ(1, p.direction);
  EXPECT_EQ(0x0A, p.command);
  EXPECT_EQ(4, p.size);
  EXPECT_EQ(0x12345678u, p.value);
  EXPECT_EQ(4u, p.data.size());
  // Shorter than a header: not a package.
  EXPECT_FALSE(CESPParser::decodePackage(Bytes(7, 0), &p));
}

TEST(EspChipTest, DescriptionTable) {
  const struct {
    uint32_t word3, word5, apb;
    const char* name;
    int revision;
  } cases[] = {
      {0x0000, 0, 0, "ESP32D0WDQ6", 0},
      {1u << 9, 0, 0, "ESP32D0WDQ5", 0},  // package 1, bit 15 clear
      {2u << 9 | 1u << 15, 0, 0, "ESP32D2WDQ5", 1},
      {5u << 9 | 1u << 15, 1u << 20, 0, "ESP32-PICO-D4", 2},
      {3u << 9 | 1u << 15, 1u << 20, 1u << 31, "ESP32", 3},
      {7u << 9, 0, 1u << 31, "ESP32", 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.name, CJYXFirmwareDownloadTool::chipName(c.word3));
    EXPECT_EQ(c.revision, CJYXFirmwareDownloadTool::chipRevision(c.word3, c.word5, c.apb));
  }
}

TEST(EspChipTest, FeatureTable) {
  const struct {
    uint32_t word3, word4, word6;
    const char* features;
  } cases[] = {
      {0, 0, 0, "WiFi, BT, Dual Core, None"},
      {1u << 1 | 1u, 0, 1, "WiFi, Single Core, 3/4"},
      {1u << 13 | 1u << 12, 0, 2, "WiFi, BT, Dual Core, 160MHz, Repeat (UNSUPPORTED)"},
      {1u << 13, 0, 3, "WiFi, BT, Dual Core, 240MHz, Invalid"},
      {5u << 9, 1u << 8, 0, "WiFi, BT, Dual Core, Embedded Flash, VRef calibration in efuse, None"},
      {4u << 9 | 1u << 14, 0, 0,
       "WiFi, BT, Dual Core, Embedded Flash, BLK3 partially reserved, None"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.features, CJYXFirmwareDownloadTool::chipFeatures(c.word3, c.word4, c.word6));
  }
}

TEST(EspChipTest, StatusTexts) {
  EXPECT_STREQ("Invalid CRC in message\n", CJYXFirmwareDownloadTool::statusText(7));
  EXPECT_STREQ("Bad data checksum\n", CJYXFirmwareDownloadTool::statusText(0xC1));
  EXPECT_STREQ("Too much data\n", CJYXFirmwareDownloadTool::statusText(0xC9));
  EXPECT_STREQ("unknow error.\n", CJYXFirmwareDownloadTool::statusText(4));
  EXPECT_STREQ("unknow error.\n", CJYXFirmwareDownloadTool::statusText(0xCA));
}

TEST(EspDumpTest, LinesFollowTheWidth) {
  const uint8_t bytes[] = {0x00, 0x0a, 0xff};
  setEspDumpWidth(2);
  EXPECT_EQ("00 0a \nff \n", espHexDump(bytes, 3));
  setEspDumpWidth(16);
  EXPECT_EQ("00 0a ff \n", espHexDump(bytes, 3));
}

}  // namespace
