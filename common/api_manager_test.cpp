#include "common/api_manager.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "common/task_manager.h"
#include "common/thread_pool.h"

namespace {

CAPIManager* api() { return CAPIManager::instance(); }

// Pumps until the delayed-call list and the hand-over lists are empty
// enough for the next test (calls already due run one per pump).
void drain() {
  for (int i = 0; i < 20; ++i) api()->update();
}

class CountingManager : public CTaskManager {
 public:
  explicit CountingManager(const std::string& name) {
    setName(name);
    CAPIManager::instance()->registerTaskManager(name, this);
  }
  void onUpdate(double now) override { ++updates; }
  using CTaskManager::addHandler;
  int updates = 0;
};

class ApiManagerTest : public testing::Test {
 protected:
  void SetUp() override { drain(); }
  void TearDown() override {
    api()->init("{}", nullptr);
    drain();
  }
};

}  // namespace

TEST_F(ApiManagerTest, DueDelayedCallsRunOnePerPumpEarlierFirst) {
  std::vector<int> order;
  api()->startAsyncCall([&] { order.push_back(1); }, 0.0);
  api()->startAsyncCall([&] { order.push_back(2); }, 0.0);
  api()->update();
  ASSERT_EQ(std::vector<int>({1}), order);
  api()->update();
  EXPECT_EQ(std::vector<int>({1, 2}), order);
}

TEST_F(ApiManagerTest, DelayedCallWaitsForItsDelayAndMaySchedule) {
  int runs = 0;
  api()->startAsyncCall(
      [&] {
        ++runs;
        api()->startAsyncCall([&] { ++runs; }, 0.0);
      },
      0.25);
  api()->update();
  EXPECT_EQ(0, runs);
  sleepMs(400);
  api()->update();
  EXPECT_EQ(1, runs);
  api()->update();
  EXPECT_EQ(2, runs);
}

TEST_F(ApiManagerTest, TaskFinishedTwiceIsCalledBackOnce) {
  int callbacks = 0;
  CTask* task = api()->createTask(0, "none:x", nullptr, [&](CTask*) {
    ++callbacks;
    return true;
  });
  CTask* other = api()->createTask(0, "none:y", nullptr, [&](CTask*) {
    ++callbacks;
    return true;
  });
  api()->finishTask(task);
  api()->finishTask(other);
  api()->finishTask(task);
  api()->finishTask(other);
  api()->update();
  EXPECT_EQ(2, callbacks);
  api()->update();
  EXPECT_EQ(2, callbacks);
}

TEST_F(ApiManagerTest, TaskFinishedAgainDuringThePumpLosesNoOtherTask) {
  // The first callback finishes the second task once more while the second
  // and third still wait in this pump's batch: each is called back once.
  std::vector<std::string> order;
  CTask* second = api()->createTask(0, "none:b", nullptr, [&](CTask*) {
    order.push_back("b");
    return true;
  });
  CTask* first = api()->createTask(0, "none:a", nullptr, [&](CTask*) {
    order.push_back("a");
    api()->finishTask(second);
    return true;
  });
  CTask* third = api()->createTask(0, "none:c", nullptr, [&](CTask*) {
    order.push_back("c");
    return true;
  });
  api()->finishTask(first);
  api()->finishTask(second);
  api()->finishTask(third);
  for (int i = 0; i < 3; ++i) api()->update();
  EXPECT_EQ(std::vector<std::string>({"a", "b", "c"}), order);
}

TEST_F(ApiManagerTest, FinishedTasksReturnToThePoolAfterTheirCallback) {
  CTask* task = api()->createTask(0, "none:x", nullptr, nullptr);
  api()->finishTask(task);
  api()->update();  // callback, then garbage
  api()->update();  // garbage back to the pool
  CTask* again = api()->acquireTask();
  EXPECT_EQ(task, again);
  EXPECT_STREQ("", again->data()->text);
  api()->releaseTask(again);
}

TEST_F(ApiManagerTest, HostEventRoundTripWithSynchronousHost) {
  std::string seenName;
  std::string seenPayload;
  api()->init("{\"operatingSystem\":\"linux\",\"docPath\":\"./tmp\",\"other\":1}",
              [&](int id, const char* name, APIDATA* data, HostDone done) {
                seenName = name;
                seenPayload = data->text;
                APIDATA reply;
                reply.append("pong", nullptr, 0);
                return done(id, &reply);
              });
  EXPECT_EQ("linux", api()->operatingSystem());
  EXPECT_EQ("./tmp", api()->docPath());
  EXPECT_FALSE(api()->cwd().empty());
  std::string replyText;
  api()->sendEvent("jyx:ping", "{\"a\":1}", [&](CTask* task) {
    replyText = task->result()->text;
    return true;
  });
  EXPECT_EQ("", replyText);  // delivered only by the pump
  api()->update();
  EXPECT_EQ("jyx:ping", seenName);
  EXPECT_EQ("{\"a\":1}", seenPayload);
  EXPECT_EQ("pong", replyText);
}

TEST_F(ApiManagerTest, UnknownHostReplyIsIgnored) {
  int eventId = 0;
  api()->init("{}", [&](int id, const char*, APIDATA*, HostDone) {
    eventId = id;  // replies later
    return 0;
  });
  int callbacks = 0;
  api()->sendEvent("jyx:later", "", [&](CTask*) {
    ++callbacks;
    return true;
  });
  api()->update();
  ASSERT_NE(0, eventId);
  APIDATA reply;
  reply.append("late", nullptr, 0);
  api()->onHostReply(eventId + 1000, &reply);
  EXPECT_EQ(0, callbacks);
  api()->onHostReply(eventId, &reply);
  EXPECT_EQ(1, callbacks);
  api()->onHostReply(eventId, &reply);  // no longer waiting
  EXPECT_EQ(1, callbacks);
}

TEST_F(ApiManagerTest, CallIdsIncrease) {
  uint32_t a = api()->nextCallId();
  uint32_t b = api()->nextCallId();
  EXPECT_GE(a, 1u);
  EXPECT_EQ(a + 1, b);
  EXPECT_TRUE(api()->isOwnerThread());
  bool other = true;
  std::thread t([&] { other = api()->isOwnerThread(); });
  t.join();
  EXPECT_FALSE(other);
}

TEST_F(ApiManagerTest, PrintsLongMessagesWhole) {
  std::string big(5000, 'q');
  testing::internal::CaptureStdout();
  api()->print("%s|%d|%s\n", big.c_str(), 42, "end");
  api()->print("no line end");
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(big + "|42|end\nno line end", out);
}

TEST_F(ApiManagerTest, PrintFromManyThreadsKeepsLinesWhole) {
  std::string line(300, 'z');
  testing::internal::CaptureStdout();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&line, t] {
      for (int i = 0; i < 50; ++i) CAPIManager::instance()->print("%d%s\n", t, line.c_str());
    });
  }
  for (auto& t : threads) t.join();
  std::string out = testing::internal::GetCapturedStdout();
  size_t lines = 0;
  size_t pos = 0;
  while (pos < out.size()) {
    size_t end = out.find('\n', pos);
    ASSERT_NE(std::string::npos, end);
    EXPECT_EQ(line.size() + 1, end - pos);
    pos = end + 1;
    ++lines;
  }
  EXPECT_EQ(200u, lines);
}

TEST_F(ApiManagerTest, RoutesByPrefixAndReportsBadNames) {
  std::string name29(29, 'm');
  CountingManager shortName(name29);
  CountingManager known("test.route");
  int handled = 0;
  shortName.addHandler(name29 + ":go", [&](CTask* task) {
    ++handled;
    api()->releaseTask(task);
    return true;
  });
  known.addHandler("test.route:go", [&](CTask* task) {
    ++handled;
    known.finishTask(task);
    return true;
  });

  testing::internal::CaptureStdout();
  APIDATA empty;
  int doneId = 0;
  std::string doneResult;
  api()->onInvoke(17, "test.route:go", &empty, [&](int id, APIDATA* result) {
    doneId = id;
    doneResult = result->text;
    return 0;
  });
  api()->onInvoke(0, (name29 + ":go").c_str(), &empty, nullptr);
  // A known manager without that handler accepts the task silently; it is
  // never completed, so the test hands it back itself.
  CTask* unhandled = api()->createTask(0, "test.route:no_handler", &empty, nullptr);
  EXPECT_TRUE(api()->dispatchTask(unhandled));
  api()->releaseTask(unhandled);
  api()->onInvoke(0, "nocolon", &empty, nullptr);
  api()->onInvoke(0, (std::string(30, 'm') + ":go").c_str(), &empty, nullptr);
  api()->onInvoke(0, "missing.manager:go", &empty, nullptr);
  api()->update();
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(2, handled);
  EXPECT_EQ(17, doneId);
  EXPECT_EQ(
      "dispatchTask-nocolon does not exist\n"
      "dispatchTask-" + std::string(30, 'm') + ":go does not exist\n"
      "dispatchTask-missing.manager:go does not exist\n",
      out);
}

TEST_F(ApiManagerTest, ManagersAreUpdatedTwicePerPump) {
  CountingManager manager("test.twice");
  api()->update();
  EXPECT_EQ(2, manager.updates);
}

namespace {

// Updaters that change the updater table from inside their own update, as
// parsers do when a callback rebuilds a channel.
class Victim : public CUpdater {
 public:
  explicit Victim(int* updates) : updates_(updates) {}
  void onUpdate(double) override { ++*updates_; }

 private:
  int* updates_;
};

class Killer : public CUpdater {
 public:
  Victim* victim = nullptr;
  Victim* spawned = nullptr;
  int* spawnedUpdates = nullptr;
  void onUpdate(double) override {
    if (victim != nullptr) {
      // Allocated first so that it cannot reuse the victim's address.
      spawned = new Victim(spawnedUpdates);
      CAPIManager::instance()->removeUpdater(victim);
      delete victim;
      victim = nullptr;
      CAPIManager::instance()->addUpdater(spawned);
    }
  }
};

}  // namespace

TEST_F(ApiManagerTest, UpdatersMayBeRemovedAndAddedDuringThePump) {
  int victimUpdates = 0;
  int spawnedUpdates = 0;
  Killer killer;
  killer.victim = new Victim(&victimUpdates);
  killer.spawnedUpdates = &spawnedUpdates;
  api()->addUpdater(&killer);
  api()->addUpdater(killer.victim);
  api()->addUpdater(killer.victim);  // no duplicates
  api()->update();
  EXPECT_EQ(0, victimUpdates);  // removed before its turn, never touched
  api()->update();
  EXPECT_EQ(1, spawnedUpdates);
  api()->removeUpdater(&killer);
  api()->removeUpdater(killer.spawned);
  delete killer.spawned;
  api()->update();
  EXPECT_EQ(1, spawnedUpdates);
}

TEST_F(ApiManagerTest, FinishTaskFromOtherThreads) {
  std::atomic<int> callbacks{0};
  std::vector<CTask*> tasks;
  for (int i = 0; i < 40; ++i) {
    tasks.push_back(api()->createTask(i, "none:x", nullptr, [&](CTask*) {
      ++callbacks;
      return true;
    }));
  }
  std::thread a([&] {
    for (int i = 0; i < 40; i += 2) CAPIManager::instance()->finishTask(tasks[i]);
  });
  std::thread b([&] {
    for (int i = 1; i < 40; i += 2) CAPIManager::instance()->finishTask(tasks[i]);
  });
  for (int i = 0; i < 200 && callbacks < 40; ++i) {
    api()->update();
    sleepMs(1);
  }
  a.join();
  b.join();
  api()->update();
  EXPECT_EQ(40, callbacks.load());
}

TEST_F(ApiManagerTest, CEntryPointsForwardToTheInstance) {
  static std::string seen;
  static int replies = 0;
  apiInit("{\"docPath\":\"./c\"}", [](int id, const char* name, APIDATA*, int (*done)(int, APIDATA*)) {
    seen = name;
    APIDATA reply;
    return done(id, &reply);
  });
  EXPECT_EQ("./c", api()->docPath());
  CountingManager manager("test.c");
  manager.addHandler("test.c:go", [&manager](CTask* task) {
    manager.setResultText(task, "done");
    manager.finishTask(task);
    return true;
  });
  APIDATA data;
  apiInvoke(5, "test.c:go", &data, [](int id, APIDATA* result) {
    if (id == 5 && strcmp(result->text, "done") == 0) ++replies;
    return 0;
  });
  api()->sendEvent("jyx:c_event", "", nullptr);
  apiUpdate();
  EXPECT_EQ(1, replies);
  EXPECT_EQ("jyx:c_event", seen);
}
