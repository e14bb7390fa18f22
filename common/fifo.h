// Thread-safe circular byte queue: channel threads push received bytes, the
// parsers pop them on the main thread. Every operation holds the FIFO's own
// lock for its whole duration, so it is atomic with respect to the others.
#ifndef JYX_COMMON_FIFO_H_
#define JYX_COMMON_FIFO_H_

#include <condition_variable>
#include <cstdint>

#include "common/lock.h"

class CFifo {
 public:
  // Capacity in bytes, fixed for the FIFO's life; below 1 means 1024.
  explicit CFifo(int capacity);
  CFifo(const CFifo&) = delete;
  CFifo& operator=(const CFifo&) = delete;
  virtual ~CFifo();

  virtual int size();
  virtual void setSize(int size);
  virtual int capacity();

  // All or nothing: false (and nothing stored) when n > freeSpace().
  bool push(const void* bytes, int n);
  // False (and nothing taken) when n > size(). Emptying the FIFO resets both
  // positions to 0.
  bool pop(void* out, int n);
  // Copies n bytes starting `offset` bytes after the read position without
  // consuming them; false unless offset + n <= size().
  bool peek(void* out, int n, int offset);
  // Offset of the first full occurrence of the n-byte pattern, -1 if none.
  int find(const void* pattern, int n);
  // Discards bytes one at a time until the pattern stands at the front
  // (true) or fewer than n bytes remain (false).
  bool skipTo(const void* pattern, int n);
  void reset();
  int freeSpace();

  // Blocks until at least n bytes are free (true) or interruptWaits() was
  // called (false). The one thread that fills the FIFO waits here instead of
  // spinning while it is full; every pop, reset and setSize wakes it.
  bool waitForRoom(int n);
  // Blocks until the FIFO holds at least one byte (true) or interruptWaits()
  // was called (false); every push wakes it. For the one thread that drains.
  bool waitForData();
  // Ends every present and future waitForRoom() and waitForData() with false. For the owner
  // that is shutting the filling thread down; there is no undo.
  void interruptWaits();

 private:
  uint8_t at(int offset) const { return buffer_[(readPos_ + offset) % capacity_]; }
  void popFront(void* out, int n);

  int size_ = 0;
  int capacity_;
  uint8_t* buffer_;
  int readPos_ = 0;
  int writePos_ = 0;
  int roomWaiters_ = 0;
  int dataWaiters_ = 0;
  bool interrupted_ = false;
  std::condition_variable_any roomChanged_;
  CLock lock_;
};

#endif  // JYX_COMMON_FIFO_H_
