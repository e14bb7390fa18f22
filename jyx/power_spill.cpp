#include "jyx/power_spill.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "common/api_manager.h"
#include "common/string_format.h"

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
        *err = jyx::stringFormat("cannot read the spill file: %s",
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
  Block block{0, nullptr};
  std::string err;
  if (!spill_->append(tail_.data(), tail_.size() * sizeof(CJYXPowerRecord), &block.offset, &err)) {
    // Keeping the block in memory loses nothing; the run only stops being
    // bounded in memory, and the user is told once.
    spill_->reportOnce(err + "; keeping them in memory");
    block.memory.reset(new CJYXPowerRecord[kBlockRecords]);
    memcpy(block.memory.get(), tail_.data(), tail_.size() * sizeof(CJYXPowerRecord));
  }
  blocks_.push_back(std::move(block));
  tail_.clear();
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
      const Block& block = blocks_[blockIndex];
      if (block.memory) {
        memcpy(out, block.memory.get() + within, take * sizeof(CJYXPowerRecord));
      } else if (!spill_->read(block.offset + within * sizeof(CJYXPowerRecord), out,
                               take * sizeof(CJYXPowerRecord), err)) {
        return false;
      }
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
}

size_t CJYXRecordLog::memoryBytes() const {
  size_t bytes = tail_.capacity() * sizeof(CJYXPowerRecord) + blocks_.capacity() * sizeof(Block);
  for (const Block& block : blocks_) {
    if (block.memory) bytes += kBlockRecords * sizeof(CJYXPowerRecord);
  }
  return bytes;
}

bool CJYXRecordLog::CReader::next(CJYXPowerRecord* record, std::string* err) {
  uint64_t end = log_->size() < limit_ ? log_->size() : limit_;
  if (next_ >= end) return false;
  if (next_ < bufferFirst_ || next_ >= bufferFirst_ + buffer_.size()) {
    // Whole blocks, aligned to the log's own blocks: one read each.
    bufferFirst_ = next_ - next_ % kBlockRecords;
    uint64_t n = end - bufferFirst_;
    if (n > kBlockRecords) n = kBlockRecords;
    buffer_.resize(size_t(n));
    if (!log_->read(bufferFirst_, size_t(n), buffer_.data(), err)) {
      buffer_.clear();
      return false;
    }
  }
  *record = buffer_[size_t(next_ - bufferFirst_)];
  ++next_;
  return true;
}
