#include "common/api_manager.h"

#include <rapidjson/document.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "common/json_text.h"
#include "common/loop_wake.h"

namespace {

// Task names are "<manager>:<action>"; a manager name is shorter than this.
constexpr size_t kMaxManagerNameLength = 30;

void (*g_controllerFactory)() = nullptr;

}  // namespace

CAPIManager* CAPIManager::instance() {
  // Created on first use and deliberately never destroyed: pool threads and
  // static objects may still print while the process exits.
  static CAPIManager* manager = new CAPIManager();
  return manager;
}

CAPIManager::CAPIManager() : now_(wallClock()), ownerThread_(std::this_thread::get_id()) {
  srand(static_cast<unsigned>(::time(nullptr)));
}

CAPIManager::~CAPIManager() = default;

double CAPIManager::time() { return now_; }

double CAPIManager::wallClock() {
  timeval tv{};
  gettimeofday(&tv, nullptr);
  return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) / 1e6;
}

uint32_t CAPIManager::nextCallId() {
  CSmartLock guard(&outgoingLock_);
  return nextId_++;
}

bool CAPIManager::isOwnerThread() { return std::this_thread::get_id() == ownerThread_; }

void CAPIManager::setControllerFactory(void (*factory)()) { g_controllerFactory = factory; }

const char* CAPIManager::init(const char* json, HostCallback hostCallback) {
  if (json != nullptr) {
    rapidjson::Document doc;
    if (jyx::parseJson(json, &doc) && doc.IsObject()) {
      for (auto it = doc.MemberBegin(); it != doc.MemberEnd(); ++it) {
        if (!it->name.IsString() || !it->value.IsString()) continue;
        if (strcmp(it->name.GetString(), "operatingSystem") == 0) {
          operatingSystem_ = it->value.GetString();
        } else if (strcmp(it->name.GetString(), "docPath") == 0) {
          docPath_ = it->value.GetString();
        }
      }
    }
  }
  {
    CSmartLock guard(&outgoingLock_);
    hostCallback_ = std::move(hostCallback);
  }
  char buffer[254] = {};
  if (getcwd(buffer, sizeof(buffer)) != nullptr) cwd_ = buffer;
  return cwd_.c_str();
}

void CAPIManager::registerTaskManager(const std::string& name, CTaskHandler* manager) {
  CSmartLock guard(&managersLock_);
  managers_[name] = manager;
}

void CAPIManager::unregisterTaskManager(const std::string& name, CTaskHandler* manager) {
  CSmartLock guard(&managersLock_);
  auto it = managers_.find(name);
  if (it != managers_.end() && it->second == manager) managers_.erase(it);
}

void CAPIManager::addUpdater(CUpdater* updater) {
  if (updater == nullptr) return;
  CSmartLock guard(&updatersLock_);
  if (std::find(updaters_.begin(), updaters_.end(), updater) == updaters_.end()) {
    updaters_.push_back(updater);
  }
}

void CAPIManager::removeUpdater(CUpdater* updater) {
  CSmartLock guard(&updatersLock_);
  updaters_.remove(updater);
}

void CAPIManager::startAsyncCall(std::function<void()> function, double delaySeconds) {
  auto* call = new CAsyncCall(std::move(function), wallClock(), delaySeconds);
  {
    CSmartLock guard(&delayedLock_);
    delayedCalls_.push_back(call);
  }
  // The main loop's wait was computed without this call.
  jyx::wakeMainLoop();
}

void CAPIManager::cancelAsyncCalls() {
  std::list<CAsyncCall*> dropped;
  {
    CSmartLock guard(&delayedLock_);
    dropped.swap(delayedCalls_);
  }
  // Destroyed outside the lock: a capture's destructor may itself call
  // startAsyncCall.
  for (CAsyncCall* call : dropped) delete call;
}

CTask* CAPIManager::acquireTask() {
  CTask* task;
  {
    CSmartLock guard(&poolLock_);
    task = popTask(&taskPool_);
  }
  if (task == nullptr) task = new CTask();
  task->data()->clear();
  task->result()->clear();
  task->setId(0);
  return task;
}

void CAPIManager::releaseTask(CTask* task) {
  if (task == nullptr) return;
  // Drop what the callback captured now rather than at the next reuse.
  task->setCallback(nullptr);
  CSmartLock guard(&poolLock_);
  task->setNext(taskPool_);
  taskPool_ = task;
}

CTask* CAPIManager::createTask(int id, const std::string& name, const APIDATA* data,
                               TaskCallback callback) {
  CTask* task = acquireTask();
  task->result()->clear();
  task->setId(id);
  task->setName(name);
  task->data()->copyFrom(data);
  task->setCallback(std::move(callback));
  return task;
}

bool CAPIManager::dispatchTask(CTask* task) {
  const std::string& name = task->name();
  size_t colon = name.find(':');
  if (colon != std::string::npos && colon < kMaxManagerNameLength) {
    CSmartLock guard(&managersLock_);
    auto it = managers_.find(name.substr(0, colon));
    if (it != managers_.end()) {
      it->second->dispatchTask(task);
      return true;
    }
  }
  print("dispatchTask-%s does not exist\n", name.c_str());
  return false;
}

bool CAPIManager::hasTask(const std::string& name) {
  size_t colon = name.find(':');
  if (colon == std::string::npos || colon >= kMaxManagerNameLength) return false;
  CSmartLock guard(&managersLock_);
  auto it = managers_.find(name.substr(0, colon));
  return it != managers_.end() && it->second->hasHandler(name);
}

void CAPIManager::onInvoke(int id, const char* name, const APIDATA* data, HostDone done) {
  CTask* task = createTask(id, name != nullptr ? name : "", data, [id, done](CTask* t) {
    if (done) done(id, t->result());
    return true;
  });
  // Nobody will ever finish a task that reached no manager.
  if (!dispatchTask(task)) releaseTask(task);
}

void CAPIManager::finishTask(CTask* task) {
  if (task == nullptr) return;
  {
    CSmartLock guard(&finishedLock_);
    appendTask(&finished_, task);  // a task already waiting stays once
  }
  jyx::wakeMainLoop();
}

void CAPIManager::sendEvent(const char* name, const char* payload, TaskCallback callback) {
  CTask* task = acquireTask();
  task->data()->append(payload, nullptr, 0);
  task->setName(name != nullptr ? name : "");
  task->setCallback(std::move(callback));
  CSmartLock guard(&outgoingLock_);
  if (!hostCallback_) {
    // No host to deliver to: the event is dropped and the task reused.
    releaseTask(task);
    return;
  }
  task->setId(static_cast<int32_t>(nextId_++));
  appendTask(&outgoing_, task);
  jyx::wakeMainLoop();
}

int CAPIManager::onHostReply(int id, APIDATA* reply) {
  CTask* task = nullptr;
  {
    CSmartLock guard(&waitingLock_);
    for (CTask* t = waiting_; t != nullptr; t = t->next()) {
      if (t->id() == id) {
        task = t;
        break;
      }
    }
    if (task != nullptr) unlinkTask(&waiting_, task);
  }
  if (task == nullptr) return 0;
  task->result()->copyFrom(reply);
  TaskCallback callback = task->callback();
  if (callback) callback(task);
  CSmartLock guard(&garbageLock_);
  task->setNext(garbage_);
  garbage_ = task;
  return 0;
}

void CAPIManager::print(const char* format, ...) {
  if (format == nullptr) return;
  CTask* task = acquireTask();
  APIDATA* record = task->data();
  va_list args;
  va_start(args, format);
  // A format that keeps failing (an unconvertible wide string, say) is
  // dropped after a few doublings instead of growing without end.
  int failures = 0;
  while (failures < 8) {
    va_list copy;
    va_copy(copy, args);
    int n = vsnprintf(record->text, static_cast<size_t>(record->textCapacity), format, copy);
    va_end(copy);
    if (n >= 0 && n < record->textCapacity) {
      fwrite(record->text, 1, static_cast<size_t>(n), stdout);
      fflush(stdout);
      break;
    }
    // Too small (n is the full length) or a formatting error: one doubling
    // at least, then format again. The old text need not survive.
    if (n < 0) ++failures;
    record->text[0] = '\0';
    record->reserve(n >= 0 ? n : record->textCapacity, 0);
  }
  va_end(args);
  releaseTask(task);
}

void CAPIManager::update() {
  now_ = wallClock();

  // Managers and updaters may be added or removed (and destroyed) by the
  // very calls made here, so each pass walks a snapshot and skips entries
  // that have left the table meanwhile. The snapshots reuse their storage
  // from pump to pump, so a steady main loop allocates nothing here; a pump
  // nested inside a call made here (a host calling apiUpdate) takes fresh
  // ones instead.
  static std::vector<CTaskHandler*> reusedManagers;
  static std::vector<CUpdater*> reusedUpdaters;
  static int depth = 0;
  struct DepthGuard {
    explicit DepthGuard(int* d) : d_(d) { ++*d_; }
    ~DepthGuard() { --*d_; }
    int* d_;
  } depthGuard(&depth);
  std::vector<CTaskHandler*> nestedManagers;
  std::vector<CUpdater*> nestedUpdaters;

  updateManagers(depth == 1 ? &reusedManagers : &nestedManagers);
  updateUpdaters(depth == 1 ? &reusedUpdaters : &nestedUpdaters);
  runDueCall();
  releaseGarbage();
  runCompletions();
  deliverHostEvents();
}

void CAPIManager::updateManagers(std::vector<CTaskHandler*>* managers) {
  // The table lock is recursive and held across each call, so the main
  // thread itself may still change the table.
  {
    CSmartLock guard(&managersLock_);
    managers->clear();
    for (auto& entry : managers_) managers->push_back(entry.second);
  }
  for (CTaskHandler* manager : *managers) {
    CSmartLock guard(&managersLock_);
    bool present = false;
    for (auto& entry : managers_) {
      if (entry.second == manager) {
        present = true;
        break;
      }
    }
    if (present) manager->onUpdate(now_);
  }
}

void CAPIManager::updateUpdaters(std::vector<CUpdater*>* updaters) {
  {
    CSmartLock guard(&updatersLock_);
    updaters->assign(updaters_.begin(), updaters_.end());
  }
  for (CUpdater* updater : *updaters) {
    CSmartLock guard(&updatersLock_);
    if (std::find(updaters_.begin(), updaters_.end(), updater) != updaters_.end()) {
      updater->onUpdate(now_);
    }
  }
}

void CAPIManager::runDueCall() {
  // At most one due delayed call per pump; it runs outside the lock so that
  // it may schedule further calls from any thread.
  CAsyncCall* due = nullptr;
  {
    CSmartLock guard(&delayedLock_);
    double clock = wallClock();
    for (auto it = delayedCalls_.begin(); it != delayedCalls_.end(); ++it) {
      if (clock - (*it)->startTime() >= (*it)->delay()) {
        due = *it;
        delayedCalls_.erase(it);
        break;
      }
    }
  }
  if (due != nullptr) {
    due->setFired(true);
    if (due->function()) due->function()();
    delete due;
  }
}

void CAPIManager::releaseGarbage() {
  CSmartLock garbageGuard(&garbageLock_);
  while (CTask* task = popTask(&garbage_)) releaseTask(task);
}

void CAPIManager::runCompletions() {
  // Completion callbacks run outside the list lock so that other threads
  // can keep finishing tasks. Each task stays in the list until it is taken,
  // so finishing it again meanwhile (from a callback or another thread)
  // leaves the list as it is. Only the tasks present now are taken: tasks
  // finished by a callback wait for the next pump.
  int batch = 0;
  {
    CSmartLock guard(&finishedLock_);
    for (CTask* t = finished_; t != nullptr; t = t->next()) ++batch;
  }
  for (; batch > 0; --batch) {
    CTask* task;
    {
      CSmartLock guard(&finishedLock_);
      task = popTask(&finished_);
    }
    if (task == nullptr) break;
    TaskCallback callback = task->callback();
    if (callback) callback(task);
    CSmartLock guard(&garbageLock_);
    task->setNext(garbage_);
    garbage_ = task;
  }
}

void CAPIManager::deliverHostEvents() {
  while (true) {
    CTask* task;
    HostCallback host;
    {
      CSmartLock guard(&outgoingLock_);
      task = popTask(&outgoing_);
      if (task == nullptr) break;
      host = hostCallback_;
      CSmartLock waitingGuard(&waitingLock_);
      task->setNext(waiting_);
      waiting_ = task;
    }
    // A synchronous host replies from inside this call (onHostReply).
    host(task->id(), task->name().c_str(), task->data(),
         [this](int id, APIDATA* reply) { return onHostReply(id, reply); });
  }
}

int CAPIManager::idleWaitMs(double extraDeadline) {
  {
    CSmartLock guard(&finishedLock_);
    if (finished_ != nullptr) return 0;
  }
  {
    CSmartLock guard(&garbageLock_);
    if (garbage_ != nullptr) return 0;
  }
  {
    CSmartLock guard(&outgoingLock_);
    if (outgoing_ != nullptr) return 0;
  }
  double wait = kMaxIdleSeconds;
  {
    CSmartLock guard(&delayedLock_);
    double clock = wallClock();
    for (CAsyncCall* call : delayedCalls_) {
      double left = call->startTime() + call->delay() - clock;
      if (left < wait) wait = left;
    }
  }
  // Deadlines are pump times; the wait counts from now.
  double deadline = extraDeadline;
  {
    CSmartLock guard(&managersLock_);
    for (auto& entry : managers_) deadline = std::min(deadline, entry.second->nextDeadline(now_));
  }
  {
    CSmartLock guard(&updatersLock_);
    for (CUpdater* updater : updaters_) deadline = std::min(deadline, updater->nextDeadline(now_));
  }
  if (deadline != CUpdater::kNoDeadline) wait = std::min(wait, deadline - wallClock());
  if (wait <= 0.0) return 0;
  // Rounded up: a wait that ends a little early would only pump for nothing.
  return static_cast<int>(std::ceil(wait * 1000.0));
}

namespace {
int (*g_cHostCallback)(int, const char*, APIDATA*, int (*)(int, APIDATA*)) = nullptr;
int cHostReply(int id, APIDATA* reply) { return CAPIManager::instance()->onHostReply(id, reply); }
}  // namespace

extern "C" {

const char* apiInit(const char* json,
                    int (*hostCallback)(int, const char*, APIDATA*, int (*)(int, APIDATA*))) {
  if (g_controllerFactory != nullptr) g_controllerFactory();
  g_cHostCallback = hostCallback;
  HostCallback host;
  if (hostCallback != nullptr) {
    host = [](int id, const char* name, APIDATA* data, HostDone) {
      return g_cHostCallback(id, name, data, &cHostReply);
    };
  }
  return CAPIManager::instance()->init(json, host);
}

void apiInvoke(int id, const char* name, APIDATA* data, int (*done)(int, APIDATA*)) {
  HostDone hostDone;
  if (done != nullptr) hostDone = done;
  CAPIManager::instance()->onInvoke(id, name, data, hostDone);
}

void apiUpdate() { CAPIManager::instance()->update(); }

}  // extern "C"
