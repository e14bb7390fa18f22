#include "common/channel.h"

#include <cassert>
#include <cstring>
#include <memory>
#include <vector>

namespace {

// Bytes asked of the device per read() call; the receive thread repeats the
// call while a read comes back full. One spare byte stands behind them for
// implementations that terminate the text.
constexpr int kReadChunk = 1024;
// Bytes the send thread hands to one write() call.
constexpr int kWriteChunk = 8192;

// The channel whose receive pass the current thread is running, if any.
thread_local const CChannel* tReceiving = nullptr;

}  // namespace

CChannel::CChannel(CChannelDelegate* _delegate, int fifoCapacity) : delegate_(_delegate) {
  assert(_delegate);
  sendFifo_ = new CFifo(fifoCapacity);
  receiveFifo_ = new CFifo(fifoCapacity);
  CThreadPool* pool = CThreadPool::instance();
  receiveThread_ = pool->get([this](CThread*) { receivePass(); }, -1, 0);
  sendThread_ = pool->get([this](CThread*) { sendPass(); }, -1, 0);
}

CChannel::~CChannel() {
  shutdown();
  delete sendFifo_;
  delete receiveFifo_;
}

void CChannel::shutdown() {
  if (shutDown_) return;
  shutDown_ = true;
  close();
  if (receiveThread_) {
    receiveThread_->recycle();
    receiveThread_ = nullptr;
  }
  if (sendThread_) {
    sendThread_->recycle();
    sendThread_ = nullptr;
  }
  while (pendingSends_.load() > 0) sleepMs(1);
  close();
}

int CChannel::timeout() {
  CSmartLock guard(&lock_);
  return timeout_;
}

void CChannel::setTimeout(int timeout) {
  CSmartLock guard(&lock_);
  timeout_ = timeout;
}

bool CChannel::isServer() {
  CSmartLock guard(&lock_);
  return isServer_;
}

void CChannel::setServer(bool isServer) {
  CSmartLock guard(&lock_);
  isServer_ = isServer;
}

void CChannel::flush() {
  sendFifo_->reset();
  receiveFifo_->reset();
}

bool CChannel::open() {
  flush();
  return false;
}

bool CChannel::start() {
  enableThreads();
  return open();
}

void CChannel::enableThreads() { threadsEnabled_.store(true, std::memory_order_release); }

void CChannel::close() { flush(); }

bool CChannel::isOpen() { return false; }

int CChannel::write(const void* data, int len) { return 0; }

int CChannel::read(void* buf, int len) { return 0; }

int CChannel::report(CHANNEL_MSG_TYPE type, int code, const char* message) {
  return delegate_->onMessage(type, code, message);
}

bool CChannel::inReceivePass() const { return tReceiving == this; }

void CChannel::receivePass() {
  if (!threadsEnabled_.load(std::memory_order_acquire) || !isOpen()) return;
  unsigned char buf[kReadChunk + 1];
  tReceiving = this;
  // Only this thread fills receiveFifo, so room seen here is still there when
  // read() pushes. Without a whole chunk of room the device is not read at
  // all: the bytes wait in the kernel (a TCP peer is then held back by its
  // window, a tty by its buffer) instead of being read and dropped.
  while (receiveFifo_->freeSpace() >= kReadChunk && read(buf, kReadChunk) == kReadChunk) {
  }
  tReceiving = nullptr;
}

void CChannel::sendPass() {
  if (!threadsEnabled_.load(std::memory_order_acquire)) return;
  int held = sendFifo_->size();
  if (held <= 0) return;
  std::vector<unsigned char> buf(kWriteChunk);
  while ((held = sendFifo_->size()) > 0) {
    int n = held < kWriteChunk ? held : kWriteChunk;
    if (!sendFifo_->pop(buf.data(), n)) return;
    // Bytes a failed write did not take are dropped.
    if (write(buf.data(), n) < 1) return;
  }
}

int CChannel::sendBuffer(const unsigned char* data, int len, std::function<void(bool)> done) {
  if (len <= 0) return len;
  if (!done) return write(data, len);

  // The job owns its copy (plus a terminating NUL for text consumers); the
  // pool copies the work function on every pass, hence the shared storage.
  auto copy = std::make_shared<std::vector<unsigned char>>(data, data + len);
  copy->push_back(0);
  ++pendingSends_;
  CThread* job = CThreadPool::instance()->get(
      [this, copy, len, done](CThread*) {
        write(copy->data(), len);
        done(true);
        --pendingSends_;
      },
      1, 0);
  if (!job) {
    --pendingSends_;
    done(false);
  }
  return len;
}

int CChannel::sendBuffer(const char* text, std::function<void(bool)> done) {
  if (!text) return 0;
  return sendBuffer(reinterpret_cast<const unsigned char*>(text), static_cast<int>(strlen(text)),
                    std::move(done));
}
