// CQelConsoleFctTool: the command-line front end of the factory functional
// test (jyx --fct-tool). The constructor parses the options (acting at once
// on -h, -l and -p); run() loads the configuration, opens the UART and runs
// one case or the whole list, and the console finishes when the run
// completes.
#ifndef JYX_MAIN_QEL_CONSOLE_FCT_TOOL_H_
#define JYX_MAIN_QEL_CONSOLE_FCT_TOOL_H_

#include <string>

#include "main/qel_console.h"

struct option;

class CQelConsoleFctTool : public CQelConsole {
 public:
  CQelConsoleFctTool(int argc, char** argv);

  void run() override;
  void update() override {}

  // The help text, printed in one piece.
  static const char* helpText();
  // The tables getopt_long parses with (the long one ends with a null
  // entry), for the checks that keep the manual page and help in step.
  static const option* longOptions();
  static const char* shortOptions();

  const std::string& uart() const { return uart_; }
  const std::string& file() const { return file_; }
  // "all" or a case name.
  const std::string& caseName() const { return case_; }
  const std::string& serialNumber() const { return serialNumber_; }
  const std::string& macAddress() const { return macAddress_; }
  bool done() const { return done_; }

 private:
  void parse(int argc, char** argv);
  // Clears g_keepRunning and marks the controller object finished.
  void finish();
  // Prints the failed run's result line ("test all cases: ..." or "case ...")
  // and finishes.
  void finishFailed();
  // The whole list with a serial number: the checks, statuses and record
  // of a run started from a front end.
  void runRecordedList();

  std::string uart_;
  std::string file_;
  std::string case_ = "all";
  std::string serialNumber_;
  std::string macAddress_;
  bool serialGiven_ = false;
  bool macGiven_ = false;
  bool done_ = false;
};

#endif  // JYX_MAIN_QEL_CONSOLE_FCT_TOOL_H_
