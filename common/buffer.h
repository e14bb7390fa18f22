// Growable byte buffer. Capacity only ever grows; reserve allocates exactly
// what is asked for.
#ifndef JYX_COMMON_BUFFER_H_
#define JYX_COMMON_BUFFER_H_

#include <cstdint>

class CBuffer {
 public:
  explicit CBuffer(int capacity = 0);
  // Reserves exactly other.length() bytes and copies them.
  CBuffer(const CBuffer& other);
  CBuffer& operator=(const CBuffer& other);
  virtual ~CBuffer();

  virtual uint8_t* data();
  // Takes ownership of `data`, which holds `capacity` bytes, the first
  // `length` of them in use.
  virtual void setData(uint8_t* data, int length, int capacity);
  virtual int length();
  virtual void setLength(int length);
  virtual int capacity();

  void reserve(int n);
  void append(const void* bytes, int n);
  void assign(const CBuffer& other);
  // True only when both lengths are equal and positive and the bytes match.
  bool equals(const CBuffer& other) const;
  void clear();
  // Fills the whole capacity with zero bytes.
  void zero();

 private:
  uint8_t* data_ = nullptr;
  int length_ = 0;
  int capacity_ = 0;
};

#endif  // JYX_COMMON_BUFFER_H_
