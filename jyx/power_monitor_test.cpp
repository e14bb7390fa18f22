#include "jyx/power_monitor.h"

#include <gtest/gtest.h>

#include <set>

#include "power_test_util.h"

using jyxtest::powerReport;
using jyxtest::yamlDoc;

TEST(PowerConversion, PositiveNegativeAndZeroResistance) {
  CJYXPowerReading r = convertPowerRaw(16384, 3277, 32000, 10);
  EXPECT_EQ(16000, r.voltage);
  EXPECT_EQ(1000, r.current);
  EXPECT_EQ(16000, r.power);

  CJYXPowerReading n = convertPowerRaw(-16384, -3277, 32000, 10);
  EXPECT_EQ(16000, n.voltage);
  EXPECT_EQ(1000, n.current);
  EXPECT_EQ(16000, n.power);

  CJYXPowerReading z = convertPowerRaw(16384, 3277, 32000, 0);
  EXPECT_EQ(16000, z.voltage);
  EXPECT_EQ(0, z.current);
  EXPECT_EQ(0, z.power);

  // The most negative register value counts as 32768 steps.
  CJYXPowerReading m = convertPowerRaw(-32768, -32768, 9000, 1);
  EXPECT_EQ(9000, m.voltage);
  EXPECT_EQ(100000, m.current);
  EXPECT_EQ(900000, m.power);
}

TEST(PowerSeries, StatisticsAndReset) {
  CJYXPowerSeries s;
  EXPECT_EQ(999999999, s.min());
  EXPECT_EQ(0, s.max());
  s.addSample(5);
  s.addSample(-3);
  s.addSample(10);
  EXPECT_EQ(10, s.now());
  EXPECT_EQ(12, s.sum());
  EXPECT_EQ(4, s.avg());
  EXPECT_EQ(-3, s.min());
  EXPECT_EQ(10, s.max());
  s.addSample(-20);
  EXPECT_EQ(-2, s.avg());  // -8 / 4, truncated toward zero
  s.reset();
  EXPECT_EQ(0, s.count());
  EXPECT_EQ(0, s.avg());
  EXPECT_EQ(999999999, s.min());
}

TEST(PowerSeries, SampleArrayKeepsEveryValueAcrossChunks) {
  CSampleArray<int32_t> a;
  const int n = 5000;
  for (int i = 0; i < n; ++i) a.push_back(i * 7);
  ASSERT_EQ(size_t(n), a.size());
  for (int i = 0; i < n; ++i) ASSERT_EQ(i * 7, a[size_t(i)]) << i;
  // At most one partly filled chunk beyond the values themselves.
  EXPECT_LE(a.memoryBytes(), n * sizeof(int32_t) + 1024 * sizeof(int32_t) + 256);
  a.clear();
  EXPECT_EQ(0u, a.size());
  EXPECT_EQ(0u, a.memoryBytes());
}

TEST(PowerInterval, ClosesWhenTimePassesTheEnd) {
  CJYXPowerRail rail(1);
  rail.addValues(0, 1000, 10, 1, 100, 100);
  rail.addValues(50, 2000, 20, 2, 200, 100);
  rail.addValues(100, 3000, 30, 3, 300, 100);
  EXPECT_EQ(0u, rail.avgVoltage.count());
  EXPECT_EQ(3u, rail.avgVoltage.pendingCount());
  rail.addValues(150, 4000, 40, 4, 400, 100);
  ASSERT_EQ(1u, rail.avgVoltage.count());
  EXPECT_EQ(25, rail.avgVoltage.samples()[0]);  // (10+20+30+40)/4
  EXPECT_EQ(2, rail.avgCurrent.samples()[0]);   // 10/4 truncated
  EXPECT_EQ(250, rail.avgPower.samples()[0]);
  EXPECT_EQ(0, rail.avgTimes[0]);
  EXPECT_EQ(4000u, rail.avgClocks[0]);
  EXPECT_EQ(100u, rail.intervalStart());
  EXPECT_EQ(0u, rail.avgVoltage.pendingCount());
  EXPECT_EQ(150u, rail.lastTime());
  EXPECT_EQ(4u, rail.rawVoltage.count());
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

TEST(PowerInterval, EmptyIntervalAveragesZero) {
  CJYXPowerSeries s;
  s.closeInterval();
  EXPECT_EQ(1u, s.count());
  EXPECT_EQ(0, s.now());
}

TEST(PowerRails, NamesAndColours) {
  CJYXPowerMonitor m;
  EXPECT_EQ("RAIL05", m.rail(5)->name());
  EXPECT_EQ("RAIL96", m.rail(96)->name());
  EXPECT_EQ(m.rail(0), m.rail(97));
  EXPECT_EQ(m.rail(0), m.rail(-1));
  EXPECT_EQ("0xff3f0000", m.rail(0)->color());
  EXPECT_EQ("0xff7e0000", m.rail(1)->color());
  EXPECT_EQ("0xff003f00", m.rail(4)->color());
  std::set<std::string> colours;
  for (int i = 0; i < 97; ++i) {
    unsigned value = unsigned(std::stoul(m.rail(i)->color(), nullptr, 16));
    unsigned r = (value >> 16) & 0xFF, g = (value >> 8) & 0xFF, b = value & 0xFF;
    EXPECT_FALSE(r == g && g == b) << i;
    colours.insert(m.rail(i)->color());
  }
  // The counter has 5^3 states, 5 of them grey: 97 rails never repeat.
  EXPECT_EQ(97u, colours.size());
  EXPECT_EQ(9000u, m.rail(3)->maxVoltage());
  EXPECT_EQ(2u, m.rail(3)->resistance());
  EXPECT_TRUE(m.rail(3)->selected());
}

TEST(PowerConfig, IcAddrSequencesAndLimits) {
  CJYXPowerMonitor m;
  std::string yaml = "ic-addr:\n";
  for (int i = 0; i < 30; ++i) yaml += "  - addr: " + std::to_string(0x20 + i) + "\n";
  ASSERT_TRUE(m.applyConfig(yamlDoc(yaml)));
  for (int i = 0; i < 24; ++i) EXPECT_EQ(0x20 + i, m.icAddrs()[i]) << i;

  CJYXPowerMonitor two;
  ASSERT_TRUE(two.applyConfig(yamlDoc(
      "ic-addr:\n"
      "  - addr: 0x40\n"
      "    resistance: [50, 20]\n"
      "    max_current: [100]\n"
      "  - addr: 65\n"
      "    resistance: []\n"
      "    min_voltage: 7\n"
      "    max_voltage: [1, 2, 3, 4, 5]\n")));
  EXPECT_EQ(0x40, two.icAddrs()[0]);
  EXPECT_EQ(65, two.icAddrs()[1]);
  for (int i = 2; i < 24; ++i) EXPECT_EQ(0xFF, two.icAddrs()[i]) << i;
  EXPECT_EQ(50u, two.rail(0)->resistance());
  for (int c = 1; c < 4; ++c) EXPECT_EQ(20u, two.rail(c)->resistance());
  for (int c = 0; c < 4; ++c) EXPECT_EQ(100u, two.rail(c)->currentLimit());
  // Empty and non-sequence values change nothing.
  for (int c = 4; c < 8; ++c) EXPECT_EQ(2u, two.rail(c)->resistance());
  for (int c = 4; c < 8; ++c) EXPECT_EQ(0u, two.rail(c)->voltageLowerLimit());
  for (int c = 0; c < 4; ++c) EXPECT_EQ(uint32_t(c + 1), two.rail(4 + c)->voltageUpperLimit());
}

TEST(PowerConfig, IcTypesAndConfigEntries) {
  CJYXPowerMonitor m;
  ASSERT_TRUE(m.applyConfig(yamlDoc(
      "ic-id:\n"
      "  - {id: 0x22, voltage: 5000}\n"
      "  - {id: 7}\n"
      "config:\n"
      "  - {title: Board A, path: a.yaml}\n"
      "  - {title: only title}\n"
      "  - {title: Board B, path: sub/b.yaml}\n")));
  ASSERT_EQ(1u, m.icTypes().size());
  EXPECT_EQ(0x22, m.icTypes()[0].id());
  EXPECT_EQ(5000u, m.icTypes()[0].voltage());
  ASSERT_EQ(2u, m.configs().size());
  EXPECT_EQ("Board B", m.configs()[1].title());

  EXPECT_EQ("/etc/jyx/a.yaml", m.selectRailsFile(nullptr, "/etc/jyx/config.yaml"));
  EXPECT_EQ("Board A", m.currentTitle());
  // A name selects by its file-name part.
  EXPECT_EQ("c:\\cfg\\a.yaml", m.selectRailsFile("x/y\\sub/b.yaml", "c:\\cfg\\config.yaml"));
  EXPECT_EQ("Board A", m.currentTitle());  // path "sub/b.yaml" != file name "b.yaml"
  ASSERT_TRUE(m.selectConfigByTitle("Board B"));
  EXPECT_EQ("sub/b.yaml", m.selectRailsFile(nullptr, "config.yaml"));
  EXPECT_FALSE(m.selectConfigByTitle("nothing"));
  EXPECT_EQ("Board B", m.currentTitle());

  // A configuration without entries leaves none.
  ASSERT_TRUE(m.applyConfig(yamlDoc("ic-id: []\n")));
  EXPECT_TRUE(m.configs().empty());
  EXPECT_TRUE(m.icTypes().empty());
  EXPECT_EQ("", m.selectRailsFile("a.yaml", "config.yaml"));
}

TEST(PowerConfig, NameSelectsMatchingPathLastWins) {
  CJYXPowerMonitor m;
  ASSERT_TRUE(m.applyConfig(yamlDoc(
      "config:\n  - {title: A, path: a.yaml}\n  - {title: B, path: b.yaml}\n"
      "  - {title: C, path: b.yaml}\n")));
  EXPECT_EQ("dir/b.yaml", m.selectRailsFile("/home/me/b.yaml", "dir/config.yaml"));
  EXPECT_EQ("C", m.currentTitle());
  // The current title survives a reload and picks its entry again.
  ASSERT_TRUE(m.applyConfig(yamlDoc(
      "config:\n  - {title: C, path: c2.yaml}\n  - {title: A, path: a.yaml}\n")));
  EXPECT_EQ("c2.yaml", m.selectRailsFile(nullptr, "config.yaml"));
}

TEST(PowerConfig, BrokenDocumentAppliesNothing) {
  CJYXPowerMonitor m;
  rapidjson::Document doc;
  EXPECT_FALSE(CJYX::yamlToJson("config: [a, {b", 14, &doc));
  rapidjson::Document list = yamlDoc("- a\n- b\n");
  EXPECT_FALSE(m.applyConfig(list));
  EXPECT_EQ(0x10, m.icAddrs()[0]);
  EXPECT_FALSE(m.loadRails(list));
}

TEST(PowerRailsFile, IndicesMaskAndTotal) {
  CJYXPowerMonitor m;
  ASSERT_TRUE(m.loadRails(yamlDoc(
      "rails:\n"
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
  EXPECT_TRUE(m.rail(40)->listed());
  EXPECT_FALSE(m.rail(0)->selected());
  EXPECT_FALSE(m.rail(0)->listed());
  EXPECT_TRUE(m.rail(96)->selected());
}

TEST(PowerRailsFile, IndexTextAndRange) {
  CJYXPowerMonitor m;
  ASSERT_TRUE(m.loadRails(yamlDoc(
      "addr: [0x30, 49]\n"
      "rails:\n"
      "  - {name: hex, index: \"0x10\"}\n"
      "  - {name: big, index: 97}\n"
      "  - {name: neg, index: -1}\n"
      "  - {name: plus, index: \"+7\"}\n"
      "  - {name: again, index: 7}\n")));
  EXPECT_EQ((std::vector<int>{0, 7, 7, 96}), m.enabledRails());
  EXPECT_EQ("hex", m.rail(0)->name());
  EXPECT_EQ("again", m.rail(7)->name());
  uint32_t mask[3];
  m.getEnableMask(mask);
  EXPECT_EQ(0x81u, mask[0]);
  EXPECT_EQ(0x30, m.icAddrs()[0]);
  EXPECT_EQ(49, m.icAddrs()[1]);
  EXPECT_EQ(0xFF, m.icAddrs()[2]);
  EXPECT_EQ(0xFF, m.icAddrs()[12]);
}

TEST(PowerRailsFile, IgnoredAndPartialDocuments) {
  CJYXPowerMonitor m;
  EXPECT_FALSE(m.loadRails(yamlDoc("other: 1\n")));
  uint32_t mask[3];
  m.getEnableMask(mask);
  EXPECT_EQ(1u, mask[0]);
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

  uint8_t ids[24] = {};
  ids[0] = 123;  // 32 V type
  ids[1] = 107;  // 9 V type
  ids[2] = 55;   // unknown
  m.rail(8)->setMaxVoltage(1234);
  std::string line = m.applyIcIds(ids, 24, 64);
  EXPECT_EQ(0u, line.find("size:20/64, IC_ID (24):0x7b 0x6b 0x37 0x00 "));
  EXPECT_EQ(32000u, m.rail(0)->maxVoltage());
  EXPECT_EQ(32000u, m.rail(3)->maxVoltage());
  EXPECT_EQ(0x21u, m.rail(5)->addr());
  EXPECT_EQ(9000u, m.rail(7)->maxVoltage());
  EXPECT_EQ(1234u, m.rail(8)->maxVoltage());
  // A short acknowledge counts the missing identities as 0.
  m.applyIcIds(ids, 2, 22);
  EXPECT_EQ(0, m.icIds()[2]);
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
  EXPECT_EQ(1000000u, m.baseClock());
  EXPECT_EQ(7.5, m.startTime());
  EXPECT_EQ(1700000000000000ull, m.hostStartMicros());
  EXPECT_EQ(2u, m.rail(0)->rawVoltage.count());
  EXPECT_EQ(16000, m.rail(0)->rawVoltage.now());
  EXPECT_EQ(1000, m.rail(0)->rawCurrent.now());
  // 9000 * 1000 / 32768 = 274 mV; 2000 * 100000 / 32768 / 2 = 3051 mA.
  EXPECT_EQ(274, m.rail(33)->rawVoltage.now());
  EXPECT_EQ(3051, m.rail(33)->rawCurrent.now());
  EXPECT_EQ(274 * 3051 / 1000, m.rail(33)->rawPower.now());
  EXPECT_EQ(549, m.rail(95)->rawVoltage.now());
  int total = 16000 + 274 * 3051 / 1000 + m.rail(95)->rawPower.now();
  EXPECT_EQ(total, m.rail(96)->rawPower.now());
  EXPECT_EQ(2u, m.rail(96)->rawPower.count());
  EXPECT_EQ(1000000u, m.rail(5)->baseClock());

  // Unselected rails are stored but not summed.
  m.rail(0)->setSelected(false);
  feed(1250000, 1, {{16384, 3277}, {0, 0}, {0, 0}}, 9.0);
  EXPECT_EQ(0, m.rail(96)->rawPower.now());
  EXPECT_EQ(250, m.rail(0)->rawTimes.back());
  EXPECT_EQ(1250000u, m.lastClock());
  EXPECT_EQ(7.5, m.startTime());  // only the first frame sets it
  // The 250 ms report closed the first interval of every rail, itself
  // included: two frames of `total` and one of 0.
  EXPECT_EQ(1u, m.rail(96)->avgPower.count());
  EXPECT_EQ(2 * total / 3, m.rail(96)->avgPower.samples()[0]);
  EXPECT_EQ(0, m.rail(96)->avgTimes[0]);
  EXPECT_EQ(1250000u, m.rail(96)->avgClocks[0]);
}

TEST_F(PowerIngest, ShortAndIdleReportsAreHarmless) {
  std::vector<uint8_t> p = powerReport(5000, 3, {{1, 1}, {2, 2}, {3, 3}});
  p.resize(p.size() - 1);  // the third frame is incomplete
  m.onPowerData(p.data(), p.size(), 1.0, 0);
  EXPECT_EQ(2u, m.frameCount());
  m.onPowerData(p.data(), 10, 1.0, 0);
  m.onPowerData(nullptr, 0, 1.0, 0);
  EXPECT_EQ(2u, m.frameCount());
  m.setRunning(false);
  feed(9000, 1, {{1, 1}, {2, 2}, {3, 3}});
  EXPECT_EQ(2u, m.frameCount());
}

TEST_F(PowerIngest, FrameRateAndTrace) {
  EXPECT_EQ("", m.frameRateText());
  feed(1000000, 10, {{1, 1}, {2, 2}, {3, 3}});
  feed(3000000, 10, {{1, 1}, {2, 2}, {3, 3}});
  EXPECT_EQ("frames: 20, time: 2.000s, frames per second: 10\n", m.frameRateText());

  m.rail(0)->setTraceNext(true);
  testing::internal::CaptureStdout();
  feed(3100000, 1, {{16384, 3277}, {2, 2}, {3, 3}});
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(
      "[20] bus:0x4000, sense:0xccd, resistance:10mO, maxVoltage:32000mV, averageInterval:100"
      "ts:2100, voltage:16000mV, current:1000mA, power:16000mW\n",
      out);
  EXPECT_FALSE(m.rail(0)->traceNext());
}

TEST(PowerRanges, AutoRangeDigits) {
  EXPECT_EQ(5000u, CJYXPowerMonitor::autoRange(3456));
  EXPECT_EQ(10000u, CJYXPowerMonitor::autoRange(7200));
  EXPECT_EQ(10u, CJYXPowerMonitor::autoRange(0));
  EXPECT_EQ(10u, CJYXPowerMonitor::autoRange(4));
  EXPECT_EQ(10u, CJYXPowerMonitor::autoRange(9));
  EXPECT_EQ(50u, CJYXPowerMonitor::autoRange(12));
  EXPECT_EQ(4294967295u, CJYXPowerMonitor::autoRange(2000000000));

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
