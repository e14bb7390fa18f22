// Anything that wants a slice of the main loop's passes.
#ifndef JYX_COMMON_UPDATER_H_
#define JYX_COMMON_UPDATER_H_

#include <limits>

class CUpdater {
 public:
  // nextDeadline() of an updater that acts only on events that wake the
  // loop (received bytes, finished tasks, signals).
  static constexpr double kNoDeadline = std::numeric_limits<double>::infinity();
  // How soon an updater that declares no deadline of its own is pumped again
  // while the loop is idle, in seconds.
  static constexpr double kHousekeepingSeconds = 0.1;

  virtual ~CUpdater() = default;
  // Called on the main thread once per pump with the pump time in seconds
  // (wall clock, microsecond resolution). Task managers are called twice per
  // pump, so implementations compare against `now` instead of counting calls.
  virtual void onUpdate(double now) {}
  // Main thread, after the pump at `now`: the pump time at which onUpdate
  // must run again when nothing wakes the loop before (kNoDeadline for
  // none). A state that another thread changes must wake the loop itself
  // (common/loop_wake.h); a deadline only covers the updater's own timers.
  // The default is the housekeeping interval, for timers not declared.
  virtual double nextDeadline(double now) { return now + kHousekeepingSeconds; }
};

#endif  // JYX_COMMON_UPDATER_H_
