// CTask: one named call ("manager:action") with its argument and result
// records and its completion callback. Tasks are pooled by the API manager:
// never deleted after use, only reset and reused.
#ifndef JYX_COMMON_TASK_H_
#define JYX_COMMON_TASK_H_

#include <cstdint>
#include <functional>
#include <string>

#include "common/api_data.h"
#include "common/updater.h"

class CTask;
using TaskCallback = std::function<bool(CTask*)>;

class CTask {
 public:
  CTask();
  CTask(const CTask&) = delete;
  CTask& operator=(const CTask&) = delete;
  virtual ~CTask();

  virtual int32_t id();
  virtual void setId(int32_t id);
  virtual const std::string& name();
  virtual void setName(const std::string& name);
  virtual APIDATA* data();
  virtual void setData(APIDATA* data);  // takes ownership
  virtual TaskCallback callback();      // a copy
  virtual void setCallback(TaskCallback callback);
  virtual APIDATA* result();
  virtual void setResult(APIDATA* result);  // takes ownership
  virtual CTask* next();
  virtual void setNext(CTask* next);

 private:
  int32_t id_ = 0;
  std::string name_;
  APIDATA* data_;
  TaskCallback callback_;
  APIDATA* result_;
  CTask* next_ = nullptr;
};

// What the API manager routes tasks to (CTaskManager): an updater that takes
// the tasks whose names begin with the name it was registered under. Kept
// here so that the API manager needs nothing of the managers themselves.
class CTaskHandler : public CUpdater {
 public:
  // Runs the task; true when it was taken (finished now or later).
  virtual bool dispatchTask(CTask* task) = 0;
  // Whether a handler is registered under the full task name.
  virtual bool hasHandler(const std::string& fullName) const = 0;
};

// Singly linked task lists through CTask::next; the caller holds the list's
// lock. appendTask adds at the tail unless the task is already in the list
// (false then, list unchanged); unlinkTask removes it (false when absent);
// popTask takes the head (null when empty). Removed tasks have next cleared.
bool appendTask(CTask** head, CTask* task);
bool unlinkTask(CTask** head, CTask* task);
CTask* popTask(CTask** head);

#endif  // JYX_COMMON_TASK_H_
