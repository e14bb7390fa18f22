#include "common/loop_wake.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>

namespace jyx {

namespace {

// Wakes requested (counted before their write) and wakes taken by the
// main loop's reads (each read returns the writes it took). While the two
// are equal no write is pending or on its way, so the counter is zero and
// a pump skips the read: a loop that is busy for reasons of its own (the
// bench server) saves a system call on every pump that nothing woke. A
// write on its way leaves requested ahead, so the next pump reads again;
// the counter can never stay up unread.
std::atomic<unsigned long> g_wakes{0};
std::atomic<unsigned long> g_taken{0};

// Non-blocking, so that a wake never waits on a counter near overflow and a
// drain of an empty counter returns at once.
int createWakeFd() { return eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK); }

}  // namespace

int mainLoopWakeFd() {
  static const int fd = createWakeFd();
  return fd;
}

void wakeMainLoop() {
  g_wakes.fetch_add(1);
  int fd = mainLoopWakeFd();
  if (fd < 0) return;
  uint64_t one = 1;
  // EAGAIN means the counter is already at its limit: the loop is awake.
  ssize_t written = write(fd, &one, sizeof(one));
  (void)written;
}

void clearMainLoopWake() {
  if (g_wakes.load() == g_taken.load(std::memory_order_relaxed)) return;
  int fd = mainLoopWakeFd();
  if (fd < 0) return;
  uint64_t value;
  // EAGAIN: the write of a counted wake has not landed yet.
  if (read(fd, &value, sizeof(value)) == static_cast<ssize_t>(sizeof(value))) {
    g_taken.fetch_add(static_cast<unsigned long>(value), std::memory_order_relaxed);
  }
}

unsigned long mainLoopWakeCount() { return g_wakes.load(std::memory_order_relaxed); }

}  // namespace jyx
