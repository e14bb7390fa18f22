// CFastbootManager ("flash_tool"): the flash tool. It flashes a target's
// storage by running the external `fastboot` and `bpttool` executables (in
// "fb/" beside jyx) one command at a time through a shell-command channel,
// and uses the controller for the steps that need the hardware: programming
// the SPI NOR boot flash and resetting the target.
//
// Threads: everything here runs on the main thread. A command runs on a
// pool thread of the channel; its output reaches onString through the line
// parser during the pump, and its completion is handed to the main thread
// by onUpdate only after the parser has delivered the command's last output
// line, so a completion always sees what that output set.
#ifndef JYX_FASTBOOT_FASTBOOT_MANAGER_H_
#define JYX_FASTBOOT_FASTBOOT_MANAGER_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "common/channel.h"
#include "common/task_manager.h"
#include "fastboot/flash_config.h"
#include "jyx/protocol/string_parser.h"

class CExecChannel;
class CJYX;
class CJYXDataManager;

class CFastbootManager : public CTaskManager,
                         public CChannelDelegate,
                         public CStringParserDelegate {
 public:
  using Done = std::function<void(bool)>;
  // Receives the controller's dotted address, or nullptr when discovery
  // failed; called once.
  using AddressReply = std::function<void(const char*)>;
  // Address discovery for the NOR plan (the serial manager's getIP).
  using AddressLookup = std::function<void(AddressReply)>;

  // Idle seconds after which busy is released, outside and inside plans.
  static constexpr int32_t kIdleWatchdog = 5;
  static constexpr int32_t kPlanWatchdog = 120;
  // Seconds one external command may run before it is killed (SIGTERM,
  // SIGKILL 10 s later): a large image over a slow link takes minutes, a
  // command that hangs must not hold the plan for ever.
  static constexpr int kCommandSeconds = 900;
  // The target's restart after a reset: it comes up in fastboot mode or
  // boots the new images within this many seconds.
  static constexpr double kResetSettleSeconds = 10.0;

  // The process-wide instance, routed as "flash_tool"; created on first use
  // and never destroyed (the channel's pool threads may use it until exit).
  static CFastbootManager* instance();

  // The manager works through the controller object (settings, paths,
  // presentation hooks, the controller connection) and the device-control
  // manager (SPI NOR programming, target reset), both handed in here once.
  // routed = false makes an instance that is not reachable by task name
  // (tests); it still registers as an updater.
  CFastbootManager(CJYX* controller, CJYXDataManager* data, bool routed);
  ~CFastbootManager() override;

  // The watchdog, and the hand-over of a finished command's completion.
  void onUpdate(double now) override;
  double nextDeadline(double now) override;
  // "FLASH TOOL " followed by the controller object's version.
  const std::string& name() override;
  // Paths of fb/fastboot and fb/bpttool, the setting "flashtool_config",
  // empty lists.
  void start() override;
  void stop() override {}

  virtual const std::string& command() { return command_; }
  virtual void setCommand(const std::string& command) { command_ = command; }
  virtual bool isBusy() { return busy_; }
  virtual void setBusy(bool busy) { busy_ = busy; }
  virtual const std::string& configFile() { return configFile_; }
  virtual void setConfigFile(const std::string& path) { configFile_ = path; }
  virtual bool isBackdoor() { return backdoor_; }
  virtual void setBackdoor(bool backdoor) { backdoor_ = backdoor; }
  virtual const std::string& sectorSize() { return sectorSize_; }
  virtual void setSectorSize(const std::string& size) { sectorSize_ = size; }
  virtual const std::string& platform() { return platform_; }
  virtual void setPlatform(const std::string& platform) { platform_ = platform; }

  // One line of command output: printed, then interpreted.
  void onString(const char* line) override;
  // Channel errors print "error-flash_tool-manager: <text>".
  int onMessage(CHANNEL_MSG_TYPE type, int code, const char* message) override;

  // Loads configFile(). A configuration that cannot be used prints its
  // reason and leaves the lists empty.
  void loadConfig();
  // Runs "<prefix> <command> 2>&1"; done(true) once it has run to its end,
  // done(false) when it could not be started. Output is not judged here.
  void execute(const std::string& command, Done done);
  void markBusy(bool busy);
  // True (with the busy tip) while an operation runs; otherwise resets the
  // watchdog to its idle length.
  bool checkBusy();

  // Plan steps and plans; each calls its completion exactly once.
  void fetchSectorSize(std::function<void(const char*)> done);
  void fetchBackdoorMode(std::function<void(bool)> done);
  void makeGPT(Done done);
  void erasePartition(Done done);
  void flashNVME(Done done);
  void flashNor(Done done);
  void doReboot(Done done);
  void flashAll(Done done);
  void doFlashAll(Done done);
  void doFlashNor(Done done);
  void doFlashNVME(Done done);
  // Prints the GPT of an image file (synchronous); an empty partition name
  // dumps the whole table.
  void dumpGPT(const std::string& path, const std::string& partition);

  // The NOR plan asks `lookup` for the controller's address. Until one is
  // set, and when an address was given with setControllerAddress, no
  // discovery runs.
  void setAddressLookup(AddressLookup lookup) { addressLookup_ = std::move(lookup); }
  // An address given by the user; it replaces discovery when not empty.
  void setControllerAddress(const std::string& address) { controllerAddress_ = address; }

  const std::vector<fastboot::FlashEntry>& flashList() const { return flashList_; }
  const std::vector<std::string>& eraseList() const { return eraseList_; }
  const std::string& commandsJson() const { return commandsJson_; }
  const std::string& gptImage() const { return gptImage_; }
  const std::string& toolDir() const { return toolDir_; }
  void setToolDir(const std::string& dir) { toolDir_ = dir; }
  const std::string& fastbootPath() const { return fastbootPath_; }
  const std::string& bpttoolPath() const { return bpttoolPath_; }
  const std::string& currentCommand() const { return currentCommand_; }
  int32_t watchdogSeconds() const { return watchdogSeconds_; }
  // Cursors of the erase and flash loops.
  uint32_t eraseIndex() const { return eraseIndex_; }
  void setEraseIndex(uint32_t index) { eraseIndex_ = index; }
  uint32_t flashIndex() const { return flashIndex_; }
  void setFlashIndex(uint32_t index) { flashIndex_ = index; }
  double lastActivity() const { return lastActivity_; }
  CExecChannel* channel() { return channel_; }
  // The channel prefix that runs `path` under the command time-out.
  static std::string commandPrefix(const std::string& path);

 private:
  // The "flash_tool:" task table, in groups: the command line, the
  // configuration file and the settings; the flash plans; the image list's
  // file choice and flash; its erase and command buttons; the GPT dump and
  // the target's reset.
  void addTaskHandlers();
  void registerCommandTasks();
  void registerPlanTasks();
  void registerImageTasks();
  void registerButtonTasks();
  void registerDeviceTasks();
  // Registers `body` as task `action` (":name" under the route); the task
  // goes back to the pool once the body has run.
  void addTask(const char* action, std::function<void(CTask*)> body);
  void applyConfig(const std::string& content);
  void refreshWatchdog();
  // Pump time of the API manager.
  double pumpTime();
  void flashNorAt(const std::string& address, Done done);
  void afterResetWait(Done next);
  void flashAllAfterReset(Done done);

  CJYX* const controller_;
  CJYXDataManager* const data_;
  std::string command_ = "devices";
  bool busy_ = false;
  std::string configFile_;
  bool backdoor_ = false;
  std::string sectorSize_ = "512";
  std::string platform_ = "android";
  std::string routeName_ = "flash_tool";
  CExecChannel* channel_ = nullptr;
  double lastActivity_ = 0.0;
  std::string currentCommand_;
  std::string toolDir_;
  std::string fastbootPath_;
  std::string bpttoolPath_;
  std::string gptImage_;
  CStringParser* parser_ = nullptr;
  std::string commandsJson_ = "[]";
  std::vector<fastboot::FlashEntry> flashList_;
  std::vector<std::string> eraseList_;
  uint32_t eraseIndex_ = 0;
  uint32_t flashIndex_ = 0;
  int32_t watchdogSeconds_ = kIdleWatchdog;

  // The command in flight: its completion waits here until onUpdate has
  // seen the channel report (commandEnded_, set on the pool thread) and the
  // parser has passed on every line.
  Done pendingDone_;
  std::atomic<bool> commandEnded_{false};
  std::atomic<bool> commandResult_{false};

  AddressLookup addressLookup_;
  std::string controllerAddress_;
  std::string displayName_;
};

#endif  // JYX_FASTBOOT_FASTBOOT_MANAGER_H_
