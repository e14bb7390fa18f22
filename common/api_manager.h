// CAPIManager: the hub of the program. It owns the task-manager table, the
// updater list, the task pool, the delayed calls and the hand-over lists
// through which finished work and host events travel back to the main
// thread, and it is the program's only text output path (print).
#ifndef JYX_COMMON_API_MANAGER_H_
#define JYX_COMMON_API_MANAGER_H_

#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "common/api_data.h"
#include "common/lock.h"
#include "common/task.h"
#include "common/updater.h"

// Completion handed to the host with each event: (call id, reply record).
using HostDone = std::function<int(int, APIDATA*)>;
// Host callback: (call id, event name, argument record, completion).
using HostCallback = std::function<int(int, const char*, APIDATA*, HostDone)>;

// One delayed call; due when now - startTime >= delay.
class CAsyncCall {
 public:
  CAsyncCall(std::function<void()> function, double startTime, double delay)
      : startTime_(startTime), function_(std::move(function)), delay_(delay) {}
  virtual ~CAsyncCall() = default;
  virtual double startTime() { return startTime_; }
  virtual void setStartTime(double t) { startTime_ = t; }
  virtual bool fired() { return fired_; }
  virtual void setFired(bool fired) { fired_ = fired; }
  double delay() const { return delay_; }
  const std::function<void()>& function() const { return function_; }

 private:
  double startTime_;
  bool fired_ = false;
  std::function<void()> function_;
  double delay_;
};

class CAPIManager {
 public:
  // The single instance, created on first use and never destroyed; the
  // creating thread becomes the owner thread.
  static CAPIManager* instance();

  virtual ~CAPIManager();
  // Pump time in seconds, taken at the start of every update().
  virtual double time();

  // Current wall-clock time in seconds (gettimeofday, microsecond resolution).
  static double wallClock();

  uint32_t nextCallId();
  bool isOwnerThread();

  // Reads "operatingSystem" and "docPath" from the JSON object, stores the
  // host callback and returns the current working directory.
  const char* init(const char* json, HostCallback hostCallback);

  // apiInit calls this before init so that a host always finds the
  // controller object; it lives in a layer above this one, which installs it.
  static void setControllerFactory(void (*factory)());

  void registerTaskManager(const std::string& name, CTaskHandler* manager);
  void unregisterTaskManager(const std::string& name, CTaskHandler* manager);
  void addUpdater(CUpdater* updater);
  void removeUpdater(CUpdater* updater);

  // Runs `function` from a pump at least delaySeconds after now (wall clock).
  // Any thread; the function runs on the main thread.
  void startAsyncCall(std::function<void()> function, double delaySeconds);
  // Forgets every delayed call that has not run yet. For a host that tears
  // down the objects those calls use while this manager lives on (the unit
  // tests do at the end of each test).
  void cancelAsyncCalls();

  CTask* acquireTask();
  void releaseTask(CTask* task);
  CTask* createTask(int id, const std::string& name, const APIDATA* data, TaskCallback callback);
  // Routes the task to the manager named by its prefix; false (and the
  // message "dispatchTask-<name> does not exist") when there is none.
  bool dispatchTask(CTask* task);
  // Whether a manager registered under the name's prefix has a handler for
  // the whole name (a task that dispatchTask would run).
  bool hasTask(const std::string& name);
  // Creates and dispatches a task whose completion calls done(id, result).
  void onInvoke(int id, const char* name, const APIDATA* data, HostDone done);
  // Posts the task to the completion list (no duplicates); any thread.
  void finishTask(CTask* task);
  // Raises a host event; the reply text reaches `callback` through the task's result.
  void sendEvent(const char* name, const char* payload, TaskCallback callback);
  int onHostReply(int id, APIDATA* reply);

  // printf-style output to standard output, any length, from any thread.
  void print(const char* format, ...) __attribute__((format(printf, 2, 3)));

  // Longest pause between two pumps, in seconds, even when no updater has
  // a deadline: a safety net for a wake-up that never comes.
  static constexpr double kMaxIdleSeconds = 1.0;

  // One pump of the main loop, in named steps: the task managers' and the
  // updaters' onUpdate, at most one due delayed call, the tasks released by
  // the previous pump, the completion callbacks, the events for the host.
  void update();

  // Main thread, after a pump: how long the loop may block before the next
  // one, in ms. 0 when work is already waiting (completions, garbage, host
  // events, a due delayed call); otherwise the time to the next delayed call
  // or the earliest nextDeadline() of the managers and updaters, at most
  // kMaxIdleSeconds; `extraDeadline` (pump time) is one more deadline, the
  // front end's. Work that other threads add meanwhile (finishTask,
  // startAsyncCall, sendEvent, a channel's received bytes) wakes the loop
  // through common/loop_wake.h.
  int idleWaitMs(double extraDeadline = CUpdater::kNoDeadline);

  const std::string& cwd() const { return cwd_; }
  const std::string& docPath() const { return docPath_; }
  const std::string& operatingSystem() const { return operatingSystem_; }

 private:
  CAPIManager();

  // The steps of update(), in order.
  void updateManagers(std::vector<CTaskHandler*>* snapshot);
  void updateUpdaters(std::vector<CUpdater*>* snapshot);
  void runDueCall();
  void releaseGarbage();
  void runCompletions();
  void deliverHostEvents();

  double now_;
  uint32_t nextId_ = 1;
  std::thread::id ownerThread_;
  CLock managersLock_;
  std::map<std::string, CTaskHandler*> managers_;
  CLock updatersLock_;
  std::list<CUpdater*> updaters_;
  CLock delayedLock_;
  std::list<CAsyncCall*> delayedCalls_;
  CLock garbageLock_;
  CTask* garbage_ = nullptr;
  CLock poolLock_;
  CTask* taskPool_ = nullptr;
  CLock finishedLock_;
  CTask* finished_ = nullptr;
  CLock outgoingLock_;
  CTask* outgoing_ = nullptr;
  CLock waitingLock_;
  CTask* waiting_ = nullptr;
  std::string cwd_;
  std::string docPath_;
  std::string operatingSystem_;
  HostCallback hostCallback_;
};

// C-style entry points for a host; each forwards to the single instance.
extern "C" {
const char* apiInit(const char* json,
                    int (*hostCallback)(int, const char*, APIDATA*, int (*)(int, APIDATA*)));
void apiInvoke(int id, const char* name, APIDATA* data, int (*done)(int, APIDATA*));
void apiUpdate();
}

#endif  // JYX_COMMON_API_MANAGER_H_
