// End to end: the real jyx monitoring rails of the real jyx-sim, the table it
// prints, the data file and the six CSV files it saves.
#include <gtest/gtest.h>
#include <signal.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "common/api_manager.h"
#include "jyx/power/power_format.h"
#include "sim/power_rails.h"
#include "sim_util.h"
#include "test_util.h"

namespace jyxtest {
namespace {

using Record = DataRecord;

// The rows of the last table in the output: plain rail names in order.
std::vector<std::string> lastTableRails(const std::string& out) {
  size_t start = out.rfind(
      "\x1b"
      "c");
  std::vector<std::string> names;
  if (start == std::string::npos) return names;
  std::istringstream in(out.substr(start));
  const std::string bar = "\x1b[1;33m\xe2\x94\x82";
  int line = 0;
  for (std::string text; std::getline(in, text); ++line) {
    size_t cut = text.find(bar);
    if (cut == std::string::npos || line < 3) continue;  // rules and headings
    std::string name = text.substr(0, cut);
    name.erase(name.find_last_not_of(' ') + 1);
    names.push_back(name);
  }
  return names;
}

// Reads the six CSV files with python3's csv module. Per file one line:
// "<suffix> <rows> <columns> <header|joined> <sum of column 1> <sum of
// column 2> ..." (column 0, the time text, is checked for its shape).
std::map<std::string, std::vector<std::string>> csvSummary(const std::string& base) {
  const char* script =
      "import csv, re, sys\n"
      "for s in ['.raw_voltage.csv','.raw_current.csv','.raw_power.csv',"
      "'.voltage.csv','.current.csv','.power.csv']:\n"
      "    with open(sys.argv[1] + s, newline='') as f:\n"
      "        rows = list(csv.reader(f))\n"
      "    head, body = rows[0], rows[1:]\n"
      "    assert all(len(r) == len(head) for r in body), s\n"
      "    assert all(re.fullmatch(r'\\d{8} \\d\\d:\\d\\d:\\d\\d\\.\\d{3}', r[0]) for r in body), "
      "s\n"
      "    sums = [sum(float(r[c]) for r in body) for c in range(1, len(head))]\n"
      "    print(s, len(body), len(head), '|'.join(head), *['%.3f' % x for x in sums])\n";
  int code = -1;
  std::string err;
  std::string out = run({"/usr/bin/python3", "-c", script, base}, &code, 60000, &err);
  EXPECT_EQ(0, code) << err;
  std::map<std::string, std::vector<std::string>> files;
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);) {
    std::istringstream words(line);
    std::vector<std::string> fields;
    for (std::string w; words >> w;) fields.push_back(w);
    if (!fields.empty()) files[fields[0]] = fields;
  }
  return files;
}

class PowerE2E : public SimE2E {
 protected:
  PowerE2E() { simArgs_ = {"--target-state", "running"}; }
  // A configuration listing two rails files; the second (chosen with -p)
  // has rails 0, 1, 8 and 49 (given as JSON, which is YAML too), the first
  // does not exist. ICs sit at slots 0-3 and 12.
  std::string writeConfig() {
    std::string unused;
    for (int i = 0; i < 8; ++i) unused += "{addr: 0xFF}, ";
    writeFile(dir_.file("config.yaml"),
              "ic-addr: [{addr: 0x10}, {addr: 0x11}, {addr: 0x12}, {addr: 0x15}, " + unused +
                  "{addr: 0x13}]\n"
                  "config:\n  - {title: other, path: other.yaml}\n"
                  "  - {title: bench, path: rails.yaml}\n");
    writeFile(dir_.file("rails.yaml"),
              "{\"rails\": [{\"name\": \"VIN\", \"index\": 0}, {\"name\": \"V5\", \"index\": 1},"
              " {\"name\": \"VCORE\", \"index\": 8}, {\"name\": \"VDDR\", \"index\": \"49\"}]}");
    return dir_.file("config.yaml");
  }
};

// One simulator for two runs of the same configuration: one ended by its
// duration, then one interrupted with SIGINT.
TEST_F(PowerE2E, ConfigRunSavesWhatTheSimulatorSentAndSigintSavesToo) {
  startSim("127.0.5.1");
  std::string config = writeConfig();
  std::string out = dir_.file("run");
  int code = -1;
  std::string printed = run({binPath("jyx"), "-a", "127.0.5.1", "-m", config, "-p",
                             "/elsewhere/rails.yaml", "-d", "3", "-o", out},
                            &code, 60000);
  ASSERT_EQ(0, code) << printed;
  // IC identities at the configured addresses: slots 0-2 and 12 hold 32 V
  // ICs, slot 3 a 9 V one.
  EXPECT_TRUE(has(printed,
                  "IC_ID (24):0x7b 0x7b 0x7b 0x6b 0x00 0x00 0x00 0x00 0x00 0x00 0x00 "
                  "0x00 0x7b 0x00 "));
  EXPECT_EQ((std::vector<std::string>{"VIN", "V5", "VCORE", "VDDR", "TOTAL"}),
            lastTableRails(printed))
      << printed;

  auto rails = readDataFile(out);
  std::vector<int> indices;
  for (auto& kv : rails) indices.push_back(kv.first);
  ASSERT_EQ((std::vector<int>{0, 1, 8, 49, 96}), indices);
  size_t samples = rails[0].size();
  ASSERT_GT(samples, 500u);  // ~500 frames/s for 3 s
  for (auto& kv : rails) EXPECT_EQ(samples, kv.second.size()) << kv.first;

  // Every report the simulator sent between the first and the last one the
  // tool kept is there, frame for frame.
  std::map<uint64_t, int64_t> sent, kept;
  for (const OpsRecord& r : sim_.ops()) {
    if (r.dir == "report") sent[uint64_t(r.num("timestamp_us"))] = r.num("frames");
  }
  for (const Record& r : rails[0]) ++kept[r.clock];
  auto first = sent.find(kept.begin()->first), last = sent.upper_bound(kept.rbegin()->first);
  ASSERT_NE(sent.end(), first);
  EXPECT_EQ(kept, (std::map<uint64_t, int64_t>(first, last)));

  // Values: the simulator's nominal rail values under full load, with its
  // noise (0.2 % of the voltage, 1 % of the current, both < 5 sigma here).
  jyxsim::CSimPowerRails model{jyxsim::CSimPowerRails::Config()};
  uint32_t mask[3] = {0x103, 0x20000, 0};
  uint8_t addrs[24], ids[24];
  memset(addrs, 0xFF, sizeof(addrs));
  addrs[0] = 0x10, addrs[1] = 0x11, addrs[2] = 0x12, addrs[3] = 0x15, addrs[12] = 0x13;
  model.start(mask, addrs, 0, ids);
  for (int rail : {0, 1, 8, 49}) {
    int mv, ma, fs;
    ASSERT_TRUE(model.railNominal(rail, &mv, &ma, &fs)) << rail;
    for (const Record& r : rails[rail]) {
      ASSERT_NEAR(mv * 0.99, r.voltage, mv * 0.01 + 2) << rail;
      ASSERT_NEAR(ma, r.current, ma * 0.05 + 4) << rail;
      ASSERT_EQ((int64_t(r.voltage) * r.current + 500) / 1000, r.power) << rail;  // rounded
    }
  }
  for (size_t k = 0; k < samples; ++k) {
    int32_t total = rails[0][k].power + rails[1][k].power + rails[8][k].power + rails[49][k].power;
    ASSERT_EQ(total, rails[96][k].power) << k;
  }

  // The CSV files parse, carry the rail names and hold the data file's
  // values within the rounding of two decimals per cell.
  auto csv = csvSummary(out);
  ASSERT_EQ(6u, csv.size());
  const std::string header = "time|timer(ms)|VIN|V5|VCORE|VDDR";
  int64_t timeSum = 0;
  for (const Record& r : rails[0]) timeSum += r.time;
  const char* rawFiles[3] = {".raw_voltage.csv", ".raw_current.csv", ".raw_power.csv"};
  for (int q = 0; q < 3; ++q) {
    SCOPED_TRACE(rawFiles[q]);
    const std::vector<std::string>& f = csv[rawFiles[q]];
    ASSERT_EQ(9u, f.size());
    EXPECT_EQ(std::to_string(samples), f[1]);
    EXPECT_EQ(header, f[3]);
    EXPECT_NEAR(double(timeSum), std::stod(f[4]), 0.001);
    int column = 5;
    for (int rail : {0, 1, 8, 49}) {
      double sum = 0;
      for (const Record& r : rails[rail])
        sum += (q == 0 ? r.voltage : q == 1 ? r.current : r.power);
      EXPECT_NEAR(sum / 1000.0, std::stod(f[column++]), 0.005 * samples + 0.01);
    }
  }
  // Averaged files: one row per closed 100 ms interval. How many closed
  // follows from the sample times alone (a stalled report can skip a whole
  // interval), so the count does not depend on how busy the machine was.
  int expectedRows = 0;
  int64_t intervalStart = 0;
  for (const Record& r : rails[0]) {
    if (r.time <= intervalStart + 100) continue;
    ++expectedRows;
    while (r.time > intervalStart + 100) intervalStart += 100;
  }
  EXPECT_GE(expectedRows, 10);
  const std::vector<std::string>& power = csv[".power.csv"];
  ASSERT_EQ(10u, power.size());
  EXPECT_EQ(header + "|TOTAL", power[3]);
  int rows = std::stoi(power[1]);
  EXPECT_EQ(expectedRows, rows);
  double columns = 0;
  for (int c = 5; c < 9; ++c) columns += std::stod(power[size_t(c)]);
  EXPECT_NEAR(columns, std::stod(power[9]), 0.01 * rows + 0.01);
  EXPECT_EQ(std::to_string(rows), csv[".voltage.csv"][1]);
  EXPECT_EQ(header, csv[".current.csv"][3]);

  // SIGINT with -d and -o saves before the exit with status 2.
  std::string interrupted = dir_.file("interrupted");
  Subprocess jyx;
  ASSERT_TRUE(jyx.start({binPath("jyx"), "-a", "127.0.5.1", "-m", config, "-p", "rails.yaml", "-d",
                         "600", "-o", interrupted}));
  ASSERT_TRUE(jyx.waitForOutput("frames per second", 30000)) << jyx.out();
  jyx.signal(SIGINT);
  ASSERT_TRUE(jyx.wait(30000));
  EXPECT_EQ(2, jyx.exitCode());
  rails = readDataFile(interrupted);
  ASSERT_EQ(5u, rails.size());
  EXPECT_GT(rails[96].size(), 100u);
  for (const char* suffix : {".raw_voltage.csv", ".raw_current.csv", ".raw_power.csv",
                             ".voltage.csv", ".current.csv", ".power.csv"}) {
    EXPECT_EQ(0u, readFile(interrupted + suffix).find("\"time\",\"timer(ms)\",\"VIN\"")) << suffix;
  }
}

// One simulator for a mask run and the runs with broken or missing
// configuration files.
TEST_F(PowerE2E, MaskRunAndBrokenOrMissingConfiguration) {
  startSim("127.0.5.2");
  int code = -1;
  std::string printed =
      run({binPath("jyx"), "-a", "127.0.5.2", "-m", "0x0000000C", "-d", "3"}, &code, 60000);
  ASSERT_EQ(0, code) << printed;
  // Rail 0 is always part of a command-line mask.
  EXPECT_EQ((std::vector<std::string>{"RAIL00", "RAIL02", "RAIL03", "RAIL96"}),
            lastTableRails(printed))
      << printed;
  bool requested = false;
  for (const OpsRecord& r : sim_.ops()) {
    if (r.dir == "rx" && r.cmd == "POWER_CTRL" && r.str("mask0") == "0x0000000d") requested = true;
  }
  EXPECT_TRUE(requested);

  // Saving into a directory that does not exist: the reason for each file
  // and the fail line, and no file anywhere.
  std::string gone = dir_.file("gone");
  printed = run({binPath("jyx"), "-a", "127.0.5.2", "-m", "0x3", "-d", "1", "-o", gone + "/run"},
                &code, 60000);
  EXPECT_EQ(0, code);
  EXPECT_TRUE(has(printed, "saveData: cannot write " + gone + "/run: No such file or directory\n"));
  EXPECT_TRUE(has(printed, "saveData: cannot write " + gone +
                               "/run.power.csv: No such file or directory\nsaveData: FAIL\n"));

  // An empty file ends the run too instead of leaving it waiting.
  writeFile(dir_.file("empty.yaml"), "");
  writeFile(dir_.file("broken.yaml"), "config:\n  - {title: x, path: [\n");
  writeFile(dir_.file("config.yaml"), "config:\n  - {title: x, path: gone.yaml}\n");
  const std::pair<std::string, std::string> cases[] = {
      {"absent.yaml",
       "power config (" + dir_.file("absent.yaml") + ") is empty or cannot be read\n"},
      {"empty.yaml", "power config (" + dir_.file("empty.yaml") + ") is empty or cannot be read\n"},
      {"broken.yaml", "is not valid YAML or JSON\n"},
      {"config.yaml", "rails file (" + dir_.file("gone.yaml") + ") is empty or cannot be read"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.first);
    printed =
        run({binPath("jyx"), "-a", "127.0.5.2", "-m", dir_.file(c.first), "-d", "1"}, &code, 60000);
    EXPECT_EQ(0, code);
    EXPECT_TRUE(has(printed, c.second));
  }
}

TEST_F(PowerE2E, SilentControllerAtStopStillSavesSoon) {
  // The simulator answers the GPIO and the start requests, then nothing:
  // the stop request is never answered.
  ASSERT_TRUE(sim_.start("127.0.5.5", {"--target-state", "running", "--mute-after", "2"}))
      << sim_.lastError();
  std::string out = dir_.file("muted");
  int code = -1;
  double begin = CAPIManager::wallClock();
  std::string printed =
      run({binPath("jyx"), "-a", "127.0.5.5", "-m", "0x3", "-d", "2", "-o", out}, &code, 120000);
  EXPECT_EQ(0, code) << printed;
  EXPECT_LT(CAPIManager::wallClock() - begin, 60.0);
  std::string data = readFile(out);
  ASSERT_GE(data.size(), powerfile::kHeaderSize);
  EXPECT_EQ("qel ", data.substr(0, 4));
}

}  // namespace
}  // namespace jyxtest
