// Recursive lock and its scoped guard. Every lock in the program is a CLock
// taken through a CSmartLock on the stack.
#ifndef JYX_COMMON_LOCK_H_
#define JYX_COMMON_LOCK_H_

#include <mutex>

class CLock {
 public:
  CLock() = default;
  CLock(const CLock&) = delete;
  CLock& operator=(const CLock&) = delete;
  virtual ~CLock() = default;

  // Blocks until the calling thread holds the lock; a thread that already
  // holds it takes it again (one more level to unlock). Throws
  // std::system_error if the mutex itself fails.
  void lock() { mutex_.lock(); }
  // True when the lock was taken.
  bool tryLock() { return mutex_.try_lock(); }
  // Releases one level.
  void unlock() { mutex_.unlock(); }

 private:
  std::recursive_mutex mutex_;
};

// Holds `lock` for the guard's lifetime. The pointer must not be null.
class CSmartLock {
 public:
  explicit CSmartLock(CLock* lock);
  CSmartLock(const CSmartLock&) = delete;
  CSmartLock& operator=(const CSmartLock&) = delete;
  virtual ~CSmartLock();

 private:
  CLock* _lock;
};

#endif  // JYX_COMMON_LOCK_H_
