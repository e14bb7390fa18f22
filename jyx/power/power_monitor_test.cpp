#include "jyx/power/power_monitor.h"

#include <gtest/gtest.h>

#include <random>

#include "test_util.h"

using jyxtest::powerReport;
using jyxtest::yamlDoc;

TEST(PowerConversion, PositiveNegativeAndZeroResistance) {
  struct {
    int32_t bus, shunt;
    uint32_t maxVoltage, resistance;
    int32_t voltage, current, power;
  } cases[] = {
      {16384, 3277, 32000, 10, 16000, 1000, 16000},
      {-16384, -3277, 32000, 10, 16000, 1000, 16000},
      {16384, 3277, 32000, 0, 16000, 0, 0},
      // The most negative register value counts as 32768 steps.
      {-32768, -32768, 9000, 1, 9000, 100000, 900000},
      // Rounded to the nearest unit, not truncated: 0.98 mV is 1 mV,
      // 274.66 mV is 275 mV, 3051.76 mA is 3052 mA, 839.3 mW is 839 mW.
      {1, 0, 32000, 2, 1, 0, 0},
      {1000, 2000, 9000, 2, 275, 3052, 839},
      // Halves go up: 1.5 mV is 2 mV; 2 mV x 1251 mA = 2.502 mW is 3 mW.
      {16384, 410, 3, 1, 2, 1251, 3},
      {-16384, -410, 3, 1, 2, 1251, 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.bus) + "/" + std::to_string(c.resistance));
    CJYXPowerReading r = convertPowerRaw(c.bus, c.shunt, c.maxVoltage, c.resistance);
    EXPECT_EQ(c.voltage, r.voltage);
    EXPECT_EQ(c.current, r.current);
    EXPECT_EQ(c.power, r.power);
  }
}

// Every conversion is within half a unit of the exact quotient (truncation
// put a third of random readings a whole unit low).
TEST(PowerConversion, RandomReadingsAreWithinHalfAUnit) {
  std::mt19937 random(2024);
  for (int i = 0; i < 100000; ++i) {
    int32_t bus = int32_t(random() % 65536) - 32768;
    int32_t shunt = int32_t(random() % 65536) - 32768;
    uint32_t maxVoltage = 1 + random() % 40000;
    uint32_t resistance = 1 + random() % 100;
    CJYXPowerReading r = convertPowerRaw(bus, shunt, maxVoltage, resistance);
    int64_t b = bus < 0 ? -int64_t(bus) : bus;
    int64_t s = shunt < 0 ? -int64_t(shunt) : shunt;
    // |r - exact| <= 1/2, as 2 |r * d - n| <= d for the fraction n / d.
    ASSERT_LE(2 * std::llabs(int64_t(r.voltage) * 32768 - int64_t(maxVoltage) * b), 32768) << i;
    int64_t d = 32768 * int64_t(resistance);
    ASSERT_LE(2 * std::llabs(int64_t(r.current) * d - s * 100000), d) << i;
    ASSERT_LE(2 * std::llabs(int64_t(r.power) * 1000 - int64_t(r.voltage) * r.current), 1000) << i;
  }
}

TEST(PowerFrameRate, NeedsAMillisecondAndNeverOverflows) {
  CJYXPowerMonitor m;
  uint32_t mask[3] = {1, 0, 0};
  m.setEnableMask(mask);
  m.resetRun();
  m.setRunning(true);
  auto feed = [&m](uint64_t clock, int frames) {
    std::vector<uint8_t> p = jyxtest::powerReport(clock, frames, {{1, 1}});
    m.onPowerData(p.data(), p.size(), 1.0, 0);
  };
  feed(5000000, 1000);  // all frames of one report share its clock
  EXPECT_EQ("", m.frameRateText());
  feed(5000999, 1000);  // 0.999 ms: would print "time: 0.001s"... at 2 million/s
  EXPECT_EQ("", m.frameRateText());
  feed(5001000, 60000);  // 62000 frames in 1 ms: 62 million per second
  EXPECT_EQ("frames: 62000, time: 0.001s, frames per second: 62000000\n", m.frameRateText());
  feed(7001000, 1);  // 62001 frames in 2.001 s: 30985.5 per second
  EXPECT_EQ("frames: 62001, time: 2.001s, frames per second: 30985\n", m.frameRateText());
  feed(1000, 1);  // a clock that went back has no rate
  EXPECT_EQ("", m.frameRateText());
}

TEST(PowerInterval, ClosesWhenTimePassesTheEnd) {
  CJYXPowerRail rail(1);
  rail.addValues(0, 1000, 10, 1, 100, 100);
  rail.addValues(50, 2000, 20, 2, 200, 100);
  rail.addValues(100, 3000, 30, 3, 300, 100);
  EXPECT_EQ(0u, rail.avgVoltage.count());
  rail.addValues(150, 4000, 40, 4, 400, 100);
  ASSERT_EQ(1u, rail.avgVoltage.count());
  ASSERT_EQ(1u, rail.averaged.size());
  CJYXPowerRecord closed = rail.averaged.at(0);
  EXPECT_EQ(25, closed.voltage);  // (10+20+30+40)/4
  EXPECT_EQ(2, closed.current);   // 10/4 truncated
  EXPECT_EQ(250, closed.power);
  EXPECT_EQ(0, closed.time);
  EXPECT_EQ(4000u, closed.clock);
  EXPECT_EQ(25, rail.avgVoltage.max());
  EXPECT_EQ(100u, rail.intervalStart());
  EXPECT_EQ(0u, rail.avgVoltage.pendingCount());
}

TEST(PowerInterval, JumpSkipsWholeIntervalsAndZeroIntervalTerminates) {
  CJYXPowerRail rail(2);
  rail.addValues(0, 1, 1, 1, 1, 100);
  rail.addValues(350, 2, 3, 3, 3, 100);
  EXPECT_EQ(300u, rail.intervalStart());  // first start with 350 <= start + 100
  // A jump of nearly 25 days with a 1 ms interval ends at once.
  rail.addValues(2000000000, 3, 5, 5, 5, 1);
  EXPECT_EQ(1999999999u, rail.intervalStart());
  // Interval 0 is taken as 1 ms rather than looping forever.
  CJYXPowerRail zero(3);
  zero.addValues(10, 1, 1, 1, 1, 0);
  EXPECT_EQ(1u, zero.avgVoltage.count());
  EXPECT_EQ(9u, zero.intervalStart());
}

TEST(PowerConfig, IcAddrListsRepeatTheirLastValueUpTo24Ics) {
  CJYXPowerMonitor m;
  std::string yaml = "ic-addr: [";
  for (int i = 0; i < 30; ++i) yaml += "{addr: " + std::to_string(0x20 + i) + "},";
  ASSERT_TRUE(m.applyConfig(yamlDoc(yaml + "{addr: 0}]\n")));
  for (int i = 0; i < 24; ++i) EXPECT_EQ(0x20 + i, m.icAddrs()[i]) << i;

  CJYXPowerMonitor two;
  ASSERT_TRUE(two.applyConfig(
      yamlDoc("ic-addr:\n"
              "  - {addr: 0x40, resistance: [50, 20], max_current: [100]}\n"
              "  - {addr: 65, resistance: [], min_voltage: 7, max_voltage: [1, 2, 3, 4, 5]}\n")));
  EXPECT_EQ(65, two.icAddrs()[1]);
  EXPECT_EQ(0xFF, two.icAddrs()[2]);
  for (int c = 0; c < 4; ++c) {
    EXPECT_EQ(c == 0 ? 50u : 20u, two.rail(c)->resistance()) << c;
    EXPECT_EQ(100u, two.rail(c)->currentLimit()) << c;
    // Empty and non-sequence values change nothing.
    EXPECT_EQ(2u, two.rail(4 + c)->resistance()) << c;
    EXPECT_EQ(0u, two.rail(4 + c)->voltageLowerLimit()) << c;
    EXPECT_EQ(uint32_t(c + 1), two.rail(4 + c)->voltageUpperLimit()) << c;
  }
  // A document that is not a mapping applies nothing.
  rapidjson::Document list = yamlDoc("- a\n- b\n");
  EXPECT_FALSE(two.applyConfig(list));
  EXPECT_FALSE(two.loadRails(list));
  EXPECT_EQ(0x40, two.icAddrs()[0]);
}

TEST(PowerConfig, IcTypesAndRailsFileSelection) {
  CJYXPowerMonitor m;
  ASSERT_TRUE(m.applyConfig(yamlDoc(
      "ic-id: [{id: 0x22, voltage: 5000}, {id: 7}]\n"
      "config: [{title: A, path: a.yaml}, {title: only title}, {title: B, path: sub/b.yaml},"
      " {title: C, path: c.yaml}, {title: D, path: c.yaml}]\n")));
  ASSERT_EQ(1u, m.icTypes().size());
  EXPECT_EQ(5000u, m.icTypes()[0].voltage());
  ASSERT_EQ(4u, m.configs().size());
  // A name selects by its file-name part ("sub/b.yaml" is not "b.yaml");
  // of several matching paths the last wins.
  EXPECT_EQ("c:\\cfg\\a.yaml", m.selectRailsFile("x/y\\sub/b.yaml", "c:\\cfg\\config.yaml"));
  EXPECT_EQ("dir/c.yaml", m.selectRailsFile("/home/me/c.yaml", "dir/config.yaml"));
  EXPECT_EQ("D", m.currentTitle());
  // The current title survives a reload and picks its entry again.
  ASSERT_TRUE(m.selectConfigByTitle("B"));
  ASSERT_TRUE(m.applyConfig(yamlDoc("config: [{title: A, path: a.yaml}, {title: B, path: b2}]\n")));
  EXPECT_EQ("b2", m.selectRailsFile(nullptr, "config.yaml"));
  ASSERT_TRUE(m.applyConfig(yamlDoc("ic-id: []\n")));
  EXPECT_TRUE(m.icTypes().empty());
  EXPECT_EQ("", m.selectRailsFile("a.yaml", "config.yaml"));
}

TEST(PowerRailsFile, IndicesMaskAndTotal) {
  CJYXPowerMonitor m;
  ASSERT_TRUE(
      m.loadRails(yamlDoc("rails:\n"
                          "  - {name: A, index: 5}\n"
                          "  - {name: B, index: 40}\n"
                          "  - {name: C, index: 70}\n"
                          "  - {name: skipped}\n"
                          "  - plain\n")));
  uint32_t mask[3];
  m.getEnableMask(mask);
  EXPECT_EQ(0x20u, mask[0]);
  EXPECT_EQ(0x100u, mask[1]);
  EXPECT_EQ(0x40u, mask[2]);
  EXPECT_EQ((std::vector<int>{5, 40, 70, 96}), m.enabledRails());
  EXPECT_EQ("A", m.rail(5)->name());
  EXPECT_EQ("TOTAL", m.rail(96)->name());
  EXPECT_FALSE(m.rail(0)->selected());
  EXPECT_TRUE(m.rail(96)->selected());

  // Index texts, out-of-range indices, a repeated index, the "addr" list.
  ASSERT_TRUE(
      m.loadRails(yamlDoc("addr: [0x30, 49]\n"
                          "rails:\n"
                          "  - {name: hex, index: \"0x10\"}\n"
                          "  - {name: big, index: 97}\n"
                          "  - {name: neg, index: -1}\n"
                          "  - {name: plus, index: \"+7\"}\n"
                          "  - {name: again, index: 7}\n")));
  EXPECT_EQ((std::vector<int>{0, 7, 7, 96}), m.enabledRails());
  EXPECT_EQ("hex", m.rail(0)->name());
  EXPECT_EQ("again", m.rail(7)->name());
  m.getEnableMask(mask);
  EXPECT_EQ(0x81u, mask[0]);
  EXPECT_EQ(0u, mask[1] | mask[2]);
  EXPECT_EQ(49, m.icAddrs()[1]);
  EXPECT_EQ(0xFF, m.icAddrs()[2]);
}

TEST(PowerRailsFile, IgnoredAndPartialDocuments) {
  CJYXPowerMonitor m;
  uint32_t mask[3];
  EXPECT_FALSE(m.loadRails(yamlDoc("other: 1\n")));  // changes nothing
  // "rails" that is not a sequence: the mask is cleared, nothing else.
  EXPECT_FALSE(m.loadRails(yamlDoc("rails: none\n")));
  m.getEnableMask(mask);
  EXPECT_EQ(0u, mask[0] | mask[1] | mask[2]);
  EXPECT_TRUE(m.rail(3)->selected());
  EXPECT_EQ(0x10, m.icAddrs()[0]);
  // Up to 24 addresses; the rest of the list is ignored.
  std::string yaml = "addr: [";
  for (int i = 0; i < 26; ++i) yaml += std::to_string(i) + (i < 25 ? "," : "]\nrails: []\n");
  EXPECT_TRUE(m.loadRails(yamlDoc(yaml)));
  EXPECT_EQ(23, m.icAddrs()[23]);
  EXPECT_EQ((std::vector<int>{96}), m.enabledRails());
}

TEST(PowerExchange, RequestBlocksAndIcIdentities) {
  CJYXPowerMonitor m;
  uint32_t mask[3] = {0x04030201, 0x08070605, 0x0C0B0A09};
  m.setEnableMask(mask);
  ASSERT_TRUE(m.loadRails(yamlDoc("addr: [0, 0x21]\nrails:\n  - {name: a, index: 1}\n")));
  m.rail(1)->setAddr(0x44);
  uint8_t maskBytes[12], addrs[24];
  m.buildRequestBlocks(maskBytes, addrs);
  EXPECT_EQ(0x02, maskBytes[0]);  // rail 1 only
  EXPECT_EQ(0, maskBytes[1]);
  EXPECT_EQ(0x44, addrs[0]);  // empty slot takes the enabled rail's address
  EXPECT_EQ(0x21, addrs[1]);
  EXPECT_EQ(0xFF, addrs[2]);

  uint8_t ids[24] = {123, 107, 55};  // 32 V type, 9 V type, unknown
  m.rail(8)->setMaxVoltage(1234);
  std::string line = m.applyIcIds(ids, 24, 64);
  EXPECT_EQ(0u, line.find("size:20/64, IC_ID (24):0x7b 0x6b 0x37 0x00 "));
  EXPECT_EQ(32000u, m.rail(3)->maxVoltage());
  EXPECT_EQ(0x21u, m.rail(5)->addr());
  EXPECT_EQ(9000u, m.rail(7)->maxVoltage());
  EXPECT_EQ(1234u, m.rail(8)->maxVoltage());
  // A short acknowledge counts the missing identities as 0.
  m.applyIcIds(ids, 2, 22);
  EXPECT_EQ(0, m.icIds()[2]);
  // An acknowledge without a payload (the packet has no payload pointer).
  m.applyIcIds(nullptr, 0, 20);
  EXPECT_EQ(0, m.icIds()[0]);
}

class PowerIngest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m.loadRails(yamlDoc(
        "rails:\n  - {name: A, index: 0}\n  - {name: B, index: 33}\n  - {name: C, index: 95}\n")));
    m.rail(0)->setMaxVoltage(32000);
    m.rail(0)->setResistance(10);
    m.resetRun();
    m.setRunning(true);
  }
  void feed(uint64_t clock, int frames, const std::vector<std::pair<int16_t, int16_t>>& pairs,
            double now = 5.0) {
    std::vector<uint8_t> p = powerReport(clock, frames, pairs);
    m.onPowerData(p.data(), p.size(), now, 1700000000000000ull);
  }
  CJYXPowerMonitor m;
};

TEST_F(PowerIngest, FramesRailsAndTotal) {
  feed(1000000, 2, {{16384, 3277}, {1000, 2000}, {-2000, -4000}}, 7.5);
  EXPECT_EQ(2u, m.frameCount());
  EXPECT_EQ(16000, m.rail(0)->rawVoltage.now());
  // 9000 * 1000 / 32768 = 274.66 mV; 2000 * 100000 / 32768 / 2 = 3051.76
  // mA; 275 * 3052 / 1000 = 839.3 mW.
  EXPECT_EQ(275, m.rail(33)->rawVoltage.now());
  EXPECT_EQ(3052, m.rail(33)->rawCurrent.now());
  EXPECT_EQ(839, m.rail(33)->rawPower.now());
  int total = 16000 + 839 + m.rail(95)->rawPower.now();
  EXPECT_EQ(total, m.rail(96)->rawPower.now());
  EXPECT_EQ(2u, m.rail(96)->rawPower.count());

  // Unselected rails are stored but not summed.
  m.rail(0)->setSelected(false);
  feed(1250000, 1, {{16384, 3277}, {0, 0}, {0, 0}}, 9.0);
  EXPECT_EQ(0, m.rail(96)->rawPower.now());
  EXPECT_EQ(250, m.rail(0)->raw.back().time);
  EXPECT_EQ(7.5, m.startTime());  // the first frame's
  // The 250 ms report closed the first interval of every rail, itself
  // included: two frames of `total` and one of 0.
  EXPECT_EQ(1u, m.rail(96)->avgPower.count());
  EXPECT_EQ(2 * total / 3, m.rail(96)->averaged.at(0).power);
  EXPECT_EQ(1250000u, m.rail(96)->averaged.at(0).clock);
}

TEST_F(PowerIngest, ShortAndIdleReportsAreHarmless) {
  std::vector<uint8_t> p = powerReport(5000, 3, {{1, 1}, {2, 2}, {3, 3}});
  p.resize(p.size() - 1);  // the third frame is incomplete
  m.onPowerData(p.data(), p.size(), 1.0, 0);
  EXPECT_EQ(2u, m.frameCount());
  m.onPowerData(p.data(), 10, 1.0, 0);
  m.onPowerData(nullptr, 0, 1.0, 0);
  m.setRunning(false);
  feed(9000, 1, {{1, 1}, {2, 2}, {3, 3}});
  EXPECT_EQ(2u, m.frameCount());
}

TEST_F(PowerIngest, TraceLine) {
  feed(1000000, 20, {{1, 1}, {2, 2}, {3, 3}});
  m.rail(0)->setTraceNext(true);
  testing::internal::CaptureStdout();
  feed(3100000, 1, {{16384, 3277}, {2, 2}, {3, 3}});
  EXPECT_EQ(
      "[20] bus:0x4000, sense:0xccd, resistance:10mO, maxVoltage:32000mV, averageInterval:100"
      "ts:2100, voltage:16000mV, current:1000mA, power:16000mW\n",
      testing::internal::GetCapturedStdout());
  EXPECT_FALSE(m.rail(0)->traceNext());
}

TEST(PowerRanges, AutoRangeDigits) {
  const std::pair<int32_t, uint32_t> cases[] = {
      {3456, 5000}, {7200, 10000}, {0, 10}, {9, 10}, {12, 50}, {2000000000, 4294967295u}};
  for (auto c : cases) EXPECT_EQ(c.second, CJYXPowerMonitor::autoRange(c.first)) << c.first;

  CJYXPowerMonitor m;
  m.rail(3)->avgVoltage.addSample(3456);
  m.rail(4)->avgCurrent.addSample(7200);
  m.rail(5)->avgPower.addSample(99999);
  m.rail(5)->setSelected(false);
  CJYXPowerRanges r = m.autoRanges();
  EXPECT_EQ(5000u, r.voltage);
  EXPECT_EQ(10000u, r.current);
  EXPECT_EQ(10u, r.power);
}
