// CJYXPowerMonitor: the state of power monitoring that does not depend on a
// controller link: the 97 rails, the IC tables, the 96-bit enable mask, the
// configuration and rails files, report ingestion, statistics and the data
// file and CSV export. CJYXPowerManager owns one and adds the controller
// exchange and the tasks.
//
// Main thread only; no locks. Configuration documents are JSON values as
// jyx::yamlToJson produces them (scalars are strings), but numeric JSON
// values are accepted too.
#ifndef JYX_JYX_POWER_POWER_MONITOR_H_
#define JYX_JYX_POWER_POWER_MONITOR_H_

#include <rapidjson/document.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "jyx/power/power_rail.h"

// One rails file the user can choose: its title and its path relative to
// the directory of the power configuration file.
class CJYXPowerConfigInfo {
 public:
  CJYXPowerConfigInfo() = default;
  CJYXPowerConfigInfo(const std::string& title, const std::string& path)
      : title_(title), path_(path) {}
  virtual ~CJYXPowerConfigInfo() = default;
  virtual const std::string& title() const { return title_; }
  virtual void setTitle(const std::string& title) { title_ = title; }
  virtual const std::string& path() const { return path_; }
  virtual void setPath(const std::string& path) { path_ = path; }

 private:
  std::string title_ = "none";
  std::string path_ = "none";
};

// The three chart ranges chosen from the largest averaged values.
struct CJYXPowerRanges {
  uint32_t voltage;
  uint32_t current;
  uint32_t power;
};

class CJYXPowerMonitor {
 public:
  static constexpr int kRailCount = 97;  // 96 measured rails + TOTAL
  static constexpr int kTotalRail = 96;
  static constexpr int kMeasuredRails = 96;  // 24 IC slots x 4 channels
  static constexpr int kIcSlots = 24;
  static constexpr uint8_t kNoIc = 0xFF;

  CJYXPowerMonitor();
  CJYXPowerMonitor(const CJYXPowerMonitor&) = delete;
  CJYXPowerMonitor& operator=(const CJYXPowerMonitor&) = delete;
  ~CJYXPowerMonitor();

  // Rail by index; an index outside 0-96 yields rail 0.
  CJYXPowerRail* rail(int index);
  const std::vector<int>& enabledRails() const { return enabledRails_; }

  void setEnableMask(const uint32_t mask[3]);
  void getEnableMask(uint32_t mask[3]) const;
  bool railEnabled(int index) const;

  std::vector<CJYXPowerICID>& icTypes() { return icTypes_; }
  uint8_t* icAddrs() { return icAddrs_; }
  const uint8_t* icIds() const { return icIds_; }

  std::vector<CJYXPowerConfigInfo>& configs() { return configs_; }
  CJYXPowerConfigInfo& currentConfig() { return currentConfig_; }
  const std::string& currentTitle() const { return currentTitle_; }
  void setCurrentTitle(const std::string& title) { currentTitle_ = title; }

  uint32_t averageInterval() const { return averageInterval_; }
  void setAverageInterval(uint32_t ms) { averageInterval_ = ms; }

  // --- configuration ---------------------------------------------------
  // Applies a parsed power configuration file ("ic-id", "ic-addr",
  // "config"). `configs` is cleared first; a root that is not an object
  // applies nothing else and returns false.
  bool applyConfig(const rapidjson::Value& root);
  // Chooses the current rails file after a configuration was applied and
  // returns its path (directory of configPath + the entry's path), or the
  // empty text when `configs` is empty. `name` (may be null) selects the
  // entries whose path equals its file-name part.
  std::string selectRailsFile(const char* name, const std::string& configPath);
  // Makes the first entry titled `title` current; false when none matches.
  bool selectConfigByTitle(const std::string& title);
  // Applies a parsed rails file; anything but an object with "rails" is
  // ignored. Returns true when the rails list was applied.
  bool loadRails(const rapidjson::Value& root);

  // --- controller exchange ---------------------------------------------
  // The 12-byte mask block and the 24-byte IC address table of the
  // power-control request.
  void buildRequestBlocks(uint8_t mask[12], uint8_t addrs[24]) const;
  // Stores the IC identities carried by a start acknowledge (payload of
  // `length` bytes; missing bytes count as 0) and applies the matching IC
  // types to rails 0-95. Returns the "size:..., IC_ID (24):..." text.
  std::string applyIcIds(const uint8_t* payload, size_t length, uint32_t lengthField);

  // --- sampling --------------------------------------------------------
  // Clears every series and the run counters.
  void resetRun();
  bool running() const { return running_; }
  void setRunning(bool running) { running_ = running; }
  double startTime() const { return startTime_; }
  void setStartTime(double t) { startTime_ = t; }
  uint64_t baseClock() const { return baseClock_; }
  uint64_t lastClock() const { return lastClock_; }
  uint32_t frameCount() const { return frameCount_; }
  uint64_t hostStartMicros() const { return hostStartMicros_; }
  void setHostStartMicros(uint64_t micros) { hostStartMicros_ = micros; }

  // Ingests one power report payload (everything after the 20-byte packet
  // header). `now` is the host time in seconds, `wallMicros` the host wall
  // clock in µs; both are only used at the first frame of a run. Ignored
  // unless running. Frames that the payload does not hold completely are
  // dropped (reported once per run).
  void onPowerData(const uint8_t* payload, size_t length, double now, uint64_t wallMicros);

  // The frame-rate line, or the empty text until at least a millisecond
  // of controller time separates the first and the newest report.
  std::string frameRateText() const;
  CJYXPowerRanges autoRanges() const;
  static uint32_t autoRange(int32_t largest);

  // --- storage -----------------------------------------------------------
  // Directory of the spill file that holds the samples of the next run
  // (empty: $TMPDIR, else /var/tmp, else /tmp). Takes effect at the next
  // resetRun().
  void setSpillDirectory(const std::string& directory) { spill_->setDirectory(directory); }
  const CJYXSpillFile& spill() const { return *spill_; }

  // --- export (power_export.cpp) -----------------------------------------
  // Writes the data file at `path` and the six CSV files beside it, each
  // through a temporary name and a rename, streaming the samples from the
  // spill file. Every file is attempted; each one that fails prints its
  // reason, and then "saveData: FAIL" ends the output and false is
  // returned. A run larger than the data file's 32-bit offsets can address
  // is saved in part (the first samples of each rail, as many as fit) with
  // a line saying so; the CSV files always hold every sample.
  bool saveData(const std::string& path);
  // Reads a data file back; on any problem prints why, changes nothing and
  // returns false.
  bool loadData(const std::string& path);
  // Largest number of records per rail such that a data file holding
  // min(count, that number) records of each rail stays within `limit`
  // bytes; UINT64_MAX when every record fits.
  // Size limit of a data file: 2^32 - 1 bytes, the reach of its u32
  // offsets. Tests lower it to exercise the cut without writing 4 GiB.
  void setDataFileLimit(uint64_t bytes) { dataFileLimit_ = bytes; }
  static uint64_t recordsThatFit(const std::vector<uint64_t>& counts, uint64_t limit);
  // Streams the CSV files of one kind (raw or averaged): `sink(quantity,
  // text)` receives consecutive pieces of the voltage (0), current (1) and
  // power (2) file. False when the sink or a spill read failed (*err says
  // why, unless the sink failed).
  bool writeCsv(bool averaged,
                const std::function<bool(int quantity, const std::string& text)>& sink,
                std::string* err) const;
  // The whole text of one CSV file (for small runs and tests).
  std::string csvText(bool averaged, int quantity) const;
  // "%.4d%.2d%.2d %.2d:%.2d:%.2d.%.3d" of a wall-clock time in µs (local time).
  static std::string timeText(uint64_t micros);

  // Bytes held by all sample series.
  size_t memoryBytes() const;

  // The three CSV files of one kind (raw or averaged) beside `path`, each
  // written whole through a temporary name; every file that could not be
  // written is one reason handed to `failed`, which prints nothing itself.
  void saveCsvFiles(const std::string& path, bool averaged,
                    const std::function<void(const std::string&)>& failed) const;

 private:
  // The steps of saveData. Each prints nothing itself: a failure is one
  // reason handed to `failed`.
  // The data file with at most `perRail` records of each rail.
  void saveDataFile(const std::string& path, uint64_t perRail,
                    const std::function<void(const std::string&)>& failed) const;
  // Validates the header of a data file of `size` bytes (got: the bytes of
  // it read into `header`); false after printing why it is refused.
  static bool checkDataHeader(const std::string& path, const uint8_t* header, size_t got,
                              uint64_t size);
  // Replaces the run with the records of a data file whose header passed
  // the check; false (and an empty run) when a read fails.
  bool loadRecords(int fd, const uint8_t* header, const std::string& path);
  void refreshActiveRails();
  // Rails with a set bit, ascending: the order of the pairs in a report.
  std::vector<int> activeRails_;

  CJYXPowerRail* rails_[kRailCount];
  std::vector<int> enabledRails_;
  uint32_t enableMask_[3] = {1, 0, 0};
  std::vector<CJYXPowerICID> icTypes_;
  uint8_t icIds_[kIcSlots] = {};
  uint8_t icAddrs_[kIcSlots];
  std::vector<CJYXPowerConfigInfo> configs_;
  CJYXPowerConfigInfo currentConfig_;
  std::string currentTitle_;
  uint32_t averageInterval_ = 100;

  bool running_ = false;
  uint64_t baseClock_ = 0;
  uint64_t lastClock_ = 0;
  uint32_t frameCount_ = 0;
  double startTime_ = 0;
  uint64_t hostStartMicros_ = 0;
  bool shortReportSeen_ = false;
  // Holds the records of every rail's series; see power_spill.h.
  std::shared_ptr<CJYXSpillFile> spill_;
  uint64_t dataFileLimit_ = UINT32_MAX;
};

// Reads a configuration scalar (string, or a JSON number) as text; false
// for anything else.
bool powerScalarText(const rapidjson::Value& value, std::string* text);
// The number rule applied to a configuration scalar; 0 when it is not one.
uint32_t powerNumber(const rapidjson::Value& value);
// Appends printf("%.2f", value / 1000.0) byte for byte, or "% .2f" with
// `spaceSign` (the CSV cell format of V, A and W values).
void appendThousandths(std::string* out, int32_t value, bool spaceSign);

#endif  // JYX_JYX_POWER_POWER_MONITOR_H_
