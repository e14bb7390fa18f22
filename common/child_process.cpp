#include "common/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "common/string_format.h"

extern char** environ;

namespace jyx {

namespace {

// Bytes of the child's standard error kept for the failure message.
constexpr size_t kMaxErrorText = 4096;

double monotonicSeconds() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// The executable argv[0] names, or "" when there is none.
std::string findProgram(const std::string& name) {
  if (name.find('/') != std::string::npos) return access(name.c_str(), X_OK) == 0 ? name : "";
  const char* path = getenv("PATH");
  std::string dirs = path != nullptr && *path != '\0' ? path : "/usr/bin:/bin";
  size_t start = 0;
  while (start <= dirs.size()) {
    size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    std::string dir = dirs.substr(start, end - start);
    std::string candidate = (dir.empty() ? std::string(".") : dir) + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return "";
}

void closeFd(int* fd) {
  if (*fd >= 0) ::close(*fd);
  *fd = -1;
}

std::string firstLine(const std::string& text) {
  size_t end = text.find_first_of("\r\n");
  return text.substr(0, end);
}

// Waits for the child to end, at most until `deadline`; then kills its
// group and reaps it. Returns the wait status.
int reap(pid_t pid, double deadline, bool* killed) {
  int status = 0;
  int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  for (;;) {
    pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid || (r < 0 && errno != EINTR)) break;
    if (r < 0) continue;
    double left = deadline - monotonicSeconds();
    if (left <= 0 || pidfd < 0) {
      // Without a pidfd there is nothing to block on but waitpid itself,
      // which is bounded once the group has been killed.
      kill(-pid, SIGKILL);
      *killed = *killed || left <= 0;
      while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
      break;
    }
    pollfd p{pidfd, POLLIN, 0};
    poll(&p, 1, static_cast<int>(left * 1000) + 1);
  }
  if (pidfd >= 0) ::close(pidfd);
  return status;
}

// Starts `program` with `args` (null-terminated) in a process group of its
// own, standard input from /dev/null, standard output and error into the
// pipes whose read ends are returned. False with *err when it cannot start.
bool spawnChild(const std::string& name, const std::string& program, std::vector<char*>& args,
                pid_t* pid, int* outFd, int* errFd, std::string* err) {
  int outPipe[2] = {-1, -1};
  int errPipe[2] = {-1, -1};
  int nullFd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (nullFd < 0 || pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0) {
    *err = stringFormat("%s: cannot start: %s", name.c_str(), errnoText(errno).c_str());
    closeFd(&nullFd);
    for (int* fd : {&outPipe[0], &outPipe[1], &errPipe[0], &errPipe[1]}) closeFd(fd);
    return false;
  }
  // Everything the child needs is prepared by now: between fork and exec
  // only async-signal-safe calls are allowed (other threads may hold locks).
  pid_t parent = getpid();
  sigset_t all, old;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &old);  // no handler of ours runs in the child
  *pid = fork();
  if (*pid == 0) {
    setpgid(0, 0);
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);  // the parent died before the line above
    dup2(nullFd, 0);
    dup2(outPipe[1], 1);
    dup2(errPipe[1], 2);
    for (int sig = 1; sig < NSIG; ++sig) signal(sig, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execve(program.c_str(), args.data(), environ);
    _exit(127);
  }
  int forkErrno = errno;
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  closeFd(&nullFd);
  closeFd(&outPipe[1]);
  closeFd(&errPipe[1]);
  if (*pid < 0) {
    *err = stringFormat("%s: cannot start: %s", name.c_str(), errnoText(forkErrno).c_str());
    closeFd(&outPipe[0]);
    closeFd(&errPipe[0]);
    return false;
  }
  setpgid(*pid, *pid);  // also here, so a kill of the group never misses
  *outFd = outPipe[0];
  *errFd = errPipe[0];
  return true;
}

// What the child wrote, read until both pipes close, the deadline passes
// (killed) or the output outgrows its limit (tooLarge). Standard error is
// kept up to kMaxErrorText bytes. A pipe that ends is closed and its entry
// in `fds` set to -1; the caller closes what is left.
struct ChildOutput {
  std::string errText;
  bool killed = false;
  bool tooLarge = false;
};

void collectOutput(int fds[2], double deadline, size_t maxOutput, std::string* out,
                   ChildOutput* got) {
  char buf[65536];
  while ((fds[0] >= 0 || fds[1] >= 0) && !got->killed && !got->tooLarge) {
    double left = deadline - monotonicSeconds();
    if (left <= 0) {
      got->killed = true;
      break;
    }
    pollfd polled[2] = {{fds[0], POLLIN, 0}, {fds[1], POLLIN, 0}};
    int n = poll(polled, 2, static_cast<int>(left * 1000) + 1);
    if (n < 0 && errno != EINTR) break;
    if (n <= 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (polled[i].fd < 0 || polled[i].revents == 0) continue;
      ssize_t count = ::read(fds[i], buf, sizeof(buf));
      if (count < 0 && errno == EINTR) continue;
      if (count <= 0) {
        closeFd(&fds[i]);
        continue;
      }
      if (i == 1) {
        size_t room = kMaxErrorText - std::min(kMaxErrorText, got->errText.size());
        got->errText.append(buf, std::min(room, static_cast<size_t>(count)));
      } else if (out->size() + static_cast<size_t>(count) > maxOutput) {
        got->tooLarge = true;
      } else {
        out->append(buf, static_cast<size_t>(count));
      }
    }
  }
}

// The verdict on a reaped child: true for exit status 0, else *err names
// why, with the first line of its standard error when it failed.
bool childVerdict(const std::string& name, int status, const ChildOutput& got,
                  const CaptureLimits& limits, std::string* err) {
  if (got.tooLarge) {
    *err =
        stringFormat("%s: output larger than %zu bytes, stopped", name.c_str(), limits.maxOutput);
    return false;
  }
  if (got.killed) {
    *err = stringFormat("%s: no result within %g s, stopped", name.c_str(), limits.totalSeconds);
    return false;
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return true;
  std::string why = firstLine(got.errText);
  if (WIFEXITED(status)) {
    *err = stringFormat("%s: failed (exit status %d)%s%s", name.c_str(), WEXITSTATUS(status),
                        why.empty() ? "" : ": ", why.c_str());
  } else {
    *err = stringFormat("%s: ended by signal %d", name.c_str(),
                        WIFSIGNALED(status) ? WTERMSIG(status) : 0);
  }
  return false;
}

}  // namespace

bool runCaptured(const std::vector<std::string>& argv, const CaptureLimits& limits,
                 std::string* out, std::string* err) {
  out->clear();
  if (argv.empty()) {
    *err = "no program given";
    return false;
  }
  const std::string& name = argv[0];
  std::string program = findProgram(name);
  if (program.empty()) {
    *err = stringFormat("%s: program not found", name.c_str());
    return false;
  }
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  int fds[2] = {-1, -1};
  if (!spawnChild(name, program, args, &pid, &fds[0], &fds[1], err)) return false;

  double deadline = monotonicSeconds() + limits.totalSeconds;
  ChildOutput got;
  collectOutput(fds, deadline, limits.maxOutput, out, &got);
  if (got.killed || got.tooLarge) kill(-pid, SIGKILL);
  closeFd(&fds[0]);
  closeFd(&fds[1]);
  // A child that closed its output but lingers gets one second more.
  int status =
      reap(pid, got.killed || got.tooLarge ? monotonicSeconds() : deadline + 1.0, &got.killed);
  return childVerdict(name, status, got, limits, err);
}

}  // namespace jyx
