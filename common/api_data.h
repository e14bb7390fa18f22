// APIDATA: the argument and result record of a call: NUL-terminated text
// (usually a JSON object) plus raw bytes.
#ifndef JYX_COMMON_API_DATA_H_
#define JYX_COMMON_API_DATA_H_

#include <cstdint>

struct APIDATA {
  APIDATA();
  APIDATA(const APIDATA&) = delete;
  APIDATA& operator=(const APIDATA&) = delete;
  ~APIDATA();

  // Empties the text and sets byteLength to 0; capacities stay.
  void clear();
  // Grows the parts (doubling) until textLen < textCapacity and
  // byteLen < byteCapacity; existing content is kept.
  void reserve(int textLen, int byteLen);
  void copyFrom(const APIDATA* other);
  // Appends `text` (may be null) and n bytes (may be 0).
  void append(const char* text, const void* bytes, int n);

  char* text;
  uint8_t* bytes;  // always followed by one NUL byte
  int32_t byteLength;
  int32_t textCapacity;
  int32_t byteCapacity;
};

#endif  // JYX_COMMON_API_DATA_H_
