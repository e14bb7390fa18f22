// The simulator's view of one controller packet: header fields plus payload
// bytes, and the stream decoder that cuts packets out of the bytes a client
// sends. Little-endian helpers for payload fields live here too.
#ifndef JYX_SIM_FRAME_H_
#define JYX_SIM_FRAME_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "jyx/protocol/package.h"

namespace jyxsim {

struct SimFrame {
  uint32_t frame = 0;
  uint16_t cmd = 0;
  uint16_t data = 0;
  std::vector<uint8_t> payload;
};

// Appends the complete packet (header, checksum, payload) to `out`,
// built in `scratch` with the project's packet builder.
void encodeFrame(const SimFrame& f, CPackage* scratch, std::string* out);

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

  CPackage check_;  // candidate packet, verified with the packet code
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
