// CQelConsoleFlashTool: the command-line front end of the flash tool
// (jyx --flash-tool). The constructor parses the options; run() starts
// exactly one operation of the flash-tool manager and the console finishes
// when that operation completes.
#ifndef JYX_MAIN_QEL_CONSOLE_FLASH_TOOL_H_
#define JYX_MAIN_QEL_CONSOLE_FLASH_TOOL_H_

#include <cstdint>
#include <string>

#include "main/qel_console.h"

struct option;

class CQelConsoleFlashTool : public CQelConsole {
 public:
  CQelConsoleFlashTool(int argc, char** argv);

  void run() override;
  void update() override {}

  // The help text, printed in one piece.
  static const char* helpText();
  // The getopt tables (the long one ends with a null entry), for the checks
  // that keep the manual page and help in step.
  static const option* longOptions();
  static const char* shortOptions();

  const std::string& cmd() const { return cmd_; }
  const std::string& file() const { return file_; }
  const std::string& dump() const { return dump_; }
  const std::string& partition() const { return partition_; }
  // 0 flash all, 1 boot loader, 2 NVMe, 3 GPT.
  int32_t mode() const { return mode_; }
  bool oem() const { return oem_; }
  bool blockSize() const { return blockSize_; }
  const std::string& address() const { return address_; }
  bool helpShown() const { return help_; }

 private:
  void parse(int argc, char** argv);
  // Clears g_keepRunning and marks the controller object finished.
  void finish();

  std::string cmd_;
  std::string file_;
  std::string dump_;
  std::string partition_;
  int32_t mode_ = 0;
  bool oem_ = false;
  bool blockSize_ = false;
  std::string address_;
  bool help_ = false;
};

#endif  // JYX_MAIN_QEL_CONSOLE_FLASH_TOOL_H_
