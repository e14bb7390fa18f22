// CRequestTracker: the requests sent to the controller that still wait for
// their reply. It numbers the frames, keeps the pending list (newest first,
// linked through CPackage::next), matches a reply to its request by frame
// number, expires requests that waited too long and remembers when the link
// was last busy. It owns every package on its list and returns each to the
// pool exactly once; the caller runs the callbacks it hands back, after the
// list is consistent again, so a callback may send or reconnect freely.
//
// Threads: main thread only.
#ifndef JYX_JYX_DEVICE_REQUEST_TRACKER_H_
#define JYX_JYX_DEVICE_REQUEST_TRACKER_H_

#include <cstdint>
#include <vector>

#include "jyx/protocol/package.h"

class CRequestTracker {
 public:
  // Seconds a request may wait for its reply.
  static constexpr double kRequestTimeout = 300.0;
  // Seconds a request may wait once a request on the link has gone
  // unanswered for kRequestTimeout and nothing has been received since. A
  // controller that stopped answering then fails each follow-up request in
  // seconds instead of costing another full time-out apiece; the first
  // packet received restores kRequestTimeout.
  static constexpr double kUnansweredLinkTimeout = 5.0;

  CRequestTracker() = default;
  CRequestTracker(const CRequestTracker&) = delete;
  CRequestTracker& operator=(const CRequestTracker&) = delete;
  // Returns every pending package to the pool; no callback runs.
  ~CRequestTracker();

  // Returns the current frame number and advances the counter.
  uint32_t nextFrameNum() { return frameCounter_++; }
  // Takes ownership of `request` and puts it at the head of the list with
  // its callback. The caller sends it and records the activity.
  void track(CPackage* request, PackageCallback onReply);
  // A packet arrived at `now`: the link answers again.
  void received(double now) {
    lastActivity_ = now;
    linkUnanswered_ = false;
  }
  // Returns the callback of the request with the reply's frame number (its
  // package already back in the pool), or an empty callback when none waits
  // for it.
  PackageCallback match(CPackage* reply);
  // Returns the callback of one request to fail at `now`: with `live` (the
  // link open and wanted) the oldest-listed request past its time-out, which
  // marks the link unanswered; without, any request. Empty when none.
  PackageCallback expireOne(double now, bool live);
  // When expireOne(live) next has a request to take: `now` when one is due
  // already (any pending one once the link is not live), kNoDeadline
  // (infinity) when none is pending.
  double nextExpiry(double now, bool live) const;
  // Unlinks every request (the list is empty before any callback runs) and
  // returns their callbacks, newest first.
  std::vector<PackageCallback> takeAll();
  int pendingCount() const;

  bool linkUnanswered() const { return linkUnanswered_; }
  double lastActivity() const { return lastActivity_; }
  void setLastActivity(double now) { lastActivity_ = now; }

 private:
  // Unlinks `request` (its predecessor is `previous`, null for the head),
  // returns it to the pool and hands back its callback.
  PackageCallback take(CPackage* previous, CPackage* request);

  uint32_t frameCounter_ = 0;
  CPackage* head_ = nullptr;  // newest first, linked through next
  bool linkUnanswered_ = false;
  double lastActivity_ = 0.0;
};

#endif  // JYX_JYX_DEVICE_REQUEST_TRACKER_H_
