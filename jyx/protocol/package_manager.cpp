#include "jyx/protocol/package_manager.h"

CPackageManager* CPackageManager::instance() {
  static CPackageManager* manager = new CPackageManager();
  return manager;
}

CPackage* CPackageManager::getPackage() {
  {
    CSmartLock guard(&lock_);
    CPackage* package = free_;
    if (package != nullptr) {
      free_ = package->next();
      package->setNext(nullptr);
      return package;
    }
  }
  return new CPackage();
}

void CPackageManager::releasePackage(CPackage* package) {
  if (package == nullptr) return;
  package->reset();
  CSmartLock guard(&lock_);
  package->setNext(free_);
  free_ = package;
}

int CPackageManager::freeCount() {
  CSmartLock guard(&lock_);
  int n = 0;
  for (CPackage* p = free_; p != nullptr; p = p->next()) ++n;
  return n;
}
