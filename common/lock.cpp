#include "common/lock.h"

#include <cassert>

CSmartLock::CSmartLock(CLock* lock) : _lock(lock) {
  assert(_lock);
  _lock->lock();
}

CSmartLock::~CSmartLock() { _lock->unlock(); }
