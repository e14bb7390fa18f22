#include "common/number_text.h"

uint64_t parseNumberText(const char* text) {
  if (text == nullptr) return 0;
  uint64_t value = 0;
  if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    for (const char* p = text + 2;; ++p) {
      int digit;
      if (*p >= '0' && *p <= '9') {
        digit = *p - '0';
      } else if (*p >= 'a' && *p <= 'f') {
        digit = *p - 'a' + 10;
      } else if (*p >= 'A' && *p <= 'F') {
        digit = *p - 'A' + 10;
      } else {
        break;
      }
      value = value * 16 + static_cast<uint64_t>(digit);
    }
    return value;
  }
  for (const char* p = text; *p >= '0' && *p <= '9'; ++p) {
    value = value * 10 + static_cast<uint64_t>(*p - '0');
  }
  return value;
}
