#include "sim/mcu.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/byte_order.h"
#include "jyx/maintenance/esp_format.h"
#include "jyx/maintenance/firmware_download_tool.h"
#include "jyx/maintenance/slip.h"

namespace {

using jyxsim::CSimMcu;
using Bytes = std::vector<uint8_t>;

// Drives one MCU through its pins and UART with a clock the test owns.
class McuTest : public testing::Test {
 protected:
  McuTest() : mcu_(CSimMcu::Config(), &ops_) {}

  // EN low, then released with IO0 at `io0`; the chip samples IO0 after
  // the board's RC delay.
  void resetWith(bool io0) {
    mcu_.setPins(false, true, t_);
    t_ += 1000;
    mcu_.setPins(true, io0, t_);
    t_ += CSimMcu::kBootSampleUs;
    mcu_.tick(t_);
    mcu_.setPins(true, true, t_);
    take();
  }
  // Types `text` on the console and returns what it answered.
  std::string send(const std::string& text) {
    mcu_.receive(reinterpret_cast<const uint8_t*>(text.data()), text.size(), t_);
    t_ += CSimMcu::kCommandGapUs;
    mcu_.tick(t_);
    return take();
  }
  std::string take() {
    std::string out;
    mcu_.takeOutput(&out);
    return out;
  }
  // Sends one loader request and returns the decoded responses.
  std::vector<ESPPackage> request(uint8_t command, const Bytes& data, uint32_t checksum = 0) {
    Bytes framed = CJYXFirmwareDownloadTool::framePackage(
        command, data.data(), static_cast<uint16_t>(data.size()), checksum);
    mcu_.receive(framed.data(), framed.size(), t_);
    std::string out = take();
    std::vector<ESPPackage> packages;
    size_t pos = 0;
    while ((pos = out.find('\xC0', pos)) != std::string::npos) {
      size_t end = out.find('\xC0', pos + 1);
      if (end == std::string::npos) break;
      Bytes decoded;
      esp::slipDecode(reinterpret_cast<const uint8_t*>(out.data()) + pos + 1, end - pos - 1,
                      &decoded);
      ESPPackage p;
      if (CESPParser::decodePackage(decoded, &p)) packages.push_back(p);
      pos = end + 1;
    }
    return packages;
  }
  Bytes sync() {
    Bytes data = {0x07, 0x07, 0x12, 0x20};
    data.resize(36, 0x55);
    return data;
  }
  Bytes words(std::initializer_list<uint32_t> values) {
    Bytes out;
    for (uint32_t v : values) {
      uint8_t b[4];
      jyx::encodeFixed32(b, v);
      out.insert(out.end(), b, b + 4);
    }
    return out;
  }

  jyxsim::COpsLog ops_;
  CSimMcu mcu_;
  uint64_t t_ = 1000000;
};

TEST_F(McuTest, ConsoleAnswersCommands) {
  EXPECT_EQ("[JYX]: Main Version: 1.0.0\r\n", send("jyx 00"));
  EXPECT_EQ("[JYX]: ack 1\r\n", send("jyx 20 my ssid\r"));
  EXPECT_EQ("[JYX]: ack 0\r\n", send("jyx 22 7"));
  EXPECT_EQ("[JYX]: ack 0\r\n", send("jyx 24 0"));  // the slave's command
  EXPECT_EQ("unknown input: hello\r\n", send("hello"));
  EXPECT_EQ("\x1b[0;32m[JYX]: Ethernet IP: 0.0.0.0\x1b[0m\r\n", send("jyx 02"));
}

TEST_F(McuTest, OnlyTheLoaderSequenceEntersTheLoader) {
  resetWith(true);
  EXPECT_EQ(CSimMcu::Mode::kApp, mcu_.mode());
  // IO0 low only after the sample point: still the application.
  mcu_.setPins(false, true, t_);
  mcu_.setPins(true, true, t_ + 10);
  mcu_.tick(t_ + CSimMcu::kBootSampleUs + 50);
  mcu_.setPins(true, false, t_ + CSimMcu::kBootSampleUs + 100);
  mcu_.tick(t_ + CSimMcu::kBootSampleUs + 200);
  EXPECT_EQ(CSimMcu::Mode::kApp, mcu_.mode());
  t_ += 2 * CSimMcu::kBootSampleUs;
  resetWith(false);
  EXPECT_EQ(CSimMcu::Mode::kLoader, mcu_.mode());
  // The console does not answer in the loader.
  EXPECT_EQ("", send("jyx 00"));
}

TEST_F(McuTest, LoaderSyncsAndIdentifies) {
  resetWith(false);
  // Nothing but SYNC is answered before a SYNC.
  EXPECT_TRUE(request(esp::kReadReg, words({esp::kEfuseBase + 12})).empty());
  auto replies = request(esp::kSync, sync());
  ASSERT_EQ(8u, replies.size());
  for (const auto& r : replies) EXPECT_EQ(esp::kSync, r.command);
  replies = request(esp::kReadReg, words({esp::kEfuseBase + 12}));
  ASSERT_EQ(1u, replies.size());
  EXPECT_EQ(CSimMcu::Config().efuse[3], replies[0].value);
  replies = request(esp::kReadReg, words({esp::kChipMagicReg}));
  ASSERT_EQ(1u, replies.size());
  EXPECT_EQ(esp::kEsp32ChipMagic, replies[0].value);
  replies = request(0x14, {});  // a command the ROM does not know
  ASSERT_EQ(1u, replies.size());
  EXPECT_EQ(0, replies[0].command);
  EXPECT_EQ((Bytes{1, 5, 0, 0}), replies[0].data);
}

TEST_F(McuTest, FlashWritesChangeTheVersion) {
  resetWith(false);
  request(esp::kSync, sync());
  Bytes block(4096, 0x11);
  const std::string marker = "JYXFW:7.0.1";
  std::copy(marker.begin(), marker.end(), block.begin() + 10);
  block[10 + marker.size()] = 0;
  block[100] = 0xC0;
  block[101] = 0xDB;
  ASSERT_EQ(1u, request(esp::kFlashBegin, words({4096, 1, 4096, 0x10000})).size());
  Bytes data = words({4096, 0, 0, 0});
  data.insert(data.end(), block.begin(), block.end());
  // A wrong checksum is refused and writes nothing.
  auto bad = request(esp::kFlashData, data, esp::espChecksum(block.data(), 4096) ^ 1);
  ASSERT_EQ(1u, bad.size());
  EXPECT_EQ((Bytes{1, 7, 0, 0}), bad[0].data);
  EXPECT_EQ(0xFF, mcu_.flash()[0x10000]);
  auto ok = request(esp::kFlashData, data, esp::espChecksum(block.data(), 4096));
  ASSERT_EQ(1u, ok.size());
  EXPECT_EQ((Bytes{0, 0, 0, 0}), ok[0].data);
  EXPECT_TRUE(std::equal(block.begin(), block.end(), mcu_.flash().begin() + 0x10000));
  // Beyond what FLASH_BEGIN announced.
  auto beyond = request(esp::kFlashData, data, esp::espChecksum(block.data(), 4096));
  EXPECT_EQ((Bytes{1, 6, 0, 0}), beyond[0].data);
  ASSERT_EQ(1u, request(esp::kFlashEnd, words({0})).size());
  t_ += 1;
  mcu_.tick(t_);
  EXPECT_EQ(CSimMcu::Mode::kApp, mcu_.mode());
  take();
  EXPECT_EQ("[JYX]: Main Version: 7.0.1\r\n", send("jyx 00"));
}

TEST_F(McuTest, BaudChangeNeedsTheNewRate) {
  EXPECT_TRUE(mcu_.acceptsBaud(115200));
  EXPECT_EQ("[JYX]: ack 1\r\n", send("jyx 23 5"));
  EXPECT_EQ(1500000u, mcu_.consoleBaud());
  EXPECT_FALSE(mcu_.acceptsBaud(115200));
  EXPECT_EQ("[JYX]: ack 0\r\n", send("jyx 23 9"));
}

}  // namespace
