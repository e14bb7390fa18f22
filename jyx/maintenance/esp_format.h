// Constants of the ESP32 serial ROM-loader protocol as this tool uses it.
// The layout is described in slip_format.md.
#ifndef JYX_JYX_MAINTENANCE_ESP_FORMAT_H_
#define JYX_JYX_MAINTENANCE_ESP_FORMAT_H_

#include <cstddef>
#include <cstdint>

namespace esp {

// SLIP framing bytes (RFC 1055).
constexpr uint8_t kSlipEnd = 0xC0;
constexpr uint8_t kSlipEsc = 0xDB;
constexpr uint8_t kSlipEscEnd = 0xDC;  // 0xDB 0xDC stands for 0xC0
constexpr uint8_t kSlipEscEsc = 0xDD;  // 0xDB 0xDD stands for 0xDB

// Packet header: u8 direction, u8 command, u16 data length, u32 checksum
// (requests) or value (responses); then the data.
constexpr size_t kHeaderSize = 8;
constexpr uint8_t kDirectionRequest = 0x00;
constexpr uint8_t kDirectionResponse = 0x01;

// Commands.
constexpr uint8_t kFlashBegin = 0x02;
constexpr uint8_t kFlashData = 0x03;
constexpr uint8_t kFlashEnd = 0x04;
constexpr uint8_t kMemBegin = 0x05;
constexpr uint8_t kMemEnd = 0x06;
constexpr uint8_t kMemData = 0x07;
constexpr uint8_t kSync = 0x08;
constexpr uint8_t kWriteReg = 0x09;
constexpr uint8_t kReadReg = 0x0A;
constexpr uint8_t kSpiSetParams = 0x0B;
constexpr uint8_t kSpiAttach = 0x0D;
constexpr uint8_t kChangeBaudrate = 0x0F;
constexpr uint8_t kSpiFlashMd5 = 0x13;

// The checksum of FLASH_DATA (and MEM_DATA) payloads: XOR of every byte,
// starting from this seed.
constexpr uint8_t kChecksumSeed = 0xEF;

// SYNC data: 0x07 0x07 0x12 0x20 then 32 bytes 0x55.
constexpr size_t kSyncDataSize = 36;

// FLASH_DATA data: u32 size, u32 sequence, u32 0, u32 0, then the block.
constexpr size_t kFlashDataHeaderSize = 16;
// The tool writes flash in blocks of this size, one FLASH_BEGIN each.
constexpr uint32_t kFlashBlockSize = 4096;

// ESP32 registers read during identification.
constexpr uint32_t kEfuseBase = 0x6001A000;  // word w at kEfuseBase + 4 * w
constexpr uint32_t kApbCtlDateReg = 0x3FF6607C;
constexpr uint32_t kChipMagicReg = 0x40001000;  // ESP32: 0x00F01D83
constexpr uint32_t kEsp32ChipMagic = 0x00F01D83;

// Response data of the ESP32 ROM ends in 4 status bytes: status (0 ok,
// 1 failure), error code, 0, 0.
constexpr size_t kRomStatusSize = 4;

// Largest decoded frame accepted: a FLASH_DATA request with a 16 KiB block
// fits easily; anything longer is not a loader frame.
constexpr size_t kMaxFrame = 128 * 1024;

}  // namespace esp

#endif  // JYX_JYX_MAINTENANCE_ESP_FORMAT_H_
