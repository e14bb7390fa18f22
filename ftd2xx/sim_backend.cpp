// D2XX backend for the simulated bridge of jyx-sim (see bridge_protocol.h).
// Each handle is one Unix-socket connection; its calls are serialised by
// the handle's mutex. Line bytes the bridge sends arrive at any time and
// are kept in the handle's receive queue until FT_Read takes them.
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <mutex>

#include "ftd2xx/backend.h"
#include "ftd2xx/bridge_protocol.h"

namespace ftd2xx {
namespace {

int64_t monoMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

int connectTo(const std::string& path) {
  sockaddr_un sa{};
  if (path.size() >= sizeof(sa.sun_path)) return -1;
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sa.sun_family = AF_UNIX;
  memcpy(sa.sun_path, path.data(), path.size());
  if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// One connection to the bridge and the bytes received on it.
//
// eventFd() is an epoll descriptor over the socket and an eventfd that is
// kept readable exactly while the receive queue holds bytes: bytes may reach
// the queue from any call that reads the socket (a write waiting for its
// confirmation, say), and a reader blocked on the socket alone would then
// sleep on bytes already taken off it.
class Link {
 public:
  explicit Link(int fd) : fd_(fd) {
    queued_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    epoll_ = epoll_create1(EPOLL_CLOEXEC);
    epoll_event socketEvent{};
    socketEvent.events = EPOLLIN;
    epoll_event queuedEvent{};
    queuedEvent.events = EPOLLIN;
    if (queued_ < 0 || epoll_ < 0 || epoll_ctl(epoll_, EPOLL_CTL_ADD, fd_, &socketEvent) != 0 ||
        epoll_ctl(epoll_, EPOLL_CTL_ADD, queued_, &queuedEvent) != 0) {
      closeEvents();  // readers then fall back to short waits
    }
  }
  ~Link() {
    closeEvents();
    if (fd_ >= 0) close(fd_);
  }
  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;

  // Sends the whole message within kDefaultWaitMs; false when the bridge is
  // gone or does not take it.
  bool send(const std::string& bytes) {
    size_t done = 0;
    int64_t deadline = monoMs() + kDefaultWaitMs;
    while (done < bytes.size()) {
      ssize_t n =
          ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n > 0) {
        done += static_cast<size_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        // The bridge may be waiting for us to read before it reads again.
        if (!pump(0)) return false;
        int64_t left = deadline - monoMs();
        if (left <= 0) return false;
        pollfd p = {fd_, POLLOUT, 0};
        poll(&p, 1, static_cast<int>(left < 10 ? left : 10));
        continue;
      }
      return false;
    }
    return true;
  }

  // Reads what arrives within waitMs (0: only what is there) and sorts the
  // messages into the data queue and the reply slots. False when the
  // bridge closed the link or sent something unreadable.
  bool pump(int waitMs) {
    if (broken_) return false;
    pollfd p = {fd_, POLLIN, 0};
    int r = poll(&p, 1, waitMs);
    if (r < 0) return errno == EINTR;
    if (r == 0) return true;
    char buf[65536];
    for (;;) {
      ssize_t n = recv(fd_, buf, sizeof(buf), MSG_DONTWAIT);
      if (n > 0) {
        in_.append(buf, static_cast<size_t>(n));
        if (static_cast<size_t>(n) < sizeof(buf)) break;
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
      broken_ = true;  // closed by the bridge, or an error
      break;
    }
    uint8_t type;
    std::string payload;
    int got;
    while ((got = ftbridge::takeMessage(&in_, &type, &payload)) == 1) {
      if (type == ftbridge::kData) {
        rx_.insert(rx_.end(), payload.begin(), payload.end());
      } else if (type == ftbridge::kReply || type == ftbridge::kWritten) {
        replies_.emplace_back(type, payload);
      }
    }
    if (got < 0) broken_ = true;
    syncQueued();
    return !broken_ || !replies_.empty() || !rx_.empty();
  }

  // Waits for the next reply of `type`; false on time-out or a broken link.
  bool waitReply(uint8_t type, int timeoutMs, std::string* payload) {
    int64_t deadline = monoMs() + timeoutMs;
    for (;;) {
      for (auto it = replies_.begin(); it != replies_.end(); ++it) {
        if (it->first == type) {
          *payload = it->second;
          replies_.erase(it);
          return true;
        }
      }
      int64_t left = deadline - monoMs();
      if (left <= 0 || broken_) return false;
      if (!pump(static_cast<int>(left))) return false;
    }
  }

  std::deque<uint8_t>& rx() { return rx_; }
  bool broken() const { return broken_; }
  int eventFd() const { return epoll_; }

  // Makes the queue's eventfd readable exactly while rx_ holds bytes; called
  // after every change of rx_.
  void syncQueued() {
    if (queued_ < 0) return;
    bool has = !rx_.empty();
    if (has == signalled_) return;
    uint64_t value = 1;
    ssize_t n = has ? write(queued_, &value, sizeof(value)) : read(queued_, &value, sizeof(value));
    if (n == static_cast<ssize_t>(sizeof(value))) signalled_ = has;
  }

 private:
  void closeEvents() {
    if (epoll_ >= 0) close(epoll_);
    if (queued_ >= 0) close(queued_);
    epoll_ = queued_ = -1;
  }

  int fd_;
  int queued_ = -1;  // eventfd: readable while rx_ is not empty
  int epoll_ = -1;   // the socket and queued_
  bool signalled_ = false;
  bool broken_ = false;
  std::string in_;
  std::deque<uint8_t> rx_;
  std::deque<std::pair<uint8_t, std::string>> replies_;
};

// Status of a kReply payload; FT_IO_ERROR when it is too short.
FT_STATUS replyStatus(const std::string& payload, uint32_t* value = nullptr) {
  if (payload.size() < 8) return FT_IO_ERROR;
  const auto* p = reinterpret_cast<const uint8_t*>(payload.data());
  if (value != nullptr) *value = jyx::decodeFixed32(p + 4);
  return jyx::decodeFixed32(p);
}

class SimDevice : public Device {
 public:
  explicit SimDevice(int fd) : link_(fd) {}
  ~SimDevice() override {
    // Tells the bridge to release the interface at once; the socket close
    // that follows would do it too.
    link_.send(ftbridge::message(ftbridge::kClose, nullptr, 0));
  }

  FT_STATUS openIndex(int index) {
    std::lock_guard<std::mutex> guard(mutex_);
    uint8_t payload[4];
    jyx::encodeFixed32(payload, static_cast<uint32_t>(index));
    std::string reply;
    if (!link_.send(ftbridge::message(ftbridge::kOpen, payload, sizeof(payload))) ||
        !link_.waitReply(ftbridge::kReply, kDefaultWaitMs, &reply)) {
      return FT_DEVICE_NOT_OPENED;
    }
    return replyStatus(reply);
  }

  FT_STATUS setBaudRate(DWORD baud) override {
    std::lock_guard<std::mutex> guard(mutex_);
    FT_STATUS status = set(ftbridge::kSetBaudRate, baud, 0);
    if (status == FT_OK) baud_ = baud;
    return status;
  }
  FT_STATUS setDataCharacteristics(UCHAR bits, UCHAR stop, UCHAR parity) override {
    std::lock_guard<std::mutex> guard(mutex_);
    return set(ftbridge::kSetDataChars, bits, static_cast<uint32_t>(stop | parity << 8));
  }
  FT_STATUS setFlowControl(USHORT flow, UCHAR xon, UCHAR xoff) override {
    std::lock_guard<std::mutex> guard(mutex_);
    return set(ftbridge::kSetFlowControl, flow, 0);
  }
  FT_STATUS setTimeouts(DWORD readMs, DWORD writeMs) override {
    std::lock_guard<std::mutex> guard(mutex_);
    FT_STATUS status = set(ftbridge::kSetTimeouts, readMs, writeMs);
    if (status == FT_OK) {
      readTimeoutMs_ = readMs;
      writeTimeoutMs_ = writeMs;
    }
    return status;
  }
  FT_STATUS setChars(UCHAR event, UCHAR eventOn, UCHAR error, UCHAR errorOn) override {
    std::lock_guard<std::mutex> guard(mutex_);
    return set(ftbridge::kSetChars, static_cast<uint32_t>(event | eventOn << 8),
               static_cast<uint32_t>(error | errorOn << 8));
  }
  FT_STATUS setUsbParameters(DWORD in, DWORD out) override {
    std::lock_guard<std::mutex> guard(mutex_);
    return set(ftbridge::kSetUsbParameters, in, out);
  }
  FT_STATUS setLatencyTimer(UCHAR ms) override {
    std::lock_guard<std::mutex> guard(mutex_);
    return set(ftbridge::kSetLatencyTimer, ms, 0);
  }
  FT_STATUS setDtr(bool level) override {
    std::lock_guard<std::mutex> guard(mutex_);
    return set(ftbridge::kSetDtr, level ? 1 : 0, 0);
  }
  FT_STATUS setRts(bool level) override {
    std::lock_guard<std::mutex> guard(mutex_);
    return set(ftbridge::kSetRts, level ? 1 : 0, 0);
  }
  FT_STATUS setBitMode(UCHAR mask, UCHAR mode) override {
    std::lock_guard<std::mutex> guard(mutex_);
    return set(ftbridge::kSetBitMode, mask, mode);
  }

  FT_STATUS queueStatus(DWORD* bytes) override {
    std::lock_guard<std::mutex> guard(mutex_);
    if (!link_.pump(0) && link_.rx().empty()) return FT_IO_ERROR;
    *bytes = static_cast<DWORD>(link_.rx().size());
    return FT_OK;
  }

  FT_STATUS read(void* buffer, DWORD n, DWORD* got) override {
    std::lock_guard<std::mutex> guard(mutex_);
    int64_t deadline = monoMs() + (readTimeoutMs_ > 0 ? readTimeoutMs_ : kDefaultWaitMs);
    auto& rx = link_.rx();
    while (rx.size() < n) {
      int64_t left = deadline - monoMs();
      if (left <= 0) break;
      if (!link_.pump(static_cast<int>(left))) {
        if (rx.empty()) return FT_IO_ERROR;
        break;
      }
    }
    DWORD take = rx.size() < n ? static_cast<DWORD>(rx.size()) : n;
    auto* out = static_cast<uint8_t*>(buffer);
    for (DWORD i = 0; i < take; ++i) out[i] = rx[i];
    rx.erase(rx.begin(), rx.begin() + take);
    link_.syncQueued();
    *got = take;
    return FT_OK;
  }
  int eventFd() override { return link_.eventFd(); }

  FT_STATUS write(const void* buffer, DWORD n, DWORD* written) override {
    std::lock_guard<std::mutex> guard(mutex_);
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    // The bridge confirms a chunk once it fits its transmit buffer, which
    // can take as long as sending two buffers' worth at the line rate; the
    // write time-out counts from then.
    int64_t drainMs = baud_ > 0 ? 2 * ftbridge::kMaxWrite * 10 * 1000 / baud_ + 1 : 0;
    int64_t waitMs = (writeTimeoutMs_ > 0 ? writeTimeoutMs_ : kDefaultWaitMs) + drainMs;
    while (*written < n) {
      DWORD chunk = n - *written < ftbridge::kMaxWrite ? n - *written : ftbridge::kMaxWrite;
      if (!link_.send(ftbridge::message(ftbridge::kWrite, bytes + *written, chunk))) {
        return FT_IO_ERROR;
      }
      std::string reply;
      if (!link_.waitReply(ftbridge::kWritten, static_cast<int>(waitMs), &reply) ||
          reply.size() < 4) {
        return FT_IO_ERROR;
      }
      uint32_t took = jyx::decodeFixed32(reinterpret_cast<const uint8_t*>(reply.data()));
      if (took > chunk) return FT_IO_ERROR;
      *written += took;
      if (took < chunk) break;
    }
    return FT_OK;
  }

 private:
  FT_STATUS set(uint8_t op, uint32_t a, uint32_t b) {
    if (!link_.send(ftbridge::setMessage(op, a, b))) return FT_IO_ERROR;
    std::string reply;
    if (!link_.waitReply(ftbridge::kReply, kDefaultWaitMs, &reply)) return FT_IO_ERROR;
    return replyStatus(reply);
  }

  std::mutex mutex_;
  Link link_;
  DWORD baud_ = 9600;
  DWORD readTimeoutMs_ = 0;
  DWORD writeTimeoutMs_ = 0;
};

class SimBackend : public Backend {
 public:
  explicit SimBackend(std::string path) : path_(std::move(path)) {}

  FT_STATUS list(std::vector<std::string>* serials) override {
    int fd = connectTo(path_);
    if (fd < 0) return FT_IO_ERROR;
    Link link(fd);
    std::string reply;
    if (!link.send(ftbridge::message(ftbridge::kList, nullptr, 0)) ||
        !link.waitReply(ftbridge::kReply, kDefaultWaitMs, &reply)) {
      return FT_IO_ERROR;
    }
    uint32_t count = 0;
    FT_STATUS status = replyStatus(reply, &count);
    if (status != FT_OK) return status;
    serials->clear();
    size_t pos = 8;
    for (uint32_t i = 0; i < count; ++i) {
      size_t end = reply.find('\0', pos);
      if (end == std::string::npos) return FT_IO_ERROR;
      serials->push_back(reply.substr(pos, end - pos));
      pos = end + 1;
    }
    return FT_OK;
  }

  FT_STATUS open(int index, std::unique_ptr<Device>* device) override {
    int fd = connectTo(path_);
    if (fd < 0) return FT_DEVICE_NOT_OPENED;
    auto opened = std::make_unique<SimDevice>(fd);
    // The open goes through the same link the device then uses.
    FT_STATUS status = opened->openIndex(index);
    if (status != FT_OK) return status;
    *device = std::move(opened);
    return FT_OK;
  }

 private:
  std::string path_;
};

}  // namespace

std::unique_ptr<Backend> makeSimBackend(const std::string& path) {
  return std::make_unique<SimBackend>(path);
}

}  // namespace ftd2xx
