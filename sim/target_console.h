// The target's console for factory tests: a pseudo-terminal whose slave side
// the tool opens as a UART (its path is published as a symlink), behind
// which a scripted target answers each command line with lines and pauses
// taken from a script file. See sim/README.md for the script format.
#ifndef JYX_SIM_TARGET_CONSOLE_H_
#define JYX_SIM_TARGET_CONSOLE_H_

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace jyxsim {

struct ConsoleRule {
  enum Kind { kExact, kPrefix, kAny };
  Kind kind = kAny;
  std::string text;
  // Pause in ms before each output, and the text (line end included).
  std::vector<std::pair<uint32_t, std::string>> outputs;
};

struct ConsoleScript {
  bool echo = false;  // send every received command line back first
  std::vector<ConsoleRule> rules;
};

// Parses a script; false with "line N: reason" in *err.
bool parseConsoleScript(const std::string& text, ConsoleScript* out, std::string* err);

// The target's answer to one command (without its line end): the outputs
// of the first matching rule with $CMD and $ARGS filled in, each with its
// pause in ms after the previous output. No rule matching: silence.
std::vector<std::pair<uint32_t, std::string>> consoleAnswer(const ConsoleScript& script,
                                                            const std::string& command);

class CTargetConsole {
 public:
  CTargetConsole() = default;
  ~CTargetConsole();
  CTargetConsole(const CTargetConsole&) = delete;
  CTargetConsole& operator=(const CTargetConsole&) = delete;

  // Creates the pty (raw, no echo), points the symlink `linkPath` at its
  // slave (replacing an older symlink, never any other file) and starts the
  // console thread. False with *err when any step fails.
  bool start(const std::string& linkPath, const ConsoleScript& script, std::string* err);
  // Stops and joins the thread, closes the pty and removes the symlink.
  void stop();
  const std::string& slavePath() const { return slavePath_; }

 private:
  void loop();
  void received(const char* data, size_t n, uint64_t nowUs);
  void writeDue(uint64_t nowUs);

  ConsoleScript script_;
  std::string linkPath_;
  std::string slavePath_;
  int master_ = -1;
  // Kept open so that the master never sees a hang-up while no tool has
  // the UART open (and poll would report it without end).
  int slave_ = -1;
  int wake_[2] = {-1, -1};
  std::thread thread_;
  std::string line_;
  bool overlong_ = false;  // the command being received is too long: dropped
  // Outputs waiting for their time (monotonic µs), in order.
  std::vector<std::pair<uint64_t, std::string>> due_;
  uint64_t lastDueUs_ = 0;
};

}  // namespace jyxsim

#endif  // JYX_SIM_TARGET_CONSOLE_H_
