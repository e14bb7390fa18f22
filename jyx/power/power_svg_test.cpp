#include "jyx/power/power_svg.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "common/string_format.h"
#include "jyx/power/power_monitor.h"
#include "test_util.h"

using jyxtest::readFile;
using jyxtest::ScopedTempDir;

namespace {

// A rail with records pushed straight into its log: `value(t)` gives the
// record of time t (ms) for t = 0, step, 2*step, ... up to lastMs.
template <typename F>
void fillRail(CJYXPowerMonitor* m, int index, const std::string& name, const std::string& color,
              int32_t lastMs, int32_t step, F value) {
  CJYXPowerRail* rail = m->rail(index);
  rail->setName(name);
  rail->setColor(color);
  rail->setSelected(true);
  for (int32_t t = 0; t <= lastMs; t += step) {
    CJYXPowerRecord r = value(t);
    r.clock = 5000000 + uint64_t(t) * 1000;
    r.time = t;
    rail->raw.push_back(r);
  }
}

// Only the rails a test fills are exported.
void unselectAll(CJYXPowerMonitor* m) {
  for (int i = 0; i < CJYXPowerMonitor::kRailCount; ++i) m->rail(i)->setSelected(false);
}

std::string render(CJYXPowerMonitor* m, const jyx::PowerSvgLayout& layout) {
  std::string svg, err;
  EXPECT_TRUE(jyx::renderPowerSvg(
      m, layout,
      [&](const std::string& p) {
        svg += p;
        return true;
      },
      &err))
      << err;
  return svg;
}

// The text of <g id="quantity"> ... up to the next panel.
std::string panel(const std::string& svg, const std::string& quantity) {
  size_t a = svg.find("<g id=\"" + quantity + "\">");
  EXPECT_NE(std::string::npos, a) << quantity;
  if (a == std::string::npos) return "";
  size_t b = svg.find("<g id=\"", a + 1);
  return svg.substr(a, b == std::string::npos ? std::string::npos : b - a);
}

// The value of attribute `name` of the first tag starting with `element`.
std::string attribute(const std::string& text, const std::string& element,
                      const std::string& name) {
  size_t at = text.find(element);
  if (at == std::string::npos) return "";
  size_t end = text.find('>', at);
  size_t a = text.find(" " + name + "=\"", at);
  if (a == std::string::npos || a > end) return "";
  a += name.size() + 3;
  return text.substr(a, text.find('"', a) - a);
}

struct Point {
  double x, y;
};

// The points of one rail's polyline in a panel. Found by plain search:
// std::regex recurses per character and would overflow the stack on a
// polyline of thousands of points.
std::vector<Point> series(const std::string& panelText, const std::string& rail) {
  std::vector<Point> out;
  size_t at = panelText.find("<polyline class=\"series\" data-rail=\"" + rail + "\"");
  if (at == std::string::npos) return out;
  size_t from = panelText.find("points=\"", at);
  if (from == std::string::npos) return out;
  from += 8;
  size_t to = panelText.find('"', from);
  std::string points = panelText.substr(from, to - from);
  const char* p = points.c_str();
  double x, y;
  int used;
  while (sscanf(p, "%lf,%lf %n", &x, &y, &used) == 2) {
    out.push_back({x, y});
    p += used;
  }
  return out;
}

// Maps a y pixel of a panel back to its value through the panel's frame and
// its y axis range.
struct PanelScale {
  double top, height, min, max;
  explicit PanelScale(const std::string& text) {
    // The frame is the only rect drawn without fill.
    size_t frame = text.find("fill=\"none\" stroke=\"black\"");
    EXPECT_NE(std::string::npos, frame);
    size_t start = text.rfind("<rect ", frame);
    std::string tag = text.substr(start, frame - start);
    top = std::stod(attribute(tag, "<rect", "y"));
    height = std::stod(attribute(tag, "<rect", "height"));
    min = std::stod(attribute(text, "<g class=\"y-axis\"", "data-min"));
    max = std::stod(attribute(text, "<g class=\"y-axis\"", "data-max"));
  }
  double value(double y) const { return min + (top + height - y) / height * (max - min); }
};

TEST(PowerSvg, NiceSteps) {
  const struct {
    double range;
    int ticks;
    double step;
  } cases[] = {{10, 10, 1}, {10, 5, 2},     {28800, 10, 5000}, {0.003, 5, 0.001},
               {7, 5, 2},   {0.9, 10, 0.1}, {0, 5, 1},         {-3, 5, 1}};
  for (const auto& c : cases) {
    EXPECT_DOUBLE_EQ(c.step, jyx::niceStep(c.range, c.ticks)) << c.range << "/" << c.ticks;
  }
}

TEST(PowerSvg, RailColours) {
  EXPECT_EQ("#3f7ebd", jyx::svgColor("0xff3f7ebd"));
  EXPECT_EQ("#00ff00", jyx::svgColor("0xFF00FF00"));
  EXPECT_EQ("#808080", jyx::svgColor(""));
}

// 10 s at 1 ms folded into 500 columns: the constant rail stays flat, its
// single-sample spike survives the downsampling, the ramp rises from 0 to
// 1 W, and the axes span the run and the values.
TEST(PowerSvg, KnownSeriesAxesAndPeakSurviveDownsampling) {
  CJYXPowerMonitor m;
  unselectAll(&m);
  fillRail(&m, 0, "VDD_CORE", "0xff00a000", 10000, 1, [](int32_t t) {
    return CJYXPowerRecord{0, 0, 1200, 833, t == 4321 ? 5000 : 1000};
  });
  fillRail(&m, 5, "VDD_<IO>", "0xffc00000", 10000, 1, [](int32_t t) {
    return CJYXPowerRecord{0, 0, 3300, t / 33, t / 10};
  });
  jyx::PowerSvgLayout layout;
  layout.plotWidth = 500;
  std::string svg = render(&m, layout);

  std::string power = panel(svg, "power");
  EXPECT_EQ("0", attribute(power, "<g class=\"x-axis\"", "data-min"));
  EXPECT_EQ("10", attribute(power, "<g class=\"x-axis\"", "data-max"));
  EXPECT_NE(std::string::npos, power.find("time (s)"));
  EXPECT_NE(std::string::npos, power.find("power (W)"));
  PanelScale scale(power);
  EXPECT_EQ(0, scale.min);
  EXPECT_GE(scale.max, 5.0);

  std::vector<Point> core = series(power, "VDD_CORE");
  ASSERT_GE(core.size(), 500u);
  EXPECT_LE(core.size(), 1000u);  // at most two points per column
  int spikes = 0;
  for (const Point& p : core) {
    double v = scale.value(p.y);
    if (std::abs(v - 5.0) < 0.02) {
      ++spikes;
      // Column of t = 4321 ms: 4321 * 500 / 10001.
      EXPECT_NEAR(80 + 216 + 0.5, p.x, 0.01);
    } else {
      EXPECT_NEAR(1.0, v, 0.02);
    }
  }
  EXPECT_EQ(1, spikes);
  EXPECT_NE(std::string::npos, power.find("stroke=\"#00a000\""));

  // The rail name is escaped, the ramp climbs from 0 to 1 W.
  std::vector<Point> ramp = series(power, "VDD_&lt;IO&gt;");
  ASSERT_FALSE(ramp.empty());
  EXPECT_NEAR(0.0, scale.value(ramp.front().y), 0.02);
  EXPECT_NEAR(1.0, scale.value(ramp.back().y), 0.02);
  for (size_t i = 1; i < ramp.size(); ++i) EXPECT_LE(ramp[i].y, ramp[i - 1].y + 0.05);

  // Legend: average and maximum of each quantity.
  EXPECT_NE(std::string::npos, power.find(">VDD_CORE avg 1.000 max 5.000 W<"));
  std::string voltage = panel(svg, "voltage");
  EXPECT_NE(std::string::npos, voltage.find(">VDD_CORE avg 1.200 max 1.200 V<"));
  EXPECT_NE(std::string::npos, panel(svg, "current").find(">VDD_CORE avg 0.833 max 0.833 A<"));
  PanelScale vscale(voltage);
  for (const Point& p : series(voltage, "VDD_CORE")) EXPECT_NEAR(1.2, vscale.value(p.y), 0.02);
}

// 96 rails and TOTAL: every rail has its line and legend entry, TOTAL only
// in the power panel, the legend folds into columns that stay inside the
// picture, and rsvg-convert renders it.
TEST(PowerSvg, NinetySixRailsFoldTheLegendAndRender) {
  CJYXPowerMonitor m;
  for (int i = 0; i < CJYXPowerMonitor::kRailCount; ++i) {
    std::string name = i == 96 ? std::string("TOTAL") : jyx::stringFormat("RAIL_%02d", i);
    fillRail(&m, i, name, m.rail(i)->color(), 2000, 10, [i](int32_t t) {
      return CJYXPowerRecord{0, 0, 1000 + 10 * i, 50 + i + t % 7, 100 * i + t % 13};
    });
  }
  std::string svg = render(&m, jyx::PowerSvgLayout());
  const std::string quantities[] = {"power", "voltage", "current"};
  for (const std::string& q : quantities) {
    std::string text = panel(svg, q);
    size_t expected = q == "power" ? 97 : 96;
    std::set<int> columns;
    size_t entries = 0;
    const std::string legend = "<g class=\"legend\"";
    for (size_t at = text.find(legend); at != std::string::npos; at = text.find(legend, at + 1)) {
      ++entries;
      columns.insert(std::stoi(attribute(text.substr(at, 200), "<rect", "x")));
    }
    EXPECT_EQ(expected, entries) << q;
    EXPECT_GE(columns.size(), 4u) << q;
    EXPECT_LE(*columns.rbegin() + 300, 80 + 1200 + 30) << q;
    EXPECT_EQ(q == "power", text.find("data-rail=\"TOTAL\"") != std::string::npos) << q;
    EXPECT_FALSE(series(text, "RAIL_95").empty()) << q;
  }

  ScopedTempDir dir;
  std::string err;
  ASSERT_TRUE(jyx::writePowerSvg(&m, dir.file("run.svg"), &err)) << err;
  EXPECT_EQ(svg, readFile(dir.file("run.svg")));
  std::string command =
      "timeout 60 rsvg-convert -o '" + dir.file("run.png") + "' '" + dir.file("run.svg") + "'";
  int status = system(command.c_str());
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << command;
  std::string png = readFile(dir.file("run.png"));
  ASSERT_GT(png.size(), 1000u);
  EXPECT_EQ("\x89PNG", png.substr(0, 4));
  if (const char* keep = getenv("JYX_KEEP_CHART")) {
    jyxtest::writeFile(keep, png);  // for looking at it by eye
  }
}

// An 8-hour run at 10 Hz: the picture holds at most two points per column
// whatever the run's length, and a lone peak in the last hour is kept.
TEST(PowerSvg, EightHourRunIsBoundedByTheWidth) {
  CJYXPowerMonitor m;
  unselectAll(&m);
  const int32_t eightHours = 8 * 3600 * 1000;
  fillRail(&m, 3, "VDD_DDR", "0xff0000ff", eightHours, 100, [](int32_t t) {
    return CJYXPowerRecord{0, 0, 1100, 400, t == 7 * 3600 * 1000 + 1234 * 100 ? 9000 : 400 + t % 3};
  });
  jyx::PowerSvgLayout layout;
  std::string svg = render(&m, layout);
  EXPECT_LT(svg.size(), 200u * 1024);
  std::string power = panel(svg, "power");
  EXPECT_EQ("28800", attribute(power, "<g class=\"x-axis\"", "data-max"));
  std::vector<Point> points = series(power, "VDD_DDR");
  EXPECT_LE(points.size(), 2u * 1200);
  PanelScale scale(power);
  double peak = 0;
  for (const Point& p : points) peak = std::max(peak, scale.value(p.y));
  EXPECT_NEAR(9.0, peak, 0.05);
  EXPECT_NE(std::string::npos, power.find(">VDD_DDR avg 0.401 max 9.000 W<"));
}

TEST(PowerSvg, FailuresSayWhyAndLeaveNoFile) {
  CJYXPowerMonitor m;
  unselectAll(&m);
  std::string err;
  ScopedTempDir dir;
  EXPECT_FALSE(jyx::writePowerSvg(&m, dir.file("empty.svg"), &err));
  EXPECT_EQ("no samples to draw", err);
  fillRail(&m, 0, "A", "0xff000000", 100, 10, [](int32_t) {
    return CJYXPowerRecord{0, 0, 1, 1, 1};
  });
  err.clear();
  EXPECT_FALSE(jyx::writePowerSvg(&m, dir.file("missing/run.svg"), &err));
  EXPECT_FALSE(err.empty());
  // A sink that refuses ends the rendering at once.
  int pieces = 0;
  EXPECT_FALSE(jyx::renderPowerSvg(
      &m, jyx::PowerSvgLayout(),
      [&](const std::string&) {
        ++pieces;
        return false;
      },
      &err));
  EXPECT_EQ(1, pieces);
  EXPECT_EQ("", readFile(dir.file("empty.svg")));
}

}  // namespace
