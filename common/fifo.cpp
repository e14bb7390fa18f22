#include "common/fifo.h"

#include <cstring>
#include <mutex>

CFifo::CFifo(int capacity) : capacity_(capacity < 1 ? 1024 : capacity) {
  buffer_ = new uint8_t[capacity_];
}

CFifo::~CFifo() { delete[] buffer_; }

int CFifo::size() {
  CSmartLock guard(&lock_);
  return size_;
}

void CFifo::setSize(int size) {
  CSmartLock guard(&lock_);
  if (roomWaiters_ > 0) roomChanged_.notify_all();
  if (size >= 0 && size <= capacity_) size_ = size;
}

int CFifo::capacity() { return capacity_; }

int CFifo::freeSpace() {
  CSmartLock guard(&lock_);
  return capacity_ - size_;
}

bool CFifo::push(const void* bytes, int n) {
  CSmartLock guard(&lock_);
  if (n < 0 || n > capacity_ - size_) return false;
  const uint8_t* src = static_cast<const uint8_t*>(bytes);
  int first = capacity_ - writePos_;
  if (first > n) first = n;
  memcpy(buffer_ + writePos_, src, first);
  memcpy(buffer_, src + first, n - first);
  writePos_ = (writePos_ + n) % capacity_;
  size_ += n;
  if (dataWaiters_ > 0) roomChanged_.notify_all();
  return true;
}

void CFifo::popFront(void* out, int n) {
  if (out) {
    uint8_t* dst = static_cast<uint8_t*>(out);
    int first = capacity_ - readPos_;
    if (first > n) first = n;
    memcpy(dst, buffer_ + readPos_, first);
    memcpy(dst + first, buffer_, n - first);
  }
  readPos_ = (readPos_ + n) % capacity_;
  size_ -= n;
  if (size_ == 0) readPos_ = writePos_ = 0;
  if (roomWaiters_ > 0) roomChanged_.notify_all();
}

bool CFifo::pop(void* out, int n) {
  CSmartLock guard(&lock_);
  if (n < 0 || n > size_) return false;
  popFront(out, n);
  return true;
}

bool CFifo::peek(void* out, int n, int offset) {
  CSmartLock guard(&lock_);
  if (n < 0 || offset < 0 || offset + n > size_) return false;
  uint8_t* dst = static_cast<uint8_t*>(out);
  int start = (readPos_ + offset) % capacity_;
  int first = capacity_ - start;
  if (first > n) first = n;
  memcpy(dst, buffer_ + start, first);
  memcpy(dst + first, buffer_, n - first);
  return true;
}

int CFifo::find(const void* pattern, int n) {
  CSmartLock guard(&lock_);
  const uint8_t* p = static_cast<const uint8_t*>(pattern);
  if (n <= 0) return size_ > 0 ? 0 : -1;
  for (int k = 0; k + n <= size_; ++k) {
    if (at(k) != p[0]) continue;
    int i = 1;
    while (i < n && at(k + i) == p[i]) ++i;
    if (i == n) return k;
  }
  return -1;
}

bool CFifo::skipTo(const void* pattern, int n) {
  CSmartLock guard(&lock_);
  const uint8_t* p = static_cast<const uint8_t*>(pattern);
  while (size_ >= n) {
    int i = 0;
    while (i < n && at(i) == p[i]) ++i;
    if (i == n) return true;
    popFront(nullptr, 1);
  }
  return false;
}

void CFifo::reset() {
  CSmartLock guard(&lock_);
  size_ = readPos_ = writePos_ = 0;
  if (roomWaiters_ > 0) roomChanged_.notify_all();
}

bool CFifo::waitForRoom(int n) {
  std::unique_lock<CLock> hold(lock_);
  ++roomWaiters_;
  roomChanged_.wait(hold, [this, n] { return interrupted_ || capacity_ - size_ >= n; });
  --roomWaiters_;
  return !interrupted_;
}

bool CFifo::waitForData() {
  std::unique_lock<CLock> hold(lock_);
  ++dataWaiters_;
  roomChanged_.wait(hold, [this] { return interrupted_ || size_ > 0; });
  --dataWaiters_;
  return !interrupted_;
}

void CFifo::interruptWaits() {
  {
    CSmartLock guard(&lock_);
    interrupted_ = true;
  }
  roomChanged_.notify_all();
}
