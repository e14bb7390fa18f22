// Layout constants of the power data file and of the controller's power
// sample report; see power_format.md. All fields are little-endian.
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
// One record: u64 clock, i32 time, i32 voltage, i32 current, i32 power.
constexpr size_t kRecordSize = 24;
constexpr size_t kRecordClock = 0;     // u64, controller timestamp, us
constexpr size_t kRecordTime = 8;      // i32, ms since the first frame
constexpr size_t kRecordVoltage = 12;  // i32, mV
constexpr size_t kRecordCurrent = 16;  // i32, mA
constexpr size_t kRecordPower = 20;    // i32, mW

constexpr size_t kOffsetMagic = 0;
constexpr size_t kOffsetRailCount = 4;
constexpr size_t kOffsetBaseClock = 8;
constexpr size_t kOffsetInterval = 16;
constexpr size_t kOffsetRails = 24;
// Inside one rail entry at kOffsetRails + kRailEntrySize * i.
constexpr size_t kRailEntryOffset = 0;  // u32, file offset of the rail's records
constexpr size_t kRailEntryCount = 4;   // u32, number of records

}  // namespace powerfile

// The payload of a POWER_CTRL / POWER_DATA packet: one report of several
// sampling frames, each frame one sample pair per enabled rail, in rail order.
namespace powerreport {

constexpr size_t kOffsetClock = 0;       // u64, controller timestamp of the report, us
constexpr size_t kOffsetFrameCount = 8;  // u16, frames that follow
// Bytes 10-23 are unused.
constexpr size_t kHeaderSize = 24;
// One rail's sample inside a frame: raw bus and shunt readings.
constexpr size_t kSampleSize = 4;
constexpr size_t kSampleBus = 0;    // i16
constexpr size_t kSampleShunt = 2;  // i16

}  // namespace powerreport

#endif  // JYX_JYX_POWER_POWER_FORMAT_H_
