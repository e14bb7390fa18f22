// The simulator's view of one controller packet: header fields plus payload
// bytes, its own wire codec, and the stream decoder that cuts packets out of
// the bytes a client sends. Little-endian helpers for payload fields live
// here too.
//
// The codec is written from the wire format (jyx/protocol/package_format.md)
// and shares no code with the tool's CPackage on purpose: the simulator is
// the independent reading of the format that the end-to-end tests hold the
// tool against, so a layout or checksum mistake in one of them shows up as a
// failed exchange instead of being made twice and agreed upon. Keep it that
// way: do not replace this code with the tool's packet code or constants.
#ifndef JYX_SIM_FRAME_H_
#define JYX_SIM_FRAME_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace jyxsim {

// Header layout: magic, frame number, command type, data type, length of the
// whole packet, checksum; then the payload.
constexpr uint8_t kWireMagic[4] = {0x5A, 0x5A, 0x5A, 0x5A};
constexpr size_t kWireFrameAt = 4;      // u32
constexpr size_t kWireCmdAt = 8;        // u16
constexpr size_t kWireDataAt = 10;      // u16
constexpr size_t kWireLengthAt = 12;    // u32, header included
constexpr size_t kWireChecksumAt = 16;  // u32
constexpr size_t kWireHeader = 20;

// Command and data type codes.
enum SimCmd : uint16_t {
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
enum SimData : uint16_t {
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
  // A request without a typed payload; in a DEVICE_ACK the same code means
  // the request failed.
  NO_DATA = 255,
  ACK_FAIL = 255,
};

struct SimFrame {
  uint32_t frame = 0;
  uint16_t cmd = 0;
  uint16_t data = 0;
  std::vector<uint8_t> payload;
};

// Appends the complete packet (header, checksum, payload) to `out`.
void encodeFrame(const SimFrame& f, std::string* out);
// The checksum of a packet whose header fields and payload are given: the
// u32 sum, wrapping, of the magic word, frame, cmd, data, length and every
// payload byte as an unsigned value.
uint32_t wireChecksum(uint32_t frame, uint16_t cmd, uint16_t data, uint32_t length,
                      const uint8_t* payload, size_t payloadLength);
// Whether the `length` bytes at `p` are one packet: magic, the length field
// equal to `length`, and a matching checksum.
bool wireValid(const uint8_t* p, size_t length);

// Cuts packets out of a byte stream. Bytes before a magic are skipped;
// a header whose length is below 20 or above kMaxPacket is skipped by one
// byte; a packet whose checksum does not match is dropped whole.
class CSimFrameReader {
 public:
  // Largest packet accepted: a sector write of 65535 bytes plus headers.
  static constexpr uint32_t kMaxPacket = 65535 + 28;

  void feed(const uint8_t* bytes, size_t n);
  // Next complete valid packet into `out`; false when none is complete yet.
  bool next(SimFrame* out);
  // Bytes discarded so far (garbage, bad lengths, bad checksums).
  uint64_t skipped() const { return skipped_; }
  uint64_t badChecksums() const { return badChecksums_; }
  void reset();

 private:
  // Offset (> 0) from pos_ of a complete, valid packet after pos_, 0 if
  // none yet. Incremental: every candidate header is verified at most once,
  // when its claimed length has arrived, so a peer that trickles false
  // headers byte by byte cannot make each read rescan the whole buffer.
  size_t nextValidPacket();
  bool validAt(size_t at, uint32_t length);
  void resetResync();

  std::string buf_;
  size_t pos_ = 0;
  uint64_t base_ = 0;    // stream offset of buf_[0]
  bool aligned_ = true;  // pos_ follows a valid packet (or the stream start)
  // Resynchronisation state, in stream offsets: where the scan for
  // candidate headers continues, and the candidates still waiting for their
  // bytes as a min-heap of (end, start).
  uint64_t scanAt_ = 0;
  std::vector<std::pair<uint64_t, uint64_t>> waiting_;
  uint64_t skipped_ = 0;
  uint64_t badChecksums_ = 0;
};

inline uint16_t getU16(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }
inline uint32_t getU32(const uint8_t* p) {
  return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}
inline uint64_t getU64(const uint8_t* p) { return getU32(p) | (uint64_t(getU32(p + 4)) << 32); }
inline void putU16(uint8_t* p, uint16_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
}
inline void putU32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}
inline void putU64(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = uint8_t(v >> (8 * i));
}

// Names of the command and data type codes as the ops log writes them.
const char* cmdName(uint16_t cmd);
// `reply` selects "ACK_FAIL" over "NO_DATA" for code 255.
const char* dataName(uint16_t data, bool reply);

}  // namespace jyxsim

#endif  // JYX_SIM_FRAME_H_
