// CSocketTCP: TCP byte channel, the transport to the controller board.
//
// Client (address of 6 characters or more): open() connects on the calling
// thread, blocking until the system accepts or refuses (no time limit of
// the program), and always returns false; success is reported through the
// delegate's onConnected(), failure through onMessage(2, -102, ...).
//
// Server (shorter address): open() starts a pool thread that listens on
// port (all interfaces unless setLocalAddress() narrowed it) and serves one
// peer at a time; a newly accepted peer replaces the previous one, whose
// connection is closed. open() returns true when the server thread started.
//
// Data moves through the non-blocking socket: read() waits at most
// timeout() for data, write() at most timeout() for room. A peer that went
// away is an error report, never a SIGPIPE.
#ifndef JYX_COMMON_SOCKET_TCP_H_
#define JYX_COMMON_SOCKET_TCP_H_

#include <atomic>

#include "common/socket.h"

class CSocketTCP : public CSocket {
 public:
  CSocketTCP(CChannelDelegate* delegate, int port, const char* address);
  // Stops the server thread (waking its accept), closes the peer and the
  // listening socket.
  ~CSocketTCP() override;

  bool open() override;
  // Closes the connection and flushes the FIFOs; a server also stops its
  // thread and closes the listening socket, waking a blocked accept at once
  // (shutdown of the listening socket, and the accept wait is sliced).
  // It waits for the server thread's running pass, which may need the
  // channel lock: do not call it while holding that lock, as onMessage()
  // from inside write() or read() does. onConnected() is called without it.
  void close() override;
  // Bytes sent (all of len), 0 when the socket found no room within
  // timeout() or sending failed (reported), -1 when not connected or the
  // wait failed (reported).
  int write(const void* data, int len) override;
  // Bytes pushed into receiveFifo; 0 when nothing came within timeout()
  // (nothing reported) or the peer closed; -1 when not connected (warning
  // reported) or the wait failed (error reported).
  int read(void* buf, int len) override;
  bool readWaitsForDevice() override { return true; }

 private:
  void connectClient();
  void serverPass();
  // A non-blocking socket listening on the local address and port; -1
  // after reporting the failed step.
  int openListener();
  // Accepts peers on `lfd` until the server stops, each replacing the last.
  void acceptPeers(int lfd);
  // Waits about one second, or less when the server is being stopped, so
  // that a socket/bind/listen failure is retried (and reported) once a
  // second rather than on every pool period.
  void pauseAfterServerFailure();

  CThread* serverThread_ = nullptr;  // guarded by lock_
  // The connection whose peer ended it (end of stream or a reset); guarded
  // by lock_.
  bool ended_ = false;
  unsigned endedConnection_ = 0;
  std::atomic<bool> serverStop_{false};
  CLock listenLock_;  // guards listenFd_ between the server thread and close()
  int listenFd_ = -1;
};

#endif  // JYX_COMMON_SOCKET_TCP_H_
