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

#endif  // JYX_MAIN_POWER_TABLE_H_
