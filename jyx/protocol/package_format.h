// Wire constants of the controller packet protocol. See package_format.md
// for the byte layout of the header and of every payload.
//
// Every multi-byte field on the wire is little-endian. A packet is a 20-byte
// header followed by (length - 20) payload bytes; there is no trailer and no
// escaping.
#ifndef JYX_JYX_PROTOCOL_PACKAGE_FORMAT_H_
#define JYX_JYX_PROTOCOL_PACKAGE_FORMAT_H_

#include <cstdint>

namespace jyx {

// The four bytes 0x5A 0x5A 0x5A 0x5A ("ZZZZ") that open every packet.
constexpr uint32_t kPackageMagic = 0x5A5A5A5Au;
constexpr uint8_t kPackageMagicBytes[4] = {0x5A, 0x5A, 0x5A, 0x5A};

// Header layout: byte offsets from the start of the packet.
constexpr uint32_t kMagicOffset = 0;
constexpr uint32_t kFrameNumOffset = 4;   // u32
constexpr uint32_t kCmdTypeOffset = 8;    // u16
constexpr uint32_t kDataTypeOffset = 10;  // u16
constexpr uint32_t kLengthOffset = 12;    // u32, whole packet, header included
constexpr uint32_t kChecksumOffset = 16;  // u32
constexpr uint32_t kHeaderSize = 20;

// Sector header that opens SPI sector write, read request and read reply
// payloads: u32 secOffset, u16 secSize, u16 secNum.
constexpr uint32_t kSecOffsetOffset = 0;
constexpr uint32_t kSecSizeOffset = 4;
constexpr uint32_t kSecNumOffset = 6;
constexpr uint32_t kSectorHeaderSize = 8;
// Packet header plus sector header: where the sector data starts.
constexpr uint32_t kSectorDataOffset = kHeaderSize + kSectorHeaderSize;  // 28

// GPIO request and acknowledge payload (8 bytes).
constexpr uint32_t kGpioOperationOffset = 0;  // u8, GPIO_OP_*
constexpr uint32_t kGpioLevelOffset = 1;      // u8, 0 or 1
constexpr uint32_t kGpioNumOffset = 2;        // u16
constexpr uint32_t kGpioPayloadSize = 8;

// Power control request payload (40 bytes).
constexpr uint32_t kPowerEnableOffset = 0;  // u16
constexpr uint32_t kPowerMaskOffset = 4;    // 3 x u32, rails 0-31, 32-63, 64-95
constexpr uint32_t kPowerMaskWords = 3;
constexpr uint32_t kPowerAddressOffset = 16;  // one I2C address byte per IC slot
constexpr uint32_t kPowerAddressCount = 24;
constexpr uint32_t kPowerCtrlPayloadSize = 40;
// Power sample report: the payload starts with this (the acknowledge of a
// power-control request carries the 24 IC identities instead).
constexpr uint32_t kPowerTimestampOffset = 0;  // u64, controller clock in us

// SPI programming-mode request payload (8 bytes).
constexpr uint32_t kSpiCtrlEnableOffset = 0;    // u16
constexpr uint32_t kSpiCtrlSecurityOffset = 2;  // u16
constexpr uint32_t kSpiCtrlAccessIdOffset = 4;  // u16
constexpr uint32_t kSpiCtrlEraseIdOffset = 6;   // u16
constexpr uint32_t kSpiCtrlPayloadSize = 8;

// SPI status-register request and reply payload (16 bytes).
constexpr uint32_t kSpiRegDirectionOffset = 0;  // u8, 1 read, 0 write
constexpr uint32_t kSpiRegCommandOffset = 1;    // u8, flash command byte
constexpr uint32_t kSpiRegCountOffset = 2;      // u16
constexpr uint32_t kSpiRegDataOffset = 4;       // up to kSpiRegMaxData bytes
constexpr uint32_t kSpiRegMaxData = 12;
constexpr uint32_t kSpiRegPayloadSize = 16;

// UART forwarding request and acknowledge payload (4 bytes).
constexpr uint32_t kUartEnableOffset = 0;  // u8
constexpr uint32_t kUartPayloadSize = 4;

// POST code reply payload: u32 n, then n bytes (two per code).
constexpr uint32_t kPostCountOffset = 0;
constexpr uint32_t kPostCodesOffset = 4;

// String command request and reply: at most this many characters of the
// caller's text, plus a "\n" when the text does not already end in one.
constexpr uint32_t kStringMaxText = 254;
constexpr uint32_t kStringMaxPayload = kStringMaxText + 1;

constexpr uint32_t kAck24PayloadSize = 24;

}  // namespace jyx

// Command types (header offset 8).
enum CMD_TYPE : uint16_t {
  HEART_BEAT = 0,
  DEVICE_ACK = 1,
  POWER_CTRL = 2,
  GPIO_CTRL = 3,
  SPI_CTRL = 4,
  UART_CTRL = 5,
  POST_CTRL = 6,
  SPI_READ = 7,
  STRING_CMD = 8,
};

// Data types (header offset 10).
enum DATA_TYPE : uint16_t {
  HEART_BEAT_DATA = 0,
  POWER_DATA = 1,
  GPIO_DATA = 2,
  SPI_CTRL_INFO_DATA = 3,
  SPI_DATA = 4,
  UART_DATA_TYPE = 5,
  POST_DATA = 6,
  STRING_DATA = 7,
  SPI_REG_DATA = 8,
  ACK24_DATA = 9,
  // In a request: no typed payload. In a DEVICE_ACK: the request failed.
  NO_DATA = 255,
  ACK_FAIL = 255,
};

// GPIO request operation byte.
enum GPIO_OPERATION : uint8_t {
  GPIO_OP_READ = 0,
  GPIO_OP_SET = 1,
};

// SPI status-register request direction byte.
enum SPI_REG_DIRECTION : uint8_t {
  SPI_REG_WRITE = 0,
  SPI_REG_READ = 1,
};

#endif  // JYX_JYX_PROTOCOL_PACKAGE_FORMAT_H_
