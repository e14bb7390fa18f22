// CPackageManager: the process-wide pool of CPackage objects. Requests and
// parser work buffers are taken from it and given back, so buffers are
// reused and the steady state allocates nothing. Packages are never freed.
//
// Thread-safe: get and release hold the pool's lock only for the list
// operation.
#ifndef JYX_JYX_PROTOCOL_PACKAGE_MANAGER_H_
#define JYX_JYX_PROTOCOL_PACKAGE_MANAGER_H_

#include "common/lock.h"
#include "jyx/protocol/package.h"

class CPackageManager {
 public:
  // Created on first use, never destroyed.
  static CPackageManager* instance();

  CPackageManager(const CPackageManager&) = delete;
  CPackageManager& operator=(const CPackageManager&) = delete;

  // A package from the free list (next link cleared), or a new one when the
  // list is empty. The caller holds it until releasePackage.
  CPackage* getPackage();
  // Resets the package (size 0, callback cleared; buffer kept) and puts it
  // back on the free list. Null is ignored. The package must not be on any
  // other list.
  void releasePackage(CPackage* package);

  // Packages currently on the free list.
  int freeCount();

 private:
  CPackageManager() = default;

  CLock lock_;
  CPackage* free_ = nullptr;
};

#endif  // JYX_JYX_PROTOCOL_PACKAGE_MANAGER_H_
