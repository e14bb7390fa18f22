// CServerLinkChannel: the client side of the bench server, a channel that
// stands in for a controller link when a server owns the controller. Put
// under the data manager it cuts the byte stream the manager writes into
// packets and sends each as a "packet" request; the replies (with the
// manager's own frame numbers) and the pushed power samples come back as
// packet bytes in the receive FIFO, so the manager, its parser and its
// request tracker work exactly as on a direct link. Put under the log
// manager it subscribes to the log and receives the target's UART bytes;
// what the manager writes goes to the target as "write" requests.
//
// A "busy" answer (the flash lines are held by another client) is reported
// as a warning and turned into a refusal (ACK_FAIL) of that request, so the
// flow in progress ends at once with its own failure line. The server's
// "link down" event is reported as the controller closing the connection.
//
// Threads: the receive thread blocks in poll() on the socket and the
// interrupt descriptor, never holding the channel lock while it waits;
// writes happen on the writer's thread under the channel lock.
#ifndef JYX_JYX_SERVER_SERVER_LINK_CHANNEL_H_
#define JYX_JYX_SERVER_SERVER_LINK_CHANNEL_H_

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "common/channel.h"

class CServerLinkChannel : public CChannel {
 public:
  enum Role { kPackets, kLog };

  CServerLinkChannel(CChannelDelegate* delegate, const std::string& path, Role role);
  ~CServerLinkChannel() override;

  // Connects to the server and subscribes (power samples for the packet
  // role, the log for the log role). False, with an error reported, when no
  // server answers.
  bool open() override;
  void close() override;
  bool isOpen() override;
  int write(const void* data, int len) override;
  int read(void* buf, int len) override;

  const std::string& path() const { return path_; }

 protected:
  bool readWaitsForDevice() override { return true; }

 private:
  // Sends one whole line; false when the server is gone or stalls.
  bool sendLine(const std::string& line);
  // Receive thread: one line from the server.
  void handleLine(const char* line, size_t length);
  // Receive thread: moves decoded bytes into the receive FIFO as room allows.
  int pushPending();

  std::string path_;
  Role role_;
  int fd_ = -1;  // guarded by lock_
  // Receive side: the reader's own state; readerMutex_ is held while it
  // waits, so close() can take the descriptor away only between waits.
  std::mutex readerMutex_;
  std::string lineBuffer_;
  std::vector<uint8_t> pending_;
  // Write side (under lock_): bytes of a packet not yet complete, the next
  // request id and the frame number of each packet request in flight.
  std::vector<uint8_t> outgoing_;
  int64_t nextId_ = 1;
  std::mutex framesMutex_;
  std::map<int64_t, uint32_t> frames_;
};

#endif  // JYX_JYX_SERVER_SERVER_LINK_CHANNEL_H_
