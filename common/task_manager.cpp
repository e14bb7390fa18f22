#include "common/task_manager.h"

#include <rapidjson/document.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <utility>

#include "common/api_manager.h"
#include "common/json_text.h"
#include "common/number_text.h"

CTaskManager::CTaskManager() { CAPIManager::instance()->addUpdater(this); }

CTaskManager::~CTaskManager() {
  CAPIManager* api = CAPIManager::instance();
  api->removeUpdater(this);
  api->unregisterTaskManager(name_, this);
  CSmartLock guard(&lock_);
  while (CTask* task = popTask(&pending_)) api->releaseTask(task);
}

const std::string& CTaskManager::name() { return name_; }
void CTaskManager::setName(const std::string& name) { name_ = name; }

bool CTaskManager::dispatchTask(CTask* task) {
  auto it = handlers_.find(task->name());
  if (it == handlers_.end()) return true;
  return it->second(task);
}

void CTaskManager::addHandler(const std::string& fullName, Handler handler) {
  handlers_[fullName] = std::move(handler);
}

void CTaskManager::addPending(CTask* task) {
  if (task == nullptr) return;
  CSmartLock guard(&lock_);
  appendTask(&pending_, task);
}

bool CTaskManager::removePending(CTask* task) {
  CSmartLock guard(&lock_);
  return unlinkTask(&pending_, task);
}

void CTaskManager::finishTask(CTask* task) { CAPIManager::instance()->finishTask(task); }

void CTaskManager::setResultJson(CTask* task, const rapidjson::Value& value) {
  setResultText(task, jyx::jsonText(value));
}

void CTaskManager::setResultText(CTask* task, const std::string& text) {
  APIDATA* result = task->result();
  result->clear();
  result->append(text.c_str(), nullptr, 0);
}

namespace {

// Parses `json` and copies the optional "tag"/"action" members. Returns the
// member `key` or null when the text is empty, not an object, or lacks it.
const rapidjson::Value* findArgument(rapidjson::Document* doc, const char* json, const char* key,
                                     char* tag, char* action) {
  if (json == nullptr || json[0] == '\0') return nullptr;
  if (!jyx::parseJson(json, doc) || !doc->IsObject()) return nullptr;
  // Both buffers hold at most 255 characters and the NUL.
  auto copyMember = [doc](const char* name, char* out) {
    if (out == nullptr) return;
    auto it = doc->FindMember(name);
    if (it == doc->MemberEnd() || !it->value.IsString()) return;
    size_t n = it->value.GetStringLength();
    if (n > 255) n = 255;
    memcpy(out, it->value.GetString(), n);
    out[n] = '\0';
  };
  copyMember("tag", tag);
  copyMember("action", action);
  if (key == nullptr) return nullptr;
  auto it = doc->FindMember(key);
  if (it == doc->MemberEnd()) return nullptr;
  return &it->value;
}

// Converts a JSON number, bool or number text to T, clamping doubles into
// T's range (a plain cast of an out-of-range double is undefined).
template <typename T>
bool toNumber(const rapidjson::Value& v, T* out) {
  if (v.IsBool()) {
    *out = v.GetBool() ? 1 : 0;
  } else if (v.IsUint64()) {
    uint64_t u = v.GetUint64();
    *out = static_cast<T>(u);
  } else if (v.IsInt64()) {
    *out = static_cast<T>(v.GetInt64());
  } else if (v.IsNumber()) {
    double d = v.GetDouble();
    if (std::isnan(d)) return false;
    const double lo = static_cast<double>(std::numeric_limits<T>::lowest());
    const double hi = static_cast<double>(std::numeric_limits<T>::max());
    if (d <= lo) {
      *out = std::numeric_limits<T>::lowest();
    } else if (d >= hi) {
      *out = std::numeric_limits<T>::max();
    } else {
      *out = static_cast<T>(d);
    }
  } else if (v.IsString()) {
    *out = static_cast<T>(parseNumberText(v.GetString()));
  } else {
    return false;
  }
  return true;
}

template <typename T>
bool readNumber(const char* json, const char* key, T* out, char* tag, char* action) {
  rapidjson::Document doc;
  const rapidjson::Value* v = findArgument(&doc, json, key, tag, action);
  if (v == nullptr) return false;
  if (out != nullptr) toNumber(*v, out);
  return true;
}

}  // namespace

bool CTaskManager::getArgument(const char* json, const char* key, bool* out, char* tag,
                               char* action) {
  rapidjson::Document doc;
  const rapidjson::Value* v = findArgument(&doc, json, key, tag, action);
  if (v == nullptr) return false;
  if (out == nullptr) return true;
  if (v->IsBool()) {
    *out = v->GetBool();
  } else if (v->IsNumber()) {
    *out = v->GetDouble() != 0.0;
  } else if (v->IsString()) {
    const char* s = v->GetString();
    *out = strcmp(s, "true") == 0 || parseNumberText(s) != 0;
  }
  return true;
}

bool CTaskManager::getArgument(const char* json, const char* key, int* out, char* tag,
                               char* action) {
  return readNumber(json, key, out, tag, action);
}

bool CTaskManager::getArgument(const char* json, const char* key, unsigned int* out, char* tag,
                               char* action) {
  return readNumber(json, key, out, tag, action);
}

bool CTaskManager::getArgument(const char* json, const char* key, int64_t* out, char* tag,
                               char* action) {
  return readNumber(json, key, out, tag, action);
}

bool CTaskManager::getArgument(const char* json, const char* key, uint64_t* out, char* tag,
                               char* action) {
  return readNumber(json, key, out, tag, action);
}

bool CTaskManager::getArgument(const char* json, const char* key, double* out, char* tag,
                               char* action) {
  rapidjson::Document doc;
  const rapidjson::Value* v = findArgument(&doc, json, key, tag, action);
  if (v == nullptr) return false;
  if (out == nullptr) return true;
  if (v->IsNumber()) {
    *out = v->GetDouble();
  } else if (v->IsBool()) {
    *out = v->GetBool() ? 1.0 : 0.0;
  } else if (v->IsString()) {
    *out = static_cast<double>(parseNumberText(v->GetString()));
  }
  return true;
}

bool CTaskManager::getArgument(const char* json, const char* key, std::string* out, char* tag,
                               char* action) {
  rapidjson::Document doc;
  const rapidjson::Value* v = findArgument(&doc, json, key, tag, action);
  if (v == nullptr) return false;
  if (out == nullptr) return true;
  if (v->IsString()) {
    out->assign(v->GetString(), v->GetStringLength());
  } else {
    // Numbers, bools and collections arrive as their JSON text.
    *out = jyx::jsonText(*v);
  }
  return true;
}
