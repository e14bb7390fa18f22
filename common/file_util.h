// Whole-file reading and writing with every failure reported as text.
//
// Files the user keeps (flash dumps, power data, CSV files, records) are
// written to a temporary name beside the target, each write, the flush, the
// fsync and the close checked, and only then renamed over the target: an
// interrupted or failed save never leaves a half file under the user's name.
// Shape: bool f(..., std::string* err); on false *err holds one line of text
// without a trailing newline, naming the path and the reason.
#ifndef JYX_COMMON_FILE_UTIL_H_
#define JYX_COMMON_FILE_UTIL_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace jyx {

// Refuses anything that is not a regular file (a directory, FIFO, device such
// as /dev/zero) or that is larger than maxBytes, so that a wrong path can
// neither block nor exhaust memory. Reads the whole file into *out.
bool readRegularFile(const std::string& path, size_t maxBytes, std::string* out, std::string* err);
bool readRegularFile(const std::string& path, size_t maxBytes, std::vector<uint8_t>* out,
                     std::string* err);

// True when path names an existing regular file; otherwise *err says why not.
bool checkRegularFile(const std::string& path, size_t maxBytes, uint64_t* size, std::string* err);

// Writes data to path through a temporary file and a rename.
bool writeFileAtomic(const std::string& path, const void* data, size_t len, std::string* err);
inline bool writeFileAtomic(const std::string& path, const std::string& data, std::string* err) {
  return writeFileAtomic(path, data.data(), data.size(), err);
}

// Files that must not outlive a run that a signal ends: the temporary file
// of every open CAtomicFile and the scratch files of the GPT tool. A path is
// on the list from track() until release() or destruction; the code that
// ends the process on a signal calls removeTrackedFiles() just before
// _exit. At most kMaxTrackedFiles paths of fewer than kMaxTrackedPath bytes
// are kept; one that does not fit is left off, and its file then survives
// a signal as it would without the list.
class CRemoveOnSignal {
 public:
  static constexpr int kMaxTrackedFiles = 32;
  static constexpr size_t kMaxTrackedPath = 4096;

  CRemoveOnSignal() = default;
  explicit CRemoveOnSignal(const std::string& path) { track(path); }
  ~CRemoveOnSignal() { release(); }
  CRemoveOnSignal(const CRemoveOnSignal&) = delete;
  CRemoveOnSignal& operator=(const CRemoveOnSignal&) = delete;

  // Puts `path` on the list in place of what this object held.
  void track(const std::string& path);
  // Takes the path off the list; the file itself stays.
  void release();
  bool tracked() const { return slot_ >= 0; }

 private:
  int slot_ = -1;
};

// Unlinks every listed path. Async-signal-safe: it reads the list with
// atomic loads and calls only unlink(2), so a signal handler may call it.
void removeTrackedFiles();

// A file written in pieces that appears under its name only on commit().
// Not thread-safe; one owner. Destroying it uncommitted removes the
// temporary file and leaves any old file at path untouched.
class CAtomicFile {
 public:
  CAtomicFile() = default;
  ~CAtomicFile();
  CAtomicFile(const CAtomicFile&) = delete;
  CAtomicFile& operator=(const CAtomicFile&) = delete;

  // Creates the temporary file "<path>.tmp-<pid>-<n>" in path's directory.
  bool open(const std::string& path, std::string* err);
  bool write(const void* data, size_t len, std::string* err);
  bool write(const std::string& text, std::string* err) {
    return write(text.data(), text.size(), err);
  }
  // printf-style write; false on any short write.
  bool printf(std::string* err, const char* format, ...) __attribute__((format(printf, 3, 4)));
  // Flushes, syncs, closes and renames over path. After a failure the
  // temporary file is removed and the old file at path is untouched.
  bool commit(std::string* err);
  // Removes the temporary file without touching path. Safe to repeat.
  void abort();
  bool isOpen() const { return file_ != nullptr; }
  const std::string& path() const { return path_; }
  FILE* stream() { return file_; }  // for callers that format through stdio

 private:
  bool fail(std::string* err, const char* what);

  FILE* file_ = nullptr;
  std::string path_;
  std::string tempPath_;
  CRemoveOnSignal removeOnSignal_;  // tempPath_ while it may exist
  bool failed_ = false;
};

}  // namespace jyx

#endif  // JYX_COMMON_FILE_UTIL_H_
