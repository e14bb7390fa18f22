// CSocket: the IPv4 socket base of the TCP and UDP channels. Whether a
// socket is a client or a server follows from its address text: shorter
// than 6 characters (for example empty) makes a server.
#ifndef JYX_COMMON_SOCKET_H_
#define JYX_COMMON_SOCKET_H_

#include <netinet/in.h>

#include <string>

#include "common/channel.h"

class CSocket : public CChannel {
 public:
  // 4 MiB FIFOs; the address is the peer's dotted IPv4 text (client) or
  // ignored (server).
  CSocket(CChannelDelegate* delegate, const char* address, int port);
  ~CSocket() override;

  // Closes the socket (fd -1 afterwards) and flushes both FIFOs.
  void close() override;
  // True while a socket is held (connected client, accepted peer, UDP socket).
  bool isOpen() override;

  virtual std::string address();
  // Replaces the peer address used by the next open(); client or server
  // stays as decided at construction.
  virtual void setAddress(const std::string& address);
  virtual int port();
  virtual void setPort(int port);

  // Interface a server binds. All interfaces (INADDR_ANY) unless set here;
  // false (and nothing changed) when the text is not a dotted IPv4 address.
  // Used by the next open().
  bool setLocalAddress(const char* address);
  std::string localAddress();

 protected:
  // Closes fd_ and flushes; the caller holds lock_.
  void closeSocketLocked();

  std::string address_;
  int port_;
  int fd_ = -1;
  // Counts the connections closed so far (guarded by lock_). A descriptor
  // number is reused by the next socket at once, so a wait that ran without
  // the lock checks this, not fd_, to know its connection is still the one.
  unsigned connection_ = 0;
  sockaddr_in localAddr_{};
  sockaddr_in peerAddr_{};
};

#endif  // JYX_COMMON_SOCKET_H_
