#include "common/thread_pool.h"

#include <cerrno>
#include <chrono>
#include <ctime>
#include <mutex>
#include <thread>

void sleepMs(int n) {
  if (n <= 0) return;
  timespec req{n / 1000, static_cast<long>(n % 1000) * 1000000L};
  timespec rem{};
  while (nanosleep(&req, &rem) == -1 && errno == EINTR) req = rem;
}

int CThread::count() {
  CSmartLock guard(&lock_);
  return count_;
}
void CThread::setCount(int count) {
  CSmartLock guard(&lock_);
  count_ = count;
}
uint64_t CThread::param() {
  CSmartLock guard(&lock_);
  return param_;
}
void CThread::setParam(uint64_t param) {
  CSmartLock guard(&lock_);
  param_ = param;
}
CThread* CThread::next() { return next_; }
void CThread::setNext(CThread* next) { next_ = next; }

int CThread::runs() {
  CSmartLock guard(&lock_);
  return runs_;
}

void CThread::setWork(ThreadWork work, int count, uint64_t param) {
  {
    CSmartLock guard(&lock_);
    work_ = std::move(work);
    count_ = count;
    runs_ = 0;
    param_ = param;
  }
  wake_.notify_all();
}

void CThread::recycle() {
  recycling_.fetch_add(1);
  {
    CSmartLock guard(&lock_);
    work_ = nullptr;
    count_ = 0;
    runs_ = 0;
    param_ = 0;
    recycling_.fetch_sub(1);
  }
  wake_.notify_all();
  CThreadPool::instance()->putBack(this);
}

void CThread::loop() {
  CThreadPool::instance()->noteStarted();
  std::unique_lock<CLock> hold(lock_);
  stopped_ = false;
  while (!stopped_) {
    bool idle = !work_ || (count_ > 0 && runs_ >= count_);
    if (idle || recycling_.load() > 0) {
      // No job (or a spent one-shot job), or a recycle waiting for the lock:
      // the wait releases the lock until setWork() or recycle() notifies.
      wake_.wait(hold, [this] {
        return recycling_.load() == 0 && work_ && !(count_ > 0 && runs_ >= count_);
      });
      continue;
    }
    // The work is copied so that a recycle() from inside it cannot destroy
    // the callable while it runs.
    ThreadWork work = work_;
    work(this);
    if (count_ > 0 && ++runs_ >= count_) recycle();
  }
}

CThreadPool* CThreadPool::instance() {
  static CThreadPool* pool = new CThreadPool();
  return pool;
}

CThread* CThreadPool::get(ThreadWork work, int count, uint64_t param) {
  CThread* thread = nullptr;
  {
    CSmartLock guard(&lock_);
    if (freeList_) {
      thread = freeList_;
      freeList_ = thread->next();
      thread->setNext(nullptr);
    } else if (created_ < kMaxThreads) {
      ++created_;
    } else {
      return nullptr;
    }
  }
  // The work is installed after the pool lock is released: a taken thread is
  // no longer reachable from the free list, and a recycling thread takes its
  // own lock before the pool lock, so the two locks are never nested the
  // other way round.
  if (thread) {
    thread->setWork(std::move(work), count, param);
    return thread;
  }
  thread = new CThread();
  thread->setWork(std::move(work), count, param);
  std::thread([thread] { thread->loop(); }).detach();
  return thread;
}

void CThreadPool::putBack(CThread* thread) {
  CSmartLock guard(&lock_);
  thread->setNext(freeList_);
  freeList_ = thread;
}

bool CThreadPool::isFree(const CThread* thread) {
  CSmartLock guard(&lock_);
  for (CThread* t = freeList_; t != nullptr; t = t->next()) {
    if (t == thread) return true;
  }
  return false;
}

void CThreadPool::noteStarted() {
  std::lock_guard<std::mutex> hold(startMutex_);
  ++started_;
  started_cv_.notify_all();
}

bool CThreadPool::waitUntilStarted(int timeoutMs) {
  int target = created();
  std::unique_lock<std::mutex> hold(startMutex_);
  return started_cv_.wait_for(hold, std::chrono::milliseconds(timeoutMs),
                              [this, target] { return started_ >= target; });
}

int CThreadPool::created() {
  CSmartLock guard(&lock_);
  return created_;
}
