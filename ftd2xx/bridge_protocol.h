// The wire between the D2XX simulation backend (ftd2xx/sim_backend.cpp) and
// the simulated bridge of jyx-sim, over a Unix stream socket. One
// connection per open handle (and one short one per device listing).
//
// Every message is an 8-byte header, u8 type, three zero bytes, u32
// payload length (little-endian), then the payload. Payloads are at most
// kMaxPayload bytes; a peer that announces more is broken and is dropped.
//
// host -> bridge                       bridge -> host
//   kList    -                           kReply  u32 status, u32 count, the
//                                                serial numbers, each + NUL
//   kOpen    u32 index                   kReply  u32 status, u32 0
//   kSet     u8 op, 3 x 0, u32 a, u32 b  kReply  u32 status, u32 0
//   kWrite   the bytes (<= kMaxWrite)    kWritten u32 count, sent once the
//                                                bytes fit the bridge's
//                                                transmit buffer
//   kClose   -                           (the bridge closes the socket)
//                                        kData   received line bytes, at
//                                                any time after kOpen
#ifndef JYX_FTD2XX_BRIDGE_PROTOCOL_H_
#define JYX_FTD2XX_BRIDGE_PROTOCOL_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/byte_order.h"

namespace ftbridge {

// Environment variable naming the bridge socket for the simulation backend.
constexpr const char kSocketEnv[] = "JYX_FTDI_SIM";

constexpr size_t kHeaderSize = 8;
constexpr uint32_t kMaxPayload = 64 * 1024;
// One write message carries at most the bridge's transmit buffer.
constexpr uint32_t kMaxWrite = 4096;

enum MessageType : uint8_t {
  kList = 0x01,
  kOpen = 0x02,
  kSet = 0x03,
  kWrite = 0x04,
  kClose = 0x05,
  kReply = 0x81,
  kData = 0x82,
  kWritten = 0x83,
};

enum SetOp : uint8_t {
  kSetBaudRate = 1,        // a = baud
  kSetDataChars = 2,       // a = word length, b = stop bits | parity << 8
  kSetFlowControl = 3,     // a = flow control
  kSetDtr = 4,             // a = level
  kSetRts = 5,             // a = level
  kSetBitMode = 6,         // a = mask, b = mode
  kSetLatencyTimer = 7,    // a = ms
  kSetTimeouts = 8,        // a = read ms, b = write ms
  kSetChars = 9,           // a = event char | enabled << 8, b = error char | enabled << 8
  kSetUsbParameters = 10,  // a = in size, b = out size
};

inline std::string message(uint8_t type, const void* payload, size_t n) {
  std::string out(kHeaderSize + n, '\0');
  out[0] = static_cast<char>(type);
  jyx::encodeFixed32(reinterpret_cast<uint8_t*>(&out[4]), static_cast<uint32_t>(n));
  if (n > 0) out.replace(kHeaderSize, n, static_cast<const char*>(payload), n);
  return out;
}

inline std::string message2(uint8_t type, uint32_t a, uint32_t b) {
  uint8_t payload[8];
  jyx::encodeFixed32(payload, a);
  jyx::encodeFixed32(payload + 4, b);
  return message(type, payload, sizeof(payload));
}

inline std::string setMessage(uint8_t op, uint32_t a, uint32_t b) {
  uint8_t payload[12] = {op, 0, 0, 0};
  jyx::encodeFixed32(payload + 4, a);
  jyx::encodeFixed32(payload + 8, b);
  return message(kSet, payload, sizeof(payload));
}

// Cuts one message off the front of `buffer`. 1: *type and *payload set and
// the message removed; 0: incomplete, wait for more; -1: the length is
// beyond kMaxPayload (the stream cannot be trusted any more).
inline int takeMessage(std::string* buffer, uint8_t* type, std::string* payload) {
  if (buffer->size() < kHeaderSize) return 0;
  uint32_t n = jyx::decodeFixed32(reinterpret_cast<const uint8_t*>(buffer->data() + 4));
  if (n > kMaxPayload) return -1;
  if (buffer->size() < kHeaderSize + n) return 0;
  *type = static_cast<uint8_t>((*buffer)[0]);
  payload->assign(*buffer, kHeaderSize, n);
  buffer->erase(0, kHeaderSize + n);
  return 1;
}

}  // namespace ftbridge

#endif  // JYX_FTD2XX_BRIDGE_PROTOCOL_H_
