#include "common/api_manager.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <algorithm>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/loop_wake.h"
#include "common/task_manager.h"
#include "common/thread_pool.h"

namespace {

CAPIManager* api() { return CAPIManager::instance(); }

// Calls already due run one per pump: enough pumps empty the lists for the
// next test.
void drain() {
  for (int i = 0; i < 20; ++i) api()->update();
}

class NamedManager : public CTaskManager {
 public:
  explicit NamedManager(const std::string& name) {
    setName(name);
    CAPIManager::instance()->registerTaskManager(name, this);
  }
  using CTaskManager::addHandler;
};

class ApiManagerTest : public testing::Test {
 protected:
  void SetUp() override { drain(); }
  void TearDown() override {
    api()->init("{}", nullptr);
    drain();
  }
  // Other objects of the test binary keep deadlines of their own (the
  // controller object checks its link every 10 s). Runs the main loop's
  // wait-and-pump until none falls within the next 0.9 s, so that the
  // deadlines a test sets are the only ones its idle waits can meet.
  void quietLoop() {
    for (int i = 0; i < 50; ++i) {
      api()->update();
      int wait = api()->idleWaitMs();
      if (wait > 900) return;
      pollfd p{jyx::mainLoopWakeFd(), POLLIN, 0};
      jyx::clearMainLoopWake();
      poll(&p, 1, wait);
    }
    FAIL() << "some deadline keeps falling due within 0.9 s";
  }
  // A task whose callback appends `name` to order_.
  CTask* task(const std::string& name) {
    return api()->createTask(0, ("none:" + name).c_str(), nullptr, [this, name](CTask*) {
      order_.push_back(name);
      return true;
    });
  }
  std::vector<std::string> order_;
};

struct FnUpdater : CUpdater {
  explicit FnUpdater(std::function<void()> f) : fn(std::move(f)) {}
  void onUpdate(double) override { fn(); }
  std::function<void()> fn;
};

// The API manager lives for the whole test binary, the objects a test makes
// do not: a delayed call left behind (a manager's redraw 0.2 s after a task,
// say) must not run in whichever test pumps next and reach a destroyed
// object. Registered here for every test of the binary.
class CancelLeftoverCalls : public testing::EmptyTestEventListener {
  void OnTestEnd(const testing::TestInfo&) override { api()->cancelAsyncCalls(); }
};
const bool kLeftoverCallsCancelled = [] {
  testing::UnitTest::GetInstance()->listeners().Append(new CancelLeftoverCalls);
  return true;
}();

bool wakePending() {
  pollfd p{jyx::mainLoopWakeFd(), POLLIN, 0};
  return poll(&p, 1, 0) == 1;
}

}  // namespace

TEST_F(ApiManagerTest, DelayedCallsRunOnePerPumpAfterTheirDelay) {
  api()->startAsyncCall([&] { order_.push_back("1"); }, 0.0);
  api()->startAsyncCall([&] { order_.push_back("2"); }, 0.0);
  api()->update();
  ASSERT_EQ(std::vector<std::string>({"1"}), order_);
  api()->update();
  EXPECT_EQ(std::vector<std::string>({"1", "2"}), order_);

  // A delayed call may schedule another one from inside itself.
  api()->startAsyncCall(
      [&] {
        order_.push_back("late");
        api()->startAsyncCall([&] { order_.push_back("chained"); }, 0.0);
      },
      0.25);
  api()->update();
  EXPECT_EQ(2u, order_.size());
  sleepMs(400);
  api()->update();
  api()->update();
  EXPECT_EQ(std::vector<std::string>({"1", "2", "late", "chained"}), order_);

  // Cancelled calls never run, due or not; later ones still do.
  api()->startAsyncCall([&] { order_.push_back("cancelled"); }, 0.0);
  api()->startAsyncCall([&] { order_.push_back("cancelled later"); }, 0.05);
  api()->cancelAsyncCalls();
  api()->startAsyncCall([&] { order_.push_back("after"); }, 0.0);
  sleepMs(100);
  drain();
  EXPECT_EQ(std::vector<std::string>({"1", "2", "late", "chained", "after"}), order_);
}

TEST_F(ApiManagerTest, TaskFinishedTwiceIsCalledBackOnceAndReturnsToThePool) {
  CTask* x = task("x");
  CTask* y = task("y");
  api()->finishTask(x);
  api()->finishTask(y);
  api()->finishTask(x);
  api()->finishTask(y);
  api()->update();  // callbacks, then garbage
  api()->update();  // garbage back to the pool
  EXPECT_EQ(std::vector<std::string>({"x", "y"}), order_);
  CTask* again = api()->acquireTask();
  EXPECT_TRUE(again == x || again == y);
  EXPECT_STREQ("", again->data()->text);
  api()->releaseTask(again);
}

TEST_F(ApiManagerTest, TaskFinishedAgainDuringThePumpLosesNoOtherTask) {
  // The first callback finishes the second task once more while the second
  // and third still wait in this pump's batch: each is called back once.
  CTask* second = task("b");
  CTask* first = api()->createTask(0, "none:a", nullptr, [&](CTask*) {
    order_.push_back("a");
    api()->finishTask(second);
    return true;
  });
  CTask* third = task("c");
  api()->finishTask(first);
  api()->finishTask(second);
  api()->finishTask(third);
  for (int i = 0; i < 3; ++i) api()->update();
  EXPECT_EQ(std::vector<std::string>({"a", "b", "c"}), order_);
}

TEST_F(ApiManagerTest, FinishTaskFromOtherThreads) {
  std::vector<CTask*> tasks;
  for (int i = 0; i < 40; ++i) tasks.push_back(task("x"));
  auto finishEvery2nd = [&](int from) {
    for (int i = from; i < 40; i += 2) CAPIManager::instance()->finishTask(tasks[i]);
  };
  std::thread a(finishEvery2nd, 0);
  std::thread b(finishEvery2nd, 1);
  for (int i = 0; i < 200 && order_.size() < 40; ++i) {
    api()->update();
    sleepMs(1);
  }
  a.join();
  b.join();
  api()->update();
  EXPECT_EQ(40u, order_.size());
}

TEST_F(ApiManagerTest, HostEventRoundTripAndUnknownReplyIgnored) {
  std::string seen;
  api()->init("{\"operatingSystem\":\"linux\",\"docPath\":\"./tmp\",\"other\":1}",
              [&](int id, const char* name, APIDATA* data, HostDone done) {
                seen = std::string(name) + " " + data->text;
                APIDATA reply;
                reply.append("pong", nullptr, 0);
                return done(id, &reply);
              });
  EXPECT_EQ("linux", api()->operatingSystem());
  EXPECT_EQ("./tmp", api()->docPath());
  std::string replyText;
  api()->sendEvent("jyx:ping", "{\"a\":1}", [&](CTask* task) {
    replyText = task->result()->text;
    return true;
  });
  EXPECT_EQ("", replyText);  // delivered only by the pump
  api()->update();
  EXPECT_EQ("jyx:ping {\"a\":1}", seen);
  EXPECT_EQ("pong", replyText);

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

TEST_F(ApiManagerTest, PrintsLongMessagesWhole) {
  std::string big(5000, 'q');
  testing::internal::CaptureStdout();
  api()->print("%s|%d|%s\n", big.c_str(), 42, "end");
  api()->print("no line end");
  EXPECT_EQ(big + "|42|end\nno line end", testing::internal::GetCapturedStdout());
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
  std::string text = testing::internal::GetCapturedStdout();
  EXPECT_EQ(200 * (line.size() + 2), text.size());  // the last line ends too
  std::istringstream out(text);
  int lines = 0;
  for (std::string got; std::getline(out, got); ++lines) ASSERT_EQ(line.size() + 1, got.size());
  EXPECT_EQ(200, lines);
}

TEST_F(ApiManagerTest, RoutesByPrefixAndReportsBadNames) {
  std::string name29(29, 'm');
  NamedManager longest(name29);
  NamedManager known("test.route");
  int handled = 0;
  longest.addHandler(name29 + ":go", [&](CTask* task) {
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
  api()->onInvoke(17, "test.route:go", &empty, [&](int id, APIDATA*) {
    doneId = id;
    return 0;
  });
  api()->onInvoke(0, (name29 + ":go").c_str(), &empty, nullptr);
  // A known manager without that handler accepts the task silently; it is
  // never completed, so the test hands it back itself.
  CTask* unhandled = api()->createTask(0, "test.route:no_handler", &empty, nullptr);
  EXPECT_TRUE(api()->dispatchTask(unhandled));
  api()->releaseTask(unhandled);
  api()->onInvoke(0, "nocolon", &empty, nullptr);
  std::string tooLong = std::string(30, 'm') + ":go";
  api()->onInvoke(0, tooLong.c_str(), &empty, nullptr);
  api()->onInvoke(0, "missing.manager:go", &empty, nullptr);
  api()->update();
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(2, handled);
  EXPECT_EQ(17, doneId);
  EXPECT_EQ("dispatchTask-nocolon does not exist\ndispatchTask-" + tooLong +
                " does not exist\ndispatchTask-missing.manager:go does not exist\n",
            out);
}

TEST_F(ApiManagerTest, UpdatersMayBeRemovedAndAddedDuringThePump) {
  // The killer deletes the victim and adds a new updater from inside its own
  // update, as parsers do when a callback rebuilds a channel.
  int victimUpdates = 0;
  int spawnedUpdates = 0;
  auto* victim = new FnUpdater([&] { ++victimUpdates; });
  FnUpdater* spawned = nullptr;
  FnUpdater killer([&] {
    if (victim == nullptr) return;
    spawned = new FnUpdater([&] { ++spawnedUpdates; });  // first: no reuse of the address
    api()->removeUpdater(victim);
    delete victim;
    victim = nullptr;
    api()->addUpdater(spawned);
  });
  api()->addUpdater(&killer);
  api()->addUpdater(victim);
  api()->addUpdater(victim);  // no duplicates
  api()->update();
  EXPECT_EQ(0, victimUpdates);  // removed before its turn, never touched
  api()->update();
  EXPECT_EQ(1, spawnedUpdates);
  api()->removeUpdater(&killer);
  api()->removeUpdater(spawned);
  delete spawned;
  api()->update();
  EXPECT_EQ(1, spawnedUpdates);
}

// The main loop blocks for idleWaitMs() between pumps; everything that gives
// it work must either shorten that wait or wake it.
TEST_F(ApiManagerTest, IdleWaitIsZeroWithWorkWaitingAndEndsAtTheNextDelayedCall) {
  quietLoop();
  const int maxIdleMs = static_cast<int>(CAPIManager::kMaxIdleSeconds * 1000);
  EXPECT_LE(api()->idleWaitMs(), maxIdleMs);
  EXPECT_GT(api()->idleWaitMs(), 0) << "nothing due: the loop may block";

  api()->startAsyncCall([&] { order_.push_back("late"); }, 0.05);
  int wait = api()->idleWaitMs();
  EXPECT_GT(wait, 0);
  EXPECT_LE(wait, 50) << "woken for the delayed call, not after the housekeeping pause";
  api()->startAsyncCall([&] { order_.push_back("now"); }, 0.0);
  EXPECT_EQ(0, api()->idleWaitMs()) << "a due call runs in the next pump";
  api()->update();

  api()->finishTask(task("done"));
  EXPECT_EQ(0, api()->idleWaitMs()) << "a completion waits";
  api()->update();
  EXPECT_EQ(0, api()->idleWaitMs()) << "the finished task goes back to the pool next pump";
  // A loop that blocks for idleWaitMs between pumps runs the late call
  // (which captures this fixture) before the test ends.
  for (int i = 0; i < 1000 && std::find(order_.begin(), order_.end(), "late") == order_.end();
       ++i) {
    pollfd p{jyx::mainLoopWakeFd(), POLLIN, 0};
    jyx::clearMainLoopWake();
    poll(&p, 1, api()->idleWaitMs());
    api()->update();
  }
  EXPECT_NE(order_.end(), std::find(order_.begin(), order_.end(), "late"));
  drain();
}

// An idle loop sleeps until the earliest deadline an updater declares, and
// an updater without one does not shorten the wait.
TEST_F(ApiManagerTest, IdleWaitEndsAtTheEarliestUpdaterDeadline) {
  struct Timer : CUpdater {
    double at = kNoDeadline;
    double nextDeadline(double) override { return at; }
  } soon, never;
  api()->addUpdater(&soon);
  api()->addUpdater(&never);
  quietLoop();
  soon.at = api()->time() + 0.4;
  int wait = api()->idleWaitMs();
  EXPECT_GT(wait, 300);
  EXPECT_LE(wait, 400);
  soon.at = api()->time() - 1.0;
  EXPECT_EQ(0, api()->idleWaitMs()) << "a deadline already passed pumps at once";
  soon.at = CUpdater::kNoDeadline;
  EXPECT_GT(api()->idleWaitMs(), 400) << "no deadline: only the safety bound";
  api()->removeUpdater(&soon);
  api()->removeUpdater(&never);
}

TEST_F(ApiManagerTest, WorkFromOtherThreadsWakesTheLoop) {
  jyx::clearMainLoopWake();
  ASSERT_FALSE(wakePending());
  std::thread([&] { api()->finishTask(task("from a thread")); }).join();
  EXPECT_TRUE(wakePending());
  jyx::clearMainLoopWake();
  std::thread([&] { api()->startAsyncCall([] {}, 0.0); }).join();
  EXPECT_TRUE(wakePending()) << "the wait was computed without the new call";
  jyx::clearMainLoopWake();
  drain();
}
