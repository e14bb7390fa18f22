#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>
#include <sstream>

#include "jyx/power/power_monitor.h"
#include "test_util.h"

using jyxtest::listDir;
using jyxtest::powerReport;
using jyxtest::readFile;
using jyxtest::ScopedTempDir;
using jyxtest::writeFile;
using jyxtest::yamlDoc;

bool operator==(const CJYXPowerRecord& a, const CJYXPowerRecord& b) {
  return memcmp(&a, &b, sizeof(a)) == 0;
}

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
std::string savedRun(const ScopedTempDir& dir, const char* name, int reports, CJYXPowerMonitor* m) {
  fillMonitor(m, reports);
  EXPECT_TRUE(m->saveData(dir.file(name)));
  return readFile(dir.file(name));
}

// Every record of a log, read back one at a time.
std::vector<CJYXPowerRecord> records(const CJYXRecordLog& log) {
  std::vector<CJYXPowerRecord> out;
  CJYXRecordLog::CReader reader(&log);
  std::string err;
  for (CJYXPowerRecord r; reader.next(&r, &err);) out.push_back(r);
  EXPECT_EQ("", err);
  EXPECT_EQ(log.size(), out.size());
  return out;
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
  int32_t a = m.rail(0)->averaged.at(0).power;
  int32_t b = m.rail(1)->averaged.at(0).power;
  int32_t c = m.rail(2)->averaged.at(0).power;
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

// The layout with records is checked byte for byte against expectedDataFile
// below; an empty run still writes the whole header and every CSV header.
TEST(PowerDataFile, EmptyRunWritesTheHeaderAndEmptyCsvFiles) {
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
}

TEST(PowerDataFile, CsvFilesWrittenWhenDataFileCannotBe) {
  ScopedTempDir dir;
  CJYXPowerMonitor m;
  std::string path = dir.file("adir");
  ASSERT_EQ(0, mkdir(path.c_str(), 0700));
  testing::internal::CaptureStdout();
  EXPECT_FALSE(m.saveData(path));
  EXPECT_EQ("saveData: " + path + " is not a regular file\nsaveData: FAIL\n",
            testing::internal::GetCapturedStdout());
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
  for (int i = 0; i < 97; ++i) {
    SCOPED_TRACE(i);
    const CJYXPowerRail& x = *live.rail(i);
    const CJYXPowerRail& y = *b.rail(i);
    EXPECT_EQ(records(x.raw), records(y.raw));
    EXPECT_EQ(records(x.averaged), records(y.averaged));
    EXPECT_EQ(x.rawPower.max(), y.rawPower.max());
    EXPECT_EQ(x.rawCurrent.sum(), y.rawCurrent.sum());
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

namespace {

// The file size limit of the process for the life of the object, with
// SIGXFSZ ignored so that a write past it fails with EFBIG as a write to a
// full disk fails with ENOSPC.
class ScopedFileSizeLimit {
 public:
  explicit ScopedFileSizeLimit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &old_);
    oldHandler_ = signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = old_;
    limit.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~ScopedFileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &old_);
    signal(SIGXFSZ, oldHandler_);
  }

 private:
  struct rlimit old_;
  void (*oldHandler_)(int);
};

// One record as the file lays it out, independently of CJYXPowerRecord:
// clock (8 bytes), then time, mV, mA and mW (4 bytes each).
std::string recordBytes(uint64_t clock, int32_t time, int32_t mv, int32_t ma, int32_t mw) {
  std::string out(24, '\0');
  memcpy(&out[0], &clock, 8);
  const int32_t words[4] = {time, mv, ma, mw};
  memcpy(&out[8], words, 16);
  return out;
}

// The data file a run of fillMonitor(reports) must give, built from the
// conversions alone: rails 0-2 and TOTAL, two frames per report.
std::string expectedDataFile(int reports) {
  std::string rails[4];
  for (int r = 0; r < reports; ++r) {
    uint64_t clock = 5000000 + uint64_t(r) * 40000;
    int32_t t = r * 40;
    CJYXPowerReading v[3] = {convertPowerRaw(int16_t(1024 + r * 7), int16_t(3277 + r), 32000, 10),
                             convertPowerRaw(int16_t(-200 - r), 0, 32000, 10),
                             convertPowerRaw(32767, -32768, 32000, 10)};
    for (int f = 0; f < 2; ++f) {
      for (int i = 0; i < 3; ++i) {
        rails[i] += recordBytes(clock, t, v[i].voltage, v[i].current, v[i].power);
      }
      rails[3] += recordBytes(clock, t, 0, 0, v[0].power + v[1].power + v[2].power);
    }
  }
  std::string out(800, '\0');
  memcpy(&out[0], "qel ", 4);
  uint32_t word = 97;
  memcpy(&out[4], &word, 4);
  uint64_t base = 5000000;
  memcpy(&out[8], &base, 8);
  word = 100;
  memcpy(&out[16], &word, 4);
  uint32_t offset = 800;
  for (int i = 0; i < 97; ++i) {
    const std::string* list = i < 3 ? &rails[i] : i == 96 ? &rails[3] : nullptr;
    uint32_t count = list ? uint32_t(list->size() / 24) : 0;
    memcpy(&out[24 + 8 * i], &offset, 4);
    memcpy(&out[28 + 8 * i], &count, 4);
    offset += count * 24;
    if (list) out += *list;
  }
  return out;
}

}  // namespace

// More records than one spill block: the samples live in the spill file,
// memory stays at a block per series, and the saved files equal what the
// conversions give, byte for byte.
TEST(PowerSpill, RunLargerThanABlockSavesWhatWasSampled) {
  ScopedUtc utc;
  ScopedTempDir dir;
  const int reports = 3 * int(CJYXRecordLog::kBlockRecords) / 2 + 7;  // 3 blocks + a bit per rail
  CJYXPowerMonitor m;
  m.setSpillDirectory(dir.path());
  fillMonitor(&m, reports);
  // Three full blocks of each of the four rails went out, at five fields of
  // at least a byte per record.
  EXPECT_GE(m.spill().size(), 4 * 3 * CJYXRecordLog::kBlockRecords * 5);
  EXPECT_LT(m.memoryBytes(), size_t(1) << 20);
  // The spill file is unlinked: nothing of it shows in its directory.
  EXPECT_EQ(std::vector<std::string>{}, listDir(dir.path()));

  std::string path = dir.file("run");
  ASSERT_TRUE(m.saveData(path));
  std::string expected = expectedDataFile(reports);
  std::string data = readFile(path);
  ASSERT_EQ(expected.size(), data.size());
  EXPECT_TRUE(expected == data);

  // Raw rows cross the block boundaries in step; row k holds sample k.
  std::string csv = readFile(path + ".raw_current.csv");
  EXPECT_EQ(size_t(2 * reports + 1), size_t(std::count(csv.begin(), csv.end(), '\n')));
  std::istringstream lines(csv);
  std::string line;
  std::getline(lines, line);
  EXPECT_EQ("\"time\",\"timer(ms)\",\"A\",\"B\",\"C\"", line);
  for (int k = 0; std::getline(lines, line); ++k) {
    int r = k / 2;
    CJYXPowerReading a = convertPowerRaw(int16_t(1024 + r * 7), int16_t(3277 + r), 32000, 10);
    char row[128];
    snprintf(row, sizeof(row), "%s,%d, % .2f, % .2f, % .2f",
             CJYXPowerMonitor::timeText(1700000000000000ull + uint64_t(r) * 40000).c_str(), r * 40,
             a.current / 1000.0, 0.0, convertPowerRaw(0, -32768, 1, 10).current / 1000.0);
    ASSERT_EQ(row, line) << k;
  }
  // Averaged rows: one per closed interval, the same count in all three.
  uint64_t intervals = m.rail(0)->averaged.size();
  EXPECT_GT(intervals, 1000u);
  for (const char* suffix : {".voltage.csv", ".current.csv", ".power.csv"}) {
    std::string text = readFile(path + suffix);
    EXPECT_EQ(intervals + 1, uint64_t(std::count(text.begin(), text.end(), '\n'))) << suffix;
  }
  EXPECT_EQ(
      std::vector<std::string>({"run", "run.current.csv", "run.power.csv", "run.raw_current.csv",
                                "run.raw_power.csv", "run.raw_voltage.csv", "run.voltage.csv"}),
      listDir(dir.path()));

  // Loading it back replays every record into the spill again.
  CJYXPowerMonitor back;
  back.setSpillDirectory(dir.path());
  ASSERT_TRUE(back.loadData(path));
  for (int i : {0, 1, 2, 96}) {
    EXPECT_EQ(records(m.rail(i)->raw), records(back.rail(i)->raw)) << i;
    EXPECT_EQ(records(m.rail(i)->averaged), records(back.rail(i)->averaged)) << i;
  }
}

// A spill directory that cannot take the file: the samples stay in memory,
// one line says so, and nothing is lost.
TEST(PowerSpill, UnwritableSpillKeepsSamplesInMemory) {
  ScopedTempDir dir;
  const int reports = int(CJYXRecordLog::kBlockRecords) + 1;
  CJYXPowerMonitor m;
  m.setSpillDirectory(dir.file("missing"));
  testing::internal::CaptureStdout();
  fillMonitor(&m, reports);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(0u, out.find("power samples: cannot create a spill file (" + dir.file("missing") +
                         ": No such file or directory); keeping them in memory\n"))
      << out;
  EXPECT_EQ(1, std::count(out.begin(), out.end(), '\n')) << out;
  EXPECT_FALSE(m.spill().isOpen());
  ASSERT_TRUE(m.saveData(dir.file("run")));
  EXPECT_TRUE(expectedDataFile(reports) == readFile(dir.file("run")));
}

TEST(PowerDataFile, RecordsThatFitTheOffsets) {
  const uint64_t kLimit = UINT32_MAX;
  // 97 rails of n records take 800 + 97 * 24 * n bytes: n = 1844916 is the
  // most that stays within 2^32 - 1 bytes.
  struct {
    std::vector<uint64_t> counts;
    uint64_t limit, fit;
  } cases[] = {
      {{}, kLimit, UINT64_MAX},
      {std::vector<uint64_t>(97, 1844916), kLimit, UINT64_MAX},
      {std::vector<uint64_t>(97, 1844917), kLimit, 1844916},
      {std::vector<uint64_t>(97, 14400000), kLimit, 1844916},
      // Short rails keep all their records; the long ones share the rest.
      {{10, 1000, 1000}, 800 + 24 * 410, 200},
      {{10, 1000, 1000}, 800 + 24 * 409, 199},
      {{5}, 800, 0},
      {{5}, 800 + 24 * 5, UINT64_MAX},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.fit, CJYXPowerMonitor::recordsThatFit(c.counts, c.limit))
        << c.counts.size() << " rails, limit " << c.limit;
  }
}

// A run larger than the data file can address is cut to the first records
// of each rail, with a line saying so; the header never holds a wrapped
// offset, and the CSV files keep every sample.
TEST(PowerDataFile, RunBeyondTheOffsetsIsCutNeverWrapped) {
  ScopedTempDir dir;
  CJYXPowerMonitor m;
  fillMonitor(&m, 50);  // 100 records in each of 4 rails: 10400 bytes
  m.setDataFileLimit(800 + 4 * 24 * 60);
  std::string path = dir.file("cut");
  testing::internal::CaptureStdout();
  EXPECT_TRUE(m.saveData(path));
  EXPECT_EQ("saveData: " + path +
                ": a data file addresses at most 4 GiB; it holds the first 60 of the 100 samples"
                " of each rail (the CSV files hold them all)\n",
            testing::internal::GetCapturedStdout());
  std::string data = readFile(path);
  ASSERT_EQ(800u + 4 * 24 * 60, data.size());
  std::string full = expectedDataFile(50);
  uint32_t offset = 800;
  for (int i = 0; i < 97; ++i) {
    uint32_t count = (i < 3 || i == 96) ? 60 : 0;
    EXPECT_EQ(offset, le32(data, 24 + 8 * i)) << i;
    EXPECT_EQ(count, le32(data, 28 + 8 * i)) << i;
    // The first 60 records of the rail, as the whole run has them.
    EXPECT_EQ(full.substr(le32(full, 24 + 8 * i), count * 24), data.substr(offset, count * 24))
        << i;
    offset += count * 24;
  }
  std::string raw = readFile(path + ".raw_power.csv");
  EXPECT_EQ(101, std::count(raw.begin(), raw.end(), '\n'));
  CJYXPowerMonitor back;
  ASSERT_TRUE(back.loadData(path));
  EXPECT_EQ(60u, back.rail(96)->sampleCount());
}

// Saving never ends with a half file under the user's name: a full disk, a
// directory that cannot be written and a directory that vanished each give
// the reason and the fail line, and an older file at the path survives.
TEST(PowerDataFile, FailedSavesSayWhyAndLeaveNoHalfFile) {
  ScopedTempDir dir;
  CJYXPowerMonitor m;
  fillMonitor(&m, 200);  // a data file of 39200 bytes

  std::string path = dir.file("full");
  writeFile(path, "older run");
  {
    ScopedFileSizeLimit limit(8192);
    testing::internal::CaptureStdout();
    EXPECT_FALSE(m.saveData(path));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(0u, out.find("saveData: cannot write " + path + ": File too large\n")) << out;
    // The CSV files of 400 rows do not fit either.
    EXPECT_NE(std::string::npos,
              out.find("saveData: cannot write " + path + ".raw_voltage.csv: File too large\n"))
        << out;
    EXPECT_EQ(out.size() - strlen("saveData: FAIL\n"), out.rfind("saveData: FAIL\n")) << out;
  }
  EXPECT_EQ("older run", readFile(path));
  // The averaged files are small enough and were written.
  std::vector<std::string> left = listDir(dir.path());
  EXPECT_EQ(
      std::vector<std::string>({"full", "full.current.csv", "full.power.csv", "full.voltage.csv"}),
      left);

  // A directory this process may not write into (as root: sysfs).
  std::string readOnly = dir.file("ro");
  ASSERT_EQ(0, mkdir(readOnly.c_str(), 0500));
  if (geteuid() == 0) readOnly = "/sys";
  testing::internal::CaptureStdout();
  EXPECT_FALSE(m.saveData(readOnly + "/run"));
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(0u, out.find("saveData: cannot write " + readOnly + "/run: Permission denied\n"))
      << out;
  EXPECT_EQ(8, std::count(out.begin(), out.end(), '\n')) << out;  // 7 reasons + FAIL

  // A directory that is gone.
  std::string gone = dir.file("gone");
  testing::internal::CaptureStdout();
  EXPECT_FALSE(m.saveData(gone + "/run"));
  out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(0u, out.find("saveData: cannot write " + gone + "/run: No such file or directory\n"))
      << out;
  EXPECT_NE(std::string::npos, out.find("saveData: FAIL\n")) << out;
}

// The compact block encoding gives back every record exactly, extremes
// included, and refuses bytes that do not hold the count asked for.
TEST(PowerSpill, BlockEncodingRoundTripsExtremes) {
  std::vector<CJYXPowerRecord> in = {
      {0, 0, 0, 0, 0},
      {UINT64_MAX, INT32_MIN, INT32_MAX, INT32_MIN, INT32_MAX},
      {1, INT32_MAX, INT32_MIN, INT32_MAX, INT32_MIN},
      {1700000000000000ull, -1, 12000, 3051, 36612},
      {1700000000010000ull, 10, 11990, 3060, 36689},
  };
  std::mt19937_64 random(99);
  for (int i = 0; i < 5000; ++i) {
    in.push_back(
        {random(), int32_t(random()), int32_t(random()), int32_t(random()), int32_t(random())});
  }
  std::vector<uint8_t> bytes;
  encodePowerBlock(in.data(), in.size(), &bytes);
  std::vector<CJYXPowerRecord> out(in.size());
  ASSERT_TRUE(decodePowerBlock(bytes.data(), bytes.size(), in.size(), out.data()));
  EXPECT_TRUE(in == out);
  EXPECT_FALSE(decodePowerBlock(bytes.data(), bytes.size() - 1, in.size(), out.data()));
  EXPECT_FALSE(decodePowerBlock(bytes.data(), bytes.size(), in.size() - 1, out.data()));
  // A run of similar samples costs far less than its 24 bytes each.
  std::vector<CJYXPowerRecord> steady;
  for (int i = 0; i < 2048; ++i) {
    steady.push_back({5000000 + uint64_t(i / 5) * 10000, i / 5 * 10, 12000 + i % 7, 3000 - i % 5,
                      36000 + i % 11});
  }
  bytes.clear();
  encodePowerBlock(steady.data(), steady.size(), &bytes);
  EXPECT_LT(bytes.size(), steady.size() * 8);
}
