#include "jyx/device/request_tracker.h"

#include <algorithm>
#include <limits>
#include <utility>

#include "jyx/protocol/package_manager.h"

CRequestTracker::~CRequestTracker() {
  while (head_) {
    CPackage* next = head_->next();
    CPackageManager::instance()->releasePackage(head_);
    head_ = next;
  }
}

void CRequestTracker::track(CPackage* request, PackageCallback onReply) {
  request->setNext(head_);
  head_ = request;
  request->setCallback(std::move(onReply));
}

PackageCallback CRequestTracker::match(CPackage* reply) {
  uint32_t frame = reply->frameNum();
  CPackage* previous = nullptr;
  for (CPackage* p = head_; p; previous = p, p = p->next()) {
    if (p->frameNum() == frame) return take(previous, p);
  }
  return PackageCallback();
}

PackageCallback CRequestTracker::expireOne(double now, bool live) {
  double limit = linkUnanswered_ ? kUnansweredLinkTimeout : kRequestTimeout;
  CPackage* previous = nullptr;
  for (CPackage* p = head_; p; previous = p, p = p->next()) {
    if (live && now - p->time() <= limit) continue;
    // Silence, not a lost link: the controller is not answering.
    if (live) linkUnanswered_ = true;
    return take(previous, p);
  }
  return PackageCallback();
}

double CRequestTracker::nextExpiry(double now, bool live) const {
  if (head_ == nullptr) return std::numeric_limits<double>::infinity();
  if (!live) return now;
  double limit = linkUnanswered_ ? kUnansweredLinkTimeout : kRequestTimeout;
  double next = std::numeric_limits<double>::infinity();
  for (CPackage* p = head_; p; p = p->next()) next = std::min(next, p->time() + limit);
  return next;
}

std::vector<PackageCallback> CRequestTracker::takeAll() {
  std::vector<PackageCallback> callbacks;
  CPackage* stale = head_;
  head_ = nullptr;
  while (stale) {
    CPackage* next = stale->next();
    callbacks.push_back(stale->callback());
    stale->setNext(nullptr);
    CPackageManager::instance()->releasePackage(stale);
    stale = next;
  }
  return callbacks;
}

int CRequestTracker::pendingCount() const {
  int count = 0;
  for (CPackage* p = head_; p; p = p->next()) ++count;
  return count;
}

PackageCallback CRequestTracker::take(CPackage* previous, CPackage* request) {
  PackageCallback callback = request->callback();
  if (previous) {
    previous->setNext(request->next());
  } else {
    head_ = request->next();
  }
  request->setNext(nullptr);
  CPackageManager::instance()->releasePackage(request);
  return callback;
}
