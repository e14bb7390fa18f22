#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>

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
  ScopedUtc() : had_(getenv("TZ") != nullptr), old_(had_ ? getenv("TZ") : "") {
    setenv("TZ", "UTC", 1);
    tzset();
  }
  ~ScopedUtc() {
    had_ ? setenv("TZ", old_.c_str(), 1) : unsetenv("TZ");
    tzset();
  }

 private:
  bool had_;
  std::string old_;
};

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
  EXPECT_TRUE(m->saveData(dir.file(name)));
  return readFile(dir.file(name));
}

const char* const kCsvSuffixes[] = {".raw_voltage.csv", ".raw_current.csv", ".raw_power.csv",
                                    ".voltage.csv",     ".current.csv",     ".power.csv"};

}  // namespace

TEST(PowerCsvNumber, MatchesPrintfOnARepresentativeSample) {
  std::vector<int32_t> values = {INT32_MIN, INT32_MIN + 1, INT32_MAX, 299995, -299995};
  for (int32_t v = -3000; v <= 3000; ++v) values.push_back(v);
  std::mt19937 random(12345);
  for (int i = 0; i < 5000; ++i) values.push_back(int32_t(random()));
  std::string out;
  char text[64];
  for (int32_t v : values) {
    for (bool space : {false, true}) {
      out.clear();
      appendThousandths(&out, v, space);
      snprintf(text, sizeof(text), space ? "% .2f" : "%.2f", v / 1000.0);
      ASSERT_EQ(text, out) << v;
    }
  }
}

TEST(PowerCsv, HeadersCellsTimesAndTotal) {
  ScopedUtc utc;
  EXPECT_EQ("20231114 22:13:20.123", CJYXPowerMonitor::timeText(1700000000123456ull));
  CJYXPowerMonitor m;
  fillMonitor(&m, 4);
  // 1024 * 32000 / 32768 = 1000 mV; 3277 -> 1000 mA; 1000 mW. The current
  // cells are printed " % .2f".
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

  // Averaged power: intervals close at 120 ms (covering 0-120); TOTAL is a
  // column of this file only.
  ASSERT_EQ(1u, m.rail(0)->avgPower.count());
  int32_t a = m.rail(0)->avgPower.samples()[0];
  int32_t b = m.rail(1)->avgPower.samples()[0];
  int32_t c = m.rail(2)->avgPower.samples()[0];
  char row[160];
  snprintf(row, sizeof(row), "20231114 22:13:20.120,0,%.2f,%.2f,%.2f,%.2f\n", a / 1000.0,
           b / 1000.0, c / 1000.0, (a + b + c) / 1000.0);
  EXPECT_EQ(std::string("\"time\",\"timer(ms)\",\"A\",\"B\",\"C\",\"TOTAL\"\n") + row,
            m.csvText(true, 2));
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

TEST(PowerDataFile, LayoutOfHeaderAndRecords) {
  ScopedTempDir dir;
  CJYXPowerMonitor empty;
  std::string path = dir.file("empty");
  EXPECT_TRUE(empty.saveData(path));
  std::string data = readFile(path);
  ASSERT_EQ(800u, data.size());
  EXPECT_EQ("qel ", data.substr(0, 4));
  EXPECT_EQ(97u, le32(data, 4));
  EXPECT_EQ(100u, le32(data, 16));
  for (const char* suffix : kCsvSuffixes) {
    EXPECT_EQ("\"time\",\"timer(ms)\"\n\n", readFile(path + suffix)) << suffix;
  }

  CJYXPowerMonitor m;
  data = savedRun(dir, "run.qel", 3, &m);
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
  // Rail 1, record 2 (third frame: report 1, t = 40 ms): clock, time, mV.
  size_t at = le32(data, 24 + 8) + 2 * 24;
  EXPECT_EQ(5040000u, le32(data, at));
  EXPECT_EQ(40u, le32(data, at + 8));
  EXPECT_EQ(uint32_t(m.rail(1)->rawVoltage.samples()[2]), le32(data, at + 12));
}

TEST(PowerDataFile, CsvFilesWrittenWhenDataFileCannotBe) {
  ScopedTempDir dir;
  CJYXPowerMonitor m;
  std::string path = dir.file("adir");
  ASSERT_EQ(0, mkdir(path.c_str(), 0700));
  testing::internal::CaptureStdout();
  EXPECT_FALSE(m.saveData(path));
  EXPECT_NE(std::string::npos, testing::internal::GetCapturedStdout().find("cannot create"));
  EXPECT_EQ("\"time\",\"timer(ms)\"\n\n", readFile(path + ".power.csv"));
}

TEST(PowerDataFile, SaveLoadRoundTripRebuildsSeries) {
  ScopedTempDir dir;
  CJYXPowerMonitor a;
  fillMonitor(&a, 40);
  a.setAverageInterval(70);  // saved with the file, used for the replay
  std::string path = dir.file("trip");
  ASSERT_TRUE(a.saveData(path));

  CJYXPowerMonitor b;
  b.rail(7)->addValues(1, 1, 1, 1, 1, 1);  // stale data to be replaced
  ASSERT_TRUE(b.loadData(path));
  EXPECT_EQ(a.baseClock(), b.baseClock());
  EXPECT_EQ(0u, b.rail(7)->rawVoltage.count());

  // Replaying with 70 ms must give what live sampling with 70 ms gives,
  // which differs from what the 100 ms sampling gave.
  CJYXPowerMonitor live;
  live.setAverageInterval(70);
  fillMonitor(&live, 40);
  EXPECT_GT(live.rail(0)->avgPower.count(), a.rail(0)->avgPower.count());
  auto same = [](const auto& x, const auto& y) {
    if (x.size() != y.size()) return false;
    for (size_t k = 0; k < x.size(); ++k) {
      if (x[k] != y[k]) return false;
    }
    return true;
  };
  for (int i = 0; i < 97; ++i) {
    SCOPED_TRACE(i);
    const CJYXPowerRail& x = *live.rail(i);
    const CJYXPowerRail& y = *b.rail(i);
    EXPECT_TRUE(same(x.rawVoltage.samples(), y.rawVoltage.samples()));
    EXPECT_TRUE(same(x.rawCurrent.samples(), y.rawCurrent.samples()));
    EXPECT_TRUE(same(x.rawPower.samples(), y.rawPower.samples()));
    EXPECT_TRUE(same(x.rawTimes, y.rawTimes));
    EXPECT_TRUE(same(x.rawClocks, y.rawClocks));
    EXPECT_TRUE(same(x.avgVoltage.samples(), y.avgVoltage.samples()));
    EXPECT_TRUE(same(x.avgCurrent.samples(), y.avgCurrent.samples()));
    EXPECT_TRUE(same(x.avgPower.samples(), y.avgPower.samples()));
    EXPECT_TRUE(same(x.avgTimes, y.avgTimes));
    EXPECT_TRUE(same(x.avgClocks, y.avgClocks));
    EXPECT_EQ(x.rawPower.max(), y.rawPower.max());
    EXPECT_EQ(x.avgVoltage.min(), y.avgVoltage.min());
    EXPECT_EQ(x.intervalStart(), y.intervalStart());
  }
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
