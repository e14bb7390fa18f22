#include "sim/server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <vector>

namespace jyxsim {

namespace {

// Per-client output kept at most; a log reader that stops reading loses
// the oldest text beyond this, as a UART would overrun.
constexpr size_t kMaxLogBacklog = 8u << 20;
// Replies waiting for a packet client that does not read. Beyond this the
// simulator stops reading its requests, so TCP pushes back on the sender as
// a controller's full send buffer would, and power reports are dropped.
constexpr size_t kMaxPacketBacklog = 4u << 20;

int listenOn(const std::string& addr, int port, std::string* err) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *err = std::string("socket: ") + strerror(errno);
    return -1;
  }
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(uint16_t(port));
  inet_pton(AF_INET, addr.c_str(), &sa.sin_addr);
  if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0 || ::listen(fd, 4) != 0) {
    *err = "cannot listen on " + addr + ":" + std::to_string(port) + ": " + strerror(errno);
    close(fd);
    return -1;
  }
  return fd;
}

int acceptOne(int listenFd) {
  int fd = accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd < 0) return -1;
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  return fd;
}

}  // namespace

uint64_t monoMicros() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return uint64_t(ts.tv_sec) * 1000000u + uint64_t(ts.tv_nsec) / 1000u;
}

CSimServer::CSimServer(CSimController* controller) : controller_(controller), parent_(getppid()) {}

CSimServer::~CSimServer() {
  if (packet_.fd >= 0) close(packet_.fd);
  if (log_.fd >= 0) close(log_.fd);
  if (listenPacket_ >= 0) close(listenPacket_);
  if (listenLog_ >= 0) close(listenLog_);
  if (fastboot_.fd >= 0) close(fastboot_.fd);
  if (listenFastboot_ >= 0) close(listenFastboot_);
}

bool CSimServer::listenFastboot(const std::string& addr, int port, CSimFastboot* target,
                                std::string* err) {
  listenFastboot_ = listenOn(addr, port, err);
  fastbootTarget_ = target;
  return listenFastboot_ >= 0;
}

bool CSimServer::inFastbootMode() const {
  return controller_->target().state() == TargetState::kFastboot;
}

void CSimServer::closeFastboot() {
  if (fastboot_.fd >= 0) close(fastboot_.fd);
  fastboot_ = Client();
}

void CSimServer::acceptFastboot() {
  int fd = acceptOne(listenFastboot_);
  if (fd < 0) return;
  if (!inFastbootMode()) {
    close(fd);
    return;
  }
  closeFastboot();
  fastboot_.fd = fd;
  fastbootTarget_->reset();
}

void CSimServer::readFastboot() {
  uint8_t buf[65536];
  for (;;) {
    ssize_t n = recv(fastboot_.fd, buf, sizeof(buf), MSG_DONTWAIT);
    if (n > 0) {
      if (!fastbootTarget_->feed(buf, size_t(n), &fastboot_.out)) fastboot_.closing = true;
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    if (n < 0 && errno == EINTR) continue;
    closeFastboot();
    return;
  }
  if (!flush(&fastboot_)) closeFastboot();
}

bool CSimServer::listen(const std::string& addr, int packetPort, int logPort, std::string* err) {
  listenPacket_ = listenOn(addr, packetPort, err);
  if (listenPacket_ < 0) return false;
  listenLog_ = listenOn(addr, logPort, err);
  return listenLog_ >= 0;
}

bool CSimServer::flush(Client* c) {
  while (c->fd >= 0 && c->outPos < c->out.size()) {
    ssize_t n = send(c->fd, c->out.data() + c->outPos, c->out.size() - c->outPos,
                     MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      c->outPos += size_t(n);
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      // A client that never quite catches up must not keep every byte
      // ever sent alive in front of the backlog.
      if (c->outPos > (1u << 20)) {
        c->out.erase(0, c->outPos);
        c->outPos = 0;
      }
      return true;
    }
    if (n < 0 && errno == EINTR) continue;
    return false;
  }
  c->out.clear();
  c->outPos = 0;
  return true;
}

void CSimServer::closePacket(uint64_t now) {
  if (packet_.fd < 0) return;
  close(packet_.fd);
  packet_ = Client();
  reader_.reset();
  controller_->onPacketClientClosed(now);
}

void CSimServer::closeLog() {
  if (log_.fd >= 0) close(log_.fd);
  log_ = Client();
}

void CSimServer::acceptPacket(uint64_t now) {
  int fd = acceptOne(listenPacket_);
  if (fd < 0) return;
  closePacket(now);
  packet_.fd = fd;
  controller_->onPacketClientConnected(now);
}

void CSimServer::acceptLog(uint64_t now) {
  int fd = acceptOne(listenLog_);
  if (fd < 0) return;
  closeLog();
  log_.fd = fd;
  controller_->onLogClientConnected(now);
}

void CSimServer::readPacket(uint64_t now) {
  uint8_t buf[65536];
  for (;;) {
    ssize_t n = recv(packet_.fd, buf, sizeof(buf), MSG_DONTWAIT);
    if (n > 0) {
      reader_.feed(buf, size_t(n));
      handleRequests(now);
      if (packet_.fd < 0 || size_t(n) < sizeof(buf) || packetBacklog() >= kMaxPacketBacklog) return;
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (n < 0 && errno == EINTR) continue;
    closePacket(now);
    return;
  }
}

void CSimServer::handleRequests(uint64_t now) {
  while (packet_.fd >= 0 && !packet_.closing && packetBacklog() < kMaxPacketBacklog &&
         reader_.next(&frame_)) {
    packet_.requests += 1;
    controller_->onRequest(frame_, now, packet_.requests);
    pump(now);
  }
}

void CSimServer::readLog() {
  // The log port carries text one way; anything the client sends is read
  // and dropped so its close can be seen.
  char buf[4096];
  for (;;) {
    ssize_t n = recv(log_.fd, buf, sizeof(buf), MSG_DONTWAIT);
    if (n > 0) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (n < 0 && errno == EINTR) continue;
    closeLog();
    return;
  }
}

void CSimServer::pump(uint64_t now) {
  while (controller_->takeDue(now, &outgoing_)) {
    if (packet_.fd < 0 || packet_.closing) continue;
    if (outgoing_.report && packetBacklog() >= kMaxPacketBacklog) continue;
    packet_.out.append(outgoing_.bytes);
    if (outgoing_.closeAfter) packet_.closing = true;
    if (outgoing_.resetAfter) {
      // The whole session ends: the log client goes at once, forwarding
      // stays off until a new client enables it.
      closeLog();
      controller_->onSessionReset(now);
    }
  }
  if (packet_.fd >= 0 && !flush(&packet_)) {
    closePacket(now);
  } else if (packet_.fd >= 0 && packet_.closing && packet_.out.empty()) {
    closePacket(now);
  }
  controller_->takeLogText(&logText_);
  if (!logText_.empty()) {
    if (log_.fd >= 0) {
      if (log_.out.size() - log_.outPos > kMaxLogBacklog) {
        log_.out.erase(0, log_.outPos);
        log_.outPos = 0;
        log_.out.erase(0, log_.out.size() / 2);
      }
      log_.out.append(logText_);
    }
    logText_.clear();
  }
  if (log_.fd >= 0 && !flush(&log_)) closeLog();
}

uint64_t CSimServer::waitUs() const {
  uint64_t wake = controller_->nextWakeUs();
  if (bridge_) wake = std::min(wake, bridge_->nextWakeUs());
  uint64_t now = monoMicros();
  // Wake at least once a second to notice a vanished parent.
  uint64_t timeoutUs = 1000000;
  if (wake != UINT64_MAX) {
    uint64_t waitUs = wake > now ? wake - now : 0;
    if (waitUs < timeoutUs) timeoutUs = waitUs;
  }
  return timeoutUs;
}

CSimServer::PollSet CSimServer::pollSet(int signalFd) {
  PollSet set;
  std::vector<pollfd>& fds = set.fds;
  fds.resize(7);
  int nfds = 0;
  fds[nfds++] = {signalFd, POLLIN, 0};
  fds[nfds++] = {listenPacket_, POLLIN, 0};
  fds[nfds++] = {listenLog_, POLLIN, 0};
  if (listenFastboot_ >= 0) {
    set.fbListen = nfds;
    fds[nfds++] = {listenFastboot_, POLLIN, 0};
  }
  if (fastboot_.fd >= 0) {
    set.fb = nfds;
    fds[nfds++] = {fastboot_.fd, short(POLLIN | (fastboot_.out.empty() ? 0 : POLLOUT)), 0};
  }
  if (packet_.fd >= 0) {
    set.packet = nfds;
    short events = packetBacklog() < kMaxPacketBacklog ? POLLIN : 0;
    if (!packet_.out.empty()) events |= POLLOUT;
    fds[nfds++] = {packet_.fd, events, 0};
  }
  if (log_.fd >= 0) {
    set.log = nfds;
    fds[nfds++] = {log_.fd, short(POLLIN | (log_.out.empty() ? 0 : POLLOUT)), 0};
  }
  fds.resize(size_t(nfds));
  set.own = nfds;
  if (bridge_) bridge_->addPollFds(&fds);
  return set;
}

bool CSimServer::readSignals(int signalFd, const std::function<void()>& onReload) {
  signalfd_siginfo si;
  while (read(signalFd, &si, sizeof(si)) == ssize_t(sizeof(si))) {
    if (si.ssi_signo != SIGUSR1) return false;
    if (onReload) onReload();
  }
  return true;
}

void CSimServer::serve(PollSet& set, uint64_t now) {
  std::vector<pollfd>& fds = set.fds;
  // Existing clients first: a replacement accepted below closes them.
  if (set.packet >= 0 && (fds[set.packet].revents & (POLLIN | POLLHUP | POLLERR))) readPacket(now);
  if (set.log >= 0 && log_.fd >= 0 && (fds[set.log].revents & (POLLIN | POLLHUP | POLLERR)))
    readLog();
  if (set.fb >= 0 && (fds[set.fb].revents & (POLLIN | POLLOUT | POLLHUP | POLLERR))) {
    readFastboot();
  }
  if (set.fbListen >= 0 && (fds[set.fbListen].revents & POLLIN)) acceptFastboot();
  if (fds[1].revents & POLLIN) acceptPacket(now);
  if (fds[2].revents & POLLIN) acceptLog(now);
  if (bridge_ && fds.size() > size_t(set.own)) {
    bridge_->onPoll(fds.data() + set.own, fds.size() - size_t(set.own), now);
  }
}

void CSimServer::run(int signalFd, std::function<void()> onReload) {
  for (;;) {
    uint64_t now = monoMicros();
    controller_->tick(now);
    if (bridge_) bridge_->tick(now);
    pump(now);
    handleRequests(now);  // those held back while the client was not reading
    if (getppid() != parent_) return;
    // The boot loader is gone once the target left fastboot mode; what it
    // answered last still goes out first.
    if (fastboot_.fd >= 0 && (fastboot_.closing || !inFastbootMode()) && fastboot_.out.empty()) {
      closeFastboot();
    }
    // Microsecond waits (ppoll): the paced FTDI lines deliver a byte every
    // 7 us at 1.5 Mbaud, and millisecond rounding would add up to 1 ms to
    // every reply.
    uint64_t timeoutUs = waitUs();
    PollSet set = pollSet(signalFd);
    timespec wait = {time_t(timeoutUs / 1000000), long(timeoutUs % 1000000) * 1000};
    int r = ppoll(set.fds.data(), nfds_t(set.fds.size()), &wait, nullptr);
    if (r < 0 && errno != EINTR) return;
    if (r <= 0) continue;
    now = monoMicros();
    if ((set.fds[0].revents & POLLIN) && !readSignals(signalFd, onReload)) return;
    serve(set, now);
  }
}

}  // namespace jyxsim
