// The one test-support library of the unit and end-to-end tests: temporary
// directories, child processes with captured output, file and text helpers,
// a scripted channel and a recording channel delegate, loopback sockets and
// power-report builders. sim_util.h adds the simulator launcher and clients.
#ifndef JYX_TESTS_TEST_UTIL_H_
#define JYX_TESTS_TEST_UTIL_H_

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <rapidjson/document.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "common/channel.h"
#include "common/fifo.h"
#include "common/lock.h"
#include "common/thread_pool.h"
#include "jyx/jyx.h"

namespace jyxtest {

// A fresh directory under $TMPDIR (or /tmp), removed with its contents.
class ScopedTempDir {
 public:
  ScopedTempDir();
  ~ScopedTempDir();
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string readFile(const std::string& path);
bool writeFile(const std::string& path, const std::string& content);

// Path of a built executable ("jyx", "jyx-sim").
std::string binPath(const std::string& name);

// A child process whose standard output and error go to files. The child
// is killed (SIGKILL) on destruction if it still runs, so a failing test
// never leaves processes behind; it also dies with the test process
// (PR_SET_PDEATHSIG).
class Subprocess {
 public:
  Subprocess() = default;
  ~Subprocess();
  Subprocess(const Subprocess&) = delete;
  Subprocess& operator=(const Subprocess&) = delete;

  // argv[0] is the program path. Returns false when fork/exec failed. A
  // previous child of this object is killed and its files removed first.
  bool start(const std::vector<std::string>& argv, const std::string& stdinText = "");
  // Waits up to timeoutMs; true when the child exited (status in exitCode()
  // or, when killed by a signal, termSignal()).
  bool wait(int timeoutMs);
  void signal(int sig);
  bool running();
  // Polls the captured stdout until it contains `text` or timeoutMs passes.
  bool waitForOutput(const std::string& text, int timeoutMs);

  std::string out() const;
  std::string err() const;
  int exitCode() const { return exitCode_; }
  int termSignal() const { return termSignal_; }
  pid_t pid() const { return pid_; }

 private:
  void reset();

  pid_t pid_ = -1;
  int exitCode_ = -1;
  int termSignal_ = 0;
  std::string dir_;
  std::string outPath_;
  std::string errPath_;
};

// Runs a command to completion (timeoutMs) and returns its stdout.
std::string run(const std::vector<std::string>& argv, int* exitCode = nullptr,
                int timeoutMs = 60000, std::string* err = nullptr);

// `n` pseudo-random bytes, the same for the same seed.
std::string randomBytes(size_t n, uint32_t seed);
inline bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}
// Occurrences of `what` in `text` (overlapping ones too).
size_t countOf(const std::string& text, const std::string& what);
// Names in `dir` other than "." and "..".
std::vector<std::string> listDir(const std::string& dir);
// Lines in `text` in this order (other lines may come between).
::testing::AssertionResult inOrder(const std::string& text, const std::vector<std::string>& lines);
// Whether `text` contains `part`; either way the message shows the whole
// text, so EXPECT_TRUE and EXPECT_FALSE both print it when they fail.
::testing::AssertionResult has(const std::string& text, const std::string& part);

// A scripted channel for unit tests of the controller managers: records every
// write (one entry per call), reports isOpen as the test sets it and never
// reads from a device. Bytes a test wants "received" go straight into
// receiveFifo().
class FakeChannel : public CChannel {
 public:
  // 1 MiB FIFOs are plenty for unit tests.
  explicit FakeChannel(CChannelDelegate* delegate, bool open = true)
      : CChannel(delegate, 1 << 20), open_(open) {}
  ~FakeChannel() override { shutdown(); }

  bool open() override {
    ++opens;
    open_ = openSucceeds;
    return open_;
  }
  void close() override {
    if (open_) ++closes;
    open_ = false;
    CChannel::close();
  }
  bool isOpen() override { return open_; }
  void setOpen(bool open) { open_ = open; }
  int write(const void* data, int len) override {
    CSmartLock guard(&writesLock_);
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    writes.emplace_back(bytes, bytes + len);
    return len;
  }
  int read(void* buf, int len) override { return 0; }

  size_t writeCount() {
    CSmartLock guard(&writesLock_);
    return writes.size();
  }
  std::vector<uint8_t> writeAt(size_t i) {
    CSmartLock guard(&writesLock_);
    return writes.at(i);
  }

  bool openSucceeds = true;
  int opens = 0;
  int closes = 0;

 private:
  std::atomic<bool> open_;
  CLock writesLock_;
  std::vector<std::vector<uint8_t>> writes;
};

// Records the reports of a channel, polling waits, FIFO draining and raw
// loopback sockets for the channel tests.
struct ChannelReport {
  CHANNEL_MSG_TYPE type;
  int code;
  std::string text;
  bool operator==(const ChannelReport& o) const {
    return type == o.type && code == o.code && text == o.text;
  }
};

inline std::ostream& operator<<(std::ostream& os, const ChannelReport& r) {
  return os << "{" << r.type << ", " << r.code << ", \"" << r.text << "\"}";
}

// Records onConnected and onMessage from any thread.
class RecordingDelegate : public CChannelDelegate {
 public:
  void onConnected() override { ++connected_; }
  int onMessage(CHANNEL_MSG_TYPE type, int code, const char* message) override {
    std::lock_guard<std::mutex> guard(mutex_);
    reports_.push_back({type, code, message ? message : ""});
    return 0;
  }
  int connected() const { return connected_.load(); }
  std::vector<ChannelReport> reports() {
    std::lock_guard<std::mutex> guard(mutex_);
    return reports_;
  }
  // The first report with this code, or false.
  bool find(int code, ChannelReport* out = nullptr) {
    std::lock_guard<std::mutex> guard(mutex_);
    for (const ChannelReport& r : reports_) {
      if (r.code != code) continue;
      if (out) *out = r;
      return true;
    }
    return false;
  }

 private:
  std::atomic<int> connected_{0};
  std::mutex mutex_;
  std::vector<ChannelReport> reports_;
};

// Polls `condition` every 5 ms until it holds or timeoutMs passes.
inline bool waitUntil(const std::function<bool()>& condition, int timeoutMs = 5000) {
  for (int waited = 0; waited < timeoutMs; waited += 5) {
    if (condition()) return true;
    sleepMs(5);
  }
  return condition();
}

inline std::string popAll(CFifo* fifo) {
  std::string out(static_cast<size_t>(fifo->size()), '\0');
  if (out.empty() || !fifo->pop(&out[0], static_cast<int>(out.size()))) return "";
  return out;
}

// Pops from `fifo` into *collected until it holds `size` bytes.
inline bool collect(CFifo* fifo, std::string* collected, size_t size, int timeoutMs = 5000) {
  return waitUntil(
      [&] {
        *collected += popAll(fifo);
        return collected->size() >= size;
      },
      timeoutMs);
}

inline sockaddr_in loopbackAddr(const char* ip, int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, ip, &a.sin_addr);
  return a;
}

// A connected TCP socket, or -1.
inline int rawConnect(const char* ip, int port) {
  int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a = loopbackAddr(ip, port);
  if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
    close(s);
    return -1;
  }
  return s;
}

// A listening TCP socket on a loopback address, or -1.
inline int rawListen(const char* ip, int port) {
  int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  sockaddr_in a = loopbackAddr(ip, port);
  if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 || listen(s, 4) != 0) {
    close(s);
    return -1;
  }
  return s;
}

// Payload of one power report: timestamp (µs), then `frames` frames each
// holding the (bus, shunt) pairs in `pairs` (one pair per enabled rail).
inline std::vector<uint8_t> powerReport(uint64_t clock, int frames,
                                        const std::vector<std::pair<int16_t, int16_t>>& pairs) {
  std::vector<uint8_t> out(24, 0);
  for (int i = 0; i < 8; ++i) out[i] = uint8_t(clock >> (8 * i));
  out[8] = uint8_t(frames);
  out[9] = uint8_t(frames >> 8);
  for (int f = 0; f < frames; ++f) {
    for (auto pair : pairs) {
      out.push_back(uint8_t(uint16_t(pair.first)));
      out.push_back(uint8_t(uint16_t(pair.first) >> 8));
      out.push_back(uint8_t(uint16_t(pair.second)));
      out.push_back(uint8_t(uint16_t(pair.second) >> 8));
    }
  }
  return out;
}

// One record of a saved power data file, as stored.
struct DataRecord {
  uint64_t clock;
  int32_t time, voltage, current, power;
};
// The sampled rails of a whole data file, by index: the header, 97 rails
// whose records follow each other from the end of the header to the end of
// the file, and every sampled rail (TOTAL included) holding the same number
// of records. Empty, with the reason in *why, for anything else.
std::map<int, std::vector<DataRecord>> readDataFile(const std::string& path,
                                                    std::string* why = nullptr);

// YAML (or JSON) text to the JSON document the program works on.
inline rapidjson::Document yamlDoc(const std::string& text) {
  rapidjson::Document doc;
  CJYX::yamlToJson(text.data(), text.size(), &doc);
  return doc;
}

}  // namespace jyxtest

#endif  // JYX_TESTS_TEST_UTIL_H_
