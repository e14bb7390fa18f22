// Pooled worker threads. The program creates no threads of its own besides
// these (the FTDI layer and libusb start theirs): at most kMaxThreads exist,
// they are never destroyed, and a finished job hands its thread back to the
// pool for the next caller.
#ifndef JYX_COMMON_THREAD_POOL_H_
#define JYX_COMMON_THREAD_POOL_H_

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>

#include "common/lock.h"

class CThread;
using ThreadWork = std::function<void(CThread*)>;

// Sleeps n milliseconds; restarted when a signal interrupts it. n <= 0
// returns at once.
void sleepMs(int n);

// One pool thread. Its loop runs `work` back to back: for ever when
// count <= 0, otherwise `count` times, after which the thread recycles
// itself. Work that runs for ever must therefore block inside (on its
// descriptor or a condition) until it has something to do. Without work the
// thread waits on a condition until setWork() hands it a job. The work runs
// with the thread's lock held, so it may call recycle() from inside.
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
  // From another thread it waits for a running pass to end (the owner of
  // the work makes a blocked pass return first) and no further pass starts.
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
  // Set by recycle() before it takes lock_: the loop then leaves the lock
  // between passes instead of taking it straight back (a mutex is not fair).
  std::atomic<int> recycling_{0};
  std::condition_variable_any wake_;  // work installed or recycle finished
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
  // Whether `thread` lies on the free list (for tests and diagnostics).
  bool isFree(const CThread* thread);

  // Blocks until every thread created so far has entered its loop (so a
  // channel made before the call has both its threads waiting on their
  // device or condition), or until timeoutMs passed. True when all had.
  bool waitUntilStarted(int timeoutMs);

  // Called by a new thread when its loop begins.
  void noteStarted();

  virtual ~CThreadPool() = default;

 private:
  CThreadPool() = default;

  CLock lock_;
  int created_ = 0;
  CThread* freeList_ = nullptr;
  std::mutex startMutex_;  // guards started_
  std::condition_variable started_cv_;
  int started_ = 0;
};

#endif  // JYX_COMMON_THREAD_POOL_H_
