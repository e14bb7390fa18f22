// The picture of a power monitoring run: an SVG file with one panel per
// quantity (power, voltage, current), a line per exported rail in the rail's
// configured colour over time in seconds, and a legend giving each rail's
// average and maximum.
//
// The samples are streamed once per rail from the monitor's spill-backed
// record logs and folded into one bucket per pixel column, keeping the
// minimum and the maximum of each (and which came first), so memory depends
// on the picture's width and the rail count, never on the run's length, and
// a single-sample peak of an 8-hour run still reaches the picture.
//
// Main thread only, like the monitor it reads.
#ifndef JYX_JYX_POWER_POWER_SVG_H_
#define JYX_JYX_POWER_POWER_SVG_H_

#include <cstdint>
#include <functional>
#include <string>

class CJYXPowerMonitor;

namespace jyx {

struct PowerSvgLayout {
  // Plot area of each panel in pixels; also the number of time buckets.
  int plotWidth = 1200;
  int plotHeight = 260;
  // Width of one legend column; the legend folds into as many columns as
  // fit the plot width.
  int legendColumnWidth = 300;
};

// Renders the rails that the CSV files export (selected rails with samples;
// TOTAL in the power panel only). False with *err when a spill read fails or
// there is nothing to draw.
bool renderPowerSvg(CJYXPowerMonitor* monitor, const PowerSvgLayout& layout,
                    const std::function<bool(const std::string& piece)>& sink, std::string* err);

// Writes the picture to `path` through a temporary file and a rename; false
// with *err when rendering or any write, flush or rename fails (an older
// file at `path` is then left as it was).
bool writePowerSvg(CJYXPowerMonitor* monitor, const std::string& path, std::string* err,
                   const PowerSvgLayout& layout = PowerSvgLayout());

// "#rrggbb" of a rail colour text "0xAARRGGBB" (the number rule); grey for
// a text without digits.
std::string svgColor(const std::string& railColor);

// Tick step for an axis spanning `range` units: 1, 2 or 5 times a power of
// ten, giving about `ticks` intervals.
double niceStep(double range, int ticks);

}  // namespace jyx

#endif  // JYX_JYX_POWER_POWER_SVG_H_
