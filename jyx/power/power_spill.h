// Sample storage of power monitoring that does not grow with the run: every
// stored record goes to an append-only spill file as it arrives, in blocks of
// a fixed number of records, and only the newest (partly filled) block of
// each series stays in memory. A monitoring run of 96 rails at 500 frames/s
// stores about 4 GiB an hour; kept in memory it would exhaust the host within
// a working day, spilled it costs a few MiB of memory however long it runs.
//
// The spill file is created in a directory of the owner's choice ($TMPDIR,
// else /var/tmp, else /tmp by default) and unlinked at once, so it vanishes
// when its descriptor is closed, also when the program is killed.
//
// Main thread only; nothing here is locked.
#ifndef JYX_JYX_POWER_POWER_SPILL_H_
#define JYX_JYX_POWER_POWER_SPILL_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// One stored sample: the record of the power data file (power_format.md).
struct CJYXPowerRecord {
  uint64_t clock;   // controller timestamp, µs
  int32_t time;     // ms since the first frame (or start of the interval)
  int32_t voltage;  // mV
  int32_t current;  // mA
  int32_t power;    // mW
};
static_assert(sizeof(CJYXPowerRecord) == 24, "records are copied to and from the spill whole");

// A block of records is spilled compactly: each field as the zigzag varint
// of its difference to the same field of the record before it (the first
// record of a block against zero). Consecutive samples of a rail share
// their clock or step it by one report, and their values move by noise, so
// a 24-byte record takes about 8 bytes: an 8-hour run of 96 rails spills
// about 11 GiB instead of 33.
// Appends the encoding of `n` records to *out.
void encodePowerBlock(const CJYXPowerRecord* records, size_t n, std::vector<uint8_t>* out);
// Decodes exactly `n` records from `len` bytes; false when the bytes do
// not hold exactly that.
bool decodePowerBlock(const uint8_t* data, size_t len, size_t n, CJYXPowerRecord* out);

// The shared append-only file behind the record logs of one monitor.
class CJYXSpillFile {
 public:
  CJYXSpillFile() = default;
  ~CJYXSpillFile();
  CJYXSpillFile(const CJYXSpillFile&) = delete;
  CJYXSpillFile& operator=(const CJYXSpillFile&) = delete;

  // Directory of the next spill file (empty: the default). The file in use,
  // if any, stays where it is until clear().
  void setDirectory(const std::string& directory) { directory_ = directory; }
  const std::string& directory() const { return directory_; }

  // Appends `len` bytes and returns where they start in *at. The file is
  // created on first use. False (with the reason in *err) when the file
  // cannot be created or written; nothing is then appended.
  bool append(const void* data, size_t len, uint64_t* at, std::string* err);
  // Reads `len` bytes written earlier at `at`.
  bool read(uint64_t at, void* data, size_t len, std::string* err) const;
  // Forgets every byte (the owners have forgotten their blocks first) and
  // closes the file, so the next run starts empty and in the current
  // directory.
  void clear();

  uint64_t size() const { return size_; }
  bool isOpen() const { return fd_ >= 0; }
  // Prints `what` once per spill file: a disk that is full stays full, and
  // one line says so better than a line per block.
  void reportOnce(const std::string& what);
  // Scratch space for encoding a block, shared by the logs of the file.
  std::vector<uint8_t>* scratch() { return &scratch_; }

 private:
  bool create(std::string* err);

  int fd_ = -1;
  uint64_t size_ = 0;
  std::string directory_;
  bool reported_ = false;
  std::vector<uint8_t> scratch_;
};

// An append-only series of records, held in blocks of kBlockRecords: full
// blocks live in the spill file (or, when it cannot be written, in memory, so
// that nothing is lost), the block being filled lives in memory. Any record
// can be read back by its index.
class CJYXRecordLog {
 public:
  // 2048 records of 24 bytes: 48 KiB per series in memory, and a spill
  // write every 4 s at 500 frames/s.
  static constexpr size_t kBlockRecords = 2048;

  // `spill` is shared by all logs of one monitor; null gives the log a
  // spill file of its own.
  explicit CJYXRecordLog(std::shared_ptr<CJYXSpillFile> spill = nullptr);
  CJYXRecordLog(const CJYXRecordLog&) = delete;
  CJYXRecordLog& operator=(const CJYXRecordLog&) = delete;

  void setSpill(std::shared_ptr<CJYXSpillFile> spill);

  void push_back(const CJYXPowerRecord& record) {
    if (tail_.size() == kBlockRecords) flushTail();
    tail_.push_back(record);
    ++size_;
  }
  uint64_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  // Copies records [first, first + n) to out; first + n must not exceed
  // size(). False (with *err) when the spill file cannot be read.
  bool read(uint64_t first, size_t n, CJYXPowerRecord* out, std::string* err) const;
  // Record k (below size()); a zero record when it cannot be read.
  CJYXPowerRecord at(uint64_t k) const;
  CJYXPowerRecord back() const { return tail_.empty() ? at(size_ - 1) : tail_.back(); }
  // Forgets every record; the spill bytes are reclaimed by the owner's
  // CJYXSpillFile::clear().
  void clear();
  // Bytes held in memory (the block being filled, the block table and any
  // block the spill file could not take).
  size_t memoryBytes() const;

  // Reads the records of a log in order, one block at a time, decoded
  // straight into the reader's own buffer (readers of one log do not
  // disturb each other).
  class CReader {
   public:
    explicit CReader(const CJYXRecordLog* log) : log_(log) {}
    // The next record, or false at the end or on a read failure (then
    // *err is set).
    bool next(CJYXPowerRecord* record, std::string* err) {
      if (next_ < bufferEnd_) {
        *record = buffer_[size_t(next_ - bufferFirst_)];
        ++next_;
        return true;
      }
      return refill(record, err);
    }
    uint64_t position() const { return next_; }
    // Stops after `limit` records.
    void setLimit(uint64_t limit) { limit_ = limit; }

   private:
    bool refill(CJYXPowerRecord* record, std::string* err);

    const CJYXRecordLog* log_;
    std::vector<CJYXPowerRecord> buffer_;
    uint64_t bufferFirst_ = 0;
    uint64_t bufferEnd_ = 0;
    uint64_t next_ = 0;
    uint64_t limit_ = UINT64_MAX;
  };

 private:
  struct Block {
    uint64_t offset;                    // in the spill file
    uint32_t bytes;                     // encoded length
    std::unique_ptr<uint8_t[]> memory;  // the encoding, when not spilled
  };
  void flushTail();
  // Decodes full block `index` into the cache.
  bool loadBlock(size_t index, std::string* err) const;
  // Decodes full block `index` into `out` (kBlockRecords records).
  bool decodeBlock(size_t index, CJYXPowerRecord* out, std::string* err) const;

  std::shared_ptr<CJYXSpillFile> spill_;
  std::vector<Block> blocks_;          // full blocks, in order
  std::vector<CJYXPowerRecord> tail_;  // the block being filled
  uint64_t size_ = 0;
  // The last full block read back, decoded.
  mutable std::vector<CJYXPowerRecord> cache_;
  mutable size_t cacheIndex_ = SIZE_MAX;
  mutable std::vector<uint8_t> readBuffer_;
};

#endif  // JYX_JYX_POWER_POWER_SPILL_H_
