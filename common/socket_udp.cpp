#include "common/socket_udp.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "common/api_manager.h"
#include "common/fd_wait.h"

namespace {

// Largest datagram a write sends.
constexpr int kDatagramBytes = 1024;
// A sendto() that sends nothing is retried 10 ms later, up to this many times.
constexpr int kMaxEmptySends = 63;

}  // namespace

CSocketUDP::CSocketUDP(CChannelDelegate* delegate, int port, const char* address)
    : CSocket(delegate, address, port) {}

CSocketUDP::~CSocketUDP() { shutdown(); }

bool CSocketUDP::open() {
  enableThreads();
  interruptRead();  // a receive thread waiting on the old socket returns at once
  {
    CSmartLock guard(&lock_);
    closeSocketLocked();
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) {
      CAPIManager::instance()->print("UDP: start failed. socket error\n");
      return false;
    }
    if (isServer_) {
      int one = 1;
      setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
      sockaddr_in local = localAddr_;
      local.sin_port = htons(static_cast<uint16_t>(port_));
      if (bind(s, reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0) {
        CAPIManager::instance()->print("UDP: start failed. bind error(%d)\n", errno);
        ::close(s);
        return false;
      }
      peerAddr_ = sockaddr_in{};
    } else {
      peerAddr_ = sockaddr_in{};
      peerAddr_.sin_family = AF_INET;
      // An address that is not dotted IPv4 leaves no peer: writes send nothing.
      if (inet_pton(AF_INET, address_.c_str(), &peerAddr_.sin_addr) == 1) {
        peerAddr_.sin_port = htons(static_cast<uint16_t>(port_));
        static const char kHello[] = "<hello>\n";
        sendto(s, kHello, sizeof(kHello) - 1, MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&peerAddr_),
               sizeof(peerAddr_));
      }
    }
    fd_ = s;
  }
  wakeThreads();
  delegate_->onConnected();
  return true;
}

int CSocketUDP::write(const void* data, int len) {
  CSmartLock guard(&lock_);
  if (fd_ == -1 || peerAddr_.sin_port == 0) return 0;
  const char* bytes = static_cast<const char*>(data);
  int sent = 0;
  int empty = 0;
  while (sent < len) {
    int chunk = len - sent < kDatagramBytes ? len - sent : kDatagramBytes;
    ssize_t n = sendto(fd_, bytes + sent, chunk, MSG_NOSIGNAL,
                       reinterpret_cast<sockaddr*>(&peerAddr_), sizeof(peerAddr_));
    if (n < 0) {
      report(CHANNEL_MSG_ERROR, -154, "udp sendto error\n");
      return static_cast<int>(n);
    }
    if (n == 0) {
      if (++empty > kMaxEmptySends) {
        report(CHANNEL_MSG_ERROR, -154, "udp sendto error\n");
        return -1;
      }
      sleepMs(10);
      continue;
    }
    sent += static_cast<int>(n);
  }
  return len;
}

int CSocketUDP::read(void* buf, int len) {
  int fd;
  unsigned connection;
  int timeout;
  {
    CSmartLock guard(&lock_);
    if (fd_ == -1) return 0;
    fd = fd_;
    connection = connection_;
    timeout = timeout_;
  }
  // The wait blocks in the kernel without the lock, for the whole time-out: a
  // writer never queues behind an idle receive thread, and close() and
  // shutdown() end the wait at once through the interrupt descriptor. What it
  // saw only counts if the socket is still the same one (after a close the
  // number may already belong to a new socket).
  FdWaitResult ready = waitFdOrWake(fd, POLLIN, interruptFd(), timeout);
  CSmartLock guard(&lock_);
  if (fd_ != fd || connection_ != connection || stopping()) return 0;
  if (ready == FD_WAIT_TIMEOUT || ready == FD_WAIT_AGAIN) return 0;
  sockaddr_in from{};
  socklen_t fromLen = sizeof(from);
  ssize_t n = -1;
  if (ready == FD_WAIT_READY) {
    n = recvfrom(fd_, buf, len, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &fromLen);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return 0;
  }
  if (n < 0) {
    report(CHANNEL_MSG_ERROR, -205, "udp recvfrom error\n");
    return static_cast<int>(n);
  }
  peerAddr_ = from;  // replies go to the last sender
  if (n > 0) receiveFifo_->push(buf, static_cast<int>(n));
  return static_cast<int>(n);
}
