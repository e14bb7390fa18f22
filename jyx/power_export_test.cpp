#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <algorithm>
#include <random>

#include "jyx/power_format.h"
#include "jyx/power_monitor.h"
#include "power_test_util.h"
#include "test_util.h"

using jyxtest::powerReport;
using jyxtest::readFile;
using jyxtest::ScopedTempDir;
using jyxtest::writeFile;
using jyxtest::yamlDoc;

namespace {

// Local time is UTC while a test of this file runs, so the CSV time texts
// are fixed.
class ScopedUtc {
 public:
  ScopedUtc() {
    const char* tz = getenv("TZ");
    had_ = tz != nullptr;
    if (had_) old_ = tz;
    setenv("TZ", "UTC", 1);
    tzset();
  }
  ~ScopedUtc() {
    if (had_) {
      setenv("TZ", old_.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }

 private:
  bool had_;
  std::string old_;
};

std::string printed(int32_t value, bool spaceSign) {
  char text[64];
  snprintf(text, sizeof(text), spaceSign ? "% .2f" : "%.2f", value / 1000.0);
  return text;
}

uint32_t le32(const std::string& s, size_t at) {
  uint32_t v;
  memcpy(&v, s.data() + at, 4);
  return v;
}

// Rails A (0), B (1) and C (2) with known conversions; samples fed at
// 40 ms spacing so that 100 ms intervals close along the way.
void fillMonitor(CJYXPowerMonitor* m, int reports) {
  ASSERT_TRUE(m->loadRails(yamlDoc(
      "rails:\n  - {name: A, index: 0}\n  - {name: B, index: 1}\n  - {name: C, index: 2}\n")));
  for (int i = 0; i < 3; ++i) {
    m->rail(i)->setMaxVoltage(32000);
    m->rail(i)->setResistance(10);
  }
  m->resetRun();
  m->setRunning(true);
  for (int r = 0; r < reports; ++r) {
    std::vector<uint8_t> p = powerReport(
        5000000 + uint64_t(r) * 40000, 2,
        {{int16_t(1024 + r * 7), int16_t(3277 + r)}, {int16_t(-200 - r), 0}, {32767, -32768}});
    m->onPowerData(p.data(), p.size(), 1.0, 1700000000000000ull);
  }
  m->setRunning(false);
}

// Fills `m` with `reports` reports, saves it as dir/name and returns the
// data file's bytes.
std::string savedRun(const ScopedTempDir& dir, const char* name, int reports,
                     CJYXPowerMonitor* m) {
  fillMonitor(m, reports);
  std::string path = dir.file(name);
  EXPECT_TRUE(m->saveData(path));
  return readFile(path);
}

}  // namespace

TEST(PowerCsvNumber, MatchesPrintfByteForByte) {
  std::string out;
  for (int32_t v = -300000; v <= 300000; ++v) {
    for (bool space : {false, true}) {
      out.clear();
      appendThousandths(&out, v, space);
      ASSERT_EQ(printed(v, space), out) << v;
    }
  }
  std::mt19937 random(12345);
  std::vector<int32_t> values = {INT32_MIN, INT32_MIN + 1, INT32_MAX, 125, -125, 375, 1005};
  for (int i = 0; i < 200000; ++i) values.push_back(int32_t(random()));
  for (int32_t v : values) {
    for (bool space : {false, true}) {
      out.clear();
      appendThousandths(&out, v, space);
      ASSERT_EQ(printed(v, space), out) << v;
    }
  }
}

TEST(PowerCsv, TimeTextIsLocalTimeWithMilliseconds) {
  ScopedUtc utc;
  EXPECT_EQ("20231114 22:13:20.123", CJYXPowerMonitor::timeText(1700000000123456ull));
  EXPECT_EQ("19700101 00:00:00.000", CJYXPowerMonitor::timeText(0));
}

TEST(PowerCsv, HeadersCellsAndTotal) {
  ScopedUtc utc;
  CJYXPowerMonitor m;
  fillMonitor(&m, 4);
  // 1024 * 32000 / 32768 = 1000 mV; 3277 -> 1000 mA; 1000 mW.
  std::string raw = m.csvText(false, 1);
  std::string expectedStart =
      "\"time\",\"timer(ms)\",\"A\",\"B\",\"C\"\n"
      "20231114 22:13:20.000,0,  1.00,  0.00,  10.00\n"
      "20231114 22:13:20.000,0,  1.00,  0.00,  10.00\n"
      "20231114 22:13:20.040,40,  1.00,  0.00,  10.00\n";
  EXPECT_EQ(expectedStart, raw.substr(0, expectedStart.size()));
  EXPECT_EQ(9u, size_t(std::count(raw.begin(), raw.end(), '\n')));

  std::string voltage = m.csvText(false, 0);
  EXPECT_NE(std::string::npos, voltage.find("20231114 22:13:20.000,0,1.00,0.20,32.00\n"));

  // Averaged power: intervals close at 120 ms (covering 0-120).
  std::string power = m.csvText(true, 2);
  EXPECT_EQ(0u, power.find("\"time\",\"timer(ms)\",\"A\",\"B\",\"C\",\"TOTAL\"\n"));
  ASSERT_EQ(1u, m.rail(0)->avgPower.count());
  int32_t a = m.rail(0)->avgPower.samples()[0];
  int32_t b = m.rail(1)->avgPower.samples()[0];
  int32_t c = m.rail(2)->avgPower.samples()[0];
  char row[160];
  snprintf(row, sizeof(row), "20231114 22:13:20.120,0,%.2f,%.2f,%.2f,%.2f\n", a / 1000.0,
           b / 1000.0, c / 1000.0, (a + b + c) / 1000.0);
  EXPECT_EQ(std::string("\"time\",\"timer(ms)\",\"A\",\"B\",\"C\",\"TOTAL\"\n") + row, power);

  // TOTAL is a column of the averaged power file only.
  EXPECT_EQ(std::string::npos, m.csvText(false, 2).find("TOTAL"));
  EXPECT_EQ(std::string::npos, m.csvText(true, 0).find("TOTAL"));

  // Unselected rails drop out; a rail with fewer samples writes 0.
  m.rail(0)->setSelected(false);
  m.rail(1)->addValues(200, 5200000, 5000, 0, 0, 100);  // B now leads by one
  std::string fewer = m.csvText(false, 0);
  EXPECT_EQ(0u, fewer.find("\"time\",\"timer(ms)\",\"B\",\"C\"\n"));
  EXPECT_EQ(10u, size_t(std::count(fewer.begin(), fewer.end(), '\n')));
  EXPECT_NE(std::string::npos, fewer.find("20231114 22:13:20.200,200,5.00,0.00\n"));
}

TEST(PowerCsv, CurrentAndVoltageCellFormats) {
  std::string out;
  appendThousandths(&out, 1234, true);
  EXPECT_EQ(" 1.23", out);  // the cell reads ",  1.23"
  out.clear();
  appendThousandths(&out, 1234, false);
  EXPECT_EQ("1.23", out);
}

TEST(PowerDataFile, EmptyRunWritesHeaderAndSixCsvFiles) {
  ScopedTempDir dir;
  CJYXPowerMonitor m;
  std::string path = dir.file("run");
  EXPECT_TRUE(m.saveData(path));
  std::string data = readFile(path);
  ASSERT_EQ(800u, data.size());
  EXPECT_EQ("qel ", data.substr(0, 4));
  EXPECT_EQ(97u, le32(data, 4));
  EXPECT_EQ(100u, le32(data, 16));
  for (const char* suffix : {".raw_voltage.csv", ".raw_current.csv", ".raw_power.csv",
                             ".voltage.csv", ".current.csv", ".power.csv"}) {
    EXPECT_EQ("\"time\",\"timer(ms)\"\n\n", readFile(path + suffix)) << suffix;
  }
}

TEST(PowerDataFile, LayoutOfHeaderAndRecords) {
  ScopedTempDir dir;
  CJYXPowerMonitor m;
  std::string data = savedRun(dir, "run.qel", 3, &m);
  uint64_t base;
  memcpy(&base, data.data() + 8, 8);
  EXPECT_EQ(5000000u, base);
  // Rails 0, 1, 2 with 6 records each, then TOTAL with 6; the rest empty.
  uint32_t offset = 800;
  for (int i = 0; i < 97; ++i) {
    uint32_t count = (i < 3 || i == 96) ? 6 : 0;
    EXPECT_EQ(offset, le32(data, 24 + 8 * i)) << i;
    EXPECT_EQ(count, le32(data, 28 + 8 * i)) << i;
    offset += count * 24;
  }
  EXPECT_EQ(size_t(offset), data.size());
  // Rail 1, record 2 (third frame: report 1, t = 40 ms).
  size_t at = le32(data, 24 + 8) + 2 * 24;
  uint64_t clock;
  memcpy(&clock, data.data() + at, 8);
  EXPECT_EQ(5040000u, clock);
  EXPECT_EQ(40u, le32(data, at + 8));
  EXPECT_EQ(uint32_t(m.rail(1)->rawVoltage.samples()[2]), le32(data, at + 12));
  EXPECT_EQ(uint32_t(m.rail(1)->rawCurrent.samples()[2]), le32(data, at + 16));
  EXPECT_EQ(uint32_t(m.rail(1)->rawPower.samples()[2]), le32(data, at + 20));
}

TEST(PowerDataFile, CsvFilesWrittenWhenDataFileCannotBe) {
  ScopedTempDir dir;
  CJYXPowerMonitor m;
  std::string path = dir.file("adir");
  ASSERT_EQ(0, mkdir(path.c_str(), 0700));
  testing::internal::CaptureStdout();
  EXPECT_FALSE(m.saveData(path));
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(std::string::npos, out.find("cannot create"));
  EXPECT_EQ("\"time\",\"timer(ms)\"\n\n", readFile(path + ".power.csv"));
}

TEST(PowerDataFile, SaveLoadRoundTripRebuildsSeries) {
  ScopedTempDir dir;
  CJYXPowerMonitor a;
  fillMonitor(&a, 40);
  a.setAverageInterval(70);  // saved with the file, used for the replay
  std::string path = dir.file("trip");
  ASSERT_TRUE(a.saveData(path));

  CJYXPowerMonitor original;
  fillMonitor(&original, 40);  // the run as sampled with the 100 ms interval
  CJYXPowerMonitor b;
  b.rail(7)->addValues(1, 1, 1, 1, 1, 1);  // stale data to be replaced
  ASSERT_TRUE(b.loadData(path));
  EXPECT_EQ(a.baseClock(), b.baseClock());
  EXPECT_EQ(0u, b.rail(7)->rawVoltage.count());

  // Replaying with 70 ms must give what live sampling with 70 ms gives.
  CJYXPowerMonitor live;
  live.setAverageInterval(70);
  fillMonitor(&live, 40);
  for (int i = 0; i < 97; ++i) {
    const CJYXPowerRail& x = *live.rail(i);
    const CJYXPowerRail& y = *b.rail(i);
    ASSERT_EQ(x.rawVoltage.count(), y.rawVoltage.count()) << i;
    for (size_t k = 0; k < x.rawVoltage.count(); ++k) {
      ASSERT_EQ(x.rawVoltage.samples()[k], y.rawVoltage.samples()[k]);
      ASSERT_EQ(x.rawCurrent.samples()[k], y.rawCurrent.samples()[k]);
      ASSERT_EQ(x.rawPower.samples()[k], y.rawPower.samples()[k]);
      ASSERT_EQ(x.rawTimes[k], y.rawTimes[k]);
      ASSERT_EQ(x.rawClocks[k], y.rawClocks[k]);
    }
    ASSERT_EQ(x.avgPower.count(), y.avgPower.count()) << i;
    for (size_t k = 0; k < x.avgPower.count(); ++k) {
      ASSERT_EQ(x.avgVoltage.samples()[k], y.avgVoltage.samples()[k]);
      ASSERT_EQ(x.avgCurrent.samples()[k], y.avgCurrent.samples()[k]);
      ASSERT_EQ(x.avgPower.samples()[k], y.avgPower.samples()[k]);
      ASSERT_EQ(x.avgTimes[k], y.avgTimes[k]);
      ASSERT_EQ(x.avgClocks[k], y.avgClocks[k]);
    }
    EXPECT_EQ(x.rawPower.max(), y.rawPower.max());
    EXPECT_EQ(x.avgVoltage.min(), y.avgVoltage.min());
    EXPECT_EQ(x.intervalStart(), y.intervalStart());
  }
  EXPECT_GT(live.rail(0)->avgPower.count(), original.rail(0)->avgPower.count());
}

TEST(PowerDataFile, LoadRefusesWrongMagicCountAndTruncation) {
  ScopedTempDir dir;
  CJYXPowerMonitor a;
  std::string good = savedRun(dir, "good", 5, &a);

  auto refused = [&](const std::string& bytes) {
    CJYXPowerMonitor m;
    m.rail(4)->addValues(1, 2, 3, 4, 5, 100);
    std::string bad = dir.file("bad");
    writeFile(bad, bytes);
    testing::internal::CaptureStdout();
    bool loaded = m.loadData(bad);
    std::string out = testing::internal::GetCapturedStdout();
    // Nothing changed and the reason was printed.
    return !loaded && m.rail(4)->rawVoltage.count() == 1 && !out.empty();
  };
  std::string magic = good;
  magic[0] = 'Q';
  EXPECT_TRUE(refused(magic));
  std::string count = good;
  count[4] = 96;
  EXPECT_TRUE(refused(count));
  EXPECT_TRUE(refused(good.substr(0, 799)));
  EXPECT_TRUE(refused(good.substr(0, good.size() - 1)));
  EXPECT_TRUE(refused(""));
  EXPECT_TRUE(refused("qel "));
  std::string hostile = good;
  memset(&hostile[28], 0xFF, 4);  // rail 0 claims 4 billion records
  EXPECT_TRUE(refused(hostile));
  std::string offset = good;
  memset(&offset[24 + 8 * 50], 0xFF, 4);  // an empty rail pointing past the end
  EXPECT_TRUE(refused(offset));
  CJYXPowerMonitor m;
  testing::internal::CaptureStdout();
  EXPECT_FALSE(m.loadData(dir.file("missing")));
  EXPECT_NE(std::string::npos, testing::internal::GetCapturedStdout().find("cannot open"));
}

TEST(PowerDataFile, EveryFlippedByteLoadsOrIsRefused) {
  ScopedTempDir dir;
  CJYXPowerMonitor a;
  std::string good = savedRun(dir, "small", 2, &a);
  std::string bad = dir.file("flipped");
  for (size_t i = 0; i < good.size(); ++i) {
    std::string bytes = good;
    bytes[i] = char(bytes[i] + 0x81);
    writeFile(bad, bytes);
    CJYXPowerMonitor m;
    testing::internal::CaptureStdout();
    m.loadData(bad);
    testing::internal::GetCapturedStdout();
  }
}
