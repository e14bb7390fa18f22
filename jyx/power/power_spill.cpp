#include "jyx/power/power_spill.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "common/api_manager.h"
#include "common/string_format.h"

namespace {

inline void putVarint(std::vector<uint8_t>* out, uint64_t v) {
  while (v >= 0x80) {
    out->push_back(uint8_t(v | 0x80));
    v >>= 7;
  }
  out->push_back(uint8_t(v));
}

inline uint64_t zigzag(int64_t v) { return (uint64_t(v) << 1) ^ uint64_t(v >> 63); }
inline int64_t unzigzag(uint64_t v) { return int64_t(v >> 1) ^ -int64_t(v & 1); }

// False when the varint runs past `end` or beyond 10 bytes.
inline bool getVarint(const uint8_t** p, const uint8_t* end, uint64_t* v) {
  uint64_t result = 0;
  for (int shift = 0; shift < 70 && *p < end; shift += 7) {
    uint8_t byte = *(*p)++;
    result |= uint64_t(byte & 0x7F) << shift;
    if ((byte & 0x80) == 0) {
      *v = result;
      return true;
    }
  }
  return false;
}

}  // namespace

void encodePowerBlock(const CJYXPowerRecord* records, size_t n, std::vector<uint8_t>* out) {
  CJYXPowerRecord prev{};
  for (size_t i = 0; i < n; ++i) {
    const CJYXPowerRecord& r = records[i];
    putVarint(out, zigzag(int64_t(r.clock - prev.clock)));
    putVarint(out, zigzag(int64_t(r.time) - prev.time));
    putVarint(out, zigzag(int64_t(r.voltage) - prev.voltage));
    putVarint(out, zigzag(int64_t(r.current) - prev.current));
    putVarint(out, zigzag(int64_t(r.power) - prev.power));
    prev = r;
  }
}

bool decodePowerBlock(const uint8_t* data, size_t len, size_t n, CJYXPowerRecord* out) {
  const uint8_t* p = data;
  const uint8_t* end = data + len;
  CJYXPowerRecord prev{};
  uint64_t v[5];
  for (size_t i = 0; i < n; ++i) {
    for (uint64_t& field : v) {
      if (!getVarint(&p, end, &field)) return false;
    }
    CJYXPowerRecord r;
    r.clock = prev.clock + uint64_t(unzigzag(v[0]));
    r.time = int32_t(uint32_t(int64_t(prev.time) + unzigzag(v[1])));
    r.voltage = int32_t(uint32_t(int64_t(prev.voltage) + unzigzag(v[2])));
    r.current = int32_t(uint32_t(int64_t(prev.current) + unzigzag(v[3])));
    r.power = int32_t(uint32_t(int64_t(prev.power) + unzigzag(v[4])));
    out[i] = r;
    prev = r;
  }
  return p == end;
}

CJYXSpillFile::~CJYXSpillFile() {
  if (fd_ >= 0) ::close(fd_);
}

bool CJYXSpillFile::create(std::string* err) {
  std::vector<std::string> candidates;
  if (!directory_.empty()) {
    candidates.push_back(directory_);
  } else {
    const char* tmp = getenv("TMPDIR");
    if (tmp != nullptr && *tmp != '\0') candidates.push_back(tmp);
    // /var/tmp is disk-backed where /tmp is often memory (tmpfs), and a
    // spill in memory would defeat its purpose.
    candidates.push_back("/var/tmp");
    candidates.push_back("/tmp");
  }
  std::string reasons;
  for (const std::string& dir : candidates) {
    std::string name = dir + "/jyx-power-spill-XXXXXX";
    std::vector<char> path(name.begin(), name.end());
    path.push_back('\0');
    int fd = mkostemp(path.data(), O_CLOEXEC);
    if (fd < 0) {
      if (!reasons.empty()) reasons += "; ";
      reasons += jyx::stringFormat("%s: %s", dir.c_str(), jyx::errnoText(errno).c_str());
      continue;
    }
    // Unlinked at once: the bytes are freed when the descriptor closes,
    // however the program ends.
    unlink(path.data());
    fd_ = fd;
    size_ = 0;
    reported_ = false;
    return true;
  }
  if (err) *err = "cannot create a spill file (" + reasons + ")";
  return false;
}

bool CJYXSpillFile::append(const void* data, size_t len, uint64_t* at, std::string* err) {
  if (fd_ < 0 && !create(err)) return false;
  const char* p = static_cast<const char*>(data);
  size_t done = 0;
  while (done < len) {
    ssize_t n = pwrite(fd_, p + done, len - done, off_t(size_ + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (err) {
        *err = jyx::stringFormat("cannot write the spill file: %s",
                                 n < 0 ? jyx::errnoText(errno).c_str() : "no progress");
      }
      return false;
    }
    done += size_t(n);
  }
  *at = size_;
  size_ += len;
  return true;
}

bool CJYXSpillFile::read(uint64_t at, void* data, size_t len, std::string* err) const {
  if (fd_ < 0 || at > size_ || len > size_ - at) {
    if (err) *err = "spill file read out of range";
    return false;
  }
  char* p = static_cast<char*>(data);
  size_t done = 0;
  while (done < len) {
    ssize_t n = pread(fd_, p + done, len - done, off_t(at + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (err) {
        *err =
            jyx::stringFormat("cannot read the spill file: %s",
                              n < 0 ? jyx::errnoText(errno).c_str() : "it is shorter than written");
      }
      return false;
    }
    done += size_t(n);
  }
  return true;
}

void CJYXSpillFile::clear() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  size_ = 0;
  reported_ = false;
}

void CJYXSpillFile::reportOnce(const std::string& what) {
  if (reported_) return;
  reported_ = true;
  CAPIManager::instance()->print("power samples: %s\n", what.c_str());
}

CJYXRecordLog::CJYXRecordLog(std::shared_ptr<CJYXSpillFile> spill) { setSpill(std::move(spill)); }

void CJYXRecordLog::setSpill(std::shared_ptr<CJYXSpillFile> spill) {
  clear();
  spill_ = spill ? std::move(spill) : std::make_shared<CJYXSpillFile>();
}

void CJYXRecordLog::flushTail() {
  std::vector<uint8_t>* bytes = spill_->scratch();
  bytes->clear();
  encodePowerBlock(tail_.data(), tail_.size(), bytes);
  Block block{0, uint32_t(bytes->size()), nullptr};
  std::string err;
  if (!spill_->append(bytes->data(), bytes->size(), &block.offset, &err)) {
    // Keeping the block in memory loses nothing; the run only stops being
    // bounded in memory, and the user is told once.
    spill_->reportOnce(err + "; keeping them in memory");
    block.memory.reset(new uint8_t[bytes->size()]);
    memcpy(block.memory.get(), bytes->data(), bytes->size());
  }
  blocks_.push_back(std::move(block));
  tail_.clear();
}

bool CJYXRecordLog::decodeBlock(size_t index, CJYXPowerRecord* out, std::string* err) const {
  const Block& block = blocks_[index];
  const uint8_t* bytes = block.memory.get();
  if (bytes == nullptr) {
    readBuffer_.resize(block.bytes);
    if (!spill_->read(block.offset, readBuffer_.data(), block.bytes, err)) return false;
    bytes = readBuffer_.data();
  }
  if (!decodePowerBlock(bytes, block.bytes, kBlockRecords, out)) {
    if (err) *err = "the spill file does not hold what was written to it";
    return false;
  }
  return true;
}

bool CJYXRecordLog::loadBlock(size_t index, std::string* err) const {
  if (cacheIndex_ == index) return true;
  cache_.resize(kBlockRecords);
  cacheIndex_ = SIZE_MAX;
  if (!decodeBlock(index, cache_.data(), err)) return false;
  cacheIndex_ = index;
  return true;
}

bool CJYXRecordLog::read(uint64_t first, size_t n, CJYXPowerRecord* out, std::string* err) const {
  if (first > size_ || n > size_ - first) {
    if (err) *err = "record index out of range";
    return false;
  }
  while (n > 0) {
    uint64_t blockIndex = first / kBlockRecords;
    size_t within = size_t(first % kBlockRecords);
    size_t take = kBlockRecords - within;
    if (take > n) take = n;
    if (blockIndex < blocks_.size()) {
      if (!loadBlock(size_t(blockIndex), err)) return false;
      memcpy(out, cache_.data() + within, take * sizeof(CJYXPowerRecord));
    } else {
      memcpy(out, tail_.data() + within, take * sizeof(CJYXPowerRecord));
    }
    out += take;
    first += take;
    n -= take;
  }
  return true;
}

CJYXPowerRecord CJYXRecordLog::at(uint64_t k) const {
  CJYXPowerRecord record{};
  if (!read(k, 1, &record, nullptr)) record = CJYXPowerRecord{};
  return record;
}

void CJYXRecordLog::clear() {
  blocks_.clear();
  blocks_.shrink_to_fit();
  tail_.clear();
  tail_.shrink_to_fit();
  size_ = 0;
  cache_.clear();
  cache_.shrink_to_fit();
  cacheIndex_ = SIZE_MAX;
  readBuffer_.clear();
  readBuffer_.shrink_to_fit();
}

size_t CJYXRecordLog::memoryBytes() const {
  size_t bytes = (tail_.capacity() + cache_.capacity()) * sizeof(CJYXPowerRecord) +
                 readBuffer_.capacity() + blocks_.capacity() * sizeof(Block);
  for (const Block& block : blocks_) {
    if (block.memory) bytes += block.bytes;
  }
  return bytes;
}

bool CJYXRecordLog::CReader::refill(CJYXPowerRecord* record, std::string* err) {
  uint64_t end = log_->size() < limit_ ? log_->size() : limit_;
  if (next_ >= end) return false;
  // Whole blocks, aligned to the log's own blocks: one read each.
  bufferFirst_ = next_ - next_ % kBlockRecords;
  bufferEnd_ = bufferFirst_;
  size_t blockIndex = size_t(bufferFirst_ / kBlockRecords);
  size_t n;
  if (blockIndex < log_->blocks_.size()) {
    n = kBlockRecords;
    buffer_.resize(n);
    if (!log_->decodeBlock(blockIndex, buffer_.data(), err)) return false;
  } else {
    buffer_.assign(log_->tail_.begin(), log_->tail_.end());
    n = buffer_.size();
  }
  bufferEnd_ = bufferFirst_ + n < end ? bufferFirst_ + n : end;
  if (next_ >= bufferEnd_) return false;
  return next(record, err);
}
