// CTaskManager: a named table of task handlers. Tasks are routed to a manager
// by the prefix of their name (everything before the first ':').
#ifndef JYX_COMMON_TASK_MANAGER_H_
#define JYX_COMMON_TASK_MANAGER_H_

#include <rapidjson/fwd.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "common/lock.h"
#include "common/task.h"
#include "common/updater.h"

class CTaskManager : public CTaskHandler {
 public:
  // Registers the manager with the API manager as an updater. Subclasses
  // also call registerTaskManager with their name and fill handlers_.
  CTaskManager();
  CTaskManager(const CTaskManager&) = delete;
  CTaskManager& operator=(const CTaskManager&) = delete;

  void onUpdate(double now) override {}
  // A manager without an onUpdate of its own has no timers.
  double nextDeadline(double now) override { return kNoDeadline; }
  virtual const std::string& name();
  virtual void setName(const std::string& name);
  // Unregisters the updater and returns the pending tasks to the pool.
  ~CTaskManager() override;
  virtual void start() {}
  virtual void stop() {}
  // Runs the handler registered under the task's full name; true (and
  // nothing done) when there is none.
  bool dispatchTask(CTask* task) override;
  bool hasHandler(const std::string& fullName) const override {
    return handlers_.count(fullName) != 0;
  }

  // Appends to the pending list (tasks the manager keeps while it works).
  void addPending(CTask* task);
  // Removes a task from the pending list; false when it was not there.
  bool removePending(CTask* task);
  // Posts the task to the API manager's completion list; its callback runs
  // on the main thread during a later pump.
  void finishTask(CTask* task);
  // Replaces the task's result text with the serialised JSON value.
  void setResultJson(CTask* task, const rapidjson::Value& value);
  void setResultText(CTask* task, const std::string& text);

  // Argument readers: parse the JSON object `json`; copy string members
  // "tag"/"action" into the buffers when given (at most 255 chars + NUL);
  // when member `key` exists, convert and store it. True exactly when `key`
  // was present. An empty text yields false at once.
  static bool getArgument(const char* json, const char* key, bool* out, char* tag = nullptr,
                          char* action = nullptr);
  static bool getArgument(const char* json, const char* key, int* out, char* tag = nullptr,
                          char* action = nullptr);
  static bool getArgument(const char* json, const char* key, unsigned int* out, char* tag = nullptr,
                          char* action = nullptr);
  static bool getArgument(const char* json, const char* key, int64_t* out, char* tag = nullptr,
                          char* action = nullptr);
  static bool getArgument(const char* json, const char* key, uint64_t* out, char* tag = nullptr,
                          char* action = nullptr);
  static bool getArgument(const char* json, const char* key, double* out, char* tag = nullptr,
                          char* action = nullptr);
  static bool getArgument(const char* json, const char* key, std::string* out, char* tag = nullptr,
                          char* action = nullptr);

 protected:
  using Handler = std::function<bool(CTask*)>;
  // Registers a handler under the full task name ("jyx.data:power_on").
  void addHandler(const std::string& fullName, Handler handler);

  std::string name_;
  std::map<std::string, Handler> handlers_;  // written only while constructing
  CLock lock_;                               // guards pending_
  CTask* pending_ = nullptr;
};

#endif  // JYX_COMMON_TASK_MANAGER_H_
