// Helpers for the channel tests: a delegate that records what the channel
// reported, polling waits, FIFO draining and raw loopback sockets.
#ifndef JYX_TESTS_CHANNEL_TEST_UTIL_H_
#define JYX_TESTS_CHANNEL_TEST_UTIL_H_

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "common/channel.h"
#include "common/fifo.h"
#include "common/thread_pool.h"

namespace jyxtest {

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

}  // namespace jyxtest

#endif  // JYX_TESTS_CHANNEL_TEST_UTIL_H_
