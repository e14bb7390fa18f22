#include "common/buffer.h"

#include <cstring>

CBuffer::CBuffer(int capacity) { reserve(capacity); }

CBuffer::CBuffer(const CBuffer& other) {
  reserve(other.length_);
  if (other.length_ > 0) memcpy(data_, other.data_, other.length_);
  length_ = other.length_;
}

CBuffer& CBuffer::operator=(const CBuffer& other) {
  if (this != &other) assign(other);
  return *this;
}

CBuffer::~CBuffer() { delete[] data_; }

uint8_t* CBuffer::data() { return data_; }

void CBuffer::setData(uint8_t* data, int length, int capacity) {
  if (data == data_) return;
  delete[] data_;
  data_ = data;
  capacity_ = capacity;
  length_ = length;
}

int CBuffer::length() { return length_; }

void CBuffer::setLength(int length) {
  if (length >= 0 && length <= capacity_) length_ = length;
}

int CBuffer::capacity() { return capacity_; }

void CBuffer::reserve(int n) {
  if (n <= capacity_) return;
  uint8_t* grown = new uint8_t[n];
  if (length_ > 0) memcpy(grown, data_, length_);
  delete[] data_;
  data_ = grown;
  capacity_ = n;
}

void CBuffer::append(const void* bytes, int n) {
  if (n <= 0) return;
  reserve(length_ + n);
  memcpy(data_ + length_, bytes, n);
  length_ += n;
}

void CBuffer::assign(const CBuffer& other) {
  length_ = 0;
  reserve(other.length_);
  if (other.length_ > 0) memcpy(data_, other.data_, other.length_);
  length_ = other.length_;
}

bool CBuffer::equals(const CBuffer& other) const {
  return length_ > 0 && length_ == other.length_ && memcmp(data_, other.data_, length_) == 0;
}

void CBuffer::clear() { length_ = 0; }

void CBuffer::zero() {
  if (capacity_ > 0) memset(data_, 0, capacity_);
}
