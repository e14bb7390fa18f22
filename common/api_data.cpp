#include "common/api_data.h"

#include <cstdlib>
#include <cstring>

namespace {
// Both parts start with room for 256 characters/bytes; they only grow.
constexpr int32_t kInitialCapacity = 256;
}  // namespace

APIDATA::APIDATA()
    : text(static_cast<char*>(calloc(kInitialCapacity, 1))),
      bytes(static_cast<uint8_t*>(calloc(kInitialCapacity + 1, 1))),
      byteLength(0),
      textCapacity(kInitialCapacity),
      byteCapacity(kInitialCapacity) {}

APIDATA::~APIDATA() {
  free(text);
  free(bytes);
}

void APIDATA::clear() {
  text[0] = '\0';
  byteLength = 0;
  bytes[0] = 0;
}

void APIDATA::reserve(int textLen, int byteLen) {
  if (textLen >= textCapacity) {
    int32_t capacity = textCapacity;
    while (textLen >= capacity) capacity *= 2;
    char* grown = static_cast<char*>(calloc(capacity, 1));
    size_t used = strlen(text);
    if (static_cast<int32_t>(used) < capacity) memcpy(grown, text, used + 1);
    free(text);
    text = grown;
    textCapacity = capacity;
  }
  if (byteLen >= byteCapacity) {
    int32_t capacity = byteCapacity;
    while (byteLen >= capacity) capacity *= 2;
    // One spare byte keeps the payload NUL-terminated for text consumers.
    uint8_t* grown = static_cast<uint8_t*>(calloc(capacity + 1, 1));
    if (byteLength > 0 && byteLength <= capacity) memcpy(grown, bytes, byteLength);
    free(bytes);
    bytes = grown;
    byteCapacity = capacity;
  }
}

void APIDATA::copyFrom(const APIDATA* other) {
  clear();
  if (other == nullptr || other == this) return;
  append(other->text, other->bytes, other->byteLength);
}

void APIDATA::append(const char* more, const void* moreBytes, int n) {
  size_t used = strlen(text);
  size_t extra = more != nullptr ? strlen(more) : 0;
  if (n < 0 || moreBytes == nullptr) n = 0;
  reserve(static_cast<int>(used + extra), byteLength + n);
  if (extra > 0) memcpy(text + used, more, extra + 1);
  if (n > 0) {
    memcpy(bytes + byteLength, moreBytes, n);
    byteLength += n;
  }
  bytes[byteLength] = 0;
}
