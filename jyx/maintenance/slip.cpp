#include "jyx/maintenance/slip.h"

#include "jyx/maintenance/esp_format.h"

namespace esp {

void slipEncode(const uint8_t* data, size_t n, std::vector<uint8_t>* out) {
  out->reserve(out->size() + n + n / 64 + 2);
  out->push_back(kSlipEnd);
  for (size_t i = 0; i < n; ++i) {
    if (data[i] == kSlipEnd) {
      out->push_back(kSlipEsc);
      out->push_back(kSlipEscEnd);
    } else if (data[i] == kSlipEsc) {
      out->push_back(kSlipEsc);
      out->push_back(kSlipEscEsc);
    } else {
      out->push_back(data[i]);
    }
  }
  out->push_back(kSlipEnd);
}

int slipDecode(const uint8_t* data, size_t n, std::vector<uint8_t>* out, uint8_t* badByte) {
  int bad = 0;
  out->reserve(out->size() + n);
  for (size_t i = 0; i < n; ++i) {
    if (data[i] != kSlipEsc) {
      out->push_back(data[i]);
      continue;
    }
    if (i + 1 == n) {
      if (bad++ == 0 && badByte != nullptr) *badByte = kSlipEsc;
      break;
    }
    uint8_t next = data[++i];
    if (next == kSlipEscEnd) {
      out->push_back(kSlipEnd);
    } else if (next == kSlipEscEsc) {
      out->push_back(kSlipEsc);
    } else {
      if (bad++ == 0 && badByte != nullptr) *badByte = next;
      out->push_back(next);
    }
  }
  return bad;
}

uint8_t espChecksum(const uint8_t* data, size_t n) {
  uint8_t sum = kChecksumSeed;
  for (size_t i = 0; i < n; ++i) sum ^= data[i];
  return sum;
}

}  // namespace esp
