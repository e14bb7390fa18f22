#include "common/file_util.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstring>

#include "common/string_format.h"

namespace jyx {

namespace {

// The list behind CRemoveOnSignal. A slot is free (0), being filled (1)
// or listed (2); removeTrackedFiles reads only listed slots, and a slot's
// path is written only while the slot is being filled.
struct TrackedSlot {
  std::atomic<int> state{0};
  char path[CRemoveOnSignal::kMaxTrackedPath];
};
TrackedSlot gTracked[CRemoveOnSignal::kMaxTrackedFiles];
static_assert(std::atomic<int>::is_always_lock_free, "the signal path reads the slots");

std::string reason(const std::string& path, const char* what, int err) {
  return stringFormat("%s %s: %s", what, path.c_str(), errnoText(err).c_str());
}

template <typename Buffer>
bool readInto(const std::string& path, size_t maxBytes, Buffer* out, std::string* err) {
  uint64_t size = 0;
  if (!checkRegularFile(path, maxBytes, &size, err)) return false;
  // O_NONBLOCK: a path swapped for a FIFO after the check still never blocks.
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    *err = reason(path, "cannot open", errno);
    return false;
  }
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    *err = stringFormat("%s is not a regular file", path.c_str());
    return false;
  }
  out->clear();
  out->resize(static_cast<size_t>(st.st_size));
  size_t got = 0;
  while (got < out->size()) {
    ssize_t n = ::read(fd, &(*out)[got], out->size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *err = reason(path, "cannot read", errno);
      ::close(fd);
      return false;
    }
    if (n == 0) break;  // the file shrank meanwhile: keep what is there
    got += static_cast<size_t>(n);
  }
  out->resize(got);
  ::close(fd);
  return true;
}

std::atomic<unsigned> gTempCounter{0};

}  // namespace

bool checkRegularFile(const std::string& path, size_t maxBytes, uint64_t* size, std::string* err) {
  struct stat st;
  if (path.empty()) {
    *err = "no file name given";
    return false;
  }
  if (stat(path.c_str(), &st) != 0) {
    *err = reason(path, "cannot open", errno);
    return false;
  }
  if (S_ISDIR(st.st_mode)) {
    *err = stringFormat("%s is a directory, not a file", path.c_str());
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    *err = stringFormat("%s is not a regular file", path.c_str());
    return false;
  }
  if (static_cast<uint64_t>(st.st_size) > maxBytes) {
    *err = stringFormat("%s is too large (%llu bytes, at most %llu)", path.c_str(),
                        static_cast<unsigned long long>(st.st_size),
                        static_cast<unsigned long long>(maxBytes));
    return false;
  }
  if (size) *size = static_cast<uint64_t>(st.st_size);
  return true;
}

bool readRegularFile(const std::string& path, size_t maxBytes, std::string* out, std::string* err) {
  return readInto(path, maxBytes, out, err);
}

bool readRegularFile(const std::string& path, size_t maxBytes, std::vector<uint8_t>* out,
                     std::string* err) {
  return readInto(path, maxBytes, out, err);
}

bool writeFileAtomic(const std::string& path, const void* data, size_t len, std::string* err) {
  CAtomicFile file;
  return file.open(path, err) && file.write(data, len, err) && file.commit(err);
}

void CRemoveOnSignal::track(const std::string& path) {
  release();
  if (path.size() >= kMaxTrackedPath || path.find('\0') != std::string::npos) return;
  for (int i = 0; i < kMaxTrackedFiles; ++i) {
    int expected = 0;
    if (!gTracked[i].state.compare_exchange_strong(expected, 1)) continue;
    memcpy(gTracked[i].path, path.c_str(), path.size() + 1);
    gTracked[i].state.store(2, std::memory_order_release);
    slot_ = i;
    return;
  }
}

void CRemoveOnSignal::release() {
  if (slot_ < 0) return;
  gTracked[slot_].state.store(0, std::memory_order_release);
  slot_ = -1;
}

void removeTrackedFiles() {
  for (TrackedSlot& slot : gTracked) {
    if (slot.state.load(std::memory_order_acquire) == 2) unlink(slot.path);
  }
}

CAtomicFile::~CAtomicFile() { abort(); }

bool CAtomicFile::fail(std::string* err, const char* what) {
  int e = errno;
  failed_ = true;
  if (err) *err = reason(path_, what, e);
  return false;
}

bool CAtomicFile::open(const std::string& path, std::string* err) {
  abort();
  path_ = path;
  failed_ = false;
  struct stat st;
  if (stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
    *err = stringFormat("%s is not a regular file", path.c_str());
    return false;
  }
  tempPath_ = stringFormat("%s.tmp-%d-%u", path.c_str(), static_cast<int>(getpid()),
                           gTempCounter.fetch_add(1));
  // Listed before it exists: a signal never finds it unlisted.
  removeOnSignal_.track(tempPath_);
  int fd = ::open(tempPath_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) {
    int e = errno;
    tempPath_.clear();
    removeOnSignal_.release();
    *err = reason(path, "cannot write", e);
    return false;
  }
  file_ = fdopen(fd, "wb");
  if (!file_) {
    int e = errno;
    ::close(fd);
    unlink(tempPath_.c_str());
    tempPath_.clear();
    removeOnSignal_.release();
    *err = reason(path, "cannot write", e);
    return false;
  }
  return true;
}

bool CAtomicFile::write(const void* data, size_t len, std::string* err) {
  if (!file_ || failed_) {
    if (err && !failed_) *err = stringFormat("%s is not open for writing", path_.c_str());
    return false;
  }
  if (len && fwrite(data, 1, len, file_) != len) return fail(err, "cannot write");
  return true;
}

bool CAtomicFile::printf(std::string* err, const char* format, ...) {
  if (!file_ || failed_) return false;
  va_list args;
  va_start(args, format);
  int n = vfprintf(file_, format, args);
  va_end(args);
  if (n < 0) return fail(err, "cannot write");
  return true;
}

bool CAtomicFile::commit(std::string* err) {
  if (!file_) {
    if (err) *err = stringFormat("%s is not open for writing", path_.c_str());
    return false;
  }
  bool ok = !failed_;
  int e = 0;
  if (ok && fflush(file_) != 0) ok = false, e = errno;
  if (ok && fsync(fileno(file_)) != 0 && errno != EINVAL) ok = false, e = errno;
  if (fclose(file_) != 0 && ok) ok = false, e = errno;
  file_ = nullptr;
  if (ok && rename(tempPath_.c_str(), path_.c_str()) != 0) ok = false, e = errno;
  if (!ok) {
    if (e && err) *err = reason(path_, "cannot write", e);
    unlink(tempPath_.c_str());
    tempPath_.clear();
    removeOnSignal_.release();
    return false;
  }
  tempPath_.clear();
  removeOnSignal_.release();
  return true;
}

void CAtomicFile::abort() {
  if (file_) {
    fclose(file_);
    file_ = nullptr;
  }
  if (!tempPath_.empty()) {
    unlink(tempPath_.c_str());
    tempPath_.clear();
  }
  removeOnSignal_.release();
}

}  // namespace jyx
