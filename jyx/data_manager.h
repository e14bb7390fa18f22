// CJYXDataManager: device control of the target board through the JYX
// controller's packet port. It numbers and tracks requests (one pending list,
// replies matched by frame number, 300 s time-out, heartbeat after 300 s of
// silence) and offers the controller operations: GPIO and the timed GPIO
// sequences (power, reset, fastboot), log UART selection and forwarding, POST
// codes, string commands to the target console, power-sampling control and,
// in data_manager_spi.cpp, SPI flash programming.
//
// Threads: everything here runs on the main thread inside the API manager's
// pump; only the channel's receive thread fills the FIFO the parser reads.
#ifndef JYX_JYX_DATA_MANAGER_H_
#define JYX_JYX_DATA_MANAGER_H_

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "jyx/jyx_task_manager.h"
#include "jyx/package.h"
#include "jyx/package_parser.h"

class CJYXDataManager : public CJYXTaskManager, public CPackageParserDelegate {
 public:
  // Seconds a request may wait for its reply, and seconds of silence on the
  // link after which a heartbeat goes out.
  static constexpr double kRequestTimeout = 300.0;
  static constexpr double kHeartbeatInterval = 300.0;
  static constexpr int kDefaultPort = 3334;

  // GPIO lines of the controller.
  enum Gpio : uint16_t {
    GPIO_UART_SEL0 = 64,
    GPIO_UART_SEL1 = 65,
    GPIO_SPI_PRG_EN = 66,
    GPIO_SPI_PRG_SEL = 67,
    GPIO_PWR_OFF = 68,
    GPIO_RTC_CLR = 69,
    GPIO_EC_RST = 70,
    GPIO_WARM_RST = 71,
    GPIO_PWR_BTN = 72,
    GPIO_PWRGRP = 73,
    GPIO_JTAG_SW_L = 74,
    GPIO_SOC_RESET1 = 75,
    GPIO_POWER_BTN1 = 76,
    GPIO_SOC_RESET2 = 77,
    GPIO_POWER_BTN2 = 78,
    GPIO_JTAG_SW_F = 79,
  };

  // The process-wide instance (feature "data", 127.0.0.1:3334), created on
  // first use and never destroyed.
  static CJYXDataManager* instance();

  // Secondary instances (tests) pass routed = false; see CJYXTaskManager.
  CJYXDataManager(const char* host, int port, bool routed);
  ~CJYXDataManager() override;

  // Configuration hook: reads "log_uart_num".
  void start() override;
  // Disconnects.
  void stop() override;
  void onUpdate(double now) override;

  // --- Accessors ---
  virtual uint64_t owner() { return owner_; }
  virtual void setOwner(uint64_t owner) { owner_ = owner; }
  virtual bool powerEnabled() { return powerEnabled_; }
  virtual void setPowerEnabled(bool enabled) { powerEnabled_ = enabled; }
  // When set, every received packet is printed with its header fields.
  virtual bool packetTrace() { return packetTrace_; }
  virtual void setPacketTrace(bool trace) { packetTrace_ = trace; }
  virtual const std::string& stringCmd() { return stringCmd_; }
  virtual void setStringCmd(const std::string& text) { stringCmd_ = text; }
  // 0 UEFI, 1 SFH, 2 CSU_PM, 3 CSU_SE; anything else is stored as 3.
  virtual int logUartNum() { return logUartNum_; }
  virtual void setLogUartNum(int num);
  const std::string& postCodes() const { return postCodes_; }

  // --- Request tracker ---
  // Returns the current frame number and advances the counter.
  uint32_t nextFrameNum();
  // Puts the request at the head of the pending list and sends it. The
  // manager owns the package from here on and returns it to the pool when
  // the reply arrives or the request expires; onReply then receives the
  // reply (lent for the duration of the call) or null.
  void sendPackage(CPackage* request, PackageCallback onReply);
  // Parser delegate: one verified packet, lent for the duration of the call.
  void onPackage(CPackage* package) override;
  // Number of requests waiting for their reply.
  int pendingCount();
  double lastActivity() const { return lastActivity_; }
  // Receiver of unsolicited power-sample reports (the power monitor).
  void setPowerReportHandler(std::function<void(CPackage*)> handler);
  // Supplies the 96-bit rail mask (three words) and the 24-byte IC address
  // table for power-control requests that do not give them (the
  // "jyx.data:power_ctrl" task); the power monitor registers it.
  void setPowerBlockProvider(std::function<void(uint32_t mask[3], uint8_t icAddrs[24])> provider);

  // --- Controller operations ---
  // All return at once; the callback later receives the final reply or null.
  // One GPIO_CTRL request: operation 1 sets `level`, 0 reads the level.
  // False when the channel is not open (the callback is not called).
  bool gpio(uint8_t operation, uint16_t num, uint8_t level, PackageCallback callback);
  // Timed GPIO sequences; false (callback called with null) when the channel
  // is not open.
  bool powerOnTargetDevice(PackageCallback callback);
  bool powerOffTargetDevice(PackageCallback callback);
  bool powerResetTargetDevice(PackageCallback callback);
  bool powerWakeupTargetDevice(PackageCallback callback);
  bool enterFastbootMode(PackageCallback callback);
  bool exitFastbootMode(PackageCallback callback);
  // Selects the log UART through UART_SEL1/UART_SEL0. Always true.
  bool switchLogUart(uint8_t num, PackageCallback callback);
  // Starts (1) or stops (0) forwarding the selected UART to the log port.
  bool enableUart(uint8_t enable, PackageCallback callback);
  // Starts (1) or stops (0) power-rail sampling with the given rail mask and
  // IC address table (copied verbatim into the request).
  bool enablePower(uint8_t enable, const uint32_t mask[3], const uint8_t icAddrs[24],
                   PackageCallback callback);
  // The same with the blocks of the registered provider (zeros without one).
  bool enablePower(uint8_t enable, PackageCallback callback);
  // Reads the POST codes and prints them.
  bool postCode(PackageCallback callback);
  // Sends a text line to the target console (at most 254 characters; a
  // missing "\n" is appended). Returns 1 when sent, 0 when refused.
  int sendStringCmd(const std::string& text, PackageCallback callback);
  bool sendHeartBeat(PackageCallback callback);
  // Needs no exchange: the callback receives a fresh, empty package at once.
  bool enableStringCmd(uint8_t enable, PackageCallback callback);

  // --- SPI flash (data_manager_spi.cpp) ---
  // The request tracker clears the loop-flashing and busy flags while the
  // channel is closed, and runs spiRefreshHook_ (when set) at the next update
  // after spiRefresh_ was set, clearing the flag.
  virtual bool loopFlash() { return loopFlash_; }
  virtual void setLoopFlash(bool loop) { loopFlash_ = loop; }
  bool spiBusy() const { return spiBusy_; }
  void setSpiBusy(bool busy) { spiBusy_ = busy; }
  bool spiRefresh() const { return spiRefresh_; }
  void setSpiRefresh(bool refresh) { spiRefresh_ = refresh; }
  void setSpiRefreshHook(std::function<void()> hook) { spiRefreshHook_ = std::move(hook); }
  // --- end of SPI flash ---

 protected:
  // Application clock in seconds (the API manager's pump time); virtual so
  // that tests can move time without waiting.
  virtual double clockNow();

  // One step of a timed GPIO sequence: sets `num` to `level`; on a null
  // reply prints `failFormat` (with num and level) and gives null to
  // `done`; otherwise gives the reply. A step that cannot be sent gives null.
  void gpioStep(uint16_t num, uint8_t level, const char* failFormat, PackageCallback done);
  // Runs `function` `seconds` later through the API manager.
  void wait(double seconds, std::function<void()> function);
  bool channelOpen(const char* operation);
  void publish(const char* event, const char* key, const std::string& value);
  void publish(const char* event, const char* key, int value);
  void refreshUi();
  void notice(const std::string& text);
  void registerTasks();

 private:
  bool taskBeatHeart(CTask* task);
  bool taskGetPostcode(CTask* task);
  bool taskSelectUart(CTask* task);
  bool taskUartOn(CTask* task);
  bool taskUartOff(CTask* task);
  bool taskChangeSetGpioNum(CTask* task);
  bool taskChangeSetGpioLevel(CTask* task);
  bool taskChangeGetGpioNum(CTask* task);
  bool taskSetGpio(CTask* task);
  bool taskGetGpio(CTask* task);
  bool taskPowerCtrl(CTask* task);
  bool taskUartCtrl(CTask* task);
  bool taskPowerSequence(CTask* task, bool (CJYXDataManager::*operation)(PackageCallback),
                         const char* label);
  bool taskEnableStringCmd(CTask* task);
  bool taskStringCmdContent(CTask* task);
  bool taskStringCmdSend(CTask* task);
  bool taskDeviceBoot(CTask* task);
  bool taskSendText(CTask* task, const std::string& text);

  uint64_t owner_ = 0;
  bool powerEnabled_ = false;
  bool packetTrace_ = false;
  std::string stringCmd_;
  int logUartNum_ = 3;
  int setGpioNum_ = 64;
  int setGpioLevel_ = 0;
  int getGpioNum_ = 64;
  int getGpioLevel_ = 0;
  // Level acknowledged for each GPIO set through this manager.
  std::map<int, int> gpioLevels_;
  std::string postCodes_;

  CPackageParser* parser_ = nullptr;
  uint32_t frameCounter_ = 0;
  CPackage* pendingHead_ = nullptr;  // newest first, linked through next
  double lastActivity_ = 0.0;
  std::function<void(CPackage*)> powerReportHandler_;
  std::function<void(uint32_t*, uint8_t*)> powerBlockProvider_;

  // --- SPI flash state (data_manager_spi.cpp) ---
  bool loopFlash_ = false;
  bool spiBusy_ = false;
  bool spiRefresh_ = false;
  std::function<void()> spiRefreshHook_;
  // --- end of SPI flash state ---
};

#endif  // JYX_JYX_DATA_MANAGER_H_
