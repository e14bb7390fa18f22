#include "sim/faults.h"

#include <gtest/gtest.h>

namespace jyxsim {
namespace {

SimFrame request(uint16_t cmd, uint16_t data = 255) {
  SimFrame f;
  f.cmd = cmd;
  f.data = data;
  return f;
}

TEST(SimFaultsTest, RulesHitTheNthRequestOfTheirSelector) {
  CSimFaults faults;
  std::string err;
  ASSERT_TRUE(faults.addOption("drop", "GPIO_CTRL:2,4", &err)) << err;
  ASSERT_TRUE(faults.addOption("fail", "SPI_CTRL/SPI_DATA:1", &err)) << err;
  ASSERT_TRUE(faults.addOption("delay", "*:*:5", &err)) << err;
  std::vector<bool> drops;
  for (int i = 1; i <= 5; ++i) drops.push_back(faults.decide(request(3), uint32_t(i)).drop);
  EXPECT_EQ(drops, (std::vector<bool>{false, true, false, true, false}));
  // SPI_CTRL requests of other data types do not count for SPI_CTRL/SPI_DATA.
  EXPECT_FALSE(faults.decide(request(4, 3), 6).fail);
  CSimFaults::Decision d = faults.decide(request(4, 4), 7);
  EXPECT_TRUE(d.fail);
  EXPECT_EQ(d.delayMs, 5u);
  EXPECT_FALSE(faults.decide(request(4, 4), 8).fail);
}

TEST(SimFaultsTest, ResetAfterClosesTheLinkOnceAndEndsTheSession) {
  CSimFaults faults;
  std::string err;
  ASSERT_TRUE(faults.addOption("reset-after", "3", &err)) << err;
  std::vector<bool> closes, resets;
  for (uint32_t i = 1; i <= 5; ++i) {
    CSimFaults::Decision d = faults.decide(request(3), i);
    closes.push_back(d.closeAfter);
    resets.push_back(d.resetAfter);
  }
  EXPECT_EQ(closes, (std::vector<bool>{false, false, true, false, false}));
  EXPECT_EQ(resets, closes);
  // A plain close does not end the session.
  ASSERT_TRUE(faults.loadText("close-after 1\n", &err)) << err;
  CSimFaults::Decision d = faults.decide(request(3), 1);
  EXPECT_TRUE(d.closeAfter);
  EXPECT_FALSE(d.resetAfter);
  EXPECT_FALSE(faults.addOption("reset-after", "x", &err));
}

TEST(SimFaultsTest, RandomFaultsAreReproducibleFromTheSeed) {
  auto run = [](const char* seed) {
    CSimFaults f;
    std::string err;
    f.addOption("seed", seed, &err);
    f.addOption("random", "drop=0.3,garbage=0.2", &err);
    std::string pattern;
    for (int i = 0; i < 200; ++i) {
      CSimFaults::Decision d = f.decide(request(0), uint32_t(i + 1));
      pattern += d.drop ? 'd' : d.garbageBytes ? 'g' : '.';
    }
    return pattern;
  };
  std::string a = run("7");
  EXPECT_EQ(a, run("7"));
  EXPECT_NE(a, run("8"));
  EXPECT_NE(a.find('d'), std::string::npos);
  EXPECT_NE(a.find('.'), std::string::npos);
  CSimFaults f;
  std::string g;
  f.garbage(2000, &g);
  EXPECT_EQ(g.find('\x5A'), std::string::npos) << "garbage never holds the magic byte";
}

TEST(SimFaultsTest, MalformedOptionsAndControlFilesAreRefused) {
  CSimFaults faults;
  std::string err;
  EXPECT_FALSE(faults.addOption("drop", "GPIO_CTRL", &err));
  EXPECT_FALSE(faults.addOption("drop", "BOGUS:1", &err));
  EXPECT_FALSE(faults.addOption("drop", "GPIO_CTRL:0", &err));
  EXPECT_FALSE(faults.addOption("delay", "GPIO_CTRL:1", &err));
  EXPECT_FALSE(faults.addOption("random", "drop=2", &err));
  EXPECT_FALSE(faults.addOption("close-after", "x", &err));
  ASSERT_TRUE(faults.addOption("drop", "3:1", &err));
  EXPECT_FALSE(faults.loadText("--drop GPIO_CTRL:1\n--nonsense 3\n", &err));
  EXPECT_NE(err.find("line 2"), std::string::npos);
  EXPECT_EQ(faults.rules().size(), 1u) << "a bad file keeps the old rules";
  ASSERT_TRUE(faults.loadText("drop=HEART_BEAT:1\n--garbage GPIO_CTRL:1:4 # comment\n", &err))
      << err;
  EXPECT_EQ(faults.rules().size(), 2u);
  EXPECT_EQ(faults.decide(request(3), 1).garbageBytes, 4u);
}

}  // namespace
}  // namespace jyxsim
