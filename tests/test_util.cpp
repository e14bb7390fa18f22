#include "test_util.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

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

Subprocess::~Subprocess() {
  if (pid_ > 0 && running()) {
    kill(pid_, SIGKILL);
    wait(5000);
  }
  if (!dir_.empty()) {
    unlink(outPath_.c_str());
    unlink(errPath_.c_str());
    rmdir(dir_.c_str());
  }
}

bool Subprocess::start(const std::vector<std::string>& argv, const std::string& stdinText) {
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

}  // namespace jyxtest
