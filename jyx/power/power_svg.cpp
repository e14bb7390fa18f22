#include "jyx/power/power_svg.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <vector>

#include "common/file_util.h"
#include "common/number_text.h"
#include "common/string_format.h"
#include "jyx/power/power_monitor.h"

namespace jyx {

namespace {

// Panels top to bottom; the record field each one draws and its unit.
enum Quantity { kPower = 0, kVoltage = 1, kCurrent = 2, kQuantities = 3 };
const char* const kTitles[kQuantities] = {"power", "voltage", "current"};
const char* const kUnits[kQuantities] = {"W", "V", "A"};

int32_t valueOf(const CJYXPowerRecord& r, int q) {
  return q == kPower ? r.power : q == kVoltage ? r.voltage : r.current;
}

// Pixel geometry around each plot area, in pixels.
constexpr int kLeft = 80;  // room for the value labels
constexpr int kRight = 30;
constexpr int kTitleHeight = 34;
constexpr int kAxisHeight = 42;  // time labels and axis title
constexpr int kLegendRow = 16;
constexpr int kPanelGap = 24;

// The extremes of the samples that fell into one pixel column, and which
// of them came first, so the drawn line visits them in time order.
struct Bucket {
  int32_t min = 0;
  int32_t max = 0;
  bool minFirst = true;
  bool used = false;

  void add(int32_t v) {
    if (!used) {
      min = max = v;
      used = true;
      return;
    }
    // The newer extreme is the second one visited.
    if (v < min) {
      min = v;
      minFirst = false;
    } else if (v > max) {
      max = v;
      minFirst = true;
    }
  }
};

struct Series {
  const CJYXPowerRail* rail = nullptr;
  bool total = false;  // TOTAL has power only
  std::vector<Bucket> buckets[kQuantities];
  int64_t sum[kQuantities] = {};
  int32_t max[kQuantities] = {};
  uint64_t count = 0;
};

std::string xmlEscape(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        // Control characters are not allowed in XML 1.0 text.
        if (static_cast<unsigned char>(c) < 0x20) {
          out += ' ';
        } else {
          out += c;
        }
    }
  }
  return out;
}

// A tick label: as few decimals as the step needs.
std::string tickText(double value, double step) {
  int decimals = 0;
  while (decimals < 6 && std::fabs(step * std::pow(10, decimals) -
                                   std::round(step * std::pow(10, decimals))) > 1e-6) {
    ++decimals;
  }
  if (std::fabs(value) < step * 1e-9) value = 0;  // no "-0"
  return stringFormat("%.*f", decimals, value);
}

// Reads every raw record of the series' rail once into its buckets.
bool fold(Series* s, uint32_t spanMs, int width, std::string* err) {
  for (auto& b : s->buckets) b.assign(size_t(width), Bucket());
  CJYXRecordLog::CReader reader(&s->rail->raw);
  CJYXPowerRecord r;
  err->clear();
  bool first = true;
  while (reader.next(&r, err)) {
    int64_t t = std::max<int64_t>(0, r.time);
    size_t column = size_t(std::min<int64_t>(width - 1, t * width / (int64_t(spanMs) + 1)));
    for (int q = 0; q < kQuantities; ++q) {
      int32_t v = valueOf(r, q);
      s->buckets[q][column].add(v);
      s->sum[q] += v;
      if (first || v > s->max[q]) s->max[q] = v;
    }
    first = false;
    ++s->count;
  }
  if (!err->empty()) {
    *err = s->rail->name() + ": " + *err;
    return false;
  }
  return true;
}

}  // namespace

std::string svgColor(const std::string& railColor) {
  uint32_t argb = static_cast<uint32_t>(parseNumberText(railColor.c_str()));
  if (railColor.empty()) return "#808080";
  return stringFormat("#%06x", argb & 0xFFFFFFu);
}

double niceStep(double range, int ticks) {
  if (!(range > 0) || ticks < 1) return 1;
  double raw = range / ticks;
  double power = std::pow(10, std::floor(std::log10(raw)));
  double fraction = raw / power;
  double nice = fraction <= 1 ? 1 : fraction <= 2 ? 2 : fraction <= 5 ? 5 : 10;
  return nice * power;
}

namespace {

// The rails the CSV files hold, in the same order, TOTAL last, each folded
// into `width` buckets; *spanMs is the longest rail's time span (at least
// 1 ms). False with *err when there is nothing to draw or a read fails.
bool collectSeries(CJYXPowerMonitor* monitor, int width, std::vector<Series>* series,
                   uint32_t* spanMs, std::string* err) {
  for (int i = 0; i < CJYXPowerMonitor::kRailCount; ++i) {
    const CJYXPowerRail* rail = monitor->rail(i);
    if (!rail->selected() || rail->sampleCount() == 0) continue;
    Series s;
    s.rail = rail;
    s.total = i == CJYXPowerMonitor::kTotalRail;
    series->push_back(std::move(s));
  }
  if (series->empty()) {
    *err = "no samples to draw";
    return false;
  }
  *spanMs = 1;
  for (const Series& s : *series) {
    *spanMs = std::max<uint32_t>(*spanMs, uint32_t(std::max<int32_t>(0, s.rail->raw.back().time)));
  }
  for (Series& s : *series) {
    if (!fold(&s, *spanMs, width, err)) return false;
  }
  return true;
}

// TOTAL is drawn in the power panel only.
bool inPanel(const Series& s, int q) { return q == kPower || !s.total; }

// The vertical scale of one panel: a value range that always includes zero,
// widened to whole tick steps.
struct PanelScale {
  double lo = 0;
  double hi = 0;
  double step = 1;
  double bottom = 0;  // y of the plot area's lower edge
  int height = 0;

  double yOf(double units) const { return bottom - (units - lo) / (hi - lo) * height; }
};

PanelScale panelScale(const std::vector<Series>& series, int q, int top, int height) {
  int32_t lo = 0, hi = 0;
  for (const Series& s : series) {
    if (!inPanel(s, q)) continue;
    for (const Bucket& b : s.buckets[q]) {
      if (!b.used) continue;
      lo = std::min(lo, b.min);
      hi = std::max(hi, b.max);
    }
  }
  PanelScale scale;
  scale.lo = lo / 1000.0;
  scale.hi = hi / 1000.0;
  if (scale.hi - scale.lo < 0.001) scale.hi = scale.lo + 0.001;
  scale.step = niceStep(scale.hi - scale.lo, 5);
  scale.lo = std::floor(scale.lo / scale.step) * scale.step;
  scale.hi = std::ceil(scale.hi / scale.step - 1e-9) * scale.step;
  scale.bottom = top + kTitleHeight + height;
  scale.height = height;
  return scale;
}

// The panel's title, value and time axes with their grid lines, and the
// frame of its plot area.
std::string panelAxes(int q, const PanelScale& scale, int top, int width, double seconds) {
  std::string out = stringFormat(
      "<g id=\"%s\">\n<text x=\"%d\" y=\"%d\" font-size=\"15\" "
      "font-weight=\"bold\">%s (%s)</text>\n",
      kTitles[q], kLeft, top + 20, kTitles[q], kUnits[q]);
  out += stringFormat("<g class=\"y-axis\" data-min=\"%g\" data-max=\"%g\" data-unit=\"%s\">\n",
                      scale.lo, scale.hi, kUnits[q]);
  for (double v = scale.lo; v <= scale.hi + scale.step * 1e-6; v += scale.step) {
    double y = scale.yOf(v);
    out += stringFormat(
        "<line x1=\"%d\" y1=\"%.1f\" x2=\"%d\" y2=\"%.1f\" stroke=\"#dddddd\"/>"
        "<text x=\"%d\" y=\"%.1f\" text-anchor=\"end\">%s</text>\n",
        kLeft, y, kLeft + width, y, kLeft - 6, y + 4, tickText(v, scale.step).c_str());
  }
  out += "</g>\n";
  const double plotBottom = scale.bottom;
  const int height = scale.height;
  double xStep = niceStep(seconds, 10);
  out += stringFormat("<g class=\"x-axis\" data-min=\"0\" data-max=\"%g\" data-unit=\"s\">\n",
                      seconds);
  for (double t = 0; t <= seconds + xStep * 1e-6; t += xStep) {
    double x = kLeft + t / seconds * width;
    out += stringFormat(
        "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"#dddddd\"/>"
        "<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\">%s</text>\n",
        x, plotBottom - height, x, plotBottom + 5, x, plotBottom + 18, tickText(t, xStep).c_str());
  }
  out += stringFormat("<text x=\"%d\" y=\"%.1f\" text-anchor=\"middle\">time (s)</text>\n</g>\n",
                      kLeft + width / 2, plotBottom + 34);
  out += stringFormat(
      "<rect x=\"%d\" y=\"%.1f\" width=\"%d\" height=\"%d\" fill=\"none\" "
      "stroke=\"black\"/>\n",
      kLeft, plotBottom - height, width, height);
  return out;
}

// One rail's line: each pixel column contributes its extremes in the order
// they occurred.
std::string seriesLine(const Series& s, int q, const PanelScale& scale, int width) {
  std::string out = stringFormat(
      "<polyline class=\"series\" data-rail=\"%s\" fill=\"none\" stroke=\"%s\" "
      "stroke-width=\"1.2\" points=\"",
      xmlEscape(s.rail->name()).c_str(), svgColor(s.rail->color()).c_str());
  for (int c = 0; c < width; ++c) {
    const Bucket& b = s.buckets[q][size_t(c)];
    if (!b.used) continue;
    double x = kLeft + c + 0.5;
    double first = (b.minFirst ? b.min : b.max) / 1000.0;
    double second = (b.minFirst ? b.max : b.min) / 1000.0;
    out += stringFormat("%.1f,%.1f ", x, scale.yOf(first));
    if (b.min != b.max) out += stringFormat("%.1f,%.1f ", x, scale.yOf(second));
  }
  out += "\"/>\n";
  return out;
}

// The panel's legend, folded into columns under the plot, and the end of
// the panel's group.
std::string panelLegend(const std::vector<Series>& series, int q, const PanelScale& scale,
                        int legendColumns, int columnWidth) {
  std::string out;
  int index = 0;
  for (const Series& s : series) {
    if (!inPanel(s, q)) continue;
    int x = kLeft + (index % legendColumns) * columnWidth;
    double y = scale.bottom + kAxisHeight + (index / legendColumns) * kLegendRow + 10;
    double average = s.count == 0 ? 0 : double(s.sum[q]) / double(s.count) / 1000.0;
    out += stringFormat(
        "<g class=\"legend\" data-rail=\"%s\"><rect x=\"%d\" y=\"%.1f\" width=\"14\" "
        "height=\"8\" fill=\"%s\"/><text x=\"%d\" y=\"%.1f\">%s avg %.3f max %.3f "
        "%s</text></g>\n",
        xmlEscape(s.rail->name()).c_str(), x, y - 8, svgColor(s.rail->color()).c_str(), x + 18, y,
        xmlEscape(s.rail->name()).c_str(), average, s.max[q] / 1000.0, kUnits[q]);
    ++index;
  }
  out += "</g>\n";
  return out;
}

}  // namespace

bool renderPowerSvg(CJYXPowerMonitor* monitor, const PowerSvgLayout& layout,
                    const std::function<bool(const std::string& piece)>& sink, std::string* err) {
  const int width = std::max(100, layout.plotWidth);
  const int height = std::max(80, layout.plotHeight);
  std::vector<Series> series;
  uint32_t spanMs = 1;
  if (!collectSeries(monitor, width, &series, &spanMs, err)) return false;

  const int legendColumns = std::max(1, width / std::max(100, layout.legendColumnWidth));
  const int columnWidth = width / legendColumns;
  int panelHeights[kQuantities];
  int total = kPanelGap;
  for (int q = 0; q < kQuantities; ++q) {
    int n = 0;
    for (const Series& s : series) n += inPanel(s, q) ? 1 : 0;
    int rows = (n + legendColumns - 1) / legendColumns;
    panelHeights[q] = kTitleHeight + height + kAxisHeight + rows * kLegendRow + kPanelGap;
    total += panelHeights[q];
  }
  const int svgWidth = kLeft + width + kRight;
  if (!sink(stringFormat("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                         "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%d\" height=\"%d\" "
                         "viewBox=\"0 0 %d %d\" font-family=\"sans-serif\" font-size=\"12\">\n"
                         "<rect width=\"100%%\" height=\"100%%\" fill=\"white\"/>\n",
                         svgWidth, total, svgWidth, total))) {
    return false;
  }

  // Each panel goes to the sink in pieces (axes, one line per rail, the
  // legend), so no piece grows with the rail count times the width.
  const double seconds = spanMs / 1000.0;
  int top = kPanelGap;
  for (int q = 0; q < kQuantities; ++q) {
    const PanelScale scale = panelScale(series, q, top, height);
    if (!sink(panelAxes(q, scale, top, width, seconds))) return false;
    for (const Series& s : series) {
      if (inPanel(s, q) && !sink(seriesLine(s, q, scale, width))) return false;
    }
    if (!sink(panelLegend(series, q, scale, legendColumns, columnWidth))) return false;
    top += panelHeights[q];
  }
  return sink("</svg>\n");
}

bool writePowerSvg(CJYXPowerMonitor* monitor, const std::string& path, std::string* err,
                   const PowerSvgLayout& layout) {
  CAtomicFile file;
  if (!file.open(path, err)) return false;
  std::string writeErr;
  bool rendered = renderPowerSvg(
      monitor, layout, [&](const std::string& piece) { return file.write(piece, &writeErr); }, err);
  if (!rendered) {
    if (!writeErr.empty()) *err = writeErr;
    file.abort();
    return false;
  }
  return file.commit(err);
}

}  // namespace jyx
