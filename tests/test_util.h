// Shared helpers for the unit and end-to-end tests: temporary directories,
// child processes with captured output, and file helpers.
#ifndef JYX_TESTS_TEST_UTIL_H_
#define JYX_TESTS_TEST_UTIL_H_

#include <sys/types.h>

#include <string>
#include <vector>

namespace jyxtest {

// A fresh directory under $TMPDIR (or /tmp), removed with its contents.
class ScopedTempDir {
 public:
  ScopedTempDir();
  ~ScopedTempDir();
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string readFile(const std::string& path);
bool writeFile(const std::string& path, const std::string& content);

// Path of a built executable ("jyx", "jyx-sim").
std::string binPath(const std::string& name);

// A child process whose standard output and error go to files. The child
// is killed (SIGKILL) on destruction if it still runs, so a failing test
// never leaves processes behind; it also dies with the test process
// (PR_SET_PDEATHSIG).
class Subprocess {
 public:
  Subprocess() = default;
  ~Subprocess();
  Subprocess(const Subprocess&) = delete;
  Subprocess& operator=(const Subprocess&) = delete;

  // argv[0] is the program path. Returns false when fork/exec failed.
  bool start(const std::vector<std::string>& argv, const std::string& stdinText = "");
  // Waits up to timeoutMs; true when the child exited (status in exitCode()
  // or, when killed by a signal, termSignal()).
  bool wait(int timeoutMs);
  void signal(int sig);
  bool running();
  // Polls the captured stdout until it contains `text` or timeoutMs passes.
  bool waitForOutput(const std::string& text, int timeoutMs);

  std::string out() const;
  std::string err() const;
  int exitCode() const { return exitCode_; }
  int termSignal() const { return termSignal_; }
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int exitCode_ = -1;
  int termSignal_ = 0;
  std::string dir_;
  std::string outPath_;
  std::string errPath_;
};

// Runs a command to completion (timeoutMs) and returns its stdout.
std::string run(const std::vector<std::string>& argv, int* exitCode = nullptr,
                int timeoutMs = 60000, std::string* err = nullptr);

}  // namespace jyxtest

#endif  // JYX_TESTS_TEST_UTIL_H_
