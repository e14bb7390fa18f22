#include "common/loop_wake.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>

namespace jyx {

namespace {

std::atomic<unsigned long> g_wakes{0};

// Non-blocking, so that a wake never waits on a counter near overflow and a
// drain of an empty counter returns at once.
int createWakeFd() { return eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK); }

}  // namespace

int mainLoopWakeFd() {
  static const int fd = createWakeFd();
  return fd;
}

void wakeMainLoop() {
  g_wakes.fetch_add(1, std::memory_order_relaxed);
  int fd = mainLoopWakeFd();
  if (fd < 0) return;
  uint64_t one = 1;
  // EAGAIN means the counter is already at its limit: the loop is awake.
  ssize_t written = write(fd, &one, sizeof(one));
  (void)written;
}

void clearMainLoopWake() {
  int fd = mainLoopWakeFd();
  if (fd < 0) return;
  uint64_t value;
  ssize_t got = read(fd, &value, sizeof(value));
  (void)got;
}

unsigned long mainLoopWakeCount() { return g_wakes.load(std::memory_order_relaxed); }

}  // namespace jyx
