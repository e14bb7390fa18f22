// CJYXDataManager: device control of the target board through the JYX
// controller's packet port. It numbers and tracks requests (one pending list,
// replies matched by frame number, 300 s time-out, heartbeat after 300 s of
// silence) and offers the controller operations: GPIO and the timed GPIO
// sequences (power, reset, fastboot), log UART selection and forwarding, POST
// codes, string commands to the target console, power-sampling control and
// SPI flash programming (the flows run in CSpiFlashFlow, spi_flash_flow.h;
// the requests and the register operations are in data_manager_spi_link.cpp).
//
// Threads: everything here runs on the main thread inside the API manager's
// pump; only the channel's receive thread fills the FIFO the parser reads.
#ifndef JYX_JYX_DEVICE_DATA_MANAGER_H_
#define JYX_JYX_DEVICE_DATA_MANAGER_H_

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/buffer.h"
#include "jyx/device/request_tracker.h"
#include "jyx/device/spi_flash_flow.h"
#include "jyx/protocol/jyx_task_manager.h"
#include "jyx/protocol/package.h"
#include "jyx/protocol/package_parser.h"
#include "jyx/services.h"

class CJYXDataManager : public CJYXTaskManager, public CPackageParserDelegate {
 public:
  // Seconds a request may wait for its reply, and seconds of silence on the
  // link after which a heartbeat goes out.
  static constexpr double kRequestTimeout = CRequestTracker::kRequestTimeout;
  static constexpr double kHeartbeatInterval = 300.0;
  // Seconds a request may wait once the link went unanswered (see
  // CRequestTracker): leaving programming mode, handing the lines back and
  // the retries then fail in seconds, not a full time-out apiece.
  static constexpr double kUnansweredLinkTimeout = CRequestTracker::kUnansweredLinkTimeout;
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
  // first use and never destroyed (jyx_managers.cpp wires it).
  static CJYXDataManager* instance();

  // `services` (the controller object) must outlive the manager. Secondary
  // instances (tests) pass routed = false; see CJYXTaskManager.
  CJYXDataManager(CJYXServices* services, const char* host, int port, bool routed);
  ~CJYXDataManager() override;

  // Configuration hook: reads "log_uart_num".
  void start() override;
  // Disconnects.
  void stop() override;
  void onUpdate(double now) override;
  double nextDeadline(double now) override;
  // Reopening the link first fails every request still pending from the old
  // one (their replies can no longer arrive), each handler called with null
  // before anything is sent on the new link.
  void connect() override;

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
  // Whether switchLogUart has selected a UART on the controller during this
  // run (so a reconnect can select it again).
  bool logUartSwitched() const { return logUartSwitched_; }
  const std::string& postCodes() const { return postCodes_; }
  // "JYX " followed by the controller object's name text at construction.
  const std::string& displayName() const { return displayName_; }

  // --- Request tracker ---
  // Returns the current frame number and advances the counter.
  uint32_t nextFrameNum() { return tracker_.nextFrameNum(); }
  // Puts the request at the head of the pending list and sends it. The
  // manager owns the package from here on and returns it to the pool when
  // the reply arrives or the request expires; onReply then receives the
  // reply (lent for the duration of the call) or null.
  void sendPackage(CPackage* request, PackageCallback onReply);
  // Parser delegate: one verified packet, lent for the duration of the call.
  void onPackage(CPackage* package) override;
  // Number of requests waiting for their reply.
  int pendingCount() { return tracker_.pendingCount(); }
  // True after a request timed out and until the next packet arrives;
  // pending requests then expire after kUnansweredLinkTimeout.
  bool linkUnanswered() const { return tracker_.linkUnanswered(); }
  double lastActivity() const { return tracker_.lastActivity(); }
  // The parser on the channel's receive FIFO (owned; registered updater).
  CPackageParser* parser() { return parser_; }
  // Receiver of the forwarding state each acknowledged UART_CTRL request
  // reports (non-zero = on): the log manager.
  void setUartForwardingHandler(std::function<void(uint8_t)> handler);
  // Receiver of unsolicited power-sample reports (the power monitor).
  void setPowerReportHandler(std::function<void(CPackage*)> handler);
  // Receiver of every unsolicited power-sample report besides the handler
  // above (the bench server's fan-out).
  void setPowerReportTap(std::function<void(CPackage*)> tap) { powerReportTap_ = std::move(tap); }
  // Records a UART selection made on the controller by other means than
  // switchLogUart (requests relayed for a client), so that a reconnect
  // selects it again.
  void noteLogUartSelected(int num) {
    setLogUartNum(num);
    logUartSwitched_ = true;
  }
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
  // Replaces every two-character sequence backslash, 'n' of a text typed by
  // the user by a line feed, so that "ls\\nboot" becomes two console lines.
  static std::string expandNewlines(const std::string& text);
  // Needs no exchange: the callback receives a fresh, empty package at once.
  bool enableStringCmd(uint8_t enable, PackageCallback callback);

  // --- SPI flash ---
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

  // Progress of a flash, check or read: 0-100 while running, -1 on failure,
  // kSPIFlashDone after a flash, kSPICheckDone after a check or a read.
  using SPIProgress = std::function<void(int)>;
  // Register bytes and their count; (nullptr, 0) on failure.
  using SPIRegisterCallback = std::function<void(const uint8_t*, int)>;
  static constexpr int kSPIFlashDone = CSpiFlashFlow::kFlashDone;
  static constexpr int kSPICheckDone = CSpiFlashFlow::kCheckDone;
  static constexpr uint32_t kSPIDefaultRetryLimit = 5;

  // One entry of the image server's list ("version", "image" file name).
  class CSPIImageInfo {
   public:
    CSPIImageInfo(const std::string& version = "none", const std::string& image = "")
        : version_(version), image_(image) {}
    virtual ~CSPIImageInfo() = default;
    virtual const std::string& version() { return version_; }
    virtual void setVersion(const std::string& version) { version_ = version; }
    virtual const std::string& image() { return image_; }
    virtual void setImage(const std::string& image) { image_ = image; }

   private:
    std::string version_;
    std::string image_;
  };

  virtual bool spiEnabled() { return spiEnabled_; }
  virtual void setSpiEnabled(bool enabled) { spiEnabled_ = enabled; }
  virtual const std::string& imagePath() { return imagePath_; }
  virtual void setImagePath(const std::string& path) {
    imagePath_ = path;
    spiStaticDirty_ = true;
  }
  virtual uint32_t retryLimit() { return retryLimit_; }
  virtual void setRetryLimit(uint32_t limit) { retryLimit_ = limit; }
  // "2M*3", "2M*4", "2M*8" or "Normal"; setting it derives the three
  // security fields below.
  virtual const std::string& flashType() { return flashType_; }
  virtual void setFlashType(const std::string& type);
  virtual uint8_t securityMode() { return securityMode_; }
  virtual void setSecurityMode(uint8_t mode) { securityMode_ = mode; }
  virtual uint16_t accessId() { return accessId_; }
  virtual void setAccessId(uint16_t id) { accessId_ = id; }
  virtual uint16_t eraseId() { return eraseId_; }
  virtual void setEraseId(uint16_t id) { eraseId_ = id; }
  int loopCount() const { return loopCount_; }
  int spiPercentValue() const { return spiPercent_; }
  uint32_t sectorCount() const { return spiFlow_.sectorCount(); }
  uint32_t sectorSize() const { return spiFlow_.sectorSize(); }

  // Flows. Each returns at once and reports through `progress`; they assume
  // no other SPI flow runs (the tasks refuse while busy, the console
  // serialises its calls).
  void startFlashSPI(SPIProgress progress);
  void startCheckSPI(SPIProgress progress);
  // Reads [offset, offset + size) of the flash into destination, which must
  // hold size bytes and stay valid until the final progress value.
  void startGetSPIContent(int offset, int size, uint8_t* destination, SPIProgress progress);
  // Receives the range piece by piece in address order: `at` is the offset
  // of `bytes` inside the range. Returning false stops the read, which then
  // ends with -1 (the sink keeps its own reason).
  using SPIReadSink = std::function<bool(uint32_t at, const uint8_t* bytes, uint32_t len)>;
  // The same read handing each block's share to `sink` as it arrives, so that
  // a large range never has to be held in memory.
  void startGetSPIContent(int offset, int size, SPIReadSink sink, SPIProgress progress);
  // Why the last flash, check or read ended with -1, one line each without a
  // line end: the cause (image problem, flash too small, a sector refused or
  // unanswered) and, apart from it, a failed hand-back of the flash lines.
  // Empty after a flow that succeeded; a new flow starts with none.
  std::vector<std::string> spiFailReasons() const;
  // The flash size learnt in the flow in progress or last run (the
  // programming-mode acknowledge, else the JEDEC id); 0 when unknown.
  uint64_t spiFlashSize() const { return spiFlow_.flashSize(); }
  // Reads into the read buffer; with `dump` prints it as hex lines.
  void exportFlashData(bool dump, int offset, int size, std::function<void(bool)> callback);
  CBuffer& readBuffer() { return readBuffer_; }
  // The image server's list ("jyx.data:spi_refresh_images") and the entry
  // "jyx.data:spi_remote_file" selected (-1: none).
  std::vector<CSPIImageInfo>& imageList() { return imageList_; }
  int selectedImage() const { return selectedImage_; }
  // Leaves programming mode and hands the flash lines back, then clears busy
  // and calls `callback` (whatever the outcome).
  void stopSPI(std::function<void()> callback);
  // The same, telling the callback whether the lines went back.
  void stopSPIThen(std::function<void(bool)> callback);

  // Building blocks of the flows, each ending in exactly one callback.
  // Hands the flash lines to the controller (SPI_PRG_SEL, then SPI_PRG_EN
  // to 0). False when the first request cannot be sent (callback called).
  bool enableSPI_IO(std::function<void(bool)> callback);
  // Hands the flash lines back (SPI_PRG_EN, then SPI_PRG_SEL to 1), clears busy.
  // The callback's bool is true only when both lines were acknowledged
  // (an ACK_FAIL or no reply leaves the target unable to boot from its flash).
  void disableSPI_IO(std::function<void(bool)> callback);
  // One SPI_CTRL request; false (callback not called) when not sent.
  bool enableSPIData(uint8_t enable, bool writeMode, PackageCallback callback);
  void enableSPI(std::function<void(bool)> callback);
  void disableSPI(std::function<void(bool)> callback);
  // One sector write / read request; false (callback not called) when the
  // channel is not open.
  bool sendSPIData(uint32_t secOffset, uint16_t secSize, uint16_t secNum, const uint8_t* data,
                   int length, PackageCallback callback);
  bool readSPIData(uint32_t secOffset, uint16_t secSize, uint16_t secNum, PackageCallback callback);

  // Winbond status registers 1-3, inside the flash-line hand-over.
  bool readSPIReg(uint8_t command, uint16_t count, SPIRegisterCallback callback);
  bool WriteSPIReg(uint8_t command, const uint8_t* data, uint16_t count,
                   std::function<void(bool)> callback);
  void winbondReadSPIRegisters(SPIRegisterCallback callback);
  // value: bits 0-23 the values of registers 1-3, bits 24-31 the mask.
  void winbondWriteSPIRegisters(uint32_t value, std::function<void(bool)> callback);
  // Writes 0 into registers 1 and 2, clearing the block protection.
  void winbondUnlockFlash(std::function<void(bool)> callback);
  // --- end of SPI flash ---

 protected:
  // Application clock in seconds (the API manager's pump time); virtual so
  // that tests can move time without waiting.
  virtual double clockNow();
  void channelReplaced() override;
  void drainReceived(double now) override;

  // One step of a timed GPIO sequence: sets `num` to `level`; on a null
  // reply prints `failFormat` (with num and level) and gives null to
  // `done`; otherwise gives the reply. A step that cannot be sent gives null.
  void gpioStep(uint16_t num, uint8_t level, const char* failFormat, PackageCallback done);
  // One step of a timed sequence and the pause before the next one.
  struct GpioStep {
    uint16_t num;
    uint8_t level;
    const char* failFormat;
    double waitAfter;  // seconds
  };
  // Runs the steps from `index` on; the callback receives the last reply,
  // or null from the first step that failed.
  void runSteps(std::shared_ptr<const std::vector<GpioStep>> steps, size_t index,
                PackageCallback callback);
  // Refuses (message, null to the callback, false) when the channel is not
  // open; otherwise starts the steps.
  bool startSteps(const char* operation, std::vector<GpioStep> steps, PackageCallback callback);
  bool fastbootSequence(const char* operation, uint8_t strap, PackageCallback callback);
  // Runs `function` `seconds` later through the API manager.
  void wait(double seconds, std::function<void()> function);
  bool channelOpen(const char* operation);
  void publish(const char* event, const char* key, const std::string& value);
  void publish(const char* event, const char* key, int value);
  void refreshUi();
  void notice(const std::string& text);
  // The one way tasks are registered: `action` under "jyx.data:".
  void addTask(const char* action, std::function<bool(CTask*)> handler);
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

  CJYXServices* services_;
  std::string displayName_;
  uint64_t owner_ = 0;
  bool powerEnabled_ = false;
  bool packetTrace_ = false;
  std::string stringCmd_;
  int logUartNum_ = 3;
  bool logUartSwitched_ = false;
  int setGpioNum_ = 64;
  int setGpioLevel_ = 0;
  int getGpioNum_ = 64;
  int getGpioLevel_ = 0;
  // Level acknowledged for each GPIO set through this manager.
  std::map<int, int> gpioLevels_;
  std::string postCodes_;

  CPackageParser* parser_ = nullptr;
  CRequestTracker tracker_;
  std::function<void(uint8_t)> uartForwardingHandler_;
  // Forwarding state of the last acknowledged UART_CTRL request.
  uint8_t uartForwarding_ = 0;
  std::function<void(CPackage*)> powerReportHandler_;
  std::function<void(CPackage*)> powerReportTap_;
  std::function<void(uint32_t*, uint8_t*)> powerBlockProvider_;

  // --- SPI flash state ---
  // The flows read the settings and keep the UI state below up to date,
  // through spiLink_.
  bool loopFlash_ = false;
  bool spiBusy_ = false;
  bool spiRefresh_ = false;
  std::function<void()> spiRefreshHook_;

  void registerSPITasks();
  void spiStartConfig();
  void spiPublishState();
  void spiDialog(const char* title, const std::string& text);
  void setSPICause(const std::string& cause) { spiFlow_.setCause(cause); }
  void writeNextRegister(int index, std::function<void(bool)> callback);
  void readNextRegister(int index, SPIRegisterCallback callback);
  bool taskFlashType(CTask* task);
  bool taskSpiOpen(CTask* task);
  bool taskSpiUrl(CTask* task);
  bool taskSpiRefreshImages(CTask* task);
  bool taskSpiRemoteFile(CTask* task);
  bool taskSpiDownload(CTask* task);
  bool taskSpiFlash(CTask* task);
  bool taskSpiCheck(CTask* task);
  bool taskSpiLoopFlash(CTask* task);
  bool taskSpiStopLoop(CTask* task);
  bool taskSpiProgress(CTask* task);
  // "jyx.data:spi_read_addr" / "spi_read_size": stores the text under the
  // setting `key` and publishes it as "jyx.data:" + key.
  bool taskStoreReadRange(CTask* task, std::string* field, const char* key);
  bool taskSpiRead(CTask* task, bool save);
  bool taskSpiCtrl(CTask* task);
  bool taskSpiData(CTask* task);
  bool taskWinbondReadReg(CTask* task);
  bool taskWinbondUnlock(CTask* task);
  bool spiBusyGuard();

  std::string imagePath_;
  // The UI values other than progress (file, type, server, image list, read
  // range) changed since they were last published. Progress refreshes, which
  // come with the sector loop, publish only short texts and allocate nothing.
  bool spiStaticDirty_ = true;
  int spiPercent_ = 0;
  int elapsed_ = 0;
  uint32_t retryLimit_ = kSPIDefaultRetryLimit;
  int loopCount_ = 0;
  bool spiEnabled_ = false;
  std::string flashType_ = "Normal";
  uint8_t securityMode_ = 0;
  uint16_t accessId_ = 0;
  uint16_t eraseId_ = 0;
  std::string readAddrText_ = "0x188B70";
  std::string readSizeText_ = "0x7c";
  CBuffer readBuffer_{256};
  std::string imageServer_;
  std::vector<CSPIImageInfo> imageList_;
  int selectedImage_ = -1;
  // The register write in progress (values of registers 1-3, mask) and the
  // bytes of the last read; one register operation runs at a time.
  uint8_t regWriteValues_[3] = {0, 0, 0};
  uint8_t regWriteMask_ = 0;
  uint8_t regReadBytes_[3] = {0, 0, 0};
  // The flows' view of this manager: each operation of CSpiFlashLink is the
  // member of the same name, each setting and UI value the field behind it
  // (data_manager_spi_link.cpp).
  class SpiFlowLink : public CSpiFlashLink {
   public:
    explicit SpiFlowLink(CJYXDataManager* manager) : manager_(manager) {}
    bool enableSPI_IO(std::function<void(bool)> callback) override;
    void disableSPI_IO(std::function<void(bool)> callback) override;
    bool enableSPIData(uint8_t enable, bool writeMode, PackageCallback callback) override;
    bool sendSPIData(uint32_t secOffset, uint16_t secSize, uint16_t secNum, const uint8_t* data,
                     int length, PackageCallback callback) override;
    bool readSPIData(uint32_t secOffset, uint16_t secSize, uint16_t secNum,
                     PackageCallback callback) override;
    bool readSPIReg(uint8_t command, uint16_t count, RegisterCallback callback) override;
    void disconnect() override;
    void connect() override;
    double clockNow() override;
    void notice(const std::string& text) override;
    void spiDialog(const char* title, const std::string& text) override;
    const std::string& imagePath() override;
    uint32_t retryLimit() override;
    uint8_t securityMode() override;
    uint16_t eraseId() override;
    bool loopFlash() override;
    void setSpiBusy(bool busy) override;
    void setSpiRefresh(bool refresh) override;
    int spiPercent() override;
    void setSpiPercent(int percent) override;
    int elapsed() override;
    void setElapsed(int seconds) override;
    int loopCount() override;
    void setLoopCount(int count) override;

   private:
    CJYXDataManager* manager_;
  };
  SpiFlowLink spiLink_{this};
  // The flash, check and read flows and their failure record.
  CSpiFlashFlow spiFlow_{&spiLink_};
  // --- end of SPI flash state ---
};

#endif  // JYX_JYX_DEVICE_DATA_MANAGER_H_
