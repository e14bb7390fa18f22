// The power-monitor table the controller console redraws every 2 seconds:
// one line per rail with the now/avg/max/min of its raw power, voltage and
// current series in W, V and A.
#ifndef JYX_MAIN_POWER_TABLE_H_
#define JYX_MAIN_POWER_TABLE_H_

#include <cstdint>
#include <string>

class CJYXPowerManager;

// Column widths in characters; each value cell is a quarter of its column.
constexpr int kTableRailWidth = 18;
constexpr int kTablePowerWidth = 36;
constexpr int kTableVoltageWidth = 24;
constexpr int kTableCurrentWidth = 32;
// The width of the horizontal rules: the columns plus 4.
constexpr int kTableWidth =
    kTableRailWidth + kTablePowerWidth + kTableVoltageWidth + kTableCurrentWidth + 4;
// The whole table is one print of at most this many bytes (rows that do not
// fit are left out).
constexpr size_t kTableBufferSize = 32768;

// The table text, starting with the terminal reset "\ec". With `railMask`
// all zero the rows are the manager's enabled rails in their order;
// otherwise every rail (0-96) that holds samples, by index.
std::string powerTableText(CJYXPowerManager* manager, const uint32_t railMask[3]);

// Keeps the table from showing stale values as if they were live. Once the
// controller link is seen down, or sampling runs but no frame came since the
// previous redraw (the link dropped and came back in between, or the
// controller went quiet), the values are stale until a frame arrives after
// that moment; meanwhile the redraw is one line that says so.
class CPowerTableWatch {
 public:
  // Called at every redraw with the link state, whether the power manager
  // is sampling and its frame count. Returns the text to print instead of
  // the table (a terminal reset and one line), or "" when the table is live.
  std::string check(bool linkUp, bool sampling, uint32_t frameCount);

 private:
  // Live: the table shows. Link lost: the link was seen down and no frame
  // came since. Quiet: sampling with the link up, but no frame since the
  // previous redraw.
  enum State { kLive, kLinkLost, kQuiet };
  State state_ = kLive;
  bool seenFrames_ = false;  // lastFrames_ holds the count of a redraw
  uint32_t lastFrames_ = 0;
};

// The lines CPowerTableWatch prints, without the terminal reset.
extern const char kPowerLinkLostLine[];
extern const char kPowerNoSamplesLine[];

#endif  // JYX_MAIN_POWER_TABLE_H_
