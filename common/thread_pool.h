// Pooled worker threads. The program creates no threads of its own besides
// these (the FTDI layer and libusb start theirs): at most kMaxThreads exist,
// they are never destroyed, and a finished job hands its thread back to the
// pool for the next caller.
#ifndef JYX_COMMON_THREAD_POOL_H_
#define JYX_COMMON_THREAD_POOL_H_

#include <cstdint>
#include <functional>

#include "common/lock.h"

class CThread;
using ThreadWork = std::function<void(CThread*)>;

// Sleeps n milliseconds; restarted when a signal interrupts it. n <= 0
// returns at once.
void sleepMs(int n);

// One pool thread. Its loop runs `work` about once per millisecond: for ever
// when count <= 0, otherwise `count` times, after which the thread recycles
// itself. The work runs with the thread's lock held, so it may call
// recycle() from inside.
class CThread {
 public:
  CThread() = default;
  CThread(const CThread&) = delete;
  CThread& operator=(const CThread&) = delete;
  virtual ~CThread() = default;

  virtual int count();
  virtual void setCount(int count);
  virtual uint64_t param();
  virtual void setParam(uint64_t param);
  virtual CThread* next();
  virtual void setNext(CThread* next);

  // Installs a new job: work, run count and the user's opaque value.
  void setWork(ThreadWork work, int count, uint64_t param);
  // Stops running the current work and returns the thread to the pool.
  void recycle();
  // Number of times the current work has run.
  int runs();

  // The thread body; returns only when stopped is set (nothing sets it).
  void loop();

 private:
  int count_ = 0;
  uint64_t param_ = 0;
  CThread* next_ = nullptr;
  CLock lock_;
  int runs_ = 0;
  bool stopped_ = false;
  ThreadWork work_;
};

class CThreadPool {
 public:
  // Upper bound on pool threads; the 33rd concurrent get() yields null.
  static constexpr int kMaxThreads = 32;

  static CThreadPool* instance();

  // Hands out a free thread running `work` (count -1: for ever; 1: once),
  // creating one while fewer than kMaxThreads exist; null when all are busy.
  CThread* get(ThreadWork work, int count, uint64_t param);

  // Called by CThread::recycle: pushes the thread on the free list.
  void putBack(CThread* thread);

  // Threads created so far (for tests and diagnostics).
  int created();

  virtual ~CThreadPool() = default;

 private:
  CThreadPool() = default;

  CLock lock_;
  int created_ = 0;
  CThread* freeList_ = nullptr;
};

#endif  // JYX_COMMON_THREAD_POOL_H_
