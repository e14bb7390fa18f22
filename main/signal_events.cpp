#include "main/signal_events.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "common/file_util.h"
#include "common/string_format.h"

namespace jyx {

namespace {

// The handler touches nothing but these atomics and two descriptors; that is
// only safe when the atomics need no lock.
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs lock-free ints");
static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler needs lock-free bools");

const int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP};
// The deferred signal that no longer waits for the main loop: the first one
// starts the orderly end, the second may arrive while it saves, the third
// means the user wants out now.
constexpr int kForcedExitCount = 3;

// Self-pipe: the handler writes, the main loop polls and drains. Both ends
// are non-blocking, so a handler never waits on a full pipe (a full pipe
// already holds a wake-up).
int g_pipe[2] = {-1, -1};
std::atomic<bool> g_deferred{false};
std::atomic<int> g_deferredCount{0};
// First signal not yet taken by the main loop; 0 when none.
std::atomic<int> g_pending{0};
std::atomic<bool> g_brokenPipe{false};

void writeLineAndExit(int signalNumber) {
  char line[32];
  int length = formatSignalLine(signalNumber, line, sizeof(line));
  // Nothing can be done about a failed write here: the exit status still
  // carries the signal.
  ssize_t written = write(STDOUT_FILENO, line, size_t(length));
  (void)written;
  // Half-written temporary and scratch files go with the process.
  removeTrackedFiles();
  _exit(signalNumber);
}

void onEndingSignal(int signalNumber) {
  int savedErrno = errno;
  if (!g_deferred.load()) writeLineAndExit(signalNumber);
  int count = g_deferredCount.fetch_add(1) + 1;
  if (count >= kForcedExitCount) writeLineAndExit(signalNumber);
  int none = 0;
  g_pending.compare_exchange_strong(none, signalNumber);
  char wake = 1;
  ssize_t written = write(g_pipe[1], &wake, 1);
  (void)written;
  errno = savedErrno;
}

// SIGPIPE: the failed write reports EPIPE to its caller; the flag lets the
// main loop notice that its own output has gone.
void onBrokenPipe(int) { g_brokenPipe.store(true); }

}  // namespace

int formatSignalLine(int signalNumber, char* buf, int size) {
  static const char kPrefix[] = "exception signal: ";
  char digits[12];
  int n = 0;
  unsigned value = signalNumber < 0 ? 0u : unsigned(signalNumber);
  do {
    digits[n++] = char('0' + value % 10);
    value /= 10;
  } while (value != 0 && n < int(sizeof(digits)));
  int length = 0;
  for (int i = 0; kPrefix[i] != '\0' && length < size - 1; ++i) buf[length++] = kPrefix[i];
  while (n > 0 && length < size - 1) buf[length++] = digits[--n];
  if (length < size - 1) buf[length++] = '\n';
  if (size > 0) buf[length] = '\0';
  return length;
}

bool installSignalHandlers(std::string* err) {
  if (g_pipe[0] < 0 && pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    *err = "signal pipe: " + errnoText(errno);
    g_pipe[0] = g_pipe[1] = -1;
    return false;
  }
  struct sigaction action = {};
  action.sa_handler = onEndingSignal;
  sigemptyset(&action.sa_mask);
  // One ending signal at a time per thread; other threads may still take
  // one concurrently, which the atomics allow for.
  for (int sig : kEndingSignals) sigaddset(&action.sa_mask, sig);
  // Interrupted system calls resume; the main loop's poll on the pipe is
  // woken by the pipe byte in any case.
  action.sa_flags = SA_RESTART;
  for (int sig : kEndingSignals) {
    if (sigaction(sig, &action, nullptr) != 0) {
      *err = stringFormat("signal %d: %s", sig, errnoText(errno).c_str());
      return false;
    }
  }
  struct sigaction pipeAction = {};
  pipeAction.sa_handler = onBrokenPipe;
  sigemptyset(&pipeAction.sa_mask);
  pipeAction.sa_flags = SA_RESTART;
  if (sigaction(SIGPIPE, &pipeAction, nullptr) != 0) {
    *err = "SIGPIPE: " + errnoText(errno);
    return false;
  }
  return true;
}

void setSignalsDeferred(bool deferred) { g_deferred.store(deferred); }

int waitForSignal(int timeoutMs, int otherFd) {
  // Without a pipe (handlers not installed) poll ignores the negative
  // descriptor and this waits on otherFd alone, or is a plain sleep.
  pollfd wake[2] = {{g_pipe[0], POLLIN, 0}, {otherFd, POLLIN, 0}};
  int ready = poll(wake, 2, timeoutMs);
  if (ready > 0 && wake[0].revents != 0) {
    char drained[64];
    while (read(g_pipe[0], drained, sizeof(drained)) > 0) {
    }
  }
  return g_pending.exchange(0);
}

int takeSignal() { return g_pending.load() != 0 ? g_pending.exchange(0) : 0; }

int deferredSignalCount() { return g_deferredCount.load(); }

bool brokenPipeSeen() { return g_brokenPipe.load(); }

void resetSignalHandlersForTest() {
  struct sigaction action = {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  for (int sig : kEndingSignals) sigaction(sig, &action, nullptr);
  sigaction(SIGPIPE, &action, nullptr);
  g_deferred.store(false);
  g_deferredCount.store(0);
  g_pending.store(0);
  g_brokenPipe.store(false);
  if (g_pipe[0] >= 0) {
    char drained[64];
    while (read(g_pipe[0], drained, sizeof(drained)) > 0) {
    }
  }
}

}  // namespace jyx
