#include "main/power_table.h"

#include <cstdio>
#include <vector>

#include "jyx/power/power_manager.h"

namespace {

const char kYellow[] = "\x1b[1;33m";
const char kGreen[] = "\x1b[0;32;32m";
const char kBlue[] = "\x1b[0;32;34m";
const char kReset[] = "\x1b[m\n";
const char kBar[] = "\xe2\x94\x82";   // U+2502 BOX DRAWINGS LIGHT VERTICAL
const char kRule[] = "\xe2\x94\x80";  // U+2500 BOX DRAWINGS LIGHT HORIZONTAL

// The text padded with blanks to `width`, or cut at it.
void appendCell(std::string* out, const std::string& text, int width) {
  size_t w = size_t(width);
  if (text.size() >= w) {
    out->append(text, 0, w);
  } else {
    out->append(text);
    out->append(w - text.size(), ' ');
  }
}

void appendRule(std::string* out) {
  for (int i = 0; i < kTableWidth; ++i) out->append(kRule);
  out->push_back('\n');
}

void appendValues(std::string* out, const CJYXPowerSeries& series, int cellWidth) {
  const int values[4] = {series.now(), series.avg(), series.max(), series.min()};
  char text[32];
  for (int v : values) {
    snprintf(text, sizeof(text), "%.2f", v / 1000.0);
    appendCell(out, text, cellWidth);
  }
}

void appendHeading(std::string* out, const char* rail, const char* power, const char* voltage,
                   const char* current) {
  appendCell(out, rail, kTableRailWidth);
  out->append(kYellow).append(kBar);
  appendCell(out, power, kTablePowerWidth);
  out->append(kGreen).append(kBar);
  appendCell(out, voltage, kTableVoltageWidth);
  out->append(kBlue).append(kBar);
  appendCell(out, current, kTableCurrentWidth);
  out->append(kReset);
}

}  // namespace

const char kPowerLinkLostLine[] =
    "power monitor: link to the controller lost, waiting for samples\n";
const char kPowerNoSamplesLine[] =
    "power monitor: no samples from the controller, waiting for samples\n";

std::string CPowerTableWatch::check(bool linkUp, bool sampling, uint32_t frameCount) {
  bool frameSince = seenFrames_ && frameCount != lastFrames_;
  bool quiet = seenFrames_ && sampling && !frameSince;
  seenFrames_ = true;
  lastFrames_ = frameCount;
  if (!linkUp) {
    state_ = kLinkLost;
  } else if (state_ != kLive && frameSince) {
    state_ = kLive;
  } else if (state_ == kLive && quiet) {
    state_ = kQuiet;
  }
  switch (state_) {
    case kLive:
      return std::string();
    case kLinkLost:
      return std::string(
                 "\x1b"
                 "c") +
             kPowerLinkLostLine;
    case kQuiet:
      return std::string(
                 "\x1b"
                 "c") +
             kPowerNoSamplesLine;
  }
  return std::string();
}

std::string powerTableText(CJYXPowerManager* manager, const uint32_t railMask[3]) {
  std::string out =
      "\x1b"
      "c";
  appendRule(&out);
  appendHeading(&out, "", "Power(Watt)", "Voltage(V)", "Current(A)");
  appendHeading(&out, "Rail(s)", "now      avg      max      min", "now   avg   max   min",
                "now     avg     max     min");
  appendRule(&out);

  std::vector<int> rows;
  if ((railMask[0] | railMask[1] | railMask[2]) == 0) {
    rows = manager->enabledRails();
  } else {
    for (int i = 0; i < CJYXPowerMonitor::kRailCount; ++i) {
      if (manager->rail(i)->sampleCount() > 0) rows.push_back(i);
    }
  }
  // Room for the closing rule (3 bytes per character) and its line end.
  const size_t closing = size_t(kTableWidth) * 3 + 1;
  std::string line;
  for (int index : rows) {
    CJYXPowerRail* rail = manager->rail(index);
    line.clear();
    appendCell(&line, rail->name(), kTableRailWidth);
    line.append(kYellow).append(kBar);
    appendValues(&line, rail->rawPower, kTablePowerWidth / 4);
    line.append(kGreen).append(kBar);
    appendValues(&line, rail->rawVoltage, kTableVoltageWidth / 4);
    line.append(kBlue).append(kBar);
    appendValues(&line, rail->rawCurrent, kTableCurrentWidth / 4);
    line.append(kReset);
    if (out.size() + line.size() + closing >= kTableBufferSize) break;
    out += line;
  }
  appendRule(&out);
  return out;
}
