#include "common/task.h"

#include <utility>

CTask::CTask() : data_(new APIDATA()), result_(new APIDATA()) {}

CTask::~CTask() {
  delete data_;
  delete result_;
}

int32_t CTask::id() { return id_; }
void CTask::setId(int32_t id) { id_ = id; }
const std::string& CTask::name() { return name_; }
void CTask::setName(const std::string& name) { name_ = name; }
APIDATA* CTask::data() { return data_; }

void CTask::setData(APIDATA* data) {
  if (data == data_) return;
  delete data_;
  data_ = data != nullptr ? data : new APIDATA();
}

TaskCallback CTask::callback() { return callback_; }
void CTask::setCallback(TaskCallback callback) { callback_ = std::move(callback); }
APIDATA* CTask::result() { return result_; }

void CTask::setResult(APIDATA* result) {
  if (result == result_) return;
  delete result_;
  result_ = result != nullptr ? result : new APIDATA();
}

CTask* CTask::next() { return next_; }
void CTask::setNext(CTask* next) { next_ = next; }

bool appendTask(CTask** head, CTask* task) {
  if (*head == nullptr) {
    task->setNext(nullptr);
    *head = task;
    return true;
  }
  CTask* tail = *head;
  while (true) {
    if (tail == task) return false;
    if (tail->next() == nullptr) break;
    tail = tail->next();
  }
  task->setNext(nullptr);
  tail->setNext(task);
  return true;
}

bool unlinkTask(CTask** head, CTask* task) {
  CTask* previous = nullptr;
  for (CTask* t = *head; t != nullptr; previous = t, t = t->next()) {
    if (t != task) continue;
    if (previous == nullptr) {
      *head = t->next();
    } else {
      previous->setNext(t->next());
    }
    t->setNext(nullptr);
    return true;
  }
  return false;
}

CTask* popTask(CTask** head) {
  CTask* task = *head;
  if (task != nullptr) {
    *head = task->next();
    task->setNext(nullptr);
  }
  return task;
}
