// Anything that wants a slice of every main-loop pass.
#ifndef JYX_COMMON_UPDATER_H_
#define JYX_COMMON_UPDATER_H_

class CUpdater {
 public:
  virtual ~CUpdater() = default;
  // Called on the main thread once per pump with the pump time in seconds
  // (wall clock, microsecond resolution). Task managers are called twice per
  // pump, so implementations compare against `now` instead of counting calls.
  virtual void onUpdate(double now) {}
};

#endif  // JYX_COMMON_UPDATER_H_
