// CSpiFlashFlow: the SPI flash flows of the data manager (flash, check,
// read) as one object with named steps. Every flow walks the same sequence:
//
//   start pass -> take the flash lines -> enter programming mode (when the
//   flow writes or the flash has a security layout) -> check the range fits
//   the flash -> program sector N / compare block N / read block N, one at a
//   time -> leave programming mode -> hand the lines back -> report.
//
// A step that ends well calls advance(), the one place that decides what
// comes next. A step that fails heads for the exit on its own: a flash
// starts another pass (up to the retry limit; a retry reconnects first and
// resumes at the sector that failed), a check or read leaves programming
// mode, hands the lines back and reports -1.
//
// The sector loop keeps its state in fields and its reply handlers capture
// only `this`, so a warm loop allocates nothing per sector (packets come from
// the pool, the sector buffer is reused).
//
// Main thread only. The data manager owns the flow and keeps the settings
// (image path, security fields, retry limit, loop flag) and the UI state it
// publishes (busy, refresh, percent, elapsed time, loop count); the flow
// reaches them, and the controller link, only through CSpiFlashLink. The
// flow owns everything a run needs and the record of why the last run
// failed.
#ifndef JYX_JYX_DEVICE_SPI_FLASH_FLOW_H_
#define JYX_JYX_DEVICE_SPI_FLASH_FLOW_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "jyx/protocol/package.h"

// What the flows need of their owner, and nothing more: the controller
// requests of the line hand-over, the programming mode and the sector loop;
// the link itself (a retry reconnects); the clock; the user messages; the
// settings the flows read and the UI state they keep up to date. The data
// manager provides it and hands it to the flow once, at construction; it
// must outlive the flow. Main thread only.
class CSpiFlashLink {
 public:
  // Register bytes and their count; (nullptr, 0) on failure.
  using RegisterCallback = std::function<void(const uint8_t*, int)>;

  virtual ~CSpiFlashLink() = default;

  // Hands the flash lines to the controller (SPI_PRG_SEL, then SPI_PRG_EN to
  // 0). False when the first request cannot be sent (callback called).
  virtual bool enableSPI_IO(std::function<void(bool)> callback) = 0;
  // Hands the lines back (SPI_PRG_EN, then SPI_PRG_SEL to 1) and clears
  // busy; true only when both lines were acknowledged. The callback may be
  // empty.
  virtual void disableSPI_IO(std::function<void(bool)> callback) = 0;
  // One SPI_CTRL request; false (callback not called) when not sent.
  virtual bool enableSPIData(uint8_t enable, bool writeMode, PackageCallback callback) = 0;
  // One sector write / read request; false (callback not called) when the
  // channel is not open.
  virtual bool sendSPIData(uint32_t secOffset, uint16_t secSize, uint16_t secNum,
                           const uint8_t* data, int length, PackageCallback callback) = 0;
  virtual bool readSPIData(uint32_t secOffset, uint16_t secSize, uint16_t secNum,
                           PackageCallback callback) = 0;
  // Reads `count` bytes answering the flash command `command`; false when
  // not sent.
  virtual bool readSPIReg(uint8_t command, uint16_t count, RegisterCallback callback) = 0;
  // Closes the link / opens it again (blocking).
  virtual void disconnect() = 0;
  virtual void connect() = 0;
  // Application clock in seconds.
  virtual double clockNow() = 0;
  // A short notice line and a dialog for the user.
  virtual void notice(const std::string& text) = 0;
  virtual void spiDialog(const char* title, const std::string& text) = 0;

  // Settings, read each time they matter: a loop that is stopped while a
  // flash runs ends after that flash.
  virtual const std::string& imagePath() = 0;
  virtual uint32_t retryLimit() = 0;
  virtual uint8_t securityMode() = 0;
  virtual uint16_t eraseId() = 0;
  virtual bool loopFlash() = 0;

  // The UI state the owner publishes.
  virtual void setSpiBusy(bool busy) = 0;
  virtual void setSpiRefresh(bool refresh) = 0;
  virtual int spiPercent() = 0;
  virtual void setSpiPercent(int percent) = 0;
  // Whole seconds since the current flash pass started.
  virtual int elapsed() = 0;
  virtual void setElapsed(int seconds) = 0;
  virtual int loopCount() = 0;
  virtual void setLoopCount(int count) = 0;
};

class CSpiFlashFlow {
 public:
  // Progress value: 0-100 while running, -1 on failure, kFlashDone /
  // kCheckDone at the end.
  using Progress = std::function<void(int)>;
  // Receives a read piece by piece: `at` is the offset of `bytes` inside the
  // range; false stops the read.
  using ReadSink = std::function<bool(uint32_t at, const uint8_t* bytes, uint32_t len)>;

  // Final progress values: after a flash, after a check or a read.
  static constexpr int kFlashDone = 10000;
  static constexpr int kCheckDone = 100000;

  explicit CSpiFlashFlow(CSpiFlashLink* link);

  void startFlash(Progress progress);
  void startCheck(Progress progress);
  void startRead(int offset, int size, ReadSink sink, Progress progress);

  // The building blocks the data manager offers on its own, each ending in
  // exactly one callback. Take the lines, then enter programming mode when
  // the last flow wrote or the flash has a security layout.
  void takeLines(std::function<void(bool)> done);
  // Leaves programming mode (when it applies) and hands the lines back; the
  // bool is true when both lines were acknowledged.
  void releaseLines(std::function<void(bool)> done);
  // releaseLines, then clears busy and refresh and restarts the clock.
  void stop(std::function<void(bool)> done);

  // The failure record of the flow in progress or last run.
  std::vector<std::string> failReasons() const;
  void setCause(const std::string& cause) { cause_ = cause; }
  void clearHandBackError() { handBackError_.clear(); }
  void setHandBackError(const std::string& error) { handBackError_ = error; }
  uint64_t flashSize() const { return flashSize_; }
  uint32_t sectorCount() const { return sectorCount_; }
  uint32_t sectorSize() const { return sectorSize_; }

 private:
  enum class Mode { kFlash, kCheck, kRead };
  enum class Step {
    kIdle,
    kStartPass,         // flash: count the pass; a retry reconnects first
    kTakeLines,         // SPI_PRG_SEL, then SPI_PRG_EN to the controller
    kEnterProgramming,  // SPI_CTRL enable; learns the sector geometry
    kCheckRange,        // the range must end inside the flash (JEDEC id)
    kProgramSector,     // flash: erase and program sector N
    kCompareBlock,      // check: read block N, compare it with the image
    kReadBlock,         // read: read block N into the sink
    kLeaveProgramming,  // SPI_CTRL disable, after the lines settled
    kHandBackLines,     // SPI_PRG_EN, then SPI_PRG_SEL back to the target
    kReport,            // the final progress value (and the next loop)
  };
  // How the run ends, decided when it heads for the exit.
  enum class Ending { kFlashed, kFlashFailed, kAborted, kChecked, kRead };

  // The one place that decides the step after the one that ended well.
  void advance();
  // The one place that runs a step.
  void run(Step step);

  bool startPass(const char* message);
  void takeLinesStep();
  void enterProgrammingStep();
  void checkRange();
  void rangeDecision();
  void programSector();
  void onSectorReply(CPackage* reply);
  void requestBlock();
  void onBlockReply(CPackage* reply);
  void onCompareReply(CPackage* reply);
  void onReadReply(CPackage* reply);
  void leaveProgrammingStep();
  void handBackLinesStep();
  void report();
  void reportFlash();
  void reportCheck();
  void reportRead();

  // Failures: a flash starts another pass (through the pump, so that a
  // controller that is gone does not nest the passes), a check or read
  // heads for the exit and reports -1.
  void startFailed();
  void exitWith(Ending ending);
  void giveUp(const std::string& text);

  void begin(Mode mode, uint64_t rangeEnd, bool read);
  bool loadImageOrFail();
  void enterProgrammingThen(std::function<void(bool)> done);
  void takeLinesThen(std::function<void(bool)> done);
  void leaveProgrammingThen(std::function<void()> next);
  bool programming() const;
  void reportValue(int value);
  void updatePercent(int percent, bool refresh);

  CSpiFlashLink* link_;
  Mode mode_ = Mode::kFlash;
  Step step_ = Step::kIdle;
  Ending ending_ = Ending::kAborted;
  bool linesBack_ = false;
  std::string failText_;  // printed when a flash gives up

  std::vector<uint8_t> image_;  // whole image file; capacity only grows
  uint32_t imageSize_ = 0;
  std::vector<uint8_t> sector_;  // one sector of the pass in progress
  uint32_t sectorSize_ = 4096;
  uint32_t sectorIndex_ = 0;   // next sector to write, or block to check/read
  uint32_t resumeSector_ = 0;  // where the next pass of a flash starts
  uint32_t sectorCount_ = 0;   // end sector (exclusive) of the flow in progress
  uint32_t blockSize_ = 4096;
  // Clock time (seconds) the current flash pass started or the last run
  // ended; the elapsed time is counted from it.
  double startTime_ = 0.0;
  int64_t attempts_ = 0;  // passes of the current flash; wide so a huge retry limit cannot wrap
  bool writeMode_ = false;
  // Shared so that a report can hold the callback alive without copying it
  // (a copy of a capturing callable allocates) while the callee starts
  // another flow that replaces it.
  std::shared_ptr<Progress> progress_;
  // The read in progress: flash range, where the bytes go and how many of
  // them went so far.
  uint32_t readOffset_ = 0;
  uint32_t readSize_ = 0;
  ReadSink readSink_;
  uint32_t readCopied_ = 0;
  // Failure record.
  std::string cause_;
  std::string handBackError_;
  uint64_t flashSize_ = 0;
  uint64_t rangeEnd_ = 0;
  bool rangeIsRead_ = false;
};

#endif  // JYX_JYX_DEVICE_SPI_FLASH_FLOW_H_
