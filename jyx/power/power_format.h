// Layout constants of the power data file; see power_format.md.
#ifndef JYX_JYX_POWER_POWER_FORMAT_H_
#define JYX_JYX_POWER_POWER_FORMAT_H_

#include <cstddef>
#include <cstdint>

namespace powerfile {

constexpr char kMagic[4] = {'q', 'e', 'l', ' '};
constexpr uint32_t kRailCount = 97;
// Fixed part: magic, rail count, base clock, interval, a zero word.
constexpr size_t kFixedHeaderSize = 24;
// One (offset, count) pair of u32 per rail.
constexpr size_t kRailEntrySize = 8;
constexpr size_t kHeaderSize = kFixedHeaderSize + kRailCount * kRailEntrySize;  // 800
// u64 clock, i32 time, i32 voltage, i32 current, i32 power.
constexpr size_t kRecordSize = 24;

constexpr size_t kOffsetMagic = 0;
constexpr size_t kOffsetRailCount = 4;
constexpr size_t kOffsetBaseClock = 8;
constexpr size_t kOffsetInterval = 16;
constexpr size_t kOffsetRails = 24;

}  // namespace powerfile

#endif  // JYX_JYX_POWER_POWER_FORMAT_H_
