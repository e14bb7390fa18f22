#include "sim/spi_flash.h"

#include <gtest/gtest.h>

#include <vector>

#include "test_util.h"

namespace jyxsim {
namespace {

class SimSpiFlashTest : public ::testing::Test {
 protected:
  void open(uint8_t sr1, uint8_t sr2 = 0, uint8_t sr3 = 0) {
    CSimSpiFlash::Config c;
    c.sizeBytes = 16u << 20;
    c.sr[0] = sr1;
    c.sr[1] = sr2;
    c.sr[2] = sr3;
    std::string err;
    ASSERT_TRUE(flash_.open(c, &err)) << err;
  }
  CSimSpiFlash flash_;
};

TEST_F(SimSpiFlashTest, ProtectionTableFollowsBpTbSecCmpAndWps) {
  const uint32_t size = 16u << 20;
  struct Case {
    const char* name;
    uint8_t sr1, sr2, sr3;
    uint32_t start, end;
  } cases[] = {
      {"BP0: upper 1/64", 0x04, 0, 0, size - size / 64, size},
      {"BP = 110: upper half", 0x18, 0, 0, size / 2, size},
      {"TB: lower half", 0x18 | 0x20, 0, 0, 0, size / 2},
      {"BP = 111: everything", 0x1C, 0, 0, 0, size},
      {"SEC, BP0: top 4 KiB", 0x40 | 0x04, 0, 0, size - 4096, size},
      {"SEC, TB, BP = 011: bottom 16 KiB", 0x40 | 0x20 | 0x0C, 0, 0, 0, 16384},
      {"CMP inverts BP0", 0x04, 0x40, 0, 0, size - size / 64},
      {"CMP with BP = 0: everything", 0x00, 0x40, 0, 0, size},
      {"WPS: all blocks locked", 0x00, 0x00, 0x04, 0, size},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    open(c.sr1, c.sr2, c.sr3);
    uint32_t s = 1, e = 0;
    flash_.protectedRange(&s, &e);
    EXPECT_EQ(s, c.start);
    EXPECT_EQ(e, c.end);
  }
  open(0x00);
  uint32_t s = 1, e = 0;
  flash_.protectedRange(&s, &e);
  EXPECT_EQ(s, e) << "nothing protected";
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
  EXPECT_EQ(flash_.erase(0, 16u << 20), CSimSpiFlash::Result::kProtected);
  open(0x00, 0x01);  // SRL
  v = 0x1C;
  EXPECT_EQ(flash_.writeRegister(0x01, &v, 1), CSimSpiFlash::Result::kLocked);
}

TEST_F(SimSpiFlashTest, StateDirectoryKeepsContentsAndRegistersAndRefusesBadFiles) {
  jyxtest::ScopedTempDir dir;
  CSimSpiFlash::Config c;
  c.sizeBytes = 1u << 20;
  c.stateDir = dir.path();
  std::string err;
  {
    CSimSpiFlash f;
    ASSERT_TRUE(f.open(c, &err)) << err;
    std::vector<uint8_t> d(4096, 0x42);
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
