#include "test_util.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include "jyx/power/power_format.h"

namespace jyxtest {

ScopedTempDir::ScopedTempDir() {
  const char* base = getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/jyxtest.XXXXXX";
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  if (mkdtemp(buf.data())) path_ = buf.data();
}

ScopedTempDir::~ScopedTempDir() {
  if (path_.empty()) return;
  std::string cmd = "rm -rf '" + path_ + "'";
  if (system(cmd.c_str()) != 0) fprintf(stderr, "could not remove %s\n", path_.c_str());
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

bool writeFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  return static_cast<bool>(out);
}

std::string binPath(const std::string& name) { return std::string(JYX_BIN_DIR) + "/" + name; }

Subprocess::~Subprocess() { reset(); }

void Subprocess::reset() {
  if (pid_ > 0 && running()) {
    kill(pid_, SIGKILL);
    wait(5000);
  }
  if (!dir_.empty()) {
    unlink(outPath_.c_str());
    unlink(errPath_.c_str());
    unlink((dir_ + "/in").c_str());
    rmdir(dir_.c_str());
    dir_.clear();
  }
  pid_ = -1;
  exitCode_ = -1;
  termSignal_ = 0;
}

bool Subprocess::start(const std::vector<std::string>& argv, const std::string& stdinText) {
  reset();
  char tmpl[] = "/tmp/jyxproc.XXXXXX";
  if (!mkdtemp(tmpl)) return false;
  dir_ = tmpl;
  outPath_ = dir_ + "/out";
  errPath_ = dir_ + "/err";
  std::string inPath = dir_ + "/in";
  writeFile(inPath, stdinText);
  pid_t parent = getpid();
  pid_ = fork();
  if (pid_ < 0) return false;
  if (pid_ == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);
    int in = open(inPath.c_str(), O_RDONLY);
    int out = open(outPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = open(errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  return true;
}

bool Subprocess::wait(int timeoutMs) {
  if (pid_ <= 0) return true;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    int status = 0;
    pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      if (WIFEXITED(status)) exitCode_ = WEXITSTATUS(status);
      if (WIFSIGNALED(status)) termSignal_ = WTERMSIG(status);
      pid_ = -1;
      return true;
    }
    if (r < 0) {
      pid_ = -1;
      return true;
    }
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

void Subprocess::signal(int sig) {
  if (pid_ > 0) kill(pid_, sig);
}

bool Subprocess::running() {
  if (pid_ <= 0) return false;
  return !wait(0);
}

bool Subprocess::waitForOutput(const std::string& text, int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < deadline) {
    if (out().find(text) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return out().find(text) != std::string::npos;
}

std::string Subprocess::out() const { return readFile(outPath_); }
std::string Subprocess::err() const { return readFile(errPath_); }

std::string run(const std::vector<std::string>& argv, int* exitCode, int timeoutMs,
                std::string* err) {
  Subprocess p;
  if (!p.start(argv)) return "";
  if (!p.wait(timeoutMs)) {
    p.signal(SIGKILL);
    p.wait(5000);
  }
  if (exitCode) *exitCode = p.termSignal() ? 128 + p.termSignal() : p.exitCode();
  if (err) *err = p.err();
  return p.out();
}

std::string randomBytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(rng() >> 24);
  return s;
}

size_t countOf(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

std::vector<std::string> listDir(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      std::string name = e->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

::testing::AssertionResult inOrder(const std::string& text, const std::vector<std::string>& lines) {
  size_t at = 0;
  for (const std::string& line : lines) {
    size_t found = text.find(line, at);
    if (found == std::string::npos) {
      return ::testing::AssertionFailure() << "missing (in order): " << line << "\n--- output:\n"
                                           << text;
    }
    at = found + line.size();
  }
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult has(const std::string& text, const std::string& part) {
  bool found = contains(text, part);
  return (found ? ::testing::AssertionSuccess() : ::testing::AssertionFailure())
         << (found ? "found: " : "missing: ") << part << "\n--- in:\n"
         << text;
}

static_assert(sizeof(DataRecord) == powerfile::kRecordSize, "a record as stored in the data file");

std::map<int, std::vector<DataRecord>> readDataFile(const std::string& path, std::string* why) {
  std::string scratch;
  std::string& reason = why ? *why : scratch;
  std::string d = readFile(path);
  auto u32 = [&d](size_t at) {
    uint32_t v;
    memcpy(&v, d.data() + at, 4);
    return v;
  };
  if (d.size() < powerfile::kHeaderSize) {
    reason = "shorter than the header: " + std::to_string(d.size()) + " bytes";
    return {};
  }
  if (d.compare(0, 4, "qel ") != 0 || u32(powerfile::kOffsetRailCount) != powerfile::kRailCount) {
    reason = "bad magic or rail count";
    return {};
  }
  std::map<int, std::vector<DataRecord>> rails;
  uint64_t expected = powerfile::kHeaderSize;
  for (uint32_t i = 0; i < powerfile::kRailCount; ++i) {
    uint32_t offset = u32(powerfile::kOffsetRails + 8 * i);
    uint32_t count = u32(powerfile::kOffsetRails + 8 * i + 4);
    if (count == 0) continue;
    if (offset != expected || (!rails.empty() && count != rails.begin()->second.size())) {
      reason = "rail " + std::to_string(i) + ": " + std::to_string(count) + " records at " +
               std::to_string(offset) + ", expected at " + std::to_string(expected);
      return {};
    }
    expected += uint64_t(count) * powerfile::kRecordSize;
    if (expected > d.size()) break;
    rails[int(i)].resize(count);
    memcpy(rails[int(i)].data(), d.data() + offset, size_t(count) * powerfile::kRecordSize);
  }
  if (expected != d.size()) {
    reason = "file is " + std::to_string(d.size()) + " bytes, records end at " +
             std::to_string(expected);
    return {};
  }
  if (rails.empty()) reason = "no records";
  return rails;
}

}  // namespace jyxtest
