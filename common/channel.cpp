#include "common/channel.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cassert>
#include <chrono>
#include <cstring>
#include <memory>
#include <vector>

#include "common/loop_wake.h"

namespace {

// Bytes asked of the device per read() call; the receive thread repeats the
// call while a read comes back full. One spare byte stands behind them for
// implementations that terminate the text.
constexpr int kReadChunk = 1024;
// Bytes the send thread hands to one write() call.
constexpr int kWriteChunk = 8192;

// Longest wait of a receive or send thread on the state of a channel that is
// closed, not yet enabled or has no device to read, in ms. Every subclass
// calls wakeThreads() when its device opens and shutdown() ends the wait, so
// this bound is only a backstop for a subclass that forgets to.
constexpr int kStateWaitMs = 5000;

// The channel whose receive pass the current thread is running, if any.
thread_local const CChannel* tReceiving = nullptr;

}  // namespace

CChannel::CChannel(CChannelDelegate* _delegate, int fifoCapacity) : delegate_(_delegate) {
  assert(_delegate);
  sendFifo_ = new CFifo(fifoCapacity);
  receiveFifo_ = new CFifo(fifoCapacity);
  interruptFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  CThreadPool* pool = CThreadPool::instance();
  receiveThread_ = pool->get([this](CThread*) { receivePass(); }, -1, 0);
  sendThread_ = pool->get([this](CThread*) { sendPass(); }, -1, 0);
}

CChannel::~CChannel() {
  shutdown();
  delete sendFifo_;
  delete receiveFifo_;
  if (interruptFd_ >= 0) ::close(interruptFd_);
}

void CChannel::shutdown() {
  if (shutDown_) return;
  shutDown_ = true;
  // Every wait a pass can be in ends now: the state condition, both FIFOs
  // and the device wait (through the interrupt descriptor).
  {
    std::lock_guard<std::mutex> hold(stateMutex_);
    stopping_.store(true);
  }
  stateChanged_.notify_all();
  receiveFifo_->interruptWaits();
  sendFifo_->interruptWaits();
  interruptRead();
  close();
  if (receiveThread_) {
    receiveThread_->recycle();
    receiveThread_ = nullptr;
  }
  if (sendThread_) {
    sendThread_->recycle();
    sendThread_ = nullptr;
  }
  {
    std::unique_lock<std::mutex> hold(stateMutex_);
    stateChanged_.wait(hold, [this] { return pendingSends_ == 0; });
  }
  close();
}

void CChannel::wakeThreads() {
  {
    std::lock_guard<std::mutex> hold(stateMutex_);
    ++stateSerial_;
  }
  stateChanged_.notify_all();
}

void CChannel::interruptRead() {
  if (interruptFd_ < 0) return;
  uint64_t one = 1;
  ssize_t written = ::write(interruptFd_, &one, sizeof(one));
  (void)written;  // EAGAIN: already readable
}

unsigned CChannel::stateSerial() {
  std::lock_guard<std::mutex> hold(stateMutex_);
  return stateSerial_;
}

void CChannel::waitForState(unsigned seen, int ms) {
  std::unique_lock<std::mutex> hold(stateMutex_);
  stateChanged_.wait_for(hold, std::chrono::milliseconds(ms),
                         [this, seen] { return stopping_.load() || stateSerial_ != seen; });
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
  // The threads are enabled once open() has run: bytes queued before it
  // were flushed by it and are never sent (subclasses enable them at the
  // start of their open() already).
  bool opened = open();
  enableThreads();
  return opened;
}

void CChannel::enableThreads() {
  threadsEnabled_.store(true, std::memory_order_release);
  wakeThreads();
}

void CChannel::close() { flush(); }

bool CChannel::isOpen() { return false; }

int CChannel::write(const void* data, int len) { return 0; }

int CChannel::read(void* buf, int len) { return 0; }

int CChannel::report(CHANNEL_MSG_TYPE type, int code, const char* message) {
  int result = delegate_->onMessage(type, code, message);
  jyx::wakeMainLoop();
  return result;
}

bool CChannel::inReceivePass() const { return tReceiving == this; }

void CChannel::receivePass() {
  // A stopping channel returns at once: recycle() is about to take the
  // thread, and the pool loop does not start another pass meanwhile.
  if (stopping_.load()) return;
  // Read before the checks, so that an open that happens between the checks
  // and the wait still ends the wait.
  unsigned seen = stateSerial();
  if (!threadsEnabled_.load(std::memory_order_acquire) || !isOpen() || !readWaitsForDevice()) {
    waitForState(seen, kStateWaitMs);
    // No virtual call before the threads are enabled: until then the object
    // may still be under construction.
    if (stopping_.load() || !threadsEnabled_.load(std::memory_order_acquire)) return;
    if (!readWaitsForDevice() || !isOpen()) return;
  }
  unsigned char buf[kReadChunk + 1];
  bool queued = false;
  tReceiving = this;
  // Only this thread fills receiveFifo, so room seen here is still there when
  // read() pushes. Without a whole chunk of room the device is not read at
  // all: the bytes wait in the kernel (a TCP peer is then held back by its
  // window, a tty by its buffer) instead of being read and dropped, and this
  // thread sleeps until the main loop's pop makes room.
  for (;;) {
    if (receiveFifo_->freeSpace() < kReadChunk) {
      if (queued) jyx::wakeMainLoop();
      queued = false;
      if (!receiveFifo_->waitForRoom(kReadChunk) || stopping_.load()) break;
    }
    int n = read(buf, kReadChunk);
    if (n > 0) queued = true;
    if (n != kReadChunk) break;
  }
  tReceiving = nullptr;
  if (endOfStream_.exchange(false)) queued = true;
  if (queued) jyx::wakeMainLoop();
}

void CChannel::sendPass() {
  if (stopping_.load()) return;
  unsigned seen = stateSerial();
  if (!threadsEnabled_.load(std::memory_order_acquire)) {
    waitForState(seen, kStateWaitMs);
    return;
  }
  int held = sendFifo_->size();
  if (held <= 0) {
    sendFifo_->waitForData();
    return;
  }
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
  {
    std::lock_guard<std::mutex> hold(stateMutex_);
    ++pendingSends_;
  }
  CThread* job = CThreadPool::instance()->get(
      [this, copy, len, done](CThread*) {
        write(copy->data(), len);
        done(true);
        jyx::wakeMainLoop();
        // The notify happens under the mutex: shutdown() may destroy the
        // channel as soon as it sees the count reach 0.
        std::lock_guard<std::mutex> hold(stateMutex_);
        if (--pendingSends_ == 0) stateChanged_.notify_all();
      },
      1, 0);
  if (!job) {
    {
      std::lock_guard<std::mutex> hold(stateMutex_);
      --pendingSends_;
    }
    done(false);
  }
  return len;
}

int CChannel::sendBuffer(const char* text, std::function<void(bool)> done) {
  if (!text) return 0;
  return sendBuffer(reinterpret_cast<const unsigned char*>(text), static_cast<int>(strlen(text)),
                    std::move(done));
}
