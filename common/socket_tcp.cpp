#include "common/socket_tcp.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "common/api_manager.h"
#include "common/fd_wait.h"

namespace {

// Backlog of the listening socket.
constexpr int kListenBacklog = 4096;
// close() wakes the accept loop at once by shutting the listening socket
// down; this bound on one wait is only a safety net.
constexpr int kAcceptPollMs = 1000;
// Pause after the listening socket could not be set up, before the next try.
constexpr int kServerRetryMs = 1000;
// Consecutive failed send() calls (1 ms apart) before a write gives up.
constexpr int kMaxSendFailures = 64;

}  // namespace

CSocketTCP::CSocketTCP(CChannelDelegate* delegate, int port, const char* address)
    : CSocket(delegate, address, port) {}

CSocketTCP::~CSocketTCP() { shutdown(); }

bool CSocketTCP::open() {
  enableThreads();
  close();
  if (isServer()) {
    // The pool is asked without the channel lock held: a running pool
    // thread may be waiting for that lock while holding its own.
    serverStop_ = false;
    CThread* server = CThreadPool::instance()->get([this](CThread*) { serverPass(); }, -1, 0);
    CSmartLock guard(&lock_);
    serverThread_ = server;
    return server != nullptr;
  }
  connectClient();
  return false;
}

void CSocketTCP::close() {
  CThread* server;
  interruptRead();
  {
    CSmartLock guard(&lock_);
    closeSocketLocked();
    server = serverThread_;
    serverThread_ = nullptr;
    // Set under lock_ so that the server thread cannot store a peer it
    // accepted after this close.
    if (server) serverStop_ = true;
  }
  if (server) {
    wakeThreads();  // ends a pause after a failed listen
    {
      CSmartLock guard(&listenLock_);
      if (listenFd_ != -1) ::shutdown(listenFd_, SHUT_RDWR);
    }
    server->recycle();  // returns once the running pass has ended
  }
  CSmartLock guard(&listenLock_);
  if (listenFd_ != -1) {
    ::close(listenFd_);
    listenFd_ = -1;
  }
}

void CSocketTCP::connectClient() {
  std::string address;
  int port;
  {
    CSmartLock guard(&lock_);
    address = address_;
    port = port_;
  }
  int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (s < 0) {
    report(CHANNEL_MSG_ERROR, -3, "tcp-client: created socket error!\n");
    return;
  }
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_port = htons(static_cast<uint16_t>(port));
  int one = 1;
  setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  int rc = -1;
  if (inet_pton(AF_INET, address.c_str(), &peer.sin_addr) != 1) {
    errno = EINVAL;  // not a dotted IPv4 address
  } else {
    {
      CSmartLock guard(&lock_);
      peerAddr_ = peer;
    }
    rc = connect(s, reinterpret_cast<sockaddr*>(&peer), sizeof(peer));
  }
  if (rc != 0) {
    int error = errno;
    CAPIManager::instance()->print("errno:%d\n", error);
    ::close(s);
    report(CHANNEL_MSG_ERROR, -102, "tcp-client: connect socket error!\n");
    return;
  }
  fcntl(s, F_SETFL, fcntl(s, F_GETFL) | O_NONBLOCK);
  {
    CSmartLock guard(&lock_);
    closeSocketLocked();
    fd_ = s;
  }
  wakeThreads();
  delegate_->onConnected();
}

void CSocketTCP::pauseAfterServerFailure() {
  // close() sets serverStop_ before it wakes the threads, so reading the
  // serial first loses no wake-up.
  unsigned seen = stateSerial();
  if (serverStop_) return;
  waitForState(seen, kServerRetryMs);
}

int CSocketTCP::openListener() {
  int lfd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (lfd < 0) {
    report(CHANNEL_MSG_ERROR, -3, "tcp-server: created socket error!\n");
    return -1;
  }
  int one = 1;
  setsockopt(lfd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  sockaddr_in local;
  {
    CSmartLock guard(&lock_);
    local = localAddr_;
    local.sin_port = htons(static_cast<uint16_t>(port_));
  }
  if (bind(lfd, reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0) {
    ::close(lfd);
    report(CHANNEL_MSG_ERROR, -52, "tcp-server: bind socket error!\n");
    return -1;
  }
  if (listen(lfd, kListenBacklog) != 0) {
    ::close(lfd);
    report(CHANNEL_MSG_ERROR, -53, "tcp-server: listen socket error!\n");
    return -1;
  }
  return lfd;
}

void CSocketTCP::serverPass() {
  if (serverStop_ || isOpen()) return;
  int lfd = openListener();
  if (lfd < 0) {
    pauseAfterServerFailure();
    return;
  }
  {
    CSmartLock guard(&listenLock_);
    if (serverStop_) {
      ::close(lfd);
      return;
    }
    listenFd_ = lfd;
  }
  acceptPeers(lfd);
  // close() may already have closed it (when called from a delegate
  // callback on this thread); the number must not be closed twice.
  CSmartLock guard(&listenLock_);
  if (listenFd_ == lfd) {
    ::close(lfd);
    listenFd_ = -1;
  }
}

void CSocketTCP::acceptPeers(int lfd) {
  while (!serverStop_) {
    pollfd p{lfd, POLLIN, 0};
    if (poll(&p, 1, kAcceptPollMs) <= 0) continue;
    int peer = accept4(lfd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (peer < 0) {
      // Retried; the pause keeps a persistent error (no descriptors left)
      // from spinning.
      if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) sleepMs(1);
      continue;
    }
    CAPIManager::instance()->print("socket tcp accept a socket\n");
    {
      CSmartLock guard(&lock_);
      if (serverStop_) {
        ::close(peer);
        break;
      }
      closeSocketLocked();  // one peer at a time: the new one replaces the old
      fd_ = peer;
    }
    wakeThreads();
    delegate_->onConnected();
  }
}

int CSocketTCP::write(const void* data, int len) {
  CSmartLock guard(&lock_);
  if (fd_ == -1) {
    report(CHANNEL_MSG_ERROR, -151, "tcp: send data - socket is invalid!\n");
    return -1;
  }
  const char* bytes = static_cast<const char*>(data);
  int sent = 0;
  // The common case, room in the socket, costs one call; anything short of
  // a whole write goes the careful way below, which waits for room first.
  ssize_t first = send(fd_, bytes, len, MSG_NOSIGNAL | MSG_DONTWAIT);
  if (first == len) return len;
  if (first > 0) sent = static_cast<int>(first);
  FdWaitResult ready = waitFd(fd_, POLLOUT, timeout_);
  if (ready == FD_WAIT_ERROR) {
    report(CHANNEL_MSG_ERROR, -152, "tcp: send data - select failed!\n");
    return -1;
  }
  if (ready == FD_WAIT_TIMEOUT) return 0;

  int failures = 0;
  while (sent < len) {
    ssize_t n = send(fd_, bytes + sent, len - sent, MSG_NOSIGNAL);
    if (n >= 1) {
      sent += static_cast<int>(n);
      failures = 0;
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      // The peer is not taking bytes: wait for room up to timeout(); no
      // room in that time gives up like repeated failures do.
      if (waitFd(fd_, POLLOUT, timeout_) == FD_WAIT_READY) continue;
      failures = kMaxSendFailures;
    }
    if (++failures >= kMaxSendFailures) {
      report(CHANNEL_MSG_ERROR, -154, "tcp: send data - send failed!\n");
      return 0;
    }
    sleepMs(1);
  }
  return len;
}

int CSocketTCP::read(void* buf, int len) {
  int waited = 0;
  bool first = true;
  for (;;) {
    int fd;
    unsigned connection;
    int timeout;
    {
      CSmartLock guard(&lock_);
      fd = fd_;
      connection = connection_;
      timeout = timeout_;
      if (fd == -1) {
        if (!first || inReceivePass()) return 0;  // closed meanwhile
        report(CHANNEL_MSG_WARNING, -201, "tcp: receive data - socket is invalid!\n");
        return -1;
      }
    }
    first = false;
    // The wait runs without the lock: a writer, isOpen() or close() on the
    // main thread never queues behind an idle receive thread (a mutex is not
    // fair, so a lock released between slices would be taken straight back).
    // What the wait saw only counts if the connection is still the same one
    // (after a close the number may already belong to a new socket, and a
    // wait on the closed number fails).
    // The wait blocks in the kernel for the whole time-out; close() and
    // shutdown() end it at once through the interrupt descriptor.
    // A wake-up for this same connection is stale (left by an earlier
    // close) and the wait goes on for the rest of the time-out.
    // A connection whose peer has ended stays readable for ever: its reads
    // wait on the interrupt descriptor alone (close() ends the wait) instead
    // of finding the end again and again.
    bool ended;
    {
      CSmartLock guard(&lock_);
      ended = ended_ && endedConnection_ == connection;
    }
    auto started = std::chrono::steady_clock::now();
    FdWaitResult ready = waitFdOrWake(ended ? -1 : fd, POLLIN, interruptFd(), timeout - waited);
    waited += static_cast<int>(std::chrono::duration_cast<std::chrono::microseconds>(
                                   std::chrono::steady_clock::now() - started)
                                   .count());
    CSmartLock guard(&lock_);
    if (fd_ != fd || connection_ != connection || stopping()) return 0;
    if (ready == FD_WAIT_ERROR) {
      report(CHANNEL_MSG_ERROR, -202, "tcp: recieve data - select failed!\n");
      return -1;
    }
    if (ready == FD_WAIT_TIMEOUT) return 0;
    if (ready == FD_WAIT_AGAIN) {
      if (waited >= timeout) return 0;
      continue;
    }
    ssize_t n = recv(fd_, buf, len, 0);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
      ended_ = true;
      endedConnection_ = connection;
      noteEndOfStream();
    }
    if (n < 1) return static_cast<int>(n);
    receiveFifo_->push(buf, static_cast<int>(n));
    return static_cast<int>(n);
  }
}
