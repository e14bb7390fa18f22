// CChannel: the byte pipe under every conversation (TCP, UDP, tty, FTDI,
// shell commands). A channel owns two pool threads for its whole life: the
// receive thread keeps reading the device into receiveFifo, the send thread
// drains sendFifo. Parsers pop receiveFifo on the main thread.
//
// Neither thread polls. The receive thread blocks in the kernel on the
// device (read() implementations that do so say so through
// readWaitsForDevice()), on the channel's state condition while the channel
// is closed, or on receiveFifo while it is full; after queueing bytes it
// wakes the main loop (common/loop_wake.h). The send thread blocks on
// sendFifo until there is something to send.
#ifndef JYX_COMMON_CHANNEL_H_
#define JYX_COMMON_CHANNEL_H_

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>

#include "common/fifo.h"
#include "common/lock.h"
#include "common/thread_pool.h"

enum CHANNEL_MSG_TYPE {
  CHANNEL_MSG_WARNING = 1,
  CHANNEL_MSG_ERROR = 2,
};

// Channel events. Called on whichever thread detected the event (pool
// threads, the TCP server thread, or the main thread during open), so
// implementations only record the event or print.
class CChannelDelegate {
 public:
  virtual ~CChannelDelegate() = default;
  virtual void onConnected() {}
  // A warning or error with a negative code and a text ending in "\n".
  virtual int onMessage(CHANNEL_MSG_TYPE type, int code, const char* message) { return 0; }
};

class CChannel {
 public:
  // Every channel in the system uses 4 MiB FIFOs.
  static constexpr int kDefaultFifoCapacity = 4 * 1024 * 1024;

  // `delegate` must not be null and must outlive the channel.
  CChannel(CChannelDelegate* delegate, int fifoCapacity);
  CChannel(const CChannel&) = delete;
  CChannel& operator=(const CChannel&) = delete;

  virtual int timeout();  // microseconds, for the socket select calls
  virtual void setTimeout(int timeout);
  virtual bool isServer();
  virtual void setServer(bool isServer);
  // Frees the FIFOs. The pool threads call virtual operations of the
  // channel, so they must be stopped before any destructor in the class
  // chain begins: owners call shutdown() before destroying a channel. Each
  // concrete class's destructor calls it too, which covers a channel of
  // exactly that class; a class deriving from a concrete channel must call
  // it in its own destructor. The base destructor repeats it as a last
  // resort (a no-op when it already ran).
  virtual ~CChannel();
  // Resets both FIFOs.
  virtual void flush();
  virtual bool open();
  // Calls open() and enables the pool threads.
  virtual bool start();
  virtual void close();
  virtual bool isOpen();
  // Bytes written, 0 on a timeout, -1 on error.
  virtual int write(const void* data, int len);
  // Reads at most len bytes from the device into receiveFifo; returns the
  // count (0 when nothing was there, negative on error). The receive thread
  // calls it only while receiveFifo has room for len bytes, so a full FIFO
  // leaves the bytes in the device instead of dropping them.
  virtual int read(void* buf, int len);

  // Without `done`: writes synchronously on the calling thread and returns
  // write()'s result. With `done`: copies the bytes, posts a one-shot pool
  // job that writes them and calls done(true), and returns len; done(false)
  // at once when the pool has no thread. len <= 0 returns len, calls nothing.
  int sendBuffer(const unsigned char* data, int len, std::function<void(bool)> done);
  int sendBuffer(const char* text, std::function<void(bool)> done);

  // Interrupts every wait of the channel's threads (device, FIFOs, state),
  // closes the device, recycles both pool threads (CThread::recycle waits
  // for a running pass), waits for the asynchronous sends still in flight
  // and closes again. Afterwards no pool
  // thread calls into this channel, and the channel is never opened again.
  // Idempotent; the owner calls it on the thread that will destroy the
  // channel, before destroying it.
  void shutdown();

  CFifo* receiveFifo() { return receiveFifo_; }
  CFifo* sendFifo() { return sendFifo_; }
  CChannelDelegate* delegate() { return delegate_; }

 protected:
  // Lets the two pool threads start calling isOpen/read/write. The base
  // constructor takes the threads, but they leave the channel alone until
  // this is called, because a virtual call on an object still under
  // construction would reach the wrong class and unset members. Subclasses
  // call it at the start of their open() (start() calls it too); a channel
  // that is never opened never has its device read. Any thread, idempotent.
  void enableThreads();
  // Hands a warning or error to the delegate, then wakes the main loop,
  // which reacts to what the delegate recorded.
  int report(CHANNEL_MSG_TYPE type, int code, const char* message);
  // Tells the channel's threads that the device may have opened: a receive
  // thread waiting on the closed channel looks again at once. Subclasses
  // call it after a device became open; any thread.
  void wakeThreads();
  // True when read() itself blocks on the device for up to its time-out
  // (sockets, ttys). Otherwise the receive thread does not call read() back
  // to back but waits on the channel's state between passes: the bytes of
  // such channels arrive by other paths (an exec channel's write).
  virtual bool readWaitsForDevice() { return false; }
  // An eventfd that read() implementations poll beside the device so that
  // close() and shutdown() end a blocked wait at once; -1 when the system
  // gave none (reads then end at their time-out). interruptRead() makes it
  // readable; the reader drains it (common/fd_wait.h waitFdOrWake).
  int interruptFd() const { return interruptFd_; }
  // Called by read() implementations that found the device at its end
  // (a peer that closed): the receive pass then wakes the main loop, whose
  // owner acts on the end, even though no bytes came.
  void noteEndOfStream() { endOfStream_.store(true); }
  // True once shutdown() has begun; a read woken through interruptFd()
  // then returns instead of waiting on.
  bool stopping() const { return stopping_.load(); }
  void interruptRead();
  // True on this channel's receive thread while it runs a pass that found
  // the channel open. A read() there that finds the device closed lost a
  // race with close() (which may run between that test and the read), so it
  // returns quietly instead of reporting an invalid handle.
  bool inReceivePass() const;

  // The count of wakeThreads() calls so far.
  unsigned stateSerial();
  // Waits on stateChanged_ until the count differs from `seen`, shutdown
  // began or `ms` passed.
  void waitForState(unsigned seen, int ms);

  int timeout_ = 1000000;
  bool isServer_ = false;
  CChannelDelegate* delegate_;
  CLock lock_;  // serialises open, close, read and write of the device
  CFifo* sendFifo_;
  CFifo* receiveFifo_;
  CThread* sendThread_ = nullptr;
  CThread* receiveThread_ = nullptr;

 private:
  void receivePass();
  void sendPass();

  std::atomic<bool> threadsEnabled_{false};
  std::atomic<bool> stopping_{false};  // set once by shutdown(), never cleared
  std::atomic<bool> endOfStream_{false};
  int interruptFd_ = -1;
  std::mutex stateMutex_;                 // guards stateSerial_ and pendingSends_
  std::condition_variable stateChanged_;  // wakeThreads, shutdown, a send job ending
  unsigned stateSerial_ = 0;
  int pendingSends_ = 0;  // asynchronous sendBuffer jobs not yet finished
  bool shutDown_ = false;
};

#endif  // JYX_COMMON_CHANNEL_H_
