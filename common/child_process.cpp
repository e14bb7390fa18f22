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
  // Everything the child needs is prepared here: between fork and exec only
  // async-signal-safe calls are allowed (other threads may hold locks).
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  int outPipe[2] = {-1, -1};
  int errPipe[2] = {-1, -1};
  int nullFd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (nullFd < 0 || pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0) {
    *err = stringFormat("%s: cannot start: %s", name.c_str(), errnoText(errno).c_str());
    closeFd(&nullFd);
    for (int* fd : {&outPipe[0], &outPipe[1], &errPipe[0], &errPipe[1]}) closeFd(fd);
    return false;
  }
  pid_t parent = getpid();
  sigset_t all, old;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &old);  // no handler of ours runs in the child
  pid_t pid = fork();
  if (pid == 0) {
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
  if (pid < 0) {
    *err = stringFormat("%s: cannot start: %s", name.c_str(), errnoText(forkErrno).c_str());
    closeFd(&outPipe[0]);
    closeFd(&errPipe[0]);
    return false;
  }
  setpgid(pid, pid);  // also here, so a kill of the group never misses

  double deadline = monotonicSeconds() + limits.totalSeconds;
  std::string errText;
  bool killed = false;
  bool tooLarge = false;
  char buf[65536];
  while ((outPipe[0] >= 0 || errPipe[0] >= 0) && !killed && !tooLarge) {
    double left = deadline - monotonicSeconds();
    if (left <= 0) {
      killed = true;
      break;
    }
    pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    int n = poll(fds, 2, static_cast<int>(left * 1000) + 1);
    if (n < 0 && errno != EINTR) break;
    if (n <= 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      int* fd = i == 0 ? &outPipe[0] : &errPipe[0];
      ssize_t got = ::read(*fd, buf, sizeof(buf));
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) {
        closeFd(fd);
        continue;
      }
      if (i == 1) {
        size_t room = kMaxErrorText - std::min(kMaxErrorText, errText.size());
        errText.append(buf, std::min(room, static_cast<size_t>(got)));
      } else if (out->size() + static_cast<size_t>(got) > limits.maxOutput) {
        tooLarge = true;
      } else {
        out->append(buf, static_cast<size_t>(got));
      }
    }
  }
  if (killed || tooLarge) kill(-pid, SIGKILL);
  closeFd(&outPipe[0]);
  closeFd(&errPipe[0]);
  // A child that closed its output but lingers gets one second more.
  int status = reap(pid, killed || tooLarge ? monotonicSeconds() : deadline + 1.0, &killed);
  if (tooLarge) {
    *err =
        stringFormat("%s: output larger than %zu bytes, stopped", name.c_str(), limits.maxOutput);
    return false;
  }
  if (killed) {
    *err = stringFormat("%s: no result within %g s, stopped", name.c_str(), limits.totalSeconds);
    return false;
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return true;
  std::string why = firstLine(errText);
  if (WIFEXITED(status)) {
    *err = stringFormat("%s: failed (exit status %d)%s%s", name.c_str(), WEXITSTATUS(status),
                        why.empty() ? "" : ": ", why.c_str());
  } else {
    *err = stringFormat("%s: ended by signal %d", name.c_str(),
                        WIFSIGNALED(status) ? WTERMSIG(status) : 0);
  }
  return false;
}

}  // namespace jyx
