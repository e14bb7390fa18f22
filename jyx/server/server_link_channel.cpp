#include "jyx/server/server_link_channel.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/byte_order.h"
#include "common/fd_wait.h"
#include "jyx/protocol/jyx_task_manager.h"
#include "jyx/protocol/package.h"
#include "jyx/protocol/package_format.h"
#include "jyx/server/server_protocol.h"

namespace {

using namespace jyx::server;

// Longest wait for the server to take a request line, in microseconds.
constexpr int kSendStallUs = 5000000;
// Longest wait of one read for the server, in ms; close() and shutdown()
// end it at once through the interrupt descriptor.
constexpr int kReadWaitMs = 1000;
// A reply line longer than this is not from a working server.
constexpr size_t kMaxReplyLine = 2 * kMaxPacketBytes + 4096;

constexpr int kConnectFailedCode = -220;
constexpr int kSendFailedCode = -221;
constexpr int kServerClosedCode = -222;
constexpr int kServerErrorCode = -223;
constexpr int kBusyCode = -224;

}  // namespace

CServerLinkChannel::CServerLinkChannel(CChannelDelegate* delegate, const std::string& path,
                                       Role role)
    : CChannel(delegate, kDefaultFifoCapacity), path_(path), role_(role) {}

CServerLinkChannel::~CServerLinkChannel() { shutdown(); }

bool CServerLinkChannel::open() {
  enableThreads();
  close();
  if (stopping()) return false;
  int fd = connectSocket(path_);
  if (fd < 0) {
    std::string text = "server: no server answers on " + path_ + "\n";
    report(CHANNEL_MSG_ERROR, kConnectFailedCode, text.c_str());
    return false;
  }
  bool subscribed;
  {
    CSmartLock guard(&lock_);
    fd_ = fd;
    subscribed = sendLine(subscribeRequest(0, role_ == kLog ? kTopicLog : kTopicPower));
  }
  if (!subscribed) {
    close();
    std::string text = "server: the server on " + path_ + " does not take requests\n";
    report(CHANNEL_MSG_ERROR, kConnectFailedCode, text.c_str());
    return false;
  }
  wakeThreads();
  delegate_->onConnected();
  return true;
}

void CServerLinkChannel::close() {
  // The reader leaves its wait at once and gives the descriptor up.
  interruptRead();
  std::lock_guard<std::mutex> reader(readerMutex_);
  {
    CSmartLock guard(&lock_);
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    outgoing_.clear();
  }
  lineBuffer_.clear();
  pending_.clear();
  {
    std::lock_guard<std::mutex> hold(framesMutex_);
    frames_.clear();
  }
  CChannel::close();
}

bool CServerLinkChannel::isOpen() {
  CSmartLock guard(&lock_);
  return fd_ >= 0;
}

bool CServerLinkChannel::sendLine(const std::string& line) {
  size_t at = 0;
  while (at < line.size()) {
    ssize_t n = ::send(fd_, line.data() + at, line.size() - at, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      at += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
    if (waitFd(fd_, POLLOUT, kSendStallUs) != FD_WAIT_READY) return false;
  }
  return true;
}

int CServerLinkChannel::write(const void* data, int len) {
  if (len <= 0) return 0;
  const uint8_t* bytes = static_cast<const uint8_t*>(data);
  bool failed = false;
  {
    CSmartLock guard(&lock_);
    if (fd_ < 0) return -1;
    if (role_ == kLog) {
      std::lock_guard<std::mutex> hold(framesMutex_);
      failed = !sendLine(writeRequest(nextId_++, bytes, static_cast<size_t>(len)));
    } else {
      outgoing_.insert(outgoing_.end(), bytes, bytes + len);
      size_t at = 0;
      while (!failed && outgoing_.size() - at >= jyx::kHeaderSize) {
        const uint8_t* p = outgoing_.data() + at;
        uint32_t length = jyx::decodeFixed32(p + jyx::kLengthOffset);
        if (memcmp(p, jyx::kPackageMagicBytes, 4) != 0 || length < jyx::kHeaderSize ||
            length > kMaxPacketBytes) {
          ++at;  // not a packet start: the manager only writes whole packets
          continue;
        }
        if (outgoing_.size() - at < length) break;
        int64_t id = nextId_++;
        {
          std::lock_guard<std::mutex> hold(framesMutex_);
          frames_[id] = jyx::decodeFixed32(p + jyx::kFrameNumOffset);
        }
        failed = !sendLine(packetRequest(id, p, length));
        at += length;
      }
      outgoing_.erase(outgoing_.begin(), outgoing_.begin() + static_cast<long>(at));
    }
  }
  if (failed) {
    std::string text = "server: sending to " + path_ + " failed\n";
    report(CHANNEL_MSG_ERROR, kSendFailedCode, text.c_str());
    return -1;
  }
  return len;
}

int CServerLinkChannel::pushPending() {
  if (pending_.empty()) return 0;
  int room = receiveFifo_->freeSpace();
  int n = static_cast<int>(pending_.size()) < room ? static_cast<int>(pending_.size()) : room;
  if (n <= 0 || !receiveFifo_->push(pending_.data(), n)) return 0;
  pending_.erase(pending_.begin(), pending_.begin() + n);
  return n;
}

int CServerLinkChannel::read(void* buf, int len) {
  std::lock_guard<std::mutex> reader(readerMutex_);
  if (!pending_.empty()) {
    int pushed = pushPending();
    // Room first: the FIFO takes the rest once the main loop has read.
    if (!pending_.empty() || pushed > 0) return pushed;
  }
  int fd;
  {
    CSmartLock guard(&lock_);
    fd = fd_;
  }
  if (fd < 0) return 0;
  pollfd fds[2] = {{fd, POLLIN, 0}, {interruptFd(), POLLIN, 0}};
  int ready = poll(fds, interruptFd() >= 0 ? 2 : 1, kReadWaitMs);
  if (ready <= 0) return 0;
  if (fds[1].revents & POLLIN) {
    uint64_t drained;
    ssize_t n = ::read(interruptFd(), &drained, sizeof(drained));
    (void)n;
    return 0;
  }
  char chunk[64 * 1024];
  ssize_t n = recv(fd, chunk, sizeof(chunk), MSG_DONTWAIT);
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return 0;
  if (n <= 0) {
    // The server went away: stop reading the dead descriptor until the
    // owner closes the channel.
    ::shutdown(fd, SHUT_RDWR);
    {
      CSmartLock guard(&lock_);
      if (fd_ == fd) {
        ::close(fd_);
        fd_ = -1;
      }
    }
    report(CHANNEL_MSG_ERROR, kServerClosedCode,
           "server: the bench server closed the connection\n");
    noteEndOfStream();
    return 0;
  }
  lineBuffer_.append(chunk, static_cast<size_t>(n));
  size_t start = 0;
  for (size_t nl = lineBuffer_.find('\n'); nl != std::string::npos;
       nl = lineBuffer_.find('\n', start)) {
    handleLine(lineBuffer_.data() + start, nl - start);
    start = nl + 1;
  }
  lineBuffer_.erase(0, start);
  if (lineBuffer_.size() > kMaxReplyLine) {
    lineBuffer_.clear();
    report(CHANNEL_MSG_ERROR, kServerErrorCode, "server: a reply line exceeds every limit\n");
  }
  return pushPending();
}

void CServerLinkChannel::handleLine(const char* line, size_t length) {
  Reply reply;
  if (!parseReply(line, length, &reply)) {
    report(CHANNEL_MSG_WARNING, kServerErrorCode, "server: unreadable line from the server\n");
    return;
  }
  uint32_t frame = 0;
  bool known = false;
  if (reply.hasId && reply.id > 0) {
    std::lock_guard<std::mutex> hold(framesMutex_);
    auto it = frames_.find(reply.id);
    if (it != frames_.end()) {
      frame = it->second;
      known = true;
      frames_.erase(it);
    }
  }
  switch (reply.kind) {
    case Reply::kPacket:
    case Reply::kPower:
    case Reply::kLog:
      pending_.insert(pending_.end(), reply.bytes.begin(), reply.bytes.end());
      break;
    case Reply::kError:
      if (reply.text == kBusy) {
        report(CHANNEL_MSG_WARNING, kBusyCode,
               "server: the SPI flash lines are held by another client (busy)\n");
        if (known) {
          // The request is refused now instead of waiting for a time-out.
          CPackage refusal;
          refusal.makeAckFail(frame);
          pending_.insert(pending_.end(), refusal.data(), refusal.data() + refusal.size());
        }
      } else if (reply.text == kLinkDown) {
        report(CHANNEL_MSG_ERROR, kServerErrorCode, "server: the controller link is down\n");
      } else if (reply.text != kTimeout) {
        // A time-out is left to the manager's own request time-out.
        std::string text = "server: " + reply.text + "\n";
        report(CHANNEL_MSG_ERROR, kServerErrorCode, text.c_str());
      }
      break;
    case Reply::kFail: {
      std::string text = "server: " + reply.text + "\n";
      report(CHANNEL_MSG_WARNING, kServerErrorCode, text.c_str());
      break;
    }
    case Reply::kLink:
      // Reported as a direct link reports the controller closing it.
      if (!reply.up) {
        report(CHANNEL_MSG_ERROR, CJYXTaskManager::kPeerClosedCode,
               "tcp: the controller closed the connection!\n");
      }
      break;
    case Reply::kOk:
    case Reply::kOther:
      break;
  }
}
