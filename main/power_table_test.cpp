#include "main/power_table.h"

#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <vector>

#include "jyx/jyx.h"
#include "jyx/power/power_manager.h"
#include "test_util.h"

namespace {

// The table's lines with the screen-clear and colour sequences removed.
std::vector<std::string> plainLines(const std::string& table) {
  std::istringstream in(std::regex_replace(table, std::regex("\x1b(c|\\[[0-9;]*m)"), ""));
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Characters, counting a UTF-8 sequence as one.
size_t columns(const std::string& text) {
  size_t n = 0;
  for (unsigned char c : text) n += (c & 0xC0) != 0x80;
  return n;
}

class PowerTable : public ::testing::Test {
 protected:
  void SetUp() override {
    pm = new CJYXPowerManager(CJYX::instance(), nullptr, false);
    pm->loadRails("rails:\n  - {name: VDD_CORE_LONG_NAME_X, index: 0}\n  - {name: B, index: 5}\n");
    pm->rail(0)->setMaxVoltage(32000);
    pm->rail(0)->setResistance(10);
    pm->monitor().setRunning(true);
  }
  void TearDown() override { delete pm; }
  CJYXPowerManager* pm;
};

TEST_F(PowerTable, LayoutColoursAndValues) {
  std::vector<uint8_t> p = jyxtest::powerReport(1000, 1, {{16384, 3277}, {0, 0}});
  pm->onPowerData(p.data(), p.size(), 1.0, 0);
  p = jyxtest::powerReport(2000, 1, {{8192, 3277}, {0, 0}});
  pm->onPowerData(p.data(), p.size(), 1.0, 0);
  uint32_t mask[3];
  pm->getEnableMask(mask);
  std::string table = powerTableText(pm, mask);
  ASSERT_EQ(0u, table.find("\033c"));
  EXPECT_NE(std::string::npos, table.find("\x1b[1;33m│Power(Watt)"));
  EXPECT_NE(std::string::npos, table.find("\x1b[0;32;32m│Voltage(V)"));
  EXPECT_NE(std::string::npos, table.find("\x1b[0;32;34m│Current(A)"));

  std::vector<std::string> lines = plainLines(table);
  // Rule, two headings, rule, rails 0, 5 and TOTAL (the ones with samples), rule.
  ASSERT_EQ(8u, lines.size());
  EXPECT_EQ(114u, columns(lines[0]));
  EXPECT_EQ(lines[0], lines[3]);
  EXPECT_EQ(lines[0], lines[7]);
  for (int i : {1, 2, 4, 5, 6}) EXPECT_EQ(113u, columns(lines[i])) << lines[i];
  EXPECT_EQ(
      "Rail(s)           │now      avg      max      min      │now   avg   max   min   "
      "│now     avg     max     min     ",
      lines[2]);
  // Power 8000 and 16000 mW, voltage 8000 and 16000 mV, current 1000 mA.
  EXPECT_EQ(
      "VDD_CORE_LONG_NAME│8.00     12.00    16.00    8.00     │8.00  12.00 16.00 8.00  "
      "│1.00    1.00    1.00    1.00    ",
      lines[4]);
  EXPECT_EQ(0u, lines[5].find("B                 │0.00     0.00"));
  EXPECT_EQ(0u, lines[6].find("TOTAL             │8.00     12.00"));
}

TEST_F(PowerTable, RowsFromEnabledListWhenMaskIsZero) {
  uint32_t zero[3] = {0, 0, 0};
  std::vector<std::string> lines = plainLines(powerTableText(pm, zero));
  // No samples yet: still one row per enabled rail, the empty minimum
  // (999999999 mW) cut to the cell.
  ASSERT_EQ(8u, lines.size());
  EXPECT_EQ(0u, lines[5].find("B   "));
  EXPECT_NE(std::string::npos, lines[5].find("1000000.0"));
  uint32_t mask[3] = {1, 0, 0};
  lines = plainLines(powerTableText(pm, mask));
  EXPECT_EQ(5u, lines.size());  // rules and headings only
}

// One redraw: the link state, whether sampling runs, the frame count, and
// what the watch must answer ('-' the table, 'L' link lost, 'Q' quiet).
struct Redraw {
  bool linkUp;
  bool sampling;
  uint32_t frames;
  char shows;
};

std::string expectedText(char shows) {
  if (shows == '-') return std::string();
  return std::string("\033c") + (shows == 'L' ? kPowerLinkLostLine : kPowerNoSamplesLine);
}

TEST(PowerTableWatch, StaleValuesAreHeldBackUntilSamplesFlowAgain) {
  const std::vector<std::pair<const char*, std::vector<Redraw>>> cases = {
      {"first redraw shows the table", {{true, true, 0, '-'}}},
      {"link lost until a frame after it comes back",
       {{true, true, 10, '-'},
        {true, true, 20, '-'},
        {false, true, 20, 'L'},
        {false, true, 20, 'L'},
        {true, true, 20, 'L'},
        {true, true, 25, '-'}}},
      {"frames parsed while the link goes do not count",
       {{true, true, 5, '-'}, {false, true, 9, 'L'}, {true, true, 9, 'L'}, {true, true, 10, '-'}}},
      {"no frame between two redraws while sampling",
       {{true, true, 10, '-'},
        {true, true, 10, 'Q'},
        {true, true, 10, 'Q'},
        {true, true, 11, '-'}}},
      {"a stopped run keeps its final table",
       {{true, true, 10, '-'}, {true, false, 10, '-'}, {true, false, 10, '-'}}},
      {"link lost wins over quiet",
       {{true, true, 3, '-'}, {true, true, 3, 'Q'}, {false, true, 3, 'L'}}},
  };
  for (const auto& c : cases) {
    CPowerTableWatch watch;
    for (size_t i = 0; i < c.second.size(); ++i) {
      const Redraw& r = c.second[i];
      EXPECT_EQ(expectedText(r.shows), watch.check(r.linkUp, r.sampling, r.frames))
          << c.first << ", redraw " << i;
    }
  }
}

TEST(PowerTableWatch, TheNoticeIsOneLineAfterAScreenReset) {
  for (const char* line : {kPowerLinkLostLine, kPowerNoSamplesLine}) {
    std::string text = line;
    EXPECT_EQ(text.size() - 1, text.find('\n'));
    EXPECT_EQ(std::string::npos, text.find('\x1b'));
  }
}

}  // namespace
