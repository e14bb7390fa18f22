#include "common/task_manager.h"

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <cstring>
#include <string>

#include "common/api_manager.h"

TEST(TaskManagerArgumentTest, ReadsEveryTypeAndLeavesOutUnchangedWhenAbsent) {
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
  EXPECT_TRUE(CTaskManager::getArgument(json, "b", &b) && b);
  EXPECT_TRUE(CTaskManager::getArgument(json, "i", &i) && i == -5);
  EXPECT_TRUE(CTaskManager::getArgument(json, "u", &u) && u == 4000000000u);
  EXPECT_TRUE(CTaskManager::getArgument(json, "l", &l) && l == -9000000000LL);
  EXPECT_TRUE(CTaskManager::getArgument(json, "ul", &ul) && ul == 18000000000000000000ULL);
  EXPECT_TRUE(CTaskManager::getArgument(json, "d", &d) && d == 2.5);
  EXPECT_TRUE(CTaskManager::getArgument(json, "s", &s) && s == "text");
  // Number texts follow the hex/decimal rule; numbers read as strings keep
  // their JSON text.
  EXPECT_TRUE(CTaskManager::getArgument(json, "hex", &i) && i == 31);
  EXPECT_TRUE(CTaskManager::getArgument(json, "n", &s) && s == "7");

  EXPECT_FALSE(CTaskManager::getArgument(json, "x", &b));
  EXPECT_FALSE(CTaskManager::getArgument(json, "x", &i));
  EXPECT_FALSE(CTaskManager::getArgument(json, "x", &ul));
  EXPECT_FALSE(CTaskManager::getArgument(json, "x", &d));
  EXPECT_FALSE(CTaskManager::getArgument(json, "x", &s));
  EXPECT_TRUE(b);
  EXPECT_EQ(31, i);
  EXPECT_EQ(18000000000000000000ULL, ul);
  EXPECT_EQ(2.5, d);
  EXPECT_EQ("7", s);
}

TEST(TaskManagerArgumentTest, EmptyBrokenOrOutOfRangeTextNeverOverflows) {
  int i = 3;
  for (const char* text : {"", static_cast<const char*>(nullptr), "{\"value\":", "[5]"}) {
    EXPECT_FALSE(CTaskManager::getArgument(text, "value", &i));
  }
  EXPECT_EQ(3, i);
  EXPECT_TRUE(CTaskManager::getArgument("{\"v\":1e30}", "v", &i));
  EXPECT_EQ(2147483647, i);
  unsigned int u = 7;
  EXPECT_TRUE(CTaskManager::getArgument("{\"v\":-1.5}", "v", &u));
  EXPECT_EQ(0u, u);
}

TEST(TaskManagerArgumentTest, CopiesTagAndActionEvenWithoutKey) {
  std::string json = "{\"tag\":\"" + std::string(400, 't') + "\",\"action\":\"go\",\"value\":1}";
  char tag[256];
  char action[256] = "none";
  memset(tag, 'x', sizeof(tag));
  int v = 0;
  EXPECT_FALSE(CTaskManager::getArgument(json.c_str(), "missing", &v, tag, action));
  EXPECT_EQ(std::string(255, 't'), tag);  // cut at 255 characters
  EXPECT_STREQ("go", action);
  char tag2[256] = "unchanged";
  EXPECT_TRUE(CTaskManager::getArgument("{\"tag\":5,\"value\":2}", "value", &v, tag2));
  EXPECT_STREQ("unchanged", tag2);  // only string members are copied
  EXPECT_EQ(2, v);
}

namespace {

class ResultManager : public CTaskManager {
 public:
  ResultManager() { setName("test.result"); }
};

}  // namespace

TEST(TaskManagerTest, JsonResultReplacesTextAndPendingTasksReturnOnDestruction) {
  CAPIManager* api = CAPIManager::instance();
  CTask* a = api->acquireTask();
  CTask* b = api->acquireTask();
  CTask* c = api->acquireTask();
  {
    ResultManager manager;
    rapidjson::Document doc;
    doc.Parse("{\"a\":[1,\"x\"]}");
    manager.setResultText(a, "previous text");
    manager.setResultJson(a, doc);
    EXPECT_STREQ("{\"a\":[1,\"x\"]}", a->result()->text);

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
