#include "jyx/server/bench_server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "common/api_data.h"
#include "common/api_manager.h"
#include "common/byte_order.h"
#include "common/loop_wake.h"
#include "jyx/device/data_manager.h"
#include "jyx/device/log_manager.h"
#include "jyx/protocol/package_format.h"
#include "jyx/protocol/package_manager.h"
#include "jyx/server/server_protocol.h"

namespace {

using namespace jyx::server;

constexpr size_t kReadChunk = 64 * 1024;
// epoll keys besides the session ids (which count up from 1): the listening
// socket and the loop's wake-up share 0; the controller link has its own.
constexpr uint64_t kLinkKey = UINT64_MAX;

// Rewrites the frame number of an encoded packet whose checksum is right.
// The checksum is a plain sum with the frame number as one term, so it
// changes by the frame numbers' difference (modulo 2^32, as the sum is):
// no second pass over a sector's payload.
void renumber(uint8_t* bytes, uint32_t frame) {
  uint32_t old = jyx::decodeFixed32(bytes + jyx::kFrameNumOffset);
  uint32_t sum = jyx::decodeFixed32(bytes + jyx::kChecksumOffset);
  jyx::encodeFixed32(bytes + jyx::kFrameNumOffset, frame);
  jyx::encodeFixed32(bytes + jyx::kChecksumOffset, sum - old + frame);
}

// What a request does to the flash lines.
struct SpiClass {
  bool spi = false;  // needs the lines (or takes/returns them)
  int line = -1;     // 0 SPI_PRG_EN, 1 SPI_PRG_SEL when it sets one
  int uartSel = -1;  // 0 UART_SEL0, 1 UART_SEL1 when it sets one
  uint8_t level = 0;
};

SpiClass classify(CPackage* p) {
  SpiClass c;
  uint16_t cmd = p->cmdType();
  if (cmd == SPI_CTRL || cmd == SPI_READ) c.spi = true;
  if (cmd == GPIO_CTRL && p->size() >= jyx::kHeaderSize + jyx::kGpioPayloadSize &&
      p->payloadU8(jyx::kGpioOperationOffset) == GPIO_OP_SET) {
    uint16_t num = jyx::decodeFixed16(p->data() + jyx::kHeaderSize + jyx::kGpioNumOffset);
    c.level = p->payloadU8(jyx::kGpioLevelOffset);
    if (num == CJYXDataManager::GPIO_SPI_PRG_EN || num == CJYXDataManager::GPIO_SPI_PRG_SEL) {
      c.spi = true;
      c.line = num == CJYXDataManager::GPIO_SPI_PRG_EN ? 0 : 1;
    } else if (num == CJYXDataManager::GPIO_UART_SEL0 || num == CJYXDataManager::GPIO_UART_SEL1) {
      c.uartSel = num == CJYXDataManager::GPIO_UART_SEL0 ? 0 : 1;
    }
  }
  return c;
}

// Tasks that drive the flash lines themselves.
bool isSpiTask(const std::string& name) {
  return name.rfind("jyx.data:spi", 0) == 0 || name.find("winbond") != std::string::npos;
}

}  // namespace

CJYXBenchServer::CJYXBenchServer(CJYXDataManager* data, CJYXLogManager* log,
                                 std::function<void()> reconnect)
    : data_(data), log_(log), reconnect_(std::move(reconnect)) {
  log_->setRawTap([this](const uint8_t* bytes, size_t n) {
    if (n > 0) broadcast(kTopicLog, logPush(bytes, n));
  });
  data_->setPowerReportTap(
      [this](CPackage* p) { broadcast(kTopicPower, powerPush(p->data(), p->size())); });
  linkUp_ = data_->isConnected();
  CAPIManager::instance()->addUpdater(this);
}

void CJYXBenchServer::watchLink() {
  if (epollFd_ < 0) return;
  unsigned connection = 0;
  int fd = data_->linkFd(&connection);
  if (fd == linkFd_ && connection == linkConnection_) return;
  // A closed descriptor has left the set by itself; a new connection may
  // carry the same number, hence the serial.
  linkFd_ = fd;
  linkConnection_ = connection;
  if (fd < 0) return;
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.u64 = kLinkKey;
  if (epoll_ctl(epollFd_, EPOLL_CTL_ADD, fd, &event) != 0 && errno == EEXIST) {
    epoll_ctl(epollFd_, EPOLL_CTL_MOD, fd, &event);
  }
}

CJYXBenchServer::~CJYXBenchServer() {
  CAPIManager::instance()->removeUpdater(this);
  close();
  log_->setRawTap(nullptr);
  data_->setPowerReportTap(nullptr);
}

bool CJYXBenchServer::listen(const std::string& path, std::string* why) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof(addr.sun_path)) {
    *why = "the socket path is too long: " + path;
    return false;
  }
  memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  int probe = connectSocket(path);
  if (probe >= 0) {
    ::close(probe);
    *why = "another server already listens on " + path;
    return false;
  }
  struct stat st;
  if (lstat(path.c_str(), &st) == 0) {
    if (!S_ISSOCK(st.st_mode)) {
      *why = path + ": exists and is not a socket";
      return false;
    }
    unlink(path.c_str());  // left by a server that died
  }
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    *why = std::string("socket: ") + strerror(errno);
    return false;
  }
  // The directory is 0700 already; the mask keeps the file itself 0600
  // from the moment it exists.
  mode_t old = umask(0177);
  int bound = bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
  int bindErrno = errno;
  umask(old);
  if (bound != 0 || chmod(path.c_str(), 0600) != 0 || ::listen(fd, 64) != 0) {
    *why = path + ": " + strerror(bound != 0 ? bindErrno : errno);
    ::close(fd);
    if (bound == 0) unlink(path.c_str());
    return false;
  }
  int epollFd = epoll_create1(EPOLL_CLOEXEC);
  epoll_event listening{};
  listening.events = EPOLLIN;
  listening.data.u64 = 0;
  epoll_event wake{};
  wake.events = EPOLLIN;
  wake.data.u64 = 0;
  int wakeFd = jyx::mainLoopWakeFd();
  if (epollFd < 0 || epoll_ctl(epollFd, EPOLL_CTL_ADD, fd, &listening) != 0 ||
      (wakeFd >= 0 && epoll_ctl(epollFd, EPOLL_CTL_ADD, wakeFd, &wake) != 0)) {
    *why = std::string("epoll: ") + strerror(errno);
    if (epollFd >= 0) ::close(epollFd);
    ::close(fd);
    unlink(path.c_str());
    return false;
  }
  listenFd_ = fd;
  epollFd_ = epollFd;
  path_ = path;
  watchLink();
  return true;
}

void CJYXBenchServer::close() {
  for (auto& entry : sessions_) ::close(entry.second->fd);
  sessions_.clear();
  if (listenFd_ >= 0) {
    ::close(listenFd_);
    listenFd_ = -1;
    unlink(path_.c_str());
  }
  if (epollFd_ >= 0) {
    ::close(epollFd_);
    epollFd_ = -1;
  }
}

void CJYXBenchServer::acceptClients() {
  for (;;) {
    int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) return;  // EAGAIN, or a client that left before the accept
    auto session = std::make_unique<Session>();
    session->id = nextSession_++;
    session->fd = fd;
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = session->id;
    session->interest = EPOLLIN;
    if (epoll_ctl(epollFd_, EPOLL_CTL_ADD, fd, &event) != 0) {
      ::close(fd);
      continue;
    }
    sessions_[session->id] = std::move(session);
  }
}

void CJYXBenchServer::watch(Session* s) {
  // A closing client, or one that has sent its last request, is not read
  // any more; a hang-up still shows.
  uint32_t wanted =
      (s->closing || s->eof ? 0u : uint32_t(EPOLLIN)) | (s->out.empty() ? 0u : uint32_t(EPOLLOUT));
  if (wanted == s->interest) return;
  s->interest = wanted;
  epoll_event event{};
  event.events = wanted;
  event.data.u64 = s->id;
  epoll_ctl(epollFd_, EPOLL_CTL_MOD, s->fd, &event);
}

bool CJYXBenchServer::readClient(uint64_t id) {
  // A pass reads at most this much from one client, so that one client's
  // flood cannot hold the loop; the rest is read on the next pass.
  constexpr size_t kReadBudget = 1024 * 1024;
  char buf[kReadChunk];
  size_t taken = 0;
  while (taken < kReadBudget) {
    auto it = sessions_.find(id);
    if (it == sessions_.end()) return true;  // dropped meanwhile
    Session* s = it->second.get();
    if (s->closing || s->eof) return true;
    ssize_t n = ::recv(s->fd, buf, sizeof(buf), MSG_DONTWAIT);
    if (n < 0) return errno == EAGAIN || errno == EINTR;
    if (n == 0) {
      // The client sent its last request; it gets the answers to every line
      // already read, including those still to come, then the connection
      // ends.
      s->eof = true;
      watch(s);
      return !finished(*s);
    }
    taken += static_cast<size_t>(n);
    // A short read took all there was; the level-triggered wait brings the
    // loop back for more, which saves a read that would find nothing.
    bool drained = static_cast<size_t>(n) < sizeof(buf);
    size_t scanFrom = s->in.size();
    s->in.append(buf, static_cast<size_t>(n));
    size_t start = 0;
    std::vector<std::string> lines;
    for (size_t nl = s->in.find('\n', scanFrom); nl != std::string::npos;
         nl = s->in.find('\n', start)) {
      lines.push_back(s->in.substr(start, nl - start));
      start = nl + 1;
    }
    s->in.erase(0, start);
    bool overlong = s->in.size() > kMaxLineBytes;
    if (overlong) s->in.clear();
    // Handling may send to this client; `s` is looked up again after.
    for (const std::string& line : lines) handleLine(id, line);
    if (overlong) {
      // Nothing of the line is trusted; the client goes once told so.
      send(id, errorReply("", kBadRequest));
      it = sessions_.find(id);
      if (it == sessions_.end()) return true;
      it->second->closing = true;
      watch(it->second.get());
      return !finished(*it->second);
    }
    if (drained) break;
  }
  return true;
}

bool CJYXBenchServer::flushClient(Session* s) {
  while (!s->out.empty()) {
    ssize_t n = ::send(s->fd, s->out.data(), s->out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      s->out.erase(0, static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) break;
    return false;
  }
  if (finished(*s)) return false;
  watch(s);
  return true;
}

void CJYXBenchServer::drop(uint64_t id) {
  auto it = sessions_.find(id);
  if (it == sessions_.end()) return;
  ::close(it->second->fd);  // also leaves the epoll set
  sessions_.erase(it);
  sessionGone(id);
}

int CJYXBenchServer::spinUs(double now) const {
  bool expected =
      packetsOut_ > 0 || (lastPacketAnswer_ >= 0 && now - lastPacketAnswer_ < kFollowUpSeconds);
  return expected ? kSpinUs : 0;
}

double CJYXBenchServer::nextDeadline(double now) {
  return !linkUp_ && reconnect_ ? nextReconnect_ : kNoDeadline;
}

void CJYXBenchServer::onUpdate(double now) {
  if (epollFd_ >= 0) {
    epoll_event events[64];
    int n;
    // The wake-up descriptor is in the set too; the loop drains it.
    while ((n = epoll_wait(epollFd_, events, 64, 0)) > 0) {
      bool clients = false;
      for (int i = 0; i < n; ++i) {
        uint64_t id = events[i].data.u64;
        if (id == kLinkKey) {
          // Replies go out to their clients from inside the parse.
          data_->readLink(now);
          continue;
        }
        if (id == 0) {
          // The listening socket or the wake-up (accept finds nothing then).
          acceptClients();
          continue;
        }
        clients = true;
        auto it = sessions_.find(id);
        if (it == sessions_.end()) continue;
        bool keep = true;
        if (events[i].events & EPOLLOUT) keep = flushClient(it->second.get());
        if (keep && (events[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR))) {
          if (it->second->closing || it->second->eof) {
            keep = !(events[i].events & (EPOLLHUP | EPOLLERR));
          } else {
            keep = readClient(id);
          }
        }
        if (!keep) drop(id);
      }
      // Only the listening socket and the wake-up were ready, or every
      // ready descriptor was taken: done (what became ready meanwhile keeps
      // the loop's wait from sleeping; the wake-up stays readable until the
      // next pump clears it).
      if (!clients || n < 64) break;
    }
  }

  bool up = data_->isConnected();
  if (up != linkUp_) {
    linkUp_ = up;
    broadcastAll(linkEvent(up));
    CAPIManager::instance()->print(up ? "jyx server: controller link up\n"
                                      : "jyx server: controller link down\n");
  }
  if (!up && now >= nextReconnect_ && reconnect_) {
    nextReconnect_ = now + kReconnectInterval;
    reconnect_();
  }
  // After every pass: a connect made by a task or by the reconnect above
  // has its descriptor watched before the loop sleeps.
  watchLink();
}

void CJYXBenchServer::handleLine(uint64_t session, const std::string& line) {
  Request request;
  if (!parseRequest(line.data(), line.size(), &request)) {
    send(session, errorReply(request.id, request.error));
    return;
  }
  switch (request.kind) {
    case RequestKind::kTask:
      handleTask(session, request.id, request.task, request.args);
      break;
    case RequestKind::kPacket:
      handlePacket(session, request.id, request.bytes);
      break;
    case RequestKind::kSubscribe:
      topics_[session] |= request.topics;
      send(session, okReply(request.id));
      break;
    case RequestKind::kUnsubscribe:
      topics_[session] &= ~request.topics;
      send(session, okReply(request.id));
      break;
    case RequestKind::kWrite:
      handleWrite(session, request.id, request.bytes);
      break;
    case RequestKind::kInvalid:
      break;
  }
}

void CJYXBenchServer::handlePacket(uint64_t session, const std::string& id,
                                   const std::vector<uint8_t>& bytes) {
  CPackageManager* pool = CPackageManager::instance();
  CPackage* request = pool->getPackage();
  request->append(bytes.data(), static_cast<uint32_t>(bytes.size()));
  if (!request->verify() || request->cmdType() == DEVICE_ACK) {
    pool->releasePackage(request);
    send(session, errorReply(id, kBadPacket));
    return;
  }
  SpiClass spi = classify(request);
  if (spi.spi && spiOwner_ != 0 && spiOwner_ != session) {
    pool->releasePackage(request);
    send(session, errorReply(id, kBusy));
    return;
  }
  if (!data_->isConnected()) {
    pool->releasePackage(request);
    send(session, errorReply(id, kLinkDown));
    return;
  }
  // Taken when asked for, so that a second client's request sent before
  // the acknowledge already finds the lines held.
  if (spi.line >= 0 && spi.level == 0) spiOwner_ = session;
  uint32_t clientFrame = request->frameNum();
  renumber(request->data(), data_->nextFrameNum());
  begin(session);
  ++packetsOut_;
  data_->sendPackage(request, [this, session, id, clientFrame, spi](CPackage* reply) {
    --packetsOut_;
    lastPacketAnswer_ = CAPIManager::instance()->time();
    if (reply != nullptr && reply->dataType() != ACK_FAIL) {
      if (spi.line >= 0) {
        lineLevel_[spi.line] = spi.level;
        if (lineLevel_[0] == 1 && lineLevel_[1] == 1 && spiOwner_ == session) spiOwner_ = 0;
      }
      if (spi.uartSel >= 0) {
        uartSel_[spi.uartSel] = spi.level;
        data_->noteLogUartSelected(uartSel_[1] << 1 | uartSel_[0]);
      }
      if (reply->cmdType() == DEVICE_ACK && reply->dataType() == UART_DATA_TYPE) {
        log_->setUartLogEnabled(reply->payloadU8(jyx::kUartEnableOffset) != 0 ? 1 : 0);
      }
    }
    if (reply == nullptr) {
      answer(session, errorReply(id, data_->isConnected() ? kTimeout : kLinkDown));
      return;
    }
    std::vector<uint8_t> copy(reply->data(), reply->data() + reply->size());
    renumber(copy.data(), clientFrame);
    answer(session, packetReply(id, copy.data(), copy.size()));
  });
}

void CJYXBenchServer::handleTask(uint64_t session, const std::string& id, const std::string& task,
                                 const std::string& args) {
  CAPIManager* api = CAPIManager::instance();
  if (!api->hasTask(task)) {
    send(session, failReply(id, kUnknownTask));
    return;
  }
  bool holds = false;
  if (isSpiTask(task)) {
    if (spiOwner_ != 0 && spiOwner_ != session) {
      send(session, failReply(id, kBusy));
      return;
    }
    if (spiOwner_ == 0) {
      spiOwner_ = session;
      spiTaskRunning_ = true;
      holds = true;
    }
  }
  APIDATA data;
  data.append(args.c_str(), nullptr, 0);
  begin(session);
  api->onInvoke(static_cast<int>(api->nextCallId()), task.c_str(), &data,
                [this, session, id, holds](int, APIDATA* result) {
                  if (holds) {
                    spiTaskRunning_ = false;
                    if (spiOwner_ == session) spiOwner_ = 0;
                  }
                  answer(session, resultReply(id, result && result->text ? result->text : ""));
                  return 0;
                });
}

void CJYXBenchServer::handleWrite(uint64_t session, const std::string& id,
                                  const std::vector<uint8_t>& bytes) {
  if (!data_->isConnected()) {
    send(session, failReply(id, kLinkDown));
    return;
  }
  // The console takes text in pieces of at most kStringMaxText characters,
  // NUL-free.
  auto text = std::make_shared<std::string>(bytes.begin(), bytes.end());
  if (text->empty() || text->find('\0') != std::string::npos) {
    send(session, failReply(id, "the text is empty or holds a NUL byte"));
    return;
  }
  begin(session);
  writeNext(session, id, text, 0);
}

void CJYXBenchServer::writeNext(uint64_t session, const std::string& id,
                                std::shared_ptr<std::string> text, size_t at) {
  if (at >= text->size()) {
    answer(session, okReply(id));
    return;
  }
  std::string piece = text->substr(at, jyx::kStringMaxText);
  size_t next = at + piece.size();
  data_->sendStringCmd(piece, [this, session, id, text, next](CPackage* reply) {
    if (reply == nullptr || reply->dataType() == ACK_FAIL) {
      answer(session, failReply(id, reply == nullptr ? kTimeout : "refused by the controller"));
      return;
    }
    writeNext(session, id, text, next);
  });
}

void CJYXBenchServer::sessionGone(uint64_t session) {
  topics_.erase(session);
  if (spiOwner_ == session && !spiTaskRunning_ && !handingBack_) {
    CAPIManager::instance()->print(
        "jyx server: client %llu left holding the flash lines; handing them back\n",
        static_cast<unsigned long long>(session));
    startHandBack();
  }
}

void CJYXBenchServer::startHandBack() {
  if (spiOwner_ == 0 || spiTaskRunning_ || handingBack_) return;
  handingBack_ = true;
  auto done = [this](bool ok) {
    handingBack_ = false;
    spiOwner_ = 0;
    lineLevel_[0] = lineLevel_[1] = 1;
    CAPIManager::instance()->print(ok ? "jyx server: flash lines handed back\n"
                                      : "jyx server: handing the flash lines back failed\n");
  };
  // Programming mode first (refused harmlessly when it was not entered),
  // then SPI_PRG_EN and SPI_PRG_SEL back to the target.
  auto lines = [this, done](CPackage*) {
    bool sent = data_->gpio(1, CJYXDataManager::GPIO_SPI_PRG_EN, 1, [this, done](CPackage* r1) {
      bool sentSel = data_->gpio(1, CJYXDataManager::GPIO_SPI_PRG_SEL, 1, [r1, done](CPackage* r2) {
        done(r1 != nullptr && r2 != nullptr && r2->dataType() != ACK_FAIL);
      });
      if (!sentSel) done(false);
    });
    if (!sent) done(false);
  };
  if (!data_->enableSPIData(0, false, lines)) lines(nullptr);
}

void CJYXBenchServer::send(uint64_t session, const std::string& text) {
  auto it = sessions_.find(session);
  if (it == sessions_.end()) return;
  Session* s = it->second.get();
  if (s->closing) return;
  if (s->out.size() + text.size() > kMaxQueuedOutput) {
    // A client that does not read what it asked for is dropped rather
    // than let the server's memory grow.
    ::shutdown(s->fd, SHUT_RDWR);
    s->out.clear();
    s->closing = true;
    watch(s);  // its hang-up ends it on the next pass
    return;
  }
  size_t at = 0;
  if (s->out.empty()) {
    ssize_t n = ::send(s->fd, text.data(), text.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) at = static_cast<size_t>(n);
  }
  if (at < text.size()) {
    s->out.append(text, at, std::string::npos);
    watch(s);
  }
}

void CJYXBenchServer::begin(uint64_t session) {
  auto it = sessions_.find(session);
  if (it != sessions_.end()) ++it->second->inFlight;
}

void CJYXBenchServer::answer(uint64_t session, const std::string& text) {
  send(session, text);
  auto it = sessions_.find(session);
  if (it == sessions_.end()) return;
  Session* s = it->second.get();
  --s->inFlight;
  // Its last answer is out: the hang-up this causes ends the session on
  // the next pass (not here, inside a reply's callback).
  if (finished(*s)) ::shutdown(s->fd, SHUT_RDWR);
}

void CJYXBenchServer::broadcast(unsigned topic, const std::string& text) {
  for (const auto& entry : topics_) {
    if (entry.second & topic) send(entry.first, text);
  }
}

void CJYXBenchServer::broadcastAll(const std::string& text) {
  std::vector<uint64_t> ids;
  for (const auto& entry : sessions_) ids.push_back(entry.first);
  for (uint64_t id : ids) send(id, text);
}
