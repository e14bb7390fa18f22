#include "sim/frame.h"

#include <cstring>

namespace jyxsim {

namespace {
constexpr uint32_t kMagic = 0x5A5A5A5Au;
constexpr size_t kHeader = 20;
const uint8_t kMagicBytes[4] = {0x5A, 0x5A, 0x5A, 0x5A};
}  // namespace

uint32_t frameChecksum(uint32_t frame, uint16_t cmd, uint16_t data, uint32_t length,
                       const uint8_t* payload, size_t payloadLen) {
  uint32_t sum = kMagic + frame + cmd + data + length;
  for (size_t i = 0; i < payloadLen; ++i) sum += payload[i];
  return sum;
}

void encodeFrame(const SimFrame& f, std::string* out) {
  uint8_t h[kHeader];
  uint32_t length = uint32_t(kHeader + f.payload.size());
  putU32(h, kMagic);
  putU32(h + 4, f.frame);
  putU16(h + 8, f.cmd);
  putU16(h + 10, f.data);
  putU32(h + 12, length);
  putU32(h + 16, frameChecksum(f.frame, f.cmd, f.data, length, f.payload.data(),
                               f.payload.size()));
  out->append(reinterpret_cast<const char*>(h), kHeader);
  out->append(reinterpret_cast<const char*>(f.payload.data()), f.payload.size());
}

void CSimFrameReader::feed(const uint8_t* bytes, size_t n) {
  if (pos_ > 0 && pos_ == buf_.size()) {
    buf_.clear();
    pos_ = 0;
  } else if (pos_ > 65536) {
    buf_.erase(0, pos_);
    pos_ = 0;
  }
  buf_.append(reinterpret_cast<const char*>(bytes), n);
}

bool CSimFrameReader::next(SimFrame* out) {
  for (;;) {
    size_t avail = buf_.size() - pos_;
    if (avail < 4) return false;
    const uint8_t* p = reinterpret_cast<const uint8_t*>(buf_.data()) + pos_;
    if (memcmp(p, kMagicBytes, 4) != 0) {
      const void* hit = memmem(p + 1, avail - 1, kMagicBytes, 4);
      size_t skip = hit ? size_t(static_cast<const uint8_t*>(hit) - p) : avail - 3;
      pos_ += skip;
      skipped_ += skip;
      continue;
    }
    if (avail < kHeader) return false;
    uint32_t length = getU32(p + 12);
    if (length < kHeader || length > kMaxPacket) {
      pos_ += 1;
      skipped_ += 1;
      continue;
    }
    if (avail < length) return false;
    uint32_t stored = getU32(p + 16);
    uint32_t frame = getU32(p + 4);
    uint16_t cmd = getU16(p + 8), data = getU16(p + 10);
    if (frameChecksum(frame, cmd, data, length, p + kHeader, length - kHeader) != stored) {
      // A corrupt packet may hide a real header inside it; resynchronise
      // one byte on instead of trusting the damaged length.
      pos_ += 1;
      skipped_ += 1;
      badChecksums_ += 1;
      continue;
    }
    out->frame = frame;
    out->cmd = cmd;
    out->data = data;
    out->payload.assign(p + kHeader, p + length);
    pos_ += length;
    return true;
  }
}

void CSimFrameReader::reset() {
  buf_.clear();
  pos_ = 0;
}

const char* cmdName(uint16_t cmd) {
  static const char* const kNames[] = {"HEART_BEAT", "DEVICE_ACK", "POWER_CTRL",
                                       "GPIO_CTRL",  "SPI_CTRL",   "UART_CTRL",
                                       "POST_CTRL",  "SPI_READ",   "STRING_CMD"};
  if (cmd < sizeof(kNames) / sizeof(kNames[0])) return kNames[cmd];
  return cmd == 255 ? "0xff" : "unknown";
}

const char* dataName(uint16_t data, bool reply) {
  static const char* const kNames[] = {
      "HEART_BEAT_DATA", "POWER_DATA",  "GPIO_DATA",    "SPI_CTRL_INFO_DATA", "SPI_DATA",
      "UART_DATA_TYPE",  "POST_DATA",   "STRING_DATA",  "SPI_REG_DATA",       "ACK24_DATA"};
  if (data < sizeof(kNames) / sizeof(kNames[0])) return kNames[data];
  if (data == 255) return reply ? "ACK_FAIL" : "NO_DATA";
  return "unknown";
}

}  // namespace jyxsim
