// Little-endian encoding and decoding of fixed-width integers. Every binary
// format of the tool (controller packets, the power data file, SLIP frames,
// GPT structures) is little-endian; these are the only place that knows how.
// The pointers need no alignment; the caller guarantees the bytes exist.
#ifndef JYX_COMMON_BYTE_ORDER_H_
#define JYX_COMMON_BYTE_ORDER_H_

#include <cstddef>
#include <cstdint>

namespace jyx {

inline void encodeFixed16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

inline void encodeFixed32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

inline void encodeFixed64(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

inline uint16_t decodeFixed16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

inline uint32_t decodeFixed32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

inline uint64_t decodeFixed64(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

// An unsigned little-endian field of 1..8 bytes.
inline uint64_t decodeLittle(const uint8_t* p, size_t width) {
  uint64_t v = 0;
  for (size_t i = width; i-- > 0;) v = (v << 8) | p[i];
  return v;
}

inline void encodeLittle(uint8_t* p, size_t width, uint64_t v) {
  for (size_t i = 0; i < width; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace jyx

#endif  // JYX_COMMON_BYTE_ORDER_H_
