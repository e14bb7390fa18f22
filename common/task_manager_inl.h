// Template part of CTaskManager; included from task_manager.h only.
#ifndef JYX_COMMON_TASK_MANAGER_INL_H_
#define JYX_COMMON_TASK_MANAGER_INL_H_

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

template <typename JsonValue>
void CTaskManager::setResultJson(CTask* task, const JsonValue& value) {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  value.Accept(writer);
  setResultText(task, std::string(buffer.GetString(), buffer.GetSize()));
}

#endif  // JYX_COMMON_TASK_MANAGER_INL_H_
