#include "common/fd_wait.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>

namespace {

// poll() takes milliseconds; a partial millisecond is waited in full.
int toPollMs(int us) { return us <= 0 ? 0 : (us + 999) / 1000; }

FdWaitResult pollOnce(int fd, short events, int us) {
  pollfd p{fd, events, 0};
  int r = poll(&p, 1, toPollMs(us));
  if (r < 0) return errno == EINTR ? FD_WAIT_AGAIN : FD_WAIT_ERROR;
  if (r == 0) return FD_WAIT_AGAIN;
  if (p.revents & POLLNVAL) {
    errno = EBADF;
    return FD_WAIT_ERROR;
  }
  return FD_WAIT_READY;
}

}  // namespace

FdWaitResult waitFdSlice(int fd, short events, int totalUs, int* waitedUs) {
  int left = totalUs - *waitedUs;
  int slice = left < kWaitSliceUs ? left : kWaitSliceUs;
  if (slice < 0) slice = 0;
  FdWaitResult r = pollOnce(fd, events, slice);
  if (r != FD_WAIT_AGAIN) return r;
  *waitedUs += slice;
  return *waitedUs >= totalUs ? FD_WAIT_TIMEOUT : FD_WAIT_AGAIN;
}

FdWaitResult waitFd(int fd, short events, int totalUs) {
  int waited = 0;
  FdWaitResult r;
  while ((r = waitFdSlice(fd, events, totalUs, &waited)) == FD_WAIT_AGAIN) {
  }
  return r;
}

FdWaitResult waitFdOrWake(int fd, short events, int wakeFd, int totalUs) {
  pollfd p[2] = {{fd, events, 0}, {wakeFd, POLLIN, 0}};
  int r = poll(p, wakeFd >= 0 ? 2 : 1, toPollMs(totalUs));
  if (r < 0) return errno == EINTR ? FD_WAIT_AGAIN : FD_WAIT_ERROR;
  if (r == 0) return FD_WAIT_TIMEOUT;
  if (p[0].revents & POLLNVAL) {
    errno = EBADF;
    return FD_WAIT_ERROR;
  }
  if (p[0].revents != 0) return FD_WAIT_READY;
  uint64_t count;
  ssize_t got = read(wakeFd, &count, sizeof(count));
  (void)got;  // EAGAIN: another reader drained it first
  return FD_WAIT_AGAIN;
}

bool spinUntilReadable(int fd, int spinUs) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(spinUs);
  do {
    // Readable, or an error the real wait reports.
    if (pollOnce(fd, POLLIN, 0) != FD_WAIT_AGAIN) return true;
  } while (std::chrono::steady_clock::now() < until);
  return false;
}
