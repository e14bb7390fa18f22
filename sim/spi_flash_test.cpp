#include "sim/spi_flash.h"

#include <gtest/gtest.h>

#include <vector>

#include "test_util.h"

namespace jyxsim {
namespace {

std::vector<uint8_t> sector(uint8_t fill) { return std::vector<uint8_t>(4096, fill); }

class SimSpiFlashTest : public ::testing::Test {
 protected:
  void open(uint8_t sr1, uint8_t sr2 = 0, uint8_t sr3 = 0, uint32_t size = 16u << 20) {
    CSimSpiFlash::Config c;
    c.sizeBytes = size;
    c.sr[0] = sr1;
    c.sr[1] = sr2;
    c.sr[2] = sr3;
    std::string err;
    ASSERT_TRUE(flash_.open(c, &err)) << err;
  }
  std::pair<uint32_t, uint32_t> range() {
    uint32_t s, e;
    flash_.protectedRange(&s, &e);
    return {s, e};
  }
  CSimSpiFlash flash_;
};

TEST_F(SimSpiFlashTest, StartsErasedWithWinbondIdForItsSize) {
  open(0);
  EXPECT_EQ(flash_.jedecId(), 0xEF4018u);
  EXPECT_EQ(flash_.sectorCount(), 4096u);
  uint8_t b[4];
  ASSERT_EQ(flash_.read(flash_.size() - 4, 4, b), CSimSpiFlash::Result::kOk);
  EXPECT_EQ(b[0], 0xFF);
  EXPECT_EQ(flash_.read(flash_.size() - 3, 4, b), CSimSpiFlash::Result::kOutOfRange);
  uint8_t id[3];
  ASSERT_EQ(flash_.readRegister(0x9F, 3, id), CSimSpiFlash::Result::kOk);
  EXPECT_EQ(id[0], 0xEF);
  EXPECT_EQ(id[2], 0x18);
  CSimSpiFlash small;
  CSimSpiFlash::Config c;
  c.sizeBytes = 100000;
  std::string err;
  EXPECT_FALSE(small.open(c, &err));
}

TEST_F(SimSpiFlashTest, ProtectionTableFollowsBpTbSecAndCmp) {
  const uint32_t size = 16u << 20;
  open(0x04);  // BP0: upper 1/64
  EXPECT_EQ(range(), std::make_pair(size - size / 64, size));
  open(0x18);  // BP2|BP1 = 110: upper half
  EXPECT_EQ(range(), std::make_pair(size / 2, size));
  open(0x18 | 0x20);  // TB: lower half
  EXPECT_EQ(range(), std::make_pair(0u, size / 2));
  open(0x1C);  // BP = 111: everything
  EXPECT_EQ(range(), std::make_pair(0u, size));
  open(0x40 | 0x04);  // SEC, BP0: top 4 KiB
  EXPECT_EQ(range(), std::make_pair(size - 4096, size));
  open(0x40 | 0x20 | 0x0C);  // SEC, TB, BP = 011: bottom 16 KiB
  EXPECT_EQ(range(), std::make_pair(0u, 16384u));
  open(0x04, 0x40);  // CMP inverts: all but the upper 1/64
  EXPECT_EQ(range(), std::make_pair(0u, size - size / 64));
  open(0x00, 0x40);  // CMP with BP = 0: everything
  EXPECT_EQ(range(), std::make_pair(0u, size));
  open(0x00, 0x00, 0x04);  // WPS: individual block locks, all locked
  EXPECT_EQ(range(), std::make_pair(0u, size));
  open(0x00);
  EXPECT_EQ(range().first, range().second);
}

TEST_F(SimSpiFlashTest, WritesInsideTheProtectedRangeFailUntilUnlocked) {
  open(0x18, 0x02);
  std::vector<uint8_t> d = sector(0x11);
  EXPECT_EQ(flash_.writeSector(2048, d.data(), d.size()), CSimSpiFlash::Result::kProtected);
  EXPECT_EQ(flash_.writeSector(2047, d.data(), d.size()), CSimSpiFlash::Result::kOk);
  EXPECT_EQ(flash_.erase(0, 16u << 20), CSimSpiFlash::Result::kProtected);
  uint8_t zero = 0;
  ASSERT_EQ(flash_.writeRegister(0x01, &zero, 1), CSimSpiFlash::Result::kOk);
  EXPECT_EQ(flash_.writeSector(2048, d.data(), d.size()), CSimSpiFlash::Result::kOk);
  uint8_t b;
  flash_.read(2048 * 4096 + 100, 1, &b);
  EXPECT_EQ(b, 0x11);
}

TEST_F(SimSpiFlashTest, RegisterWritesKeepReadOnlyAndOneTimeBits) {
  open(0x03, 0x08);  // BUSY|WEL set, LB1 set
  uint8_t v = 0x00;
  flash_.writeRegister(0x01, &v, 1);
  EXPECT_EQ(flash_.sr(1), 0x03) << "BUSY and WEL are not writable";
  flash_.writeRegister(0x31, &v, 1);
  EXPECT_EQ(flash_.sr(2), 0x08) << "security lock bits never clear";
  uint8_t two[2] = {0x04, 0x40};
  flash_.writeRegister(0x01, two, 2);
  EXPECT_EQ(flash_.sr(2) & 0x40, 0x40) << "0x01 with two bytes writes SR2 as well";
  v = 0xFF;
  flash_.writeRegister(0x11, &v, 1);
  EXPECT_EQ(flash_.sr(3), 0x64);
  EXPECT_EQ(flash_.writeRegister(0x02, &v, 1), CSimSpiFlash::Result::kBadRequest);
  EXPECT_EQ(flash_.readRegister(0x06, 1, &v), CSimSpiFlash::Result::kBadRequest);
  open(0x00, 0x01);  // SRL
  v = 0x1C;
  EXPECT_EQ(flash_.writeRegister(0x01, &v, 1), CSimSpiFlash::Result::kLocked);
}

TEST_F(SimSpiFlashTest, StateDirectoryKeepsContentsAndRegisters) {
  jyxtest::ScopedTempDir dir;
  CSimSpiFlash::Config c;
  c.sizeBytes = 1u << 20;
  c.stateDir = dir.path();
  std::string err;
  {
    CSimSpiFlash f;
    ASSERT_TRUE(f.open(c, &err)) << err;
    std::vector<uint8_t> d = sector(0x42);
    ASSERT_EQ(f.writeSector(7, d.data(), 10), CSimSpiFlash::Result::kOk);
    uint8_t v = 0x08;
    f.writeRegister(0x01, &v, 1);
    std::string file = jyxtest::readFile(dir.file("spi_flash.bin"));
    ASSERT_EQ(file.size(), 1u << 20);
    EXPECT_EQ(uint8_t(file[7 * 4096 + 9]), 0x42) << "visible while running";
    EXPECT_EQ(uint8_t(file[7 * 4096 + 10]), 0xFF) << "rest of the sector erased";
  }
  CSimSpiFlash again;
  ASSERT_TRUE(again.open(c, &err)) << err;
  EXPECT_EQ(again.sr(1), 0x08);
  uint8_t b;
  again.read(7 * 4096, 1, &b);
  EXPECT_EQ(b, 0x42);
  c.sizeBytes = 2u << 20;
  CSimSpiFlash wrongSize;
  EXPECT_FALSE(wrongSize.open(c, &err));
  EXPECT_NE(err.find("holds"), std::string::npos);
  jyxtest::writeFile(dir.file("spi_status.json"), "{not json");
  c.sizeBytes = 1u << 20;
  CSimSpiFlash badStatus;
  EXPECT_FALSE(badStatus.open(c, &err));
}

}  // namespace
}  // namespace jyxsim
