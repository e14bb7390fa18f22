// End to end: the chart a monitoring run writes beside its data (-o NAME
// gives NAME.svg), and --power-report on the saved run, against jyx-sim on
// 127.0.58.10.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "sim_util.h"
#include "test_util.h"

namespace jyxtest {
namespace {

const char* const kCsvSuffixes[] = {".raw_voltage.csv", ".raw_current.csv", ".raw_power.csv",
                                    ".voltage.csv",     ".current.csv",     ".power.csv"};

// The CSV text without its header line (the report names rails RAILnn, the
// live run by their configured names) and without each row's local time
// (the data file holds none; the report estimates it).
std::string rows(const std::string& csv) {
  std::string out;
  size_t at = csv.find('\n');
  while (at != std::string::npos && at + 1 < csv.size()) {
    size_t end = csv.find('\n', at + 1);
    std::string line =
        csv.substr(at + 1, end == std::string::npos ? std::string::npos : end - at - 1);
    size_t comma = line.find(',');
    out += (comma == std::string::npos ? line : line.substr(comma)) + "\n";
    at = end;
  }
  return out;
}

std::set<std::string> railsIn(const std::string& svg, const std::string& panelId) {
  size_t a = svg.find("<g id=\"" + panelId + "\">");
  size_t b = svg.find("<g id=\"", a + 1);
  std::string panel = svg.substr(a, b == std::string::npos ? std::string::npos : b - a);
  std::set<std::string> rails;
  const std::string tag = "<polyline class=\"series\" data-rail=\"";
  for (size_t at = panel.find(tag); at != std::string::npos; at = panel.find(tag, at + 1)) {
    size_t from = at + tag.size();
    rails.insert(panel.substr(from, panel.find('"', from) - from));
  }
  return rails;
}

TEST(PowerReportE2E, RunWritesItsChartAndTheReportRebuildsCsvAndChart) {
  SimProcess sim;
  ASSERT_TRUE(sim.start("127.0.58.10", {"--target-state", "running"})) << sim.lastError();
  ScopedTempDir dir;
  ASSERT_TRUE(writeFile(dir.file("config.yaml"),
                        "ic-addr: [{addr: 0x10}, {addr: 0x11}]\n"
                        "config:\n  - {title: bench, path: rails.yaml}\n"));
  ASSERT_TRUE(writeFile(dir.file("rails.yaml"),
                        "rails:\n  - {name: VIN, index: 0}\n  - {name: V5, index: 1}\n"
                        "  - {name: VCORE, index: 4}\n"));
  std::string run1 = dir.file("run1");
  int code = -1;
  std::string out = run({binPath("jyx"), "-a", "127.0.58.10", "--exit-code", "-m",
                         dir.file("config.yaml"), "-p", "rails.yaml", "-d", "2", "-o", run1},
                        &code, 60000);
  ASSERT_EQ(0, code) << out;

  std::string svg = readFile(run1 + ".svg");
  ASSERT_FALSE(svg.empty()) << out;
  EXPECT_EQ((std::set<std::string>{"VIN", "V5", "VCORE", "TOTAL"}), railsIn(svg, "power"));
  EXPECT_EQ((std::set<std::string>{"VIN", "V5", "VCORE"}), railsIn(svg, "voltage"));
  EXPECT_EQ((std::set<std::string>{"VIN", "V5", "VCORE"}), railsIn(svg, "current"));
  EXPECT_NE(std::string::npos, svg.find("time (s)"));
  EXPECT_NE(std::string::npos, svg.find(">VIN avg ")) << svg.substr(0, 2000);

  std::string png = run1 + ".png";
  int status = system(("timeout 60 rsvg-convert -o '" + png + "' '" + run1 + ".svg'").c_str());
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ("\x89PNG", readFile(png).substr(0, 4));
  if (const char* keep = getenv("JYX_KEEP_CHART")) {
    writeFile(keep, readFile(png));  // for looking at it by eye
  }

  // The report on another desk: no controller, no configuration.
  std::vector<std::string> csvBefore;
  for (const char* suffix : kCsvSuffixes) csvBefore.push_back(readFile(run1 + suffix));
  std::string dataBefore = readFile(run1);
  for (const char* suffix : kCsvSuffixes) ASSERT_EQ(0, unlink((run1 + suffix).c_str()));
  ASSERT_EQ(0, unlink((run1 + ".svg").c_str()));

  out = run({binPath("jyx"), "--power-report", run1, "--exit-code"}, &code, 60000);
  ASSERT_EQ(0, code) << out;
  EXPECT_TRUE(inOrder(out, {"powerReport: the data file holds no wall-clock time", "RAIL00",
                            "RAIL04", "TOTAL", "powerReport: OK\n"}));
  EXPECT_FALSE(has(out,
                   "\x1b"
                   "c"))
      << "a report does not clear the screen";
  for (size_t i = 0; i < 6; ++i) {
    std::string again = readFile(run1 + kCsvSuffixes[i]);
    ASSERT_FALSE(again.empty()) << kCsvSuffixes[i];
    EXPECT_TRUE(rows(again) == rows(csvBefore[i])) << kCsvSuffixes[i];
    EXPECT_GT(rows(again).size(), 200u) << kCsvSuffixes[i];  // 2 s: 20 averaged rows or more
  }
  EXPECT_TRUE(readFile(run1) == dataBefore);
  svg = readFile(run1 + ".svg");
  EXPECT_EQ((std::set<std::string>{"RAIL00", "RAIL01", "RAIL04", "TOTAL"}), railsIn(svg, "power"));

  // A file that is not a power data file: the reason, then the fail line.
  ASSERT_TRUE(writeFile(dir.file("junk"), "not a power run"));
  out = run({binPath("jyx"), "--power-report", dir.file("junk"), "--exit-code"}, &code, 60000);
  EXPECT_EQ(1, code) << out;
  EXPECT_TRUE(
      has(out, "loadData: " + dir.file("junk") + " is not a power data file\npowerReport: FAIL\n"));
}

}  // namespace
}  // namespace jyxtest
