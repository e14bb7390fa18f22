#include "sim/frame.h"

#include <algorithm>
#include <cstring>
#include <functional>

namespace jyxsim {

namespace {
constexpr size_t kHeader = kWireHeader;
const uint8_t* const kMagicBytes = kWireMagic;
}  // namespace

uint32_t wireChecksum(uint32_t frame, uint16_t cmd, uint16_t data, uint32_t length,
                      const uint8_t* payload, size_t payloadLength) {
  uint32_t sum = getU32(kWireMagic) + frame + cmd + data + length;
  for (size_t i = 0; i < payloadLength; ++i) sum += payload[i];
  return sum;
}

bool wireValid(const uint8_t* p, size_t length) {
  if (length < kWireHeader || memcmp(p, kWireMagic, 4) != 0) return false;
  if (getU32(p + kWireLengthAt) != length) return false;
  uint32_t sum =
      wireChecksum(getU32(p + kWireFrameAt), getU16(p + kWireCmdAt), getU16(p + kWireDataAt),
                   uint32_t(length), p + kWireHeader, length - kWireHeader);
  return sum == getU32(p + kWireChecksumAt);
}

void encodeFrame(const SimFrame& f, std::string* out) {
  uint8_t header[kWireHeader];
  uint32_t length = uint32_t(kWireHeader + f.payload.size());
  memcpy(header, kWireMagic, 4);
  putU32(header + kWireFrameAt, f.frame);
  putU16(header + kWireCmdAt, f.cmd);
  putU16(header + kWireDataAt, f.data);
  putU32(header + kWireLengthAt, length);
  putU32(header + kWireChecksumAt,
         wireChecksum(f.frame, f.cmd, f.data, length, f.payload.data(), f.payload.size()));
  out->append(reinterpret_cast<const char*>(header), kWireHeader);
  out->append(reinterpret_cast<const char*>(f.payload.data()), f.payload.size());
}

void CSimFrameReader::feed(const uint8_t* bytes, size_t n) {
  if (pos_ > 0 && pos_ == buf_.size()) {
    base_ += pos_;
    buf_.clear();
    pos_ = 0;
  } else if (pos_ > 65536) {
    base_ += pos_;
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
      aligned_ = false;
      continue;
    }
    if (avail < kHeader) return false;
    uint32_t length = getU32(p + kWireLengthAt);
    if (length < kHeader || length > kMaxPacket) {
      pos_ += 1;
      skipped_ += 1;
      aligned_ = false;
      continue;
    }
    if (avail < length) {
      // After a resynchronisation a false header (a checksum ending in
      // 5A 5A before the next real magic, say) can claim a length that is
      // not there yet. Waiting for it would stall the link, so a later
      // complete, valid packet wins. On a packet boundary the header is
      // trusted: sector data may contain anything.
      if (aligned_) return false;
      size_t later = nextValidPacket();
      if (later == 0) return false;
      pos_ += later;
      skipped_ += later;
      continue;
    }
    if (!wireValid(p, length)) {
      // A corrupt packet may hide a real header inside it; resynchronise
      // one byte on instead of trusting the damaged length.
      pos_ += 1;
      skipped_ += 1;
      badChecksums_ += 1;
      aligned_ = false;
      continue;
    }
    out->frame = getU32(p + kWireFrameAt);
    out->cmd = getU16(p + kWireCmdAt);
    out->data = getU16(p + kWireDataAt);
    out->payload.assign(p + kHeader, p + length);
    pos_ += length;
    aligned_ = true;
    resetResync();
    return true;
  }
}

bool CSimFrameReader::validAt(size_t at, uint32_t length) {
  return wireValid(reinterpret_cast<const uint8_t*>(buf_.data()) + at, length);
}

void CSimFrameReader::resetResync() {
  scanAt_ = 0;
  waiting_.clear();
}

size_t CSimFrameReader::nextValidPacket() {
  const uint8_t* b = reinterpret_cast<const uint8_t*>(buf_.data());
  const uint64_t end = base_ + buf_.size();
  const uint64_t first = base_ + pos_ + 1;  // candidates start after pos_
  auto later = std::greater<std::pair<uint64_t, uint64_t>>();
  // Candidates seen earlier whose claimed bytes have arrived since.
  while (!waiting_.empty() && waiting_.front().first <= end) {
    std::pop_heap(waiting_.begin(), waiting_.end(), later);
    uint64_t at = waiting_.back().second;
    uint64_t stop = waiting_.back().first;
    waiting_.pop_back();
    if (at >= first && validAt(size_t(at - base_), uint32_t(stop - at))) {
      return size_t(at - base_ - pos_);
    }
  }
  if (scanAt_ < first) scanAt_ = first;
  while (scanAt_ + kHeader <= end) {
    size_t from = size_t(scanAt_ - base_);
    const void* hit = memmem(b + from, buf_.size() - from, kMagicBytes, 4);
    if (!hit) {
      scanAt_ = end - 3;  // a magic may straddle the end
      return 0;
    }
    uint64_t at = base_ + size_t(static_cast<const uint8_t*>(hit) - b);
    if (at + kHeader > end) {
      scanAt_ = at;  // header not complete yet
      return 0;
    }
    scanAt_ = at + 1;
    uint32_t length = getU32(b + (at - base_) + kWireLengthAt);
    if (length < kHeader || length > kMaxPacket) continue;
    if (length > end - at) {
      waiting_.push_back({at + length, at});
      std::push_heap(waiting_.begin(), waiting_.end(), later);
      continue;
    }
    if (validAt(size_t(at - base_), length)) return size_t(at - base_ - pos_);
  }
  return 0;
}

void CSimFrameReader::reset() {
  buf_.clear();
  pos_ = 0;
  base_ = 0;
  aligned_ = true;
  resetResync();
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
      "HEART_BEAT_DATA", "POWER_DATA", "GPIO_DATA",   "SPI_CTRL_INFO_DATA", "SPI_DATA",
      "UART_DATA_TYPE",  "POST_DATA",  "STRING_DATA", "SPI_REG_DATA",       "ACK24_DATA"};
  if (data < sizeof(kNames) / sizeof(kNames[0])) return kNames[data];
  if (data == 255) return reply ? "ACK_FAIL" : "NO_DATA";
  return "unknown";
}

}  // namespace jyxsim
