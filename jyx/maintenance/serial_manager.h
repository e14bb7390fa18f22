// CJYXSerialManager ("serial"): the controller MCUs' console line. It owns
// the channel to the main or slave MCU's console (an FTDI bridge interface,
// or a plain tty with usbUart), sends "jyx NN" commands and hands each
// "[JYX]: " reply to the one waiting callback, discovers the controller's
// address (getIP), and starts the FTDI maintenance operations and the MCU
// firmware download.
//
// Main thread only: lines arrive through the line parser's update, the
// reply time-out runs in onUpdate.
#ifndef JYX_JYX_MAINTENANCE_SERIAL_MANAGER_H_
#define JYX_JYX_MAINTENANCE_SERIAL_MANAGER_H_

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "common/channel.h"
#include "common/task_manager.h"
#include "jyx/protocol/string_parser.h"

class CJYXServices;

class CJYXSerialManager : public CTaskManager,
                          public CChannelDelegate,
                          public CStringParserDelegate {
 public:
  using ReplyCallback = std::function<void(const char*)>;

  // A reply that has not come after this long ends the wait with nullptr.
  static constexpr double kReplyTimeout = 20.0;
  // Where the reply deadline is parked while nothing is awaited.
  static constexpr double kParkedDeadline = 1e7;

  // The process-wide instance, created on first use and never destroyed.
  static CJYXSerialManager* instance();

  // `services` (settings, files, presentation) must outlive the manager.
  // Secondary instances (tests) pass routed = false: not registered as
  // "serial" with the API manager.
  CJYXSerialManager(CJYXServices* services, bool routed);
  ~CJYXSerialManager() override;

  void onUpdate(double now) override;
  double nextDeadline(double now) override;
  void stop() override;

  // Properties.
  virtual const std::string& deviceName() { return deviceName_; }
  virtual void setDeviceName(const std::string& name);
  virtual bool usbUart() { return usbUart_; }
  virtual void setUsbUart(bool usbUart) { usbUart_ = usbUart; }
  virtual int baudrate() { return baudrate_; }
  virtual void setBaudrate(int baud) { baudrate_ = baud; }
  virtual int parity() { return parity_; }
  virtual void setParity(int parity) { parity_ = parity; }
  virtual int databit() { return databit_; }
  virtual void setDatabit(int bits) { databit_ = bits; }
  virtual int stopbit() { return stopbit_; }
  virtual void setStopbit(int bits) { stopbit_ = bits; }
  virtual bool slave() { return slave_; }
  virtual void setSlave(bool slave) { slave_ = slave; }
  virtual bool opened() { return opened_; }
  virtual void setOpened(bool opened) { opened_ = opened; }
  virtual bool showLog() { return showLog_; }
  virtual void setShowLog(bool show) { showLog_ = show; }
  virtual const std::string& command() { return command_; }
  virtual void setCommand(const std::string& command) { command_ = command; }
  virtual const std::string& param() { return param_; }
  virtual void setParam(const std::string& param) { param_ = param; }
  virtual const std::string& commandSlave() { return commandSlave_; }
  virtual void setCommandSlave(const std::string& command) { commandSlave_ = command; }
  virtual const std::string& paramSlave() { return paramSlave_; }
  virtual void setParamSlave(const std::string& param) { paramSlave_ = param; }
  virtual const std::string& logKeyword() { return logKeyword_; }
  virtual void setLogKeyword(const std::string& keyword) { logKeyword_ = keyword; }
  virtual uint8_t bitBangMode() { return bitBangMode_; }
  virtual void setBitBangMode(uint8_t mode) { bitBangMode_ = mode; }
  virtual uint8_t bitBangValue() { return bitBangValue_; }
  virtual void setBitBangValue(uint8_t value) { bitBangValue_ = value; }
  virtual const std::string& mpssePort() { return mpssePort_; }
  virtual void setMpssePort(const std::string& port) { mpssePort_ = port; }
  virtual uint8_t mpsseDirection() { return mpsseDirection_; }
  virtual void setMpsseDirection(uint8_t direction) { mpsseDirection_ = direction; }
  virtual uint8_t mpsseValue() { return mpsseValue_; }
  virtual void setMpsseValue(uint8_t value) { mpsseValue_ = value; }
  // 2: main console on interface C, MCU boot lines on B; else swapped.
  virtual uint32_t mainInterface() { return mainInterface_; }
  // Also tells the bridge which interface drives the board lines.
  virtual void setMainInterface(uint32_t value);
  virtual const std::string& mainFirmwareFile() { return mainFirmwareFile_; }
  virtual void setMainFirmwareFile(const std::string& path);
  virtual const std::string& slaveFirmwareFile() { return slaveFirmwareFile_; }
  virtual void setSlaveFirmwareFile(const std::string& path);
  const std::vector<std::string>& devices() const { return devices_; }
  const std::string& lastReply() const { return lastReply_; }
  const std::string& lastReplySlave() const { return lastReplySlave_; }

  // The channel (rebuilt by rebuildChannel); never null.
  CChannel* channel() { return channel_; }
  // Replaces the channel and its line parser (tty when usbUart, else FTDI);
  // lineLimit > 0 sets the parser's line-length limit.
  void rebuildChannel(int32_t lineLimit);

  virtual bool open();
  virtual void close();
  // The channel is open.
  bool channelValid();
  // Writes the text as it is (no line end added) and makes `reply` the one
  // waiting callback (none when null). False when the channel is not open
  // or did not take every byte.
  bool sendCommand(const std::string& text, ReplyCallback reply);

  // Device names (tty paths with usbUart, else FTDI interface-A indices),
  // blank-separated, after rebuilding the list.
  std::string deviceListText();
  // Rebuilds devices(); the first one becomes deviceName().
  void refresh();

  // Address discovery; done receives the dotted address or nullptr, once.
  void getIP(ReplyCallback done);
  // The command text of runCommand ("jyx NN[ param]"); false (with the
  // message printed) when a baud parameter of command 23 is not supported.
  static bool commandText(const std::string& command, const std::string& param, std::string* text);
  // Baud code of command 23, -1 for an unsupported rate.
  static int baudCode(const std::string& baud);
  void runCommand(bool slave);

  void flashMainFirmware(int address, std::function<void(int)> progress);
  void flashSlaveFirmware(int address, std::function<void(int)> progress);

  // Reply parsing. Removes every ESC '[' ... 'm' sequence.
  static std::string stripAnsi(const std::string& line);
  // -1: no "[JYX]: " prefix (not a reply); 0: the null reply ("ack 0");
  // 1: *reply holds the reply text.
  static int parseReply(const std::string& line, std::string* reply);

  void onString(const char* text) override;
  int onMessage(CHANNEL_MSG_TYPE type, int code, const char* message) override;

 protected:
  virtual double clockNow();

 private:
  CJYXServices* services_;
  void flashFirmware(bool slave, int address, std::function<void(int)> progress);
  bool taskValue(CTask* task, std::string* value);
  void registerTasks();
  // The tasks of the port (connect, device, commands), of the FTDI bridge
  // lines, of its MPSSE pins and of the MCU firmware, each under "<name>:".
  void registerPortTasks();
  void registerFtdiTasks();
  void registerMpsseTasks();
  void registerFirmwareTasks();
  // Registers `run` as task `action`; the task finishes when it returns.
  void addTask(const char* action, std::function<void(CTask*)> run);

  bool routed_;
  std::string deviceName_ = "0";
  bool usbUart_ = false;
  int baudrate_ = 115200;
  int parity_ = 0;
  int databit_ = 8;
  int stopbit_ = 1;
  bool slave_ = false;
  bool opened_ = false;
  bool showLog_ = false;
  std::string command_ = "00";
  std::string param_;
  std::string commandSlave_ = "00";
  std::string paramSlave_;
  std::string logKeyword_ = "retryCnt";
  uint8_t bitBangMode_ = 255;
  uint8_t bitBangValue_ = 255;
  std::string mpssePort_ = "A";
  uint8_t mpsseDirection_ = 255;
  uint8_t mpsseValue_ = 255;
  uint32_t mainInterface_ = 2;
  std::string mainFirmwareFile_;
  std::string slaveFirmwareFile_;

  CChannel* channel_ = nullptr;
  CStringParser* parser_ = nullptr;
  ReplyCallback pendingReply_;
  double deadline_ = kParkedDeadline;
  std::vector<std::string> devices_;
  std::string lastReply_;
  std::string lastReplySlave_;
};

#endif  // JYX_JYX_MAINTENANCE_SERIAL_MANAGER_H_
