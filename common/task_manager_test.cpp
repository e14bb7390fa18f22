#include "common/task_manager.h"

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <cstring>
#include <string>

#include "common/api_manager.h"

TEST(TaskManagerArgumentTest, ReadsEveryTypeFromValue) {
  const char* json =
      "{\"b\":true,\"i\":-5,\"u\":4000000000,\"l\":-9000000000,\"ul\":18000000000000000000,"
      "\"d\":2.5,\"s\":\"text\",\"hex\":\"0x1F\",\"n\":7}";
  bool b = false;
  int i = 0;
  unsigned int u = 0;
  int64_t l = 0;
  uint64_t ul = 0;
  double d = 0;
  std::string s;
  EXPECT_TRUE(CTaskManager::getArgument(json, "b", &b));
  EXPECT_TRUE(b);
  EXPECT_TRUE(CTaskManager::getArgument(json, "i", &i));
  EXPECT_EQ(-5, i);
  EXPECT_TRUE(CTaskManager::getArgument(json, "u", &u));
  EXPECT_EQ(4000000000u, u);
  EXPECT_TRUE(CTaskManager::getArgument(json, "l", &l));
  EXPECT_EQ(-9000000000LL, l);
  EXPECT_TRUE(CTaskManager::getArgument(json, "ul", &ul));
  EXPECT_EQ(18000000000000000000ULL, ul);
  EXPECT_TRUE(CTaskManager::getArgument(json, "d", &d));
  EXPECT_DOUBLE_EQ(2.5, d);
  EXPECT_TRUE(CTaskManager::getArgument(json, "s", &s));
  EXPECT_EQ("text", s);
  // Number texts follow the hex/decimal rule; numbers read as strings keep
  // their JSON text.
  EXPECT_TRUE(CTaskManager::getArgument(json, "hex", &i));
  EXPECT_EQ(31, i);
  EXPECT_TRUE(CTaskManager::getArgument(json, "n", &s));
  EXPECT_EQ("7", s);
}

TEST(TaskManagerArgumentTest, MissingKeyLeavesOutUnchanged) {
  const char* json = "{\"value\":5}";
  int i = 0;
  EXPECT_TRUE(CTaskManager::getArgument(json, "value", &i));
  EXPECT_EQ(5, i);
  int untouched = 42;
  bool b = true;
  double d = 1.5;
  std::string s = "keep";
  uint64_t ul = 9;
  EXPECT_FALSE(CTaskManager::getArgument(json, "x", &untouched));
  EXPECT_FALSE(CTaskManager::getArgument(json, "x", &b));
  EXPECT_FALSE(CTaskManager::getArgument(json, "x", &d));
  EXPECT_FALSE(CTaskManager::getArgument(json, "x", &s));
  EXPECT_FALSE(CTaskManager::getArgument(json, "x", &ul));
  EXPECT_EQ(42, untouched);
  EXPECT_TRUE(b);
  EXPECT_DOUBLE_EQ(1.5, d);
  EXPECT_EQ("keep", s);
  EXPECT_EQ(9u, ul);
}

TEST(TaskManagerArgumentTest, EmptyOrBrokenTextYieldsFalse) {
  int i = 3;
  EXPECT_FALSE(CTaskManager::getArgument("", "value", &i));
  EXPECT_FALSE(CTaskManager::getArgument(nullptr, "value", &i));
  EXPECT_FALSE(CTaskManager::getArgument("{\"value\":", "value", &i));
  EXPECT_FALSE(CTaskManager::getArgument("[5]", "value", &i));
  EXPECT_EQ(3, i);
}

TEST(TaskManagerArgumentTest, CopiesTagAndActionEvenWithoutKey) {
  std::string longTag(400, 't');
  std::string json = "{\"tag\":\"" + longTag + "\",\"action\":\"go\",\"value\":1}";
  char tag[256];
  char action[256];
  memset(tag, 'x', sizeof(tag));
  strcpy(action, "none");
  int v = 0;
  EXPECT_FALSE(CTaskManager::getArgument(json.c_str(), "missing", &v, tag, action));
  EXPECT_EQ(std::string(255, 't'), tag);  // cut at 255 characters
  EXPECT_STREQ("go", action);
  char tag2[256] = "unchanged";
  EXPECT_TRUE(CTaskManager::getArgument("{\"tag\":5,\"value\":2}", "value", &v, tag2));
  EXPECT_STREQ("unchanged", tag2);  // only string members are copied
  EXPECT_EQ(2, v);
}

TEST(TaskManagerArgumentTest, OutOfRangeNumbersClampInsteadOfOverflowing) {
  int i = 0;
  EXPECT_TRUE(CTaskManager::getArgument("{\"v\":1e30}", "v", &i));
  EXPECT_EQ(2147483647, i);
  unsigned int u = 7;
  EXPECT_TRUE(CTaskManager::getArgument("{\"v\":-1.5}", "v", &u));
  EXPECT_EQ(0u, u);
}

namespace {

class ResultManager : public CTaskManager {
 public:
  ResultManager() { setName("test.result"); }
  using CTaskManager::addHandler;
};

}  // namespace

TEST(TaskManagerTest, HandlerTableAndResults) {
  ResultManager manager;
  int calls = 0;
  manager.addHandler("test.result:go", [&](CTask* task) {
    ++calls;
    return false;
  });
  CTask* task = CAPIManager::instance()->createTask(0, "test.result:go", nullptr, nullptr);
  EXPECT_FALSE(manager.dispatchTask(task));
  EXPECT_EQ(1, calls);
  task->setName("test.result:unknown");
  EXPECT_TRUE(manager.dispatchTask(task));  // no handler: accepted, nothing done
  EXPECT_EQ(1, calls);

  rapidjson::Document doc;
  doc.Parse("{\"a\":[1,\"x\"]}");
  manager.setResultText(task, "previous text");
  manager.setResultJson(task, doc);
  EXPECT_STREQ("{\"a\":[1,\"x\"]}", task->result()->text);
  CAPIManager::instance()->releaseTask(task);
}

TEST(TaskManagerTest, PendingListKeepsOrderAndReturnsTasksOnDestruction) {
  CAPIManager* api = CAPIManager::instance();
  CTask* a = api->acquireTask();
  CTask* b = api->acquireTask();
  CTask* c = api->acquireTask();
  {
    ResultManager manager;
    manager.addPending(a);
    manager.addPending(b);
    manager.addPending(c);
    manager.addPending(b);  // already held
    EXPECT_TRUE(manager.removePending(b));
    EXPECT_FALSE(manager.removePending(b));
    EXPECT_EQ(nullptr, b->next());
    EXPECT_EQ(c, a->next());
  }
  // a and c went back to the pool: the next two acquisitions reuse them.
  CTask* first = api->acquireTask();
  CTask* second = api->acquireTask();
  EXPECT_TRUE((first == a && second == c) || (first == c && second == a));
  api->releaseTask(first);
  api->releaseTask(second);
  api->releaseTask(b);
}
