// CConsoleTool: the small base of the release-tool console tools. It gives
// them the argument splitter and a shell-command runner whose commands are
// bounded in time and whose output is cut into short lines.
#ifndef JYX_TOOLS_CONSOLE_TOOL_H_
#define JYX_TOOLS_CONSOLE_TOOL_H_

#include <string>
#include <vector>

// The text wrapped in single quotes for /bin/sh, so that nothing in it (a
// path, a partition name from an image) is read by the shell.
std::string shellQuote(const std::string& text);

// The command line that popen runs for `command`: the command under
// `timeout` (killed 5 s after the TERM if it ignores it), standard error
// joined to standard output.
std::string timedCommandLine(const std::string& command, int timeoutSeconds);

// Splits raw command output into kept lines: pieces of at most 1022
// characters, trailing line feeds, blanks and tabs cut, empty lines dropped.
std::vector<std::string> splitCommandOutput(const std::string& raw);

class CConsoleTool {
 public:
  CConsoleTool() = default;
  CConsoleTool(const CConsoleTool&) = delete;
  CConsoleTool& operator=(const CConsoleTool&) = delete;
  virtual ~CConsoleTool() = default;

  // Seconds a command may run before it is stopped: queries and quick
  // commands, and the filesystem and copy commands that walk a whole disk.
  static constexpr int kQuickTimeout = 60;
  static constexpr int kLongTimeout = 3600;

 protected:
  // Walks argv from index 1: "-k v" (v not beginning with '-') is one
  // (key, value) pair, a lone "-k" has an empty value, any other argument
  // has an empty key. Stops early when onArgument returns false; returns
  // false then.
  bool splitArguments(int argc, char** argv);
  virtual bool onArgument(const std::string& key, const std::string& value) = 0;

  // Runs a command; with show set, every kept output line is printed.
  // *lines (optional) receives the kept lines, *status the exit status
  // (124 after a time-out). False when the command could not be started or
  // did not exit normally; the reason is printed.
  bool runCommand(const std::string& command, bool show, int timeoutSeconds = kQuickTimeout,
                  std::vector<std::string>* lines = nullptr, int* status = nullptr);
  // A shown command that must succeed: false (with the reason printed) when
  // it could not run or its exit status is not 0.
  bool runChecked(const std::string& command, int timeoutSeconds = kQuickTimeout);
  // The first kept output line of a query, or "" when there is none.
  std::string query(const std::string& command);

  // All output of the tools goes through the API manager's print.
  void print(const char* format, ...) __attribute__((format(printf, 2, 3)));
};

#endif  // JYX_TOOLS_CONSOLE_TOOL_H_
