#include "sim/fastboot_target.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_util.h"

namespace {

using jyxsim::CSimFastboot;

std::string message(const std::string& text) {
  std::string m(8, '\0');
  uint64_t n = text.size();
  for (int i = 7; i >= 0; --i, n >>= 8) m[size_t(i)] = char(n & 0xFF);
  return m + text;
}

// A target with its disk in memory, already past the handshake.
class SimFastbootTest : public testing::Test {
 protected:
  void SetUp() override { make(CSimFastboot::Config()); }

  void make(CSimFastboot::Config config) {
    config.diskBytes = 2u << 20;
    config.maxDownload = 1u << 20;
    fb_.reset(new CSimFastboot(config, nullptr));
    std::string err;
    ASSERT_TRUE(fb_->init(&err)) << err;
    fb_->setBootHandler([this] { ++boots_; });
    std::string out;
    ASSERT_TRUE(feed("FB01", &out));
    ASSERT_EQ("FB01", out);
  }

  bool feed(const std::string& bytes, std::string* out) {
    return fb_->feed(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), out);
  }

  // One command; returns the answers without their length prefixes.
  std::string command(const std::string& text, const std::string& data = "") {
    std::string out;
    EXPECT_TRUE(feed(message(text), &out)) << text;
    if (!data.empty()) {
      // The data arrives in two messages, the first cut inside a header.
      std::string wire =
          message(data.substr(0, data.size() / 2)) + message(data.substr(data.size() / 2));
      EXPECT_TRUE(feed(wire.substr(0, 13), &out));
      EXPECT_TRUE(feed(wire.substr(13), &out));
    }
    std::string answers;
    for (size_t at = 0; at + 8 <= out.size();) {
      size_t n = 0;
      for (int i = 0; i < 8; ++i) n = (n << 8) | uint8_t(out[at + size_t(i)]);
      answers += out.substr(at + 8, n) + "|";
      at += 8 + n;
    }
    return answers;
  }

  // The first 34 blocks of a disk of `bytes` partitioned by sgdisk.
  std::string gptFor(uint64_t bytes) {
    std::string disk = dir_.file("disk");
    EXPECT_TRUE(jyxtest::writeFile(disk, std::string(bytes, '\0')));
    jyxtest::run({"/usr/sbin/sgdisk", "-o", "-n", "1:2048:+64K", "-c", "1:boot", "-n",
                  "2:1024:+128K", "-c", "2:data", disk});
    return jyxtest::readFile(disk).substr(0, 34 * 512);
  }

  jyxtest::ScopedTempDir dir_;
  std::unique_ptr<CSimFastboot> fb_;
  int boots_ = 0;
};

TEST_F(SimFastbootTest, Variables) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"getvar:block-size", "OKAY512|"},
      {"getvar:backdoor", "OKAYno|"},
      {"getvar:max-download-size", "OKAY0x00100000|"},
      {"getvar:has-slot:boot", "OKAYno|"},
      {"getvar:partition-size:boot", "FAILno such partition|"},
      {"getvar:nothing", "FAILunknown variable|"},
      {"reboot-bootloader", "FAILunknown command|"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.second, command(c.first)) << c.first;
}

TEST_F(SimFastbootTest, GptThenPartitionsAreWrittenWhereTheTableSays) {
  EXPECT_EQ("FAILpartition does not exist|", command("erase:boot"));
  EXPECT_EQ("DATA00004400|OKAY|", command("download:00004400", gptFor(2u << 20)));
  EXPECT_EQ("OKAY|", command("flash:gpt"));
  uint64_t offset = 0, length = 0;
  ASSERT_TRUE(fb_->partitionRange("data", &offset, &length));
  EXPECT_EQ(1024u * 512, offset);
  EXPECT_EQ(131072u, length);
  EXPECT_EQ("OKAY0x0000000000020000|", command("getvar:partition-size:data"));

  std::string image(1000, 'D');
  EXPECT_EQ("DATA000003e8|OKAY|", command("download:000003e8", image));
  EXPECT_EQ("OKAY|", command("flash:data"));
  std::string back(1000, '\0');
  ASSERT_TRUE(fb_->readDisk(offset, &back[0], back.size()));
  EXPECT_EQ(image, back);
  EXPECT_EQ("OKAY|", command("erase:data"));
  ASSERT_TRUE(fb_->readDisk(offset, &back[0], back.size()));
  EXPECT_EQ(std::string(1000, '\0'), back);
  // The backup header sits in the last block.
  std::string last(8, '\0');
  ASSERT_TRUE(fb_->readDisk(fb_->diskBytes() - 512, &last[0], 8));
  EXPECT_EQ("EFI PART", last);
}

TEST_F(SimFastbootTest, RefusesWhatTheDiskCannotTake) {
  // A table made for another disk size.
  command("download:00004400", gptFor(4u << 20));
  EXPECT_EQ(0u, command("flash:gpt").find("FAILGPT was made for another disk"));
  // A corrupted table.
  for (size_t at : {512 + 56, 1024 + 5}) {
    std::string gpt = gptFor(2u << 20);
    gpt[at] ^= 1;
    command("download:00004400", gpt);
    EXPECT_EQ(0u, command("flash:gpt").find("FAILGPT")) << at;
  }
  // A good one, then an image larger than its partition.
  command("download:00004400", gptFor(2u << 20));
  ASSERT_EQ("OKAY|", command("flash:gpt"));
  command("download:00010001", std::string(65537, 'x'));
  EXPECT_EQ("FAILimage is larger than the partition|", command("flash:boot"));
  EXPECT_EQ("FAILpartition does not exist|", command("flash:nothere"));
  EXPECT_EQ("FAILdownload size refused|", command("download:00100001"));
  EXPECT_EQ("FAILdownload size refused|", command("download:zz"));
}

TEST_F(SimFastbootTest, DdrModeRefusesEraseAndOemBootLeaves) {
  CSimFastboot::Config config;
  config.backdoor = true;
  make(config);
  EXPECT_EQ("OKAYyes|", command("getvar:backdoor"));
  command("download:00004400", gptFor(2u << 20));
  ASSERT_EQ("OKAY|", command("flash:gpt"));
  EXPECT_EQ("FAILerase is not supported in ddr mode|", command("erase:boot"));
  EXPECT_EQ(0, boots_);
  EXPECT_EQ("OKAY|", command("oem qelboot"));
  EXPECT_EQ(1, boots_);
}

TEST_F(SimFastbootTest, MalformedTrafficClosesTheLink) {
  const std::vector<std::string> bad = {
      message(std::string(CSimFastboot::kMaxCommand + 1, 'x')),
      std::string(8, '\0'),
      // Data beyond the announced download.
      message("download:00000004") + message("12345"),
  };
  for (const std::string& bytes : bad) {
    make(CSimFastboot::Config());
    std::string out;
    EXPECT_FALSE(feed(bytes, &out));
  }
  fb_->reset();
  std::string out;
  EXPECT_FALSE(feed("HELLO", &out));
  EXPECT_EQ("", out);
}

}  // namespace
