// CQelConsoleJYX: the controller console, the default front end of jyx.
// The constructor parses the whole command line (GNU long options) into the
// fields below and performs the immediate actions (help, version, FTDI
// maintenance); run() starts the chosen flow, whose steps then proceed in
// manager callbacks on the main thread until one of them finishes the
// console.
//
// The flows live in separate files: the network flow
// (qel_console_jyx_flow.cpp), SPI flashing/checking/reading
// (qel_console_jyx_spi.cpp), power monitoring (qel_console_jyx_monitor.cpp)
// and the serial command flow and UART scan (qel_console_jyx_serial.cpp).
#ifndef JYX_MAIN_QEL_CONSOLE_JYX_H_
#define JYX_MAIN_QEL_CONSOLE_JYX_H_

#include <cstdint>
#include <string>

#include "main/power_table.h"
#include "main/qel_console.h"

class CJYXBenchServer;
class CJYXDataManager;

// Time (pump seconds) of the last monitor redraw; far in the future until
// sampling has started.
extern double g_lastDisplay;
// Passes of --loop flashing.
extern int g_loopCount;

struct option;

class CQelConsoleJYX : public CQelConsole {
 public:
  CQelConsoleJYX(int argc, char** argv);

  void run() override;
  void update() override;
  double nextDeadline(double now) override;
  void stop() override;
  // While serving: the server's descriptor, which holds the clients too.
  int loopWaitFd() const override;
  int loopSpinUs(double now) const override;

  // Number rules of the options.
  // Rule A (-0, -r, -w): "0x" prefix read as "0x%x", otherwise "%d"; a text
  // that does not scan gives 0.
  static int32_t ruleA(const char* text);
  // Rule B (-d, -E, -F, -M, -N, -X): the number-text rule, as int32 (so
  // "0xffffffff" is -1 and "-1" is 0).
  static int32_t ruleB(const char* text);
  // Rule C (-5, FTDI device index): the decimal value of the leading digits.
  static int32_t ruleC(const char* text);
  // -m with "0x...": the hex digits form a little-endian 96-bit number (the
  // last digit is bits 0-3 of mask[0]) ORed into the starting mask {1, 0, 0};
  // digits are taken from the end back to the first non-hex character.
  static void parseRailMask(const char* text, uint32_t mask[3]);

  // Strict number of an option that is checked before anything is sent:
  // decimal digits, or "0x"/"0X" and hexadecimal digits, nothing else (no
  // sign, no trailing text), at most `max`. False for anything else.
  static bool parseOptionNumber(const char* text, uint64_t max, uint64_t* value);

  // The option tables getopt_long parses with (the long table ends with a
  // null entry); the manual page, the help and the completion are checked
  // against them.
  static const option* longOptions();
  static const char* shortOptions();

  // The help text (version line first).
  void printHelp();

  // Outcome of the run, kept in one place: a flow that failed calls fail(),
  // a refused option refuse(); exitStatus() turns them into 1 and 2 when
  // --exit-code was given, and 0 otherwise.
  enum class Outcome { kOk, kFailed, kRefused };
  Outcome outcome() const { return outcome_; }
  bool exitCode() const { return exitCode_; }
  int exitStatus() const override;

  // Option fields.
  const std::string& address() const { return address_; }
  const std::string& image() const { return image_; }
  const std::string& uart() const { return uart_; }
  const std::string& command() const { return command_; }
  const std::string& param() const { return param_; }
  bool done() const { return done_; }
  bool slave() const { return slave_; }
  bool postcode() const { return postcode_; }
  bool list() const { return list_; }
  bool loop() const { return loop_; }
  bool monitor() const { return monitor_; }
  const uint32_t* railMask() const { return railMask_; }
  int32_t duration() const { return duration_; }
  bool checkSpi() const { return checkSpi_; }
  int32_t getIo() const { return getIo_; }
  int32_t setIo() const { return setIo_; }
  bool readSpi() const { return readSpi_; }
  int32_t readOffset() const { return readOffset_; }
  int32_t readLength() const { return readLength_; }
  const std::string& spiRegisterOp() const { return spiRegisterOp_; }
  int32_t spiRegisterValue() const { return spiRegisterValue_; }
  const std::string& output() const { return output_; }
  const std::string& sendText() const { return sendText_; }
  int32_t powerAction() const { return powerAction_; }
  int32_t switchUart() const { return switchUart_; }
  bool scanUart() const { return scanUart_; }
  bool firmware() const { return firmware_; }
  int32_t espOffset() const { return espOffset_; }
  bool scanAnswered() const { return scanAnswered_; }
  int32_t scanPosition() const { return scanPosition_; }

  // Settings the options hand to feature managers; kept here until the
  // managers take them over at construction.
  // -5: SPI retry limit of the data manager (any u32); -1 when not given.
  int64_t retryLimit() const { return retryLimit_; }
  // -I/-A/-B: the data manager's flash type ("2M*3", "2M*4", "2M*8"); empty
  // when not given.
  const std::string& flashType() const { return flashType_; }
  // -m <file>: the power manager's configuration path; empty when not given.
  const std::string& monitorConfig() const { return monitorConfig_; }
  // -m 0x...: the power manager's enable mask, valid when monitorMaskSet().
  const uint32_t* monitorMask() const { return monitorMask_; }
  bool monitorMaskSet() const { return monitorMaskSet_; }
  // -9: the serial manager shows the controller's console log.
  bool showLog() const { return showLog_; }
  // -1: the serial manager's log keyword.
  const std::string& logFilter() const { return logFilter_; }
  // -O: main-MCU interface setting 1 (older controller wiring).
  bool oldJyx() const { return oldJyx_; }
  // -G: tty serial port instead of the FTDI bridge.
  bool usbUart() const { return usbUart_; }
  // Line-length limit the serial manager's line parser is rebuilt with
  // (64 for -Z, 10000 for -G); 0 when it keeps its own.
  int32_t serialLineLimit() const { return serialLineLimit_; }
  // -C / -D: controller firmware files.
  const std::string& mainFirmware() const { return mainFirmware_; }
  const std::string& slaveFirmware() const { return slaveFirmware_; }
  // -F: bytes per line of the firmware-download traffic dumps (default 16).
  int32_t binaryWidth() const { return binaryWidth_; }
  // --power-report: a saved power data file; empty when not given.
  const std::string& powerReport() const { return powerReport_; }
  bool changedOnly() const { return changedOnly_; }
  // --serve: run the bench server for the address; --no-server: never go
  // through one.
  bool serve() const { return serve_; }
  bool noServer() const { return noServer_; }

  // Finishing: the work is over (done, g_keepRunning cleared, controller
  // object finished).
  void finish();
  // Finishing after a failure: records it, then finish().
  void fail();
  // Only marks the controller object finished; g_keepRunning (-x) stays.
  void markFinished();
  // The same after a failure.
  void markFailed();
  // Prints "<option> <text>: <why>" for a refused option value, records the
  // refusal and finishes before anything is sent.
  void refuse(const char* option, const char* text, const char* why);

  // Flows (run() picks one). The network flow connects, then runs the one
  // action the options chose (runChosenFlow's table).
  void networkFlow();
  // --serve (qel_console_jyx_server.cpp): owns the controller links and
  // serves clients on the address's socket until a signal ends the run.
  void serveFlow();
  // Client mode: when a server answers on the address's socket, puts
  // server channels under the data and log managers; true when it did.
  bool useServerIfRunning();
  // Ends the server: hands the flash lines back (waiting a bounded time),
  // closes the clients and removes the socket file. Idempotent.
  void stopServer();
  void runChosenFlow(CJYXDataManager* data);
  void flowSwitchUart(CJYXDataManager* data);
  void flowUartOff(CJYXDataManager* data);
  void flowPowerAction(CJYXDataManager* data);
  void flowSendText(CJYXDataManager* data);
  void flowGetIo(CJYXDataManager* data);
  void flowSetIo(CJYXDataManager* data);
  void flowReadSpi(CJYXDataManager* data);
  void flowPostcode(CJYXDataManager* data);
  void flowMonitor(CJYXDataManager* data);
  void flowImage(CJYXDataManager* data);
  void flowSpiRegister(CJYXDataManager* data);
  void serialCommandFlow();
  // Sends "jyx NN [param]" and reports the reply as command `n` wants it.
  void sendSerialCommand(int n, const std::string& text);
  // Address discovery on the reply to command 01 or 02: an address runs
  // the network flow; otherwise, when a network action waits for it, the
  // other address is asked for once.
  void addressFromReply(const char* reply);
  void scan_uart_and_disable(std::string devices, unsigned long position);
  void startFirmwareDownload();
  void start_flash();
  // -i with --changed-only (qel_console_jyx_changed.cpp): reads each
  // sector, writes those that differ, then checks as --checkspi does.
  void start_flash_changed_only();
  void start_check_spi();
  void start_read_spi();
  // The end of a read that succeeded: commits the file or prints the dump.
  void readSpiDone();
  void start_monitor();
  // The SPI status-register action of -w/-y/-z (spiRegisterOp): write,
  // read or unlock; finishes the console when done.
  void runSpiRegisterOp();
  void updateMonitor(double now);
  // When updateMonitor next has something to do: the table redraw, or the
  // end of a -d run.
  double monitorDeadline();
  // Called when a signal ends the run: saves a -d/-o run that has samples
  // not saved yet (sampling, or stopping and waiting for the reply).
  void stopMonitor();
  // Saves the run to the -o path once; later calls do nothing.
  // Saves the sampled run once; false when the save failed.
  bool saveRun();
  void redrawMonitorTable();

  // Blank-separated full paths of /dev/ttyUSB*; empty when there is none.
  static std::string listTtyDevices();

 protected:
  // Parses the vector; returns at once after an action that ends the parse.
  void parse(int argc, char** argv);
  // One option; false when it ends the parse (version, help, an FTDI
  // action, a refused or unknown option).
  bool parseOption(int c, const char* arg);
  // The options that only store a text, set a flag or pick a value, and
  // those that configure the serial manager; false for any other option.
  bool storePlainOption(int c, const char* arg);
  bool storeSerialOption(int c, const char* arg);
  // Parses one checked option; false after refuse().
  bool parseChecked(int c, const char* text);
  // The same for the options that name a controller line or UART.
  bool parseCheckedLine(int c, const char* text);
  // Checks that need several options (the read range); false after refuse().
  bool checkCombined();
  // The SPI flow's reasons for its failure, one line each, then `failLine`.
  void printSpiFailure(const char* failLine, const std::string& what);
  // The immediate FTDI action of option c (-7, -S, -6, -T, -Q, -R) on
  // device index uart (rule C). The parse ends at once; the console
  // finishes when the action reports its result.
  void ftdiAction(int option);

  std::string address_;
  std::string image_;
  std::string uart_;
  std::string command_ = "02";
  std::string param_;
  bool done_ = false;
  bool slave_ = false;
  bool postcode_ = false;
  bool list_ = false;
  bool loop_ = false;
  bool monitor_ = false;
  uint32_t railMask_[3] = {1, 0, 0};
  int32_t duration_ = -1;
  bool checkSpi_ = false;
  int32_t getIo_ = -1;
  int32_t setIo_ = -1;
  bool readSpi_ = false;
  int32_t readOffset_ = 0;
  int32_t readLength_ = 1;
  std::string spiRegisterOp_;
  int32_t spiRegisterValue_ = 0;
  std::string output_;
  std::string sendText_;
  int32_t powerAction_ = -1;
  int32_t switchUart_ = -2;
  bool scanUart_ = false;
  bool firmware_ = false;
  int32_t espOffset_ = 0;
  bool scanAnswered_ = false;
  int32_t scanPosition_ = 0;

  int64_t retryLimit_ = -1;
  std::string flashType_;
  std::string monitorConfig_;
  uint32_t monitorMask_[3] = {1, 0, 0};
  bool monitorMaskSet_ = false;
  bool showLog_ = false;
  std::string logFilter_;
  bool oldJyx_ = false;
  bool usbUart_ = false;
  int32_t serialLineLimit_ = 0;
  std::string mainFirmware_;
  std::string slaveFirmware_;
  int32_t binaryWidth_ = 16;
  bool exitCode_ = false;
  // --power-report: the saved power data file to report on.
  std::string powerReport_;
  // --changed-only: -i writes only the sectors that differ.
  bool changedOnly_ = false;
  bool serve_ = false;
  bool noServer_ = false;
  CJYXBenchServer* server_ = nullptr;
  Outcome outcome_ = Outcome::kOk;
  // Sampling was acknowledged and the run has not been saved since.
  bool runUnsaved_ = false;
  // Holds the monitor table back while its values are stale.
  CPowerTableWatch tableWatch_;
};

#endif  // JYX_MAIN_QEL_CONSOLE_JYX_H_
