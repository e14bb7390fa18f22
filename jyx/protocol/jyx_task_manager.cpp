#include "jyx/protocol/jyx_task_manager.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>

#include "common/api_manager.h"
#include "common/socket_tcp.h"

namespace {

// The TCP client to the controller. A TCP channel keeps a connection whose
// peer has gone as "open"; without more, a controller that closes the link
// in the middle of a sequence would leave its pending request waiting for
// the full request time-out. After every read that brought nothing this
// socket peeks at the connection and, on end-of-stream or a reset, raises
// `peerClosed` for the owning manager to act on from the main thread.
//
// In main-thread mode the receive thread leaves the socket alone and the
// owner's loop, which waits on the descriptor itself, reads it with
// readNow(): a reply then costs one wake-up instead of two (the receive
// thread's and the loop's).
class CControllerSocket : public CSocketTCP {
 public:
  CControllerSocket(CChannelDelegate* delegate, int port, const char* address,
                    std::atomic<bool>* peerClosed)
      : CSocketTCP(delegate, port, address), peerClosed_(peerClosed) {}
  // The owner shuts the channel down before deleting it; this covers any
  // other owner, while read() still resolves to this class.
  ~CControllerSocket() override { shutdown(); }

  int read(void* buf, int len) override {
    int n = CSocketTCP::read(buf, len);
    if (n > 0) return n;
    CSmartLock guard(&lock_);
    if (fd_ == -1) return n;
    probeEndLocked();
    return n;
  }

  // Set before the first open and never changed back: the receive thread
  // then never reads, so the FIFO has one producer whichever thread it is.
  void setMainThreadReads() { mainThreadReads_ = true; }
  bool mainThreadReads() const { return mainThreadReads_; }

  // The open connection's descriptor and its serial (a closed number is
  // reused by the next socket at once); -1 while closed.
  int descriptor(unsigned* connection) {
    CSmartLock guard(&lock_);
    *connection = connection_;
    return fd_;
  }

  // Main-thread mode: moves what the socket holds into the receive FIFO
  // without waiting, one read of at most 64 KiB and the FIFO's room; the
  // loop's level-triggered wait comes back for the rest. A connection at
  // its end raises peerClosed.
  int readNow() {
    CSmartLock guard(&lock_);
    int room = receiveFifo_->freeSpace();
    if (fd_ < 0 || room <= 0) return 0;
    char buf[64 * 1024];
    ssize_t n = recv(fd_, buf, std::min<size_t>(sizeof(buf), size_t(room)), MSG_DONTWAIT);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
      *peerClosed_ = true;
    }
    if (n <= 0 || !receiveFifo_->push(buf, static_cast<int>(n))) return 0;
    return static_cast<int>(n);
  }

 protected:
  bool readWaitsForDevice() override { return !mainThreadReads_; }

 private:
  // Peeks at the connection: end-of-stream or a reset raises peerClosed.
  // The caller holds lock_ and fd_ is open.
  void probeEndLocked() {
    char probe;
    ssize_t r = recv(fd_, &probe, 1, MSG_PEEK | MSG_DONTWAIT);
    if (r == 0 || (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
      *peerClosed_ = true;
    }
  }

  std::atomic<bool>* peerClosed_;
  std::atomic<bool> mainThreadReads_{false};
};

}  // namespace

CJYXTaskManager::CJYXTaskManager(const std::string& feature, const char* host, int port,
                                 bool routed)
    : feature_(feature), host_(host ? host : ""), port_(port), routed_(routed) {
  name_ = "jyx." + feature;
  channel_ = new CControllerSocket(this, port_, host_.c_str(), &peerClosed_);
  channelIsSocket_ = true;
  addHandler(name_ + ":connect",
             std::bind(&CJYXTaskManager::onConnectTask, this, std::placeholders::_1));
  addHandler(name_ + ":disconnect",
             std::bind(&CJYXTaskManager::onDisconnectTask, this, std::placeholders::_1));
  if (routed_) CAPIManager::instance()->registerTaskManager(name_, this);
}

CJYXTaskManager::~CJYXTaskManager() {
  if (routed_) CAPIManager::instance()->unregisterTaskManager(name_, this);
  if (channel_) channel_->shutdown();
  delete channel_;
  channel_ = nullptr;
}

bool CJYXTaskManager::isEnabled() { return enabled_; }

void CJYXTaskManager::connect() {
  if (channel_ && !channel_->isOpen()) {
    // Reports about the old link must not end the new one.
    peerClosed_ = false;
    disconnectRequested_ = false;
    channel_->open();
  }
  enabled_ = true;
}

void CJYXTaskManager::disconnect() {
  if (channel_ && channel_->isOpen()) channel_->close();
  enabled_ = false;
}

int CJYXTaskManager::onMessage(CHANNEL_MSG_TYPE type, int code, const char* message) {
  if (!message) message = "";
  if (type == CHANNEL_MSG_ERROR) {
    CAPIManager::instance()->print("error-%s-manager: %s\n", feature_.c_str(), message);
    if (CAPIManager::instance()->isOwnerThread()) {
      disconnect();
    } else {
      disconnectRequested_ = true;
    }
  } else if (type == CHANNEL_MSG_WARNING) {
    CAPIManager::instance()->print("warning-%s-manager: %s\n", feature_.c_str(), message);
  }
  return 0;
}

void CJYXTaskManager::setAddress(const char* host, int port) {
  if (host) host_ = host;
  if (port > 0) port_ = port;
  if (channel_ && channelIsSocket_) {
    auto* socket = static_cast<CSocketTCP*>(channel_);
    if (host) socket->setAddress(host_);
    if (port > 0) socket->setPort(port_);
  }
}

bool CJYXTaskManager::isConnected() { return channel_ && channel_->isOpen(); }

void CJYXTaskManager::setChannel(CChannel* channel) {
  if (channel_) channel_->shutdown();
  delete channel_;
  channel_ = channel;
  channelIsSocket_ = false;
  channelReplaced();
}

double CJYXTaskManager::nextDeadline(double now) {
  // Both flags are set by channel threads whose report wakes the loop; one
  // still set after a pump is handled by the next.
  return disconnectRequested_.load() || peerClosed_.load() ? now : kNoDeadline;
}

void CJYXTaskManager::onUpdate(double now) {
  if (disconnectRequested_.exchange(false)) disconnect();
  if (peerClosed_.exchange(false) && isConnected()) {
    // What arrived before the end still counts.
    drainReceived(now);
    onMessage(CHANNEL_MSG_ERROR, kPeerClosedCode, "tcp: the controller closed the connection!\n");
  }
}

bool CJYXTaskManager::onConnectTask(CTask* task) {
  const char* text = task->data() ? task->data()->text : "";
  if (text && std::strlen(text) > 2) {
    std::string ip;
    int port = 0;
    bool hasIp = getArgument(text, "ip", &ip);
    getArgument(text, "port", &port);
    setAddress(hasIp ? ip.c_str() : nullptr, port);
  }
  connect();
  setResultText(task, "1");
  finishTask(task);
  return true;
}

bool CJYXTaskManager::onDisconnectTask(CTask* task) {
  disconnect();
  setResultText(task, "1");
  finishTask(task);
  return true;
}

bool CJYXTaskManager::readOnMainThread() {
  if (!channelIsSocket_) return false;
  static_cast<CControllerSocket*>(channel_)->setMainThreadReads();
  return true;
}

int CJYXTaskManager::linkFd(unsigned* connection) {
  *connection = 0;
  if (!channelIsSocket_) return -1;
  auto* socket = static_cast<CControllerSocket*>(channel_);
  return socket->mainThreadReads() ? socket->descriptor(connection) : -1;
}

void CJYXTaskManager::readLink(double now) {
  if (!channelIsSocket_) return;
  auto* socket = static_cast<CControllerSocket*>(channel_);
  if (!socket->mainThreadReads()) return;
  socket->readNow();
  drainReceived(now);
}
