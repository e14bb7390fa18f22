// CSocketUDP: datagram variant of the socket channel with the TCP
// interface. A server binds port and answers the last sender; a client
// greets its peer with "<hello>\n" on open() so that the peer learns this
// socket's address.
#ifndef JYX_COMMON_SOCKET_UDP_H_
#define JYX_COMMON_SOCKET_UDP_H_

#include "common/socket.h"

class CSocketUDP : public CSocket {
 public:
  CSocketUDP(CChannelDelegate* delegate, int port, const char* address);
  ~CSocketUDP() override;

  // True (and onConnected) once the socket is ready; false with a printed
  // reason otherwise.
  bool open() override;
  // Sends datagrams of at most 1024 bytes to the peer (the last sender for a
  // server). len when all went out; 0 when closed or no peer known yet;
  // negative after a reported error.
  int write(const void* data, int len) override;
  // One datagram (at most len bytes, the rest of a longer one is lost) into
  // receiveFifo. Waits at most timeout() in slices, releasing the channel
  // lock between them so that writers are not held up. 0 when closed or
  // nothing arrived.
  int read(void* buf, int len) override;
  bool readWaitsForDevice() override { return true; }
};

#endif  // JYX_COMMON_SOCKET_UDP_H_
