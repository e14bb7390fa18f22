// Data file and CSV export of CJYXPowerMonitor, and reading a data file back.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "common/api_manager.h"
#include "jyx/power_format.h"
#include "jyx/power_monitor.h"

namespace {

void putLe32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}
void putLe64(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = uint8_t(v >> (8 * i));
}
uint32_t getLe32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
uint64_t getLe64(const uint8_t* p) { return uint64_t(getLe32(p)) | uint64_t(getLe32(p + 4)) << 32; }

}  // namespace

// Byte for byte as glibc's printf, without its cost: only hundredths whose decimal remainder is exactly 5 sit near a
// rounding boundary; for those the sign of the double's error, found
// exactly with fma, decides, and an exact tie rounds to even.
void appendThousandths(std::string* out, int32_t value, bool spaceSign) {
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
  char* p = end;
  int64_t whole = hundredths / 100;
  int fraction = int(hundredths % 100);
  *--p = char('0' + fraction % 10);
  *--p = char('0' + fraction / 10);
  *--p = '.';
  do {
    *--p = char('0' + whole % 10);
    whole /= 10;
  } while (whole != 0);
  if (value < 0) {
    *--p = '-';
  } else if (spaceSign) {
    *--p = ' ';
  }
  out->append(p, size_t(end - p));
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

bool writeWhole(const std::string& path, const std::string& text) {
  FILE* file = fopen(path.c_str(), "wb");
  if (file == nullptr) {
    CAPIManager::instance()->print("saveData: cannot create %s\n", path.c_str());
    return false;
  }
  bool ok = fwrite(text.data(), 1, text.size(), file) == text.size();
  ok = fclose(file) == 0 && ok;
  if (!ok) CAPIManager::instance()->print("saveData: writing %s failed\n", path.c_str());
  return ok;
}

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

std::string CJYXPowerMonitor::csvText(bool averaged, int quantity) const {
  std::vector<const CJYXPowerRail*> columns;
  for (int i = 0; i < kMeasuredRails; ++i) {
    const CJYXPowerRail* rail = rails_[i];
    if (rail->selected() && rail->sampleCount() > 0) columns.push_back(rail);
  }
  const CJYXPowerRail* total = rails_[kTotalRail];
  bool totalColumn = averaged && quantity == 2 && total->selected() && total->sampleCount() > 0;

  auto series = [&](const CJYXPowerRail* rail) -> const CSampleArray<int>& {
    if (averaged) {
      return quantity == 0 ? rail->avgVoltage.samples()
                           : quantity == 1 ? rail->avgCurrent.samples() : rail->avgPower.samples();
    }
    return quantity == 0 ? rail->rawVoltage.samples()
                         : quantity == 1 ? rail->rawCurrent.samples() : rail->rawPower.samples();
  };

  std::string out = "\"time\",\"timer(ms)\"";
  for (const CJYXPowerRail* rail : columns) {
    out += ",\"";
    out += rail->name();
    out += '"';
  }
  if (totalColumn) {
    out += ",\"";
    out += total->name();
    out += '"';
  }
  out += '\n';

  const CJYXPowerRail* first = !columns.empty() ? columns.front() : totalColumn ? total : nullptr;
  if (first == nullptr) {
    out += '\n';
    return out;
  }
  const CSampleArray<uint64_t>& clocks = averaged ? first->avgClocks : first->rawClocks;
  const CSampleArray<int32_t>& times = averaged ? first->avgTimes : first->rawTimes;
  size_t rows = clocks.size() < times.size() ? clocks.size() : times.size();
  std::vector<const CSampleArray<int>*> values;
  for (const CJYXPowerRail* rail : columns) values.push_back(&series(rail));

  // About 8 bytes per cell plus the time texts.
  out.reserve(out.size() + rows * (32 + 8 * (values.size() + 1)));
  bool current = quantity == 1;
  CTimeTextCache timeCache;
  for (size_t k = 0; k < rows; ++k) {
    timeCache.append(&out, clocks[k] - baseClock_ + hostStartMicros_);
    out += ',';
    appendInt(&out, times[k]);
    int64_t sum = 0;
    for (const CSampleArray<int>* column : values) {
      int32_t v = k < column->size() ? (*column)[k] : 0;
      sum += v;
      out += current ? ", " : ",";
      appendThousandths(&out, v, current);
    }
    if (totalColumn) {
      out += ',';
      char text[48];
      int n = snprintf(text, sizeof(text), "%.2f", double(sum) / 1000.0);
      out.append(text, size_t(n));
    }
    out += '\n';
  }
  return out;
}

bool CJYXPowerMonitor::saveData(const std::string& path) {
  using namespace powerfile;
  bool saved = false;
  FILE* file = fopen(path.c_str(), "wb");
  if (file == nullptr) {
    CAPIManager::instance()->print("saveData: cannot create %s\n", path.c_str());
  } else {
    uint8_t header[kHeaderSize] = {};
    memcpy(header + kOffsetMagic, kMagic, sizeof(kMagic));
    putLe32(header + kOffsetRailCount, kRailCount);
    putLe64(header + kOffsetBaseClock, baseClock_);
    putLe32(header + kOffsetInterval, averageInterval_);
    bool ok = fwrite(header, 1, kHeaderSize, file) == kHeaderSize;

    // Records go out through one reused buffer of 4096 records (96 KiB).
    constexpr size_t kBatch = 4096;
    std::vector<uint8_t> buffer(kBatch * kRecordSize);
    uint64_t offset = kHeaderSize;
    for (int i = 0; i < kRailCount && ok; ++i) {
      const CJYXPowerRail* rail = rails_[i];
      size_t count = rail->rawVoltage.count();
      putLe32(header + kOffsetRails + kRailEntrySize * i, uint32_t(offset));
      putLe32(header + kOffsetRails + kRailEntrySize * i + 4, uint32_t(count));
      const auto& v = rail->rawVoltage.samples();
      const auto& c = rail->rawCurrent.samples();
      const auto& p = rail->rawPower.samples();
      for (size_t k = 0; k < count && ok;) {
        size_t n = 0;
        for (; n < kBatch && k < count; ++n, ++k) {
          uint8_t* r = buffer.data() + n * kRecordSize;
          putLe64(r, k < rail->rawClocks.size() ? rail->rawClocks[k] : 0);
          putLe32(r + 8, uint32_t(k < rail->rawTimes.size() ? rail->rawTimes[k] : 0));
          putLe32(r + 12, uint32_t(v[k]));
          putLe32(r + 16, uint32_t(c[k]));
          putLe32(r + 20, uint32_t(p[k]));
        }
        ok = fwrite(buffer.data(), kRecordSize, n, file) == n;
      }
      offset += uint64_t(count) * kRecordSize;
    }
    ok = ok && fseek(file, 0, SEEK_SET) == 0 && fwrite(header, 1, kHeaderSize, file) == kHeaderSize;
    ok = fclose(file) == 0 && ok;
    if (!ok) CAPIManager::instance()->print("saveData: writing %s failed\n", path.c_str());
    saved = ok;
  }

  static const char* const kSuffixes[6] = {".raw_voltage.csv", ".raw_current.csv",
                                           ".raw_power.csv",   ".voltage.csv",
                                           ".current.csv",     ".power.csv"};
  for (int f = 0; f < 6; ++f) {
    writeWhole(path + kSuffixes[f], csvText(f >= 3, f % 3));
  }
  return saved;
}

bool CJYXPowerMonitor::loadData(const std::string& path) {
  using namespace powerfile;
  CAPIManager* api = CAPIManager::instance();
  FILE* file = fopen(path.c_str(), "rb");
  if (file == nullptr) {
    api->print("loadData: cannot open %s\n", path.c_str());
    return false;
  }
  std::string bytes;
  char chunk[65536];
  size_t n;
  while ((n = fread(chunk, 1, sizeof(chunk), file)) > 0) bytes.append(chunk, n);
  fclose(file);

  const uint8_t* data = reinterpret_cast<const uint8_t*>(bytes.data());
  if (bytes.size() < kFixedHeaderSize || memcmp(data, kMagic, sizeof(kMagic)) != 0 ||
      getLe32(data + kOffsetRailCount) != kRailCount) {
    api->print("loadData: %s is not a power data file\n", path.c_str());
    return false;
  }
  if (bytes.size() < kHeaderSize) {
    api->print("loadData: %s is truncated\n", path.c_str());
    return false;
  }
  for (int i = 0; i < kRailCount; ++i) {
    uint64_t offset = getLe32(data + kOffsetRails + kRailEntrySize * i);
    uint64_t count = getLe32(data + kOffsetRails + kRailEntrySize * i + 4);
    if (offset + count * kRecordSize > bytes.size()) {
      api->print("loadData: %s is truncated (rail %d)\n", path.c_str(), i);
      return false;
    }
  }

  resetRun();
  baseClock_ = getLe64(data + kOffsetBaseClock);
  uint32_t interval = getLe32(data + kOffsetInterval);
  for (int i = 0; i < kRailCount; ++i) {
    CJYXPowerRail* rail = rails_[i];
    rail->setBaseClock(baseClock_);
    const uint8_t* record = data + getLe32(data + kOffsetRails + kRailEntrySize * i);
    uint32_t count = getLe32(data + kOffsetRails + kRailEntrySize * i + 4);
    for (uint32_t k = 0; k < count; ++k, record += kRecordSize) {
      rail->addValues(int32_t(getLe32(record + 8)), getLe64(record), int32_t(getLe32(record + 12)),
                      int32_t(getLe32(record + 16)), int32_t(getLe32(record + 20)), interval);
    }
  }
  return true;
}
