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
// (image path, security fields, retry limit) and the UI state it publishes
// (busy, refresh, percent, elapsed time, loop count); the flow owns
// everything a run needs and the record of why the last run failed.
#ifndef JYX_JYX_DEVICE_SPI_FLASH_FLOW_H_
#define JYX_JYX_DEVICE_SPI_FLASH_FLOW_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class CJYXDataManager;
class CPackage;

class CSpiFlashFlow {
 public:
  // Progress value: 0-100 while running, -1 on failure, the data manager's
  // kSPIFlashDone / kSPICheckDone at the end.
  using Progress = std::function<void(int)>;
  // Receives a read piece by piece: `at` is the offset of `bytes` inside the
  // range; false stops the read.
  using ReadSink = std::function<bool(uint32_t at, const uint8_t* bytes, uint32_t len)>;

  explicit CSpiFlashFlow(CJYXDataManager* data);

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

  CJYXDataManager* data_;
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
