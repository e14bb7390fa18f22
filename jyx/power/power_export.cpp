// Data file and CSV export of CJYXPowerMonitor, and reading a data file back.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "common/api_manager.h"
#include "common/byte_order.h"
#include "common/file_util.h"
#include "common/string_format.h"
#include "jyx/power/power_format.h"
#include "jyx/power/power_monitor.h"

using jyx::decodeFixed32;
using jyx::decodeFixed64;
using jyx::encodeFixed32;
using jyx::encodeFixed64;

namespace {

// Text of the CSV files is handed on in pieces of about this size.
constexpr size_t kCsvPiece = size_t(1) << 20;
// Records are written and read in batches of this many (48 KiB).
constexpr size_t kRecordBatch = 2048;

const char* const kCsvSuffixes[6] = {".raw_voltage.csv", ".raw_current.csv", ".raw_power.csv",
                                     ".voltage.csv",     ".current.csv",     ".power.csv"};

void encodeRecord(uint8_t* p, const CJYXPowerRecord& r) {
  using namespace powerfile;
  encodeFixed64(p + kRecordClock, r.clock);
  encodeFixed32(p + kRecordTime, uint32_t(r.time));
  encodeFixed32(p + kRecordVoltage, uint32_t(r.voltage));
  encodeFixed32(p + kRecordCurrent, uint32_t(r.current));
  encodeFixed32(p + kRecordPower, uint32_t(r.power));
}

CJYXPowerRecord decodeRecord(const uint8_t* p) {
  using namespace powerfile;
  return CJYXPowerRecord{decodeFixed64(p + kRecordClock), int32_t(decodeFixed32(p + kRecordTime)),
                         int32_t(decodeFixed32(p + kRecordVoltage)),
                         int32_t(decodeFixed32(p + kRecordCurrent)),
                         int32_t(decodeFixed32(p + kRecordPower))};
}

}  // namespace

// Byte for byte as glibc's printf, without its cost: only hundredths whose
// decimal remainder is exactly 5 sit near a rounding boundary; for those the
// sign of the double's error, found exactly with fma, decides, and an exact
// tie rounds to even. Writes at most 16 bytes at p and returns their end.
char* putThousandths(char* p, int32_t value, bool spaceSign) {
  int64_t magnitude = value < 0 ? -int64_t(value) : int64_t(value);
  int64_t hundredths = magnitude / 10;
  int64_t rest = magnitude % 10;
  if (rest > 5) {
    ++hundredths;
  } else if (rest == 5) {
    double printed = double(magnitude) / 1000.0;
    double error = std::fma(printed, 1000.0, -double(magnitude));
    if (error > 0 || (error == 0 && (hundredths & 1))) ++hundredths;
  }
  char text[24];
  char* end = text + sizeof(text);
  char* q = end;
  int64_t whole = hundredths / 100;
  int fraction = int(hundredths % 100);
  *--q = char('0' + fraction % 10);
  *--q = char('0' + fraction / 10);
  *--q = '.';
  do {
    *--q = char('0' + whole % 10);
    whole /= 10;
  } while (whole != 0);
  if (value < 0) {
    *--q = '-';
  } else if (spaceSign) {
    *--q = ' ';
  }
  size_t n = size_t(end - q);
  memcpy(p, q, n);
  return p + n;
}

void appendThousandths(std::string* out, int32_t value, bool spaceSign) {
  char text[24];
  out->append(text, size_t(putThousandths(text, value, spaceSign) - text));
}

namespace {

void appendInt(std::string* out, int32_t value) {
  char text[16];
  int n = snprintf(text, sizeof(text), "%d", value);
  out->append(text, size_t(n));
}

// Local-time texts of consecutive samples mostly share their second; the
// formatted second is kept and only the milliseconds are redone.
class CTimeTextCache {
 public:
  void append(std::string* out, uint64_t micros) {
    uint64_t seconds = micros / 1000000;
    if (!valid_ || seconds != seconds_) {
      prefix_ = CJYXPowerMonitor::timeText(seconds * 1000000);
      prefix_.resize(prefix_.size() - 3);  // drop the "000" milliseconds
      seconds_ = seconds;
      valid_ = true;
    }
    out->append(prefix_);
    unsigned ms = unsigned((micros / 1000) % 1000);
    out->push_back(char('0' + ms / 100));
    out->push_back(char('0' + ms / 10 % 10));
    out->push_back(char('0' + ms % 10));
  }

 private:
  bool valid_ = false;
  uint64_t seconds_ = 0;
  std::string prefix_;
};

}  // namespace

std::string CJYXPowerMonitor::timeText(uint64_t micros) {
  time_t seconds = time_t(micros / 1000000);
  int ms = int((micros / 1000) % 1000);
  struct tm local;
  char text[64];
  if (localtime_r(&seconds, &local) == nullptr) {
    memset(&local, 0, sizeof(local));
  }
  snprintf(text, sizeof(text), "%.4d%.2d%.2d %.2d:%.2d:%.2d.%.3d", local.tm_year + 1900,
           local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, ms);
  return text;
}

namespace {

// The header lines of the voltage (0), current (1) and power (2) texts: time
// columns, one quoted name per rail, and in the power text the TOTAL column
// when `total` is given.
void startCsvTexts(const std::vector<const CJYXPowerRail*>& columns, const CJYXPowerRail* total,
                   std::string out[3]) {
  std::string header = "\"time\",\"timer(ms)\"";
  for (const CJYXPowerRail* rail : columns) {
    header += ",\"";
    header += rail->name();
    header += '"';
  }
  for (int q = 0; q < 3; ++q) {
    out[q] = header;
    if (q == 2 && total != nullptr) {
      out[q] += ",\"";
      out[q] += total->name();
      out[q] += '"';
    }
    out[q] += '\n';
  }
}

// Writes one row of text `q` at `p` (room for the longest row is there):
// the time prefix, one cell per rail and, in the power text with
// `totalColumn`, their sum. Returns the end of the row.
char* formatCsvRow(char* p, const std::string& prefix, const std::vector<CJYXPowerRecord>& cells,
                   int q, bool totalColumn) {
  memcpy(p, prefix.data(), prefix.size());
  p += prefix.size();
  int64_t sum = 0;
  for (const CJYXPowerRecord& cell : cells) {
    int32_t v = q == 0 ? cell.voltage : q == 1 ? cell.current : cell.power;
    sum += v;
    *p++ = ',';
    if (q == 1) *p++ = ' ';
    p = putThousandths(p, v, q == 1);
  }
  if (q == 2 && totalColumn) {
    *p++ = ',';
    int n = snprintf(p, 48, "%.2f", double(sum) / 1000.0);
    p += n;
  }
  *p++ = '\n';
  return p;
}

// The three texts of an export on their way to the sink. Rows are
// formatted straight into them; each is grown to hold a piece and one row
// more and handed on when a piece is full.
struct CsvTexts {
  using Sink = std::function<bool(int quantity, const std::string& text)>;
  explicit CsvTexts(const Sink& to) : sink(to) {}

  const Sink& sink;
  std::string out[3];
  size_t used[3] = {0, 0, 0};
  size_t rowMost = 0;

  // Hands each text to the sink and empties it.
  bool flush() {
    for (int q = 0; q < 3; ++q) {
      if (!sink(q, out[q])) return false;
      out[q].clear();
    }
    return true;
  }
  // Makes room for rows of at most `most` bytes.
  void reserveRows(size_t most) {
    rowMost = most;
    for (int q = 0; q < 3; ++q) {
      used[q] = out[q].size();
      out[q].resize(used[q] + kCsvPiece + rowMost);
    }
  }
  bool addRow(const std::string& prefix, const std::vector<CJYXPowerRecord>& cells,
              bool totalColumn) {
    for (int q = 0; q < 3; ++q) {
      char* end = formatCsvRow(&out[q][used[q]], prefix, cells, q, totalColumn);
      used[q] = size_t(end - out[q].data());
    }
    if (used[0] < kCsvPiece && used[1] < kCsvPiece && used[2] < kCsvPiece) return true;
    for (int q = 0; q < 3; ++q) {
      out[q].resize(used[q]);
      if (!sink(q, out[q])) return false;
      out[q].resize(kCsvPiece + rowMost);
      used[q] = 0;
    }
    return true;
  }
  // Drops the room no row used, then hands on the rest.
  bool finish() {
    for (int q = 0; q < 3; ++q) out[q].resize(used[q]);
    return flush();
  }
};

// Reads the cells of the next row; a rail with fewer records than the first
// column writes 0.
bool readRowCells(std::vector<CJYXRecordLog::CReader>* readers,
                  const std::vector<const CJYXRecordLog*>& logs,
                  std::vector<CJYXPowerRecord>* cells, std::string* err) {
  for (size_t c = 0; c < readers->size(); ++c) {
    if ((*readers)[c].position() >= logs[c]->size()) {
      (*cells)[c] = CJYXPowerRecord{};
    } else if (!(*readers)[c].next(&(*cells)[c], err)) {
      return false;
    }
  }
  return true;
}

}  // namespace

bool CJYXPowerMonitor::writeCsv(
    bool averaged, const std::function<bool(int quantity, const std::string& text)>& sink,
    std::string* err) const {
  std::vector<const CJYXPowerRail*> columns;
  for (int i = 0; i < kMeasuredRails; ++i) {
    const CJYXPowerRail* rail = rails_[i];
    if (rail->selected() && rail->sampleCount() > 0) columns.push_back(rail);
  }
  const CJYXPowerRail* total = rails_[kTotalRail];
  bool totalColumn = averaged && total->selected() && total->sampleCount() > 0;

  CsvTexts texts(sink);
  startCsvTexts(columns, totalColumn ? total : nullptr, texts.out);
  const CJYXPowerRail* first = !columns.empty() ? columns.front() : totalColumn ? total : nullptr;
  if (first == nullptr) {
    for (int q = 0; q < 3; ++q) texts.out[q] += '\n';
    return texts.flush();
  }
  auto log = [averaged](const CJYXPowerRail* rail) -> const CJYXRecordLog& {
    return averaged ? rail->averaged : rail->raw;
  };
  const CJYXRecordLog& rowLog = log(first);
  uint64_t rows = rowLog.size();
  std::vector<const CJYXRecordLog*> logs;
  std::vector<CJYXRecordLog::CReader> readers;
  logs.reserve(columns.size());
  readers.reserve(columns.size());
  for (const CJYXPowerRail* rail : columns) {
    logs.push_back(&log(rail));
    readers.emplace_back(&log(rail));
  }
  CJYXRecordLog::CReader rowReader(&rowLog);

  // A row is at most: time text, ',', an i32, per cell ", " and 16 bytes,
  // the TOTAL cell (a double of up to 20 digits) and '\n'.
  texts.reserveRows(64 + columns.size() * 18 + 64);
  CTimeTextCache timeCache;
  std::vector<CJYXPowerRecord> cells(columns.size());
  std::string prefix;
  for (uint64_t k = 0; k < rows; ++k) {
    CJYXPowerRecord row;
    if (!rowReader.next(&row, err)) return false;
    if (!readRowCells(&readers, logs, &cells, err)) return false;
    prefix.clear();
    timeCache.append(&prefix, row.clock - baseClock_ + hostStartMicros_);
    prefix += ',';
    appendInt(&prefix, row.time);
    if (!texts.addRow(prefix, cells, totalColumn)) return false;
  }
  return texts.finish();
}

std::string CJYXPowerMonitor::csvText(bool averaged, int quantity) const {
  std::string text;
  std::string err;
  writeCsv(
      averaged,
      [&](int q, const std::string& piece) {
        if (q == quantity) text += piece;
        return true;
      },
      &err);
  return text;
}

uint64_t CJYXPowerMonitor::recordsThatFit(const std::vector<uint64_t>& counts, uint64_t limit) {
  using namespace powerfile;
  auto bytesFor = [&counts](uint64_t perRail) {
    uint64_t bytes = kHeaderSize;
    for (uint64_t count : counts) bytes += (count < perRail ? count : perRail) * kRecordSize;
    return bytes;
  };
  uint64_t most = 0;
  for (uint64_t count : counts) most = count > most ? count : most;
  if (bytesFor(most) <= limit) return UINT64_MAX;
  // The largest n with bytesFor(n) <= limit; bytesFor grows with n.
  uint64_t low = 0, high = most;
  while (low < high) {
    uint64_t mid = low + (high - low + 1) / 2;
    if (bytesFor(mid) <= limit) {
      low = mid;
    } else {
      high = mid - 1;
    }
  }
  return low;
}

bool CJYXPowerMonitor::saveData(const std::string& path) {
  using namespace powerfile;
  CAPIManager* api = CAPIManager::instance();
  bool allSaved = true;
  auto failed = [&](const std::string& reason) {
    api->print("saveData: %s\n", reason.c_str());
    allSaved = false;
  };
  // Every offset and count of the data file is a u32: a run that would need
  // more is cut to the first records of each rail that fit, never wrapped.
  std::vector<uint64_t> counts(kRailCount);
  for (int i = 0; i < kRailCount; ++i) counts[size_t(i)] = rails_[i]->raw.size();
  uint64_t perRail = recordsThatFit(counts, dataFileLimit_);
  if (perRail != UINT64_MAX) {
    uint64_t most = 0;
    for (uint64_t count : counts) most = count > most ? count : most;
    api->print("saveData: %s: a data file addresses at most 4 GiB; it holds the first %" PRIu64
               " of the %" PRIu64 " samples of each rail (the CSV files hold them all)\n",
               path.c_str(), perRail, most);
  }
  saveDataFile(path, perRail, failed);
  // A CSV file that cannot be created or written is reported; the others
  // are still written.
  saveCsvFiles(path, false, failed);
  saveCsvFiles(path, true, failed);
  if (!allSaved) api->print("saveData: FAIL\n");
  return allSaved;
}

void CJYXPowerMonitor::saveDataFile(const std::string& path, uint64_t perRail,
                                    const std::function<void(const std::string&)>& failed) const {
  using namespace powerfile;
  uint8_t header[kHeaderSize] = {};
  memcpy(header + kOffsetMagic, kMagic, sizeof(kMagic));
  encodeFixed32(header + kOffsetRailCount, kRailCount);
  encodeFixed64(header + kOffsetBaseClock, baseClock_);
  encodeFixed32(header + kOffsetInterval, averageInterval_);
  uint64_t offset = kHeaderSize;
  for (int i = 0; i < kRailCount; ++i) {
    uint64_t size = rails_[i]->raw.size();
    uint64_t count = size < perRail ? size : perRail;
    encodeFixed32(header + kOffsetRails + kRailEntrySize * i + kRailEntryOffset, uint32_t(offset));
    encodeFixed32(header + kOffsetRails + kRailEntrySize * i + kRailEntryCount, uint32_t(count));
    offset += count * kRecordSize;
  }

  std::string err;
  jyx::CAtomicFile data;
  bool ok = data.open(path, &err) && data.write(header, kHeaderSize, &err);
  std::vector<uint8_t> buffer(kRecordBatch * kRecordSize);
  for (int i = 0; i < kRailCount && ok; ++i) {
    CJYXRecordLog::CReader reader(&rails_[i]->raw);
    reader.setLimit(perRail);
    size_t n = 0;
    CJYXPowerRecord record;
    while (ok && reader.next(&record, &err)) {
      encodeRecord(buffer.data() + n * kRecordSize, record);
      if (++n == kRecordBatch) {
        ok = data.write(buffer.data(), n * kRecordSize, &err);
        n = 0;
      }
    }
    ok = ok && err.empty() && data.write(buffer.data(), n * kRecordSize, &err);
  }
  ok = ok && data.commit(&err);
  if (!ok) {
    data.abort();
    failed(err);
  }
}

void CJYXPowerMonitor::saveCsvFiles(const std::string& path, bool averaged,
                                    const std::function<void(const std::string&)>& failed) const {
  const int first = averaged ? 3 : 0;
  jyx::CAtomicFile files[3];
  std::string reasons[3];
  bool usable[3];
  for (int q = 0; q < 3; ++q) {
    usable[q] = files[q].open(path + kCsvSuffixes[first + q], &reasons[q]);
  }
  std::string readErr;
  bool streamed = writeCsv(
      averaged,
      [&](int q, const std::string& text) {
        if (usable[q]) usable[q] = files[q].write(text, &reasons[q]);
        return usable[0] || usable[1] || usable[2];
      },
      &readErr);
  for (int q = 0; q < 3; ++q) {
    if (usable[q] && !streamed) {
      // The samples could not be read back: no file is better than a
      // short one.
      files[q].abort();
      usable[q] = false;
      reasons[q] = path + kCsvSuffixes[first + q] + " not written: " + readErr;
    }
    if (usable[q]) usable[q] = files[q].commit(&reasons[q]);
    if (!usable[q]) failed(reasons[q]);
  }
}

bool CJYXPowerMonitor::checkDataHeader(const std::string& path, const uint8_t* header, size_t got,
                                       uint64_t size) {
  using namespace powerfile;
  CAPIManager* api = CAPIManager::instance();
  if (got < kFixedHeaderSize || memcmp(header, kMagic, sizeof(kMagic)) != 0 ||
      decodeFixed32(header + kOffsetRailCount) != kRailCount) {
    api->print("loadData: %s is not a power data file\n", path.c_str());
    return false;
  }
  if (got < kHeaderSize) {
    api->print("loadData: %s is truncated\n", path.c_str());
    return false;
  }
  for (int i = 0; i < kRailCount; ++i) {
    uint64_t at = decodeFixed32(header + kOffsetRails + kRailEntrySize * i + kRailEntryOffset);
    uint64_t count = decodeFixed32(header + kOffsetRails + kRailEntrySize * i + kRailEntryCount);
    if (at + count * kRecordSize > size) {
      api->print("loadData: %s is truncated (rail %d)\n", path.c_str(), i);
      return false;
    }
  }
  return true;
}

namespace {

// Reads exactly `len` bytes at `at`; false on an error or a short file.
bool readFullyAt(int fd, uint64_t at, void* to, size_t len) {
  char* p = static_cast<char*>(to);
  size_t done = 0;
  while (done < len) {
    ssize_t n = pread(fd, p + done, len - done, off_t(at + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += size_t(n);
  }
  return true;
}

}  // namespace

bool CJYXPowerMonitor::loadData(const std::string& path) {
  using namespace powerfile;
  CAPIManager* api = CAPIManager::instance();
  // Non-blocking open: a FIFO put at the path can never stall the loop.
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    api->print("loadData: cannot open %s: %s\n", path.c_str(), jyx::errnoText(errno).c_str());
    return false;
  }
  struct Closer {
    int fd;
    ~Closer() { close(fd); }
  } closer{fd};
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    api->print("loadData: %s is not a regular file\n", path.c_str());
    return false;
  }
  uint64_t size = uint64_t(st.st_size);
  uint8_t header[kHeaderSize];
  size_t got = size < kHeaderSize ? size_t(size) : kHeaderSize;
  if (!readFullyAt(fd, 0, header, got)) {
    api->print("loadData: cannot read %s\n", path.c_str());
    return false;
  }
  if (!checkDataHeader(path, header, got, size)) return false;
  return loadRecords(fd, header, path);
}

bool CJYXPowerMonitor::loadRecords(int fd, const uint8_t* header, const std::string& path) {
  using namespace powerfile;
  resetRun();
  baseClock_ = decodeFixed64(header + kOffsetBaseClock);
  uint32_t interval = decodeFixed32(header + kOffsetInterval);
  std::vector<uint8_t> buffer(kRecordBatch * kRecordSize);
  for (int i = 0; i < kRailCount; ++i) {
    CJYXPowerRail* rail = rails_[i];
    rail->setBaseClock(baseClock_);
    uint64_t at = decodeFixed32(header + kOffsetRails + kRailEntrySize * i + kRailEntryOffset);
    uint64_t left = decodeFixed32(header + kOffsetRails + kRailEntrySize * i + kRailEntryCount);
    while (left > 0) {
      size_t n = left < kRecordBatch ? size_t(left) : kRecordBatch;
      if (!readFullyAt(fd, at, buffer.data(), n * kRecordSize)) {
        // The file changed under us: leave no half-loaded run behind.
        resetRun();
        CAPIManager::instance()->print("loadData: cannot read %s\n", path.c_str());
        return false;
      }
      for (size_t k = 0; k < n; ++k) {
        CJYXPowerRecord r = decodeRecord(buffer.data() + k * kRecordSize);
        rail->addValues(r.time, r.clock, r.voltage, r.current, r.power, interval);
      }
      at += n * kRecordSize;
      left -= n;
    }
  }
  return true;
}
