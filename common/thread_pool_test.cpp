#include "common/thread_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

// The pool is process-wide; tests that exhaust it hand every thread back.
TEST(ThreadPoolTest, OneShotJobRunsOnceAndItsThreadIsReused) {
  CThreadPool* pool = CThreadPool::instance();
  std::atomic<int> runs{0};
  CThread* t = pool->get([&](CThread*) { ++runs; }, 1, 7);
  ASSERT_NE(nullptr, t);
  // The thread recycles itself once the job has run; wait for it to reach
  // the free list (slow under the sanitizers) rather than for a fixed time.
  for (int i = 0; i < 5000 && !pool->isFree(t); ++i) sleepMs(1);
  ASSERT_TRUE(pool->isFree(t));
  EXPECT_EQ(0, t->count());
  EXPECT_EQ(1, runs.load());
  // It is handed out again before the pool makes a new thread. Threads that
  // earlier tests' work gave back meanwhile may lie on the list before it.
  const int made = pool->created();
  std::vector<CThread*> taken;
  CThread* again = nullptr;
  while (pool->created() == made && (again = pool->get([](CThread*) {}, -1, 0)) != nullptr) {
    taken.push_back(again);
    if (again == t) break;
  }
  EXPECT_EQ(t, again);
  EXPECT_EQ(made, pool->created());
  for (CThread* thread : taken) thread->recycle();
}

TEST(ThreadPoolTest, ThirtyThirdConcurrentGetIsNull) {
  CThreadPool* pool = CThreadPool::instance();
  std::vector<CThread*> busy;
  for (;;) {
    CThread* t = pool->get([](CThread*) {}, -1, 0);
    if (!t) break;
    busy.push_back(t);
  }
  EXPECT_EQ(CThreadPool::kMaxThreads, pool->created());
  EXPECT_EQ(nullptr, pool->get([](CThread*) {}, 1, 0));
  for (CThread* t : busy) t->recycle();
  CThread* t = pool->get([](CThread*) {}, 1, 0);
  EXPECT_NE(nullptr, t);
}

TEST(ThreadPoolTest, ForeverJobKeepsRunningUntilRecycled) {
  std::atomic<int> runs{0};
  CThread* t = CThreadPool::instance()->get([&](CThread*) { ++runs; }, -1, 0);
  ASSERT_NE(nullptr, t);
  for (int i = 0; i < 2000 && runs < 5; ++i) sleepMs(1);
  EXPECT_GE(runs.load(), 5);
  t->recycle();  // waits for a running pass to end (the loop holds the lock)
  int after = runs;
  sleepMs(20);
  EXPECT_EQ(after, runs.load());
}

// Work that runs back to back without ever blocking must not keep recycle()
// from another thread waiting for ever: the loop leaves its lock between
// passes while a recycle is pending.
TEST(ThreadPoolTest, RecycleFromAnotherThreadStopsBackToBackWork) {
  std::atomic<long> runs{0};
  CThread* t = CThreadPool::instance()->get([&](CThread*) { ++runs; }, -1, 0);
  ASSERT_NE(nullptr, t);
  while (runs.load() < 1000) std::this_thread::yield();
  t->recycle();
  long after = runs.load();
  // No pass starts once recycle() has returned.
  for (int i = 0; i < 1000; ++i) std::this_thread::yield();
  EXPECT_EQ(after, runs.load());
}

TEST(ThreadPoolTest, WaitUntilStartedSeesEveryCreatedThreadInItsLoop) {
  CThreadPool* pool = CThreadPool::instance();
  std::vector<CThread*> taken;
  for (int i = 0; i < 3; ++i) {
    CThread* t = pool->get([](CThread*) {}, 1, 0);
    if (t) taken.push_back(t);
  }
  EXPECT_TRUE(pool->waitUntilStarted(10000));
}

}  // namespace
