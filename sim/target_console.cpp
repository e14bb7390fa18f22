#include "sim/target_console.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "sim/faults.h"
#include "sim/server.h"

namespace jyxsim {

namespace {

// A command line longer than this is dropped whole: no UART shell takes
// lines of that size, and the buffer must stay bounded.
constexpr size_t kMaxCommand = 4096;
// A pause in a script is at most an hour.
constexpr uint64_t kMaxWaitMs = 3600000;
// Outputs waiting for their time; a tool that floods the console with
// commands loses the answers beyond this instead of growing the queue.
constexpr size_t kMaxPending = 10000;

std::string replaceAll(std::string text, const std::string& from, const std::string& to) {
  size_t at = 0;
  while ((at = text.find(from, at)) != std::string::npos) {
    text.replace(at, from.size(), to);
    at += to.size();
  }
  return text;
}

std::string errnoText(const char* what, const std::string& path) {
  return std::string(what) + " " + path + ": " + strerror(errno);
}

}  // namespace

bool parseConsoleScript(const std::string& text, ConsoleScript* out, std::string* err) {
  *out = ConsoleScript();
  uint32_t pendingWait = 0;
  size_t pos = 0;
  int lineNo = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    ++lineNo;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos || line[start] == '#') continue;
    line.erase(0, start);
    size_t blank = line.find(' ');
    std::string word = line.substr(0, blank);
    std::string rest = blank == std::string::npos ? std::string() : line.substr(blank + 1);
    auto fail = [&](const std::string& why) {
      *err = "line " + std::to_string(lineNo) + ": " + why;
      return false;
    };
    if (word == "on" || word == "on-prefix" || word == "on-any") {
      ConsoleRule rule;
      rule.kind = word == "on"          ? ConsoleRule::kExact
                  : word == "on-prefix" ? ConsoleRule::kPrefix
                                        : ConsoleRule::kAny;
      if (rule.kind != ConsoleRule::kAny && rest.empty()) return fail(word + " needs a text");
      rule.text = rest;
      out->rules.push_back(rule);
      pendingWait = 0;
    } else if (word == "echo") {
      if (rest != "on" && rest != "off") return fail("echo takes on or off");
      out->echo = rest == "on";
    } else if (word == "wait" || word == "say" || word == "say-raw") {
      if (out->rules.empty()) return fail(word + " before the first rule");
      if (word == "wait") {
        uint64_t ms = 0;
        if (!parseUnsigned(rest, kMaxWaitMs, &ms)) return fail("wait takes 0 to 3600000 ms");
        pendingWait += uint32_t(ms);
        continue;
      }
      std::string output = word == "say" ? rest + "\r\n" : rest;
      out->rules.back().outputs.push_back({pendingWait, output});
      pendingWait = 0;
    } else {
      return fail("unknown word '" + word + "'");
    }
  }
  return true;
}

std::vector<std::pair<uint32_t, std::string>> consoleAnswer(const ConsoleScript& script,
                                                            const std::string& command) {
  for (const ConsoleRule& rule : script.rules) {
    std::string args;
    if (rule.kind == ConsoleRule::kExact && command != rule.text) continue;
    if (rule.kind == ConsoleRule::kPrefix) {
      if (command.compare(0, rule.text.size(), rule.text) != 0) continue;
      args = command.substr(rule.text.size());
    }
    std::vector<std::pair<uint32_t, std::string>> outputs = rule.outputs;
    for (auto& o : outputs)
      o.second = replaceAll(replaceAll(o.second, "$CMD", command), "$ARGS", args);
    return outputs;
  }
  return {};
}

CTargetConsole::~CTargetConsole() { stop(); }

bool CTargetConsole::start(const std::string& linkPath, const ConsoleScript& script,
                           std::string* err) {
  script_ = script;
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
    *err = errnoText("cannot create a pty for", linkPath);
    stop();
    return false;
  }
  char name[128];
  if (ptsname_r(master_, name, sizeof(name)) != 0) {
    *err = errnoText("cannot name the pty for", linkPath);
    stop();
    return false;
  }
  slavePath_ = name;
  slave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  termios tio;
  if (slave_ < 0 || tcgetattr(slave_, &tio) != 0) {
    *err = errnoText("cannot open", slavePath_);
    stop();
    return false;
  }
  // Raw both ways: the tool's bytes arrive unchanged, and the target's
  // output is not echoed back to the target.
  cfmakeraw(&tio);
  if (tcsetattr(slave_, TCSANOW, &tio) != 0) {
    *err = errnoText("cannot set raw mode on", slavePath_);
    stop();
    return false;
  }
  struct stat st;
  if (lstat(linkPath.c_str(), &st) == 0) {
    if (!S_ISLNK(st.st_mode)) {
      *err = linkPath + " exists and is not a symlink; not replacing it";
      stop();
      return false;
    }
    unlink(linkPath.c_str());
  }
  if (symlink(slavePath_.c_str(), linkPath.c_str()) != 0) {
    *err = errnoText("cannot create the symlink", linkPath);
    stop();
    return false;
  }
  linkPath_ = linkPath;
  if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
    *err = errnoText("cannot create a pipe for", linkPath);
    stop();
    return false;
  }
  thread_ = std::thread(&CTargetConsole::loop, this);
  return true;
}

void CTargetConsole::stop() {
  if (thread_.joinable()) {
    char c = 1;
    while (write(wake_[1], &c, 1) < 0 && errno == EINTR) {
    }
    thread_.join();
  }
  for (int* fd : {&master_, &slave_, &wake_[0], &wake_[1]}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
  if (!linkPath_.empty()) {
    struct stat st;
    if (lstat(linkPath_.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) unlink(linkPath_.c_str());
    linkPath_.clear();
  }
}

void CTargetConsole::received(const char* data, size_t n, uint64_t nowUs) {
  for (size_t i = 0; i < n; ++i) {
    char c = data[i];
    if (c != '\r' && c != '\n') {
      if (line_.size() < kMaxCommand) {
        line_ += c;
      } else {
        overlong_ = true;
      }
      continue;
    }
    std::string command;
    command.swap(line_);
    bool dropped = overlong_;
    overlong_ = false;
    if (command.empty() || dropped) continue;
    uint64_t at = std::max(nowUs, lastDueUs_);
    if (script_.echo && due_.size() < kMaxPending) due_.push_back({at, command + "\r\n"});
    for (const auto& output : consoleAnswer(script_, command)) {
      at += uint64_t(output.first) * 1000u;
      if (due_.size() < kMaxPending) due_.push_back({at, output.second});
    }
    lastDueUs_ = at;
  }
}

void CTargetConsole::writeDue(uint64_t nowUs) {
  size_t done = 0;
  while (done < due_.size() && due_[done].first <= nowUs) {
    const std::string& text = due_[done].second;
    size_t sent = 0;
    while (sent < text.size()) {
      ssize_t n = write(master_, text.data() + sent, text.size() - sent);
      if (n < 0 && errno == EINTR) continue;
      // A full pty (no reader) loses the text, as a UART would overrun.
      if (n <= 0) break;
      sent += size_t(n);
    }
    ++done;
  }
  due_.erase(due_.begin(), due_.begin() + long(done));
}

void CTargetConsole::loop() {
  for (;;) {
    uint64_t now = monoMicros();
    writeDue(now);
    int timeoutMs = -1;
    if (!due_.empty()) {
      uint64_t next = due_.front().first;
      timeoutMs = next > now ? int(std::min<uint64_t>((next - now + 999) / 1000, 1000000)) : 0;
    }
    pollfd fds[2] = {{wake_[0], POLLIN, 0}, {master_, POLLIN, 0}};
    int r = poll(fds, 2, timeoutMs);
    if (r < 0 && errno != EINTR) return;
    if (r <= 0) continue;
    if (fds[0].revents != 0) return;
    // The console keeps its own slave descriptor, so a hang-up or error
    // here means the pty itself is gone: end rather than spin.
    if ((fds[1].revents & (POLLHUP | POLLERR | POLLNVAL)) && !(fds[1].revents & POLLIN)) return;
    if (fds[1].revents & POLLIN) {
      char buf[4096];
      ssize_t n = read(master_, buf, sizeof(buf));
      if (n > 0) received(buf, size_t(n), monoMicros());
    }
  }
}

}  // namespace jyxsim
