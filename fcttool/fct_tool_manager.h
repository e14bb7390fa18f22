// CFCTToolManager: the factory functional test (FCT) runner. A test plan is
// a list of cases loaded from a JSON configuration and its case files; a
// case is a list of commands written to the target's UART; the answer lines
// decide each command (pass key, fail key, information key, time-out or an
// operator's confirmation). A full run records the per-case results for the
// board's serial number in "record/record.csv" beside the configuration.
//
// Threads: everything runs on the main thread. UART lines arrive through
// the line parser's update, timers through onUpdate(now); the channel's own
// threads only move bytes into and out of its FIFOs.
#ifndef JYX_FCTTOOL_FCT_TOOL_MANAGER_H_
#define JYX_FCTTOOL_FCT_TOOL_MANAGER_H_

#include <rapidjson/fwd.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "common/channel.h"
#include "common/task_manager.h"
#include "jyx/protocol/string_parser.h"

class CJYX;
class CSerialPort;

// One command of a case, with the defaults of a command object's members.
struct CFCTCommand {
  std::string cmd;             // written to the UART as it is (no line end added)
  std::string okKey;           // an answer line containing it passes the command
  std::string failKey;         // an answer line containing it fails the command
  std::string infoKey;         // the rest of a line after it becomes the case's information
  int32_t timeout = 99999999;  // milliseconds without a decision before it fails
  std::string manualConfirm;   // non-empty: the operator judges in a dialog
  std::string manualTitle;
  std::string manualOk;
  std::string manualFail;
  float manualScale = 1.0f;
  std::string message;       // written to the UART once the operator answered
  int32_t delay = 99999999;  // milliseconds after sending before the dialog
};

struct CFCTCase {
  std::string group;  // "name" of the case-file entry the case came from
  std::string name;
  std::string status;  // one of the status texts of fct_record.h
  std::string info;    // "" or the captured information in parentheses
  std::string color;   // ARGB shade for a list: even case files vs odd ones
  bool enable = false;
  std::vector<CFCTCommand> commands;
};

class CFCTToolManager : public CTaskManager, public CChannelDelegate, public CStringParserDelegate {
 public:
  // Receives one of the status texts.
  using Done = std::function<void(const char*)>;

  // findCase's answer when no case has the name.
  static constexpr int32_t kNoCase = 99999999;

  // The process-wide instance, routed as "fct_tool"; created on first use
  // and never destroyed.
  static CFCTToolManager* instance();

  // The manager works through the controller object (settings, paths,
  // messages, the target's log), handed in here once. routed = false makes
  // an instance that is not reachable by task name (tests); it still
  // registers as an updater.
  CFCTToolManager(CJYX* controller, bool routed);
  ~CFCTToolManager() override;

  void onUpdate(double now) override;
  double nextDeadline(double now) override;
  // {"title":"FCT <version>", "sub_title":"<configuration name>"}.
  const std::string& name() override;
  // Reads the settings "fct_uart_port" and "fct_config".
  void start() override;
  // Closes the UART.
  void stop() override;

  virtual const std::string& port() { return port_; }
  virtual void setPort(const std::string& port) { port_ = port; }
  virtual uint32_t baudRate() { return baudRate_; }
  virtual void setBaudRate(uint32_t rate) { baudRate_ = rate; }
  virtual const std::string& command() { return command_; }
  virtual void setCommand(const std::string& command) { command_ = command; }
  virtual bool busy() { return busy_; }
  virtual void setBusy(bool busy) { busy_ = busy; }
  virtual bool running() { return running_; }
  virtual void setRunning(bool running) { running_ = running; }
  virtual const std::string& configFile() { return configFile_; }
  virtual void setConfigFile(const std::string& path) { configFile_ = path; }
  virtual int32_t caseIndex() { return caseIndex_; }
  virtual void setCaseIndex(int32_t index) { caseIndex_ = index; }
  virtual int32_t commandIndex() { return commandIndex_; }
  virtual void setCommandIndex(int32_t index) { commandIndex_ = index; }
  virtual const std::string& serialNumber() { return serialNumber_; }
  virtual void setSerialNumber(const std::string& serial) { serialNumber_ = serial; }
  virtual const std::string& macAddress() { return macAddress_; }
  virtual void setMacAddress(const std::string& mac) { macAddress_ = mac; }
  virtual bool macRequired() { return macRequired_; }
  virtual void setMacRequired(bool required) { macRequired_ = required; }

  // Opens the channel with port() and baudRate(); nothing when it is open.
  void openUart();
  void closeUart();
  bool isUartOpen();
  // Channel reports: errors print "error-fct_tool-manager: <text>".
  int onMessage(CHANNEL_MSG_TYPE type, int code, const char* message) override;
  // Answer matching for one received line.
  void onString(const char* line) override;

  // Loads configFile() and its case files; false when nothing was loaded
  // (no file, unreadable, not a JSON object).
  bool loadConfig();
  // The checks before a run; each failure prints its reason and asks for a
  // message dialog.
  bool checkReady();
  // Sends `text` (with "$MACADDRESS" replaced when a MAC is required); `done`
  // gets the verdict of the answer, or the failure at once when the UART is
  // not open. A later execute replaces the awaited answer.
  void execute(const std::string& text, Done done);
  // Runs caseIndex()'s commands from commandIndex() on.
  void testCase(Done done);
  // Runs every enabled case from caseIndex() on; reports the not-tested
  // text at the normal end.
  void testAll(Done done);
  // Lists the serial devices, sorted by their trailing number.
  void refreshPorts();
  // Prints each case's name and resets its status and information.
  void printCases();
  // Writes the board's row into "record.csv" and asks the front end for the
  // UART log, written as "log/<serial number>.txt"; both beside the
  // configuration under "record/". `written` (optional) runs once the log
  // has been handled (written or failed), or at once when the record could
  // not be written. A failing write prints its reason and
  // "open file (<path>) FAIL." and leaves the old file in place.
  void processResult(std::function<void()> written = nullptr);
  // Index of the first case called `name`, kNoCase when there is none.
  int32_t findCase(const std::string& name);

  // The full run of the ":start" task: false (nothing started) when a check
  // refuses or the manager is busy. `finished` gets the run's final text
  // after the record has been written.
  bool startFullRun(Done finished);
  // The single-case run of ":test_case"; false when nothing started.
  bool startSingleCase(const std::string& tag, Done finished);

  const std::vector<CFCTCase>& cases() const { return cases_; }
  const std::string& title() const { return title_; }
  const std::string& configDir() const { return configDir_; }
  const std::vector<std::string>& ports() const { return ports_; }
  const std::string& info() const { return info_; }
  CSerialPort* channel() { return channel_; }
  CStringParser* parser() { return parser_; }

 protected:
  // Seconds on the clock of onUpdate's `now`; tests replace it.
  virtual double clockNow();

 private:
  bool checkBusy();
  // The steps of loadConfig: the directory of the configuration file, the
  // file itself, its name and UART settings, and the case files it lists.
  void findConfigDir();
  bool readConfigDocument(rapidjson::Document* config);
  void readConfigSettings(const rapidjson::Value& config);
  void loadCaseFiles(const rapidjson::Value& config);
  void loadCaseFile(const rapidjson::Value& file, bool evenFile);
  // The "fct_tool:" task table, in groups: the configuration and the UART;
  // the runs and what they need (serial number, MAC, enabled cases); the
  // command line.
  void addTaskHandlers();
  void registerSetupTasks();
  void registerRunTasks();
  void registerCommandTasks();
  // Registers `body` as task `action` (":name" under the route); the body
  // gets the task's argument text ("" without data), and the task goes back
  // to the pool once it has run.
  void addTask(const char* action, std::function<void(const char*)> body);
  void startCommand(const CFCTCommand& command, double now);
  void recordCaseResult(int32_t index, const char* result);
  bool writeRecord(const std::string& directory);
  void writeLog(const std::string& path, const std::string& text);

  CJYX* const controller_;
  std::string port_;
  uint32_t baudRate_ = 115200;
  std::string command_ = "pwd";
  bool busy_ = false;
  bool running_ = false;
  std::string configFile_;
  int32_t caseIndex_ = -1;
  int32_t commandIndex_ = 0;
  std::string serialNumber_;
  std::string macAddress_;
  bool macRequired_ = false;
  std::string title_;
  std::string routeName_ = "fct_tool";
  CSerialPort* channel_ = nullptr;
  CStringParser* parser_ = nullptr;
  double commandStart_ = 0.0;
  std::string configDir_;
  Done pendingResult_;
  std::vector<std::string> ports_;
  int32_t portRefreshSeconds_ = 5;
  double lastPortRefresh_ = 0.0;
  std::string okKey_;
  std::string failKey_;
  std::string infoKey_;
  std::string info_;
  double timeoutSeconds_ = 99999999.0;
  std::string manualConfirm_;
  std::string manualTitle_;
  std::string manualOk_;
  std::string manualFail_;
  float manualScale_ = 1.0f;
  std::string message_;
  double delaySeconds_ = 99999999.0;
  std::vector<CFCTCase> cases_;
};

#endif  // JYX_FCTTOOL_FCT_TOOL_MANAGER_H_
