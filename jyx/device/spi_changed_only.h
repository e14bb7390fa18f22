// Re-flashing only what changed: the flash is read sector by sector and only
// the sectors that differ from the image are written (each sector write
// erases and programs that sector alone). On real chips a 4 KiB read takes
// well under a millisecond and an erase and program tens of them, so a
// re-flash of a mostly unchanged image takes seconds instead of minutes.
//
// The steps, in order:
//   take the flash lines -> enter programming mode -> for each sector:
//   read it, and write it when it differs -> leave programming mode ->
//   give the lines back.
// Any refused or unanswered step ends the flow (no retry: running it again
// skips what was already written); the lines are still given back.
// Verifying the result is the caller's next step (the check flow).
//
// Only plain flashes: in a security layout, entering programming mode
// erases the copies, so nothing could be skipped.
//
// Main thread only; the flow lives until `done` has been called.
#ifndef JYX_JYX_DEVICE_SPI_CHANGED_ONLY_H_
#define JYX_JYX_DEVICE_SPI_CHANGED_ONLY_H_

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class CJYXDataManager;
class CPackage;

class CSPIChangedOnlyFlow {
 public:
  struct Result {
    bool ok = false;
    uint32_t sectors = 0;    // sectors the image covers
    uint32_t unchanged = 0;  // read back equal, not written
    uint32_t written = 0;
    // Why the flow failed, one line each without a line end: the cause and,
    // apart from it, a failed hand-back of the flash lines.
    std::vector<std::string> reasons;
  };
  using Progress = std::function<void(int percent)>;
  using Done = std::function<void(const Result&)>;

  explicit CSPIChangedOnlyFlow(CJYXDataManager* data) : data_(data) {}

  // Starts with the whole image in memory; `progress` gets 0-100 as the
  // sectors are done, `done` is called once at the end.
  void start(std::vector<uint8_t> image, Progress progress, Done done);
  bool running() const { return running_; }

 private:
  enum class Step {
    kTakeLines,
    kEnterProgramming,
    kReadSector,
    kWriteSector,
    kLeaveProgramming,
    kGiveBack,
    kFinished
  };
  // The one place that runs a step; every reply handler names the next.
  void go(Step step);
  void takeLines();
  void enterProgramming();
  void readSector();
  void writeSector();
  void leaveProgramming();
  void giveBack();
  void finished();

  // Records the cause and heads for the exit (leaving programming mode when
  // it was entered, then giving the lines back).
  void fail(const std::string& why);
  // The sector after the current one, or leaving when all are done.
  void nextSector();

  CJYXDataManager* data_;
  std::vector<uint8_t> image_;
  std::vector<uint8_t> expected_;  // the current sector as the image has it
  Progress progress_;
  Done done_;
  Result result_;
  bool running_ = false;
  bool programming_ = false;
  uint32_t sectorSize_ = 0;
  uint32_t sector_ = 0;
  int percent_ = -1;
};

#endif  // JYX_JYX_DEVICE_SPI_CHANGED_ONLY_H_
