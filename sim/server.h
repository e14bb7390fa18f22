// CSimServer: the simulator's sockets and event loop. One thread, poll(2)
// over the two listening sockets, at most one client per port (a new client
// replaces the old one), the signal descriptor, and the controller's timers.
#ifndef JYX_SIM_SERVER_H_
#define JYX_SIM_SERVER_H_

#include <poll.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "sim/controller.h"
#include "sim/fastboot_target.h"
#include "sim/frame.h"
#include "sim/ftdi_bridge.h"

namespace jyxsim {

// Monotonic microseconds.
uint64_t monoMicros();

class CSimServer {
 public:
  explicit CSimServer(CSimController* controller);
  ~CSimServer();
  CSimServer(const CSimServer&) = delete;
  CSimServer& operator=(const CSimServer&) = delete;

  // Binds and listens on addr:packetPort and addr:logPort.
  bool listen(const std::string& addr, int packetPort, int logPort, std::string* err);
  // Also serves `target`'s fastboot protocol on addr:port; a client is
  // accepted only while the target is in fastboot mode (otherwise the
  // connection is closed at once, as no boot loader listens), and closed
  // when the target leaves that mode.
  bool listenFastboot(const std::string& addr, int port, CSimFastboot* target, std::string* err);
  // Runs until a terminating signal arrives on signalFd (a signalfd) or the
  // parent process is gone. SIGUSR1 calls onReload.
  void run(int signalFd, std::function<void()> onReload);
  // Serves the simulated FTDI bridge from the same loop (not owned).
  void setBridge(CSimBridge* bridge) { bridge_ = bridge; }

 private:
  // The descriptors of one wait: signals, the three listeners and the
  // clients present, then the bridge's (from `own` on); -1: not polled.
  struct PollSet {
    std::vector<pollfd> fds;
    int packet = -1;
    int log = -1;
    int fbListen = -1;
    int fb = -1;
    int own = 0;
  };
  // Microseconds until the model next needs a tick, at most one second.
  uint64_t waitUs() const;
  PollSet pollSet(int signalFd);
  // Runs the reload for each SIGUSR1; false on any other signal (exit).
  bool readSignals(int signalFd, const std::function<void()>& onReload);
  // Reads, writes and accepts what the wait reported ready.
  void serve(PollSet& set, uint64_t now);
  struct Client {
    int fd = -1;
    std::string out;
    size_t outPos = 0;
    bool closing = false;  // close once `out` is written
    uint32_t requests = 0;
  };

  void acceptPacket(uint64_t now);
  void acceptLog(uint64_t now);
  void readPacket(uint64_t now);
  // Answers the requests already received, while the client keeps up.
  void handleRequests(uint64_t now);
  size_t packetBacklog() const { return packet_.out.size() - packet_.outPos; }
  void readLog();
  void pump(uint64_t now);
  bool flush(Client* c);
  void closePacket(uint64_t now);
  void closeLog();
  void acceptFastboot();
  void readFastboot();
  void closeFastboot();
  bool inFastbootMode() const;

  CSimController* controller_;
  int listenPacket_ = -1;
  int listenLog_ = -1;
  int listenFastboot_ = -1;
  CSimFastboot* fastbootTarget_ = nullptr;
  Client fastboot_;
  Client packet_;
  Client log_;
  CSimFrameReader reader_;
  SimFrame frame_;
  CSimController::Outgoing outgoing_;
  std::string logText_;
  pid_t parent_;
  CSimBridge* bridge_ = nullptr;
};

}  // namespace jyxsim

#endif  // JYX_SIM_SERVER_H_
