// Bounded waits on one file descriptor for the channel implementations.
// Channels wait for their device in short slices so that the channel lock is
// held only for one slice at a time: a writer never waits behind a whole
// read time-out, and close() takes effect within one slice.
#ifndef JYX_COMMON_FD_WAIT_H_
#define JYX_COMMON_FD_WAIT_H_

// Longest single wait while the channel lock is held, in microseconds.
constexpr int kWaitSliceUs = 10000;

enum FdWaitResult {
  FD_WAIT_ERROR = -1,   // poll failed or the descriptor is not valid (errno set)
  FD_WAIT_AGAIN = 0,    // this slice passed without the event; time is left
  FD_WAIT_READY = 1,    // the event (or a hang-up/error the next call will see)
  FD_WAIT_TIMEOUT = 2,  // *waitedUs reached totalUs without the event
};

// Waits for `events` (POLLIN or POLLOUT) on fd for one slice of at most
// kWaitSliceUs, never past totalUs in all; adds the slice to *waitedUs.
// A totalUs <= 0 polls once without waiting. EINTR counts as a passed slice.
FdWaitResult waitFdSlice(int fd, short events, int totalUs, int* waitedUs);

// Waits for `events` on fd up to totalUs in one go (the caller keeps its lock).
FdWaitResult waitFd(int fd, short events, int totalUs);

// Waits up to totalUs in one poll for `events` on fd or for wakeFd (an
// eventfd; -1 for none) to become readable. FD_WAIT_READY: fd is ready;
// FD_WAIT_TIMEOUT: the time passed; FD_WAIT_AGAIN: woken through wakeFd
// (drained here) or by a signal; FD_WAIT_ERROR: the poll failed. For waits
// that hold no lock, so they may be as long as the caller's time-out.
FdWaitResult waitFdOrWake(int fd, short events, int wakeFd, int totalUs);

// Polls fd for readability without sleeping, for at most spinUs: true as
// soon as it is readable. For a loop that expects an event within a few
// tens of microseconds, where falling asleep and being woken again costs
// more than the event is away.
bool spinUntilReadable(int fd, int spinUs);

#endif  // JYX_COMMON_FD_WAIT_H_
