// CJYXBenchServer: lets several local clients share one controller. The
// process that runs it owns the controller's packet and log links (the
// data and log managers); clients connect to a Unix socket and speak the
// line protocol of server_protocol.md: tasks of the managers, raw request
// packets relayed with fresh frame numbers, log and power-sample pushes.
//
// Flash-line ownership: a client that takes the SPI flash lines (SPI_PRG_SEL
// or SPI_PRG_EN set to 0) holds them, with every SPI request, until it hands
// both back (set to 1); another client's SPI request meanwhile gets "busy".
// A holder that disconnects has the lines handed back by the server.
//
// Threads: one I/O thread accepts clients, reads their lines and writes the
// queued output; it blocks in poll() on the sockets and an eventfd and wakes
// the main loop when lines arrive. Everything else (requests, replies,
// ownership, fan-out) runs on the main thread in onUpdate.
#ifndef JYX_JYX_SERVER_BENCH_SERVER_H_
#define JYX_JYX_SERVER_BENCH_SERVER_H_

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/updater.h"

class CJYXDataManager;
class CJYXLogManager;
class CPackage;

class CJYXBenchServer : public CUpdater {
 public:
  // Seconds between two attempts to reconnect a controller link that went
  // down.
  static constexpr double kReconnectInterval = 1.0;

  // `reconnect` reopens both controller links (blocking); called while the
  // packet link is down, at most every kReconnectInterval. The managers must
  // outlive the server.
  CJYXBenchServer(CJYXDataManager* data, CJYXLogManager* log, std::function<void()> reconnect);
  ~CJYXBenchServer() override;

  // Binds and listens on `path` (its directory must exist and pass the
  // ownership checks), removing a stale socket file that no server answers
  // on, and starts the I/O thread. False with *why on failure.
  bool listen(const std::string& path, std::string* why);
  // Starts handing the flash lines back when a client holds them (no wait).
  void startHandBack();
  // True while the server sends the hand-back requests.
  bool handBackPending() const { return handingBack_; }
  // Stops the I/O thread, closes every client and removes the socket file.
  // Main thread; idempotent.
  void close();

  void onUpdate(double now) override;

  // Main thread: connected clients, and the session id that holds the flash
  // lines (0: none).
  size_t sessionCount();
  uint64_t spiOwner() const { return spiOwner_; }

 private:
  struct Session {
    uint64_t id = 0;
    int fd = -1;
    std::string in;
    std::string out;
    bool closing = false;  // drop once `out` is written
    size_t queued = 0;     // lines handed to the main thread, not yet handled
  };
  struct Event {
    uint64_t session;
    bool gone;
    std::string line;
  };

  void ioLoop();
  void acceptClients();
  // I/O thread, mutex_ held: reads what the client sent; false at its end.
  bool readClient(Session* session);
  void dropLocked(uint64_t id);
  void wakeIo();

  // Main thread.
  void handleLine(uint64_t session, const std::string& line);
  void handlePacket(uint64_t session, const std::string& id, const std::vector<uint8_t>& bytes);
  void handleTask(uint64_t session, const std::string& id, const std::string& task,
                  const std::string& args);
  void handleWrite(uint64_t session, const std::string& id, const std::vector<uint8_t>& bytes);
  void writeNext(uint64_t session, const std::string& id, std::shared_ptr<std::string> text,
                 size_t at);
  void sessionGone(uint64_t session);
  void send(uint64_t session, const std::string& text);
  void broadcast(unsigned topic, const std::string& text);
  void broadcastAll(const std::string& text);

  CJYXDataManager* data_;
  CJYXLogManager* log_;
  std::function<void()> reconnect_;
  std::string path_;
  int listenFd_ = -1;
  int wakeFd_ = -1;
  std::thread io_;

  std::mutex mutex_;  // guards everything below up to the main-thread block
  std::map<uint64_t, std::unique_ptr<Session>> sessions_;
  std::deque<Event> events_;
  bool stopping_ = false;
  uint64_t nextSession_ = 1;

  // Main thread only.
  std::map<uint64_t, unsigned> topics_;
  uint64_t spiOwner_ = 0;
  bool spiTaskRunning_ = false;
  bool handingBack_ = false;
  int lineLevel_[2] = {1, 1};  // SPI_PRG_EN, SPI_PRG_SEL as last acknowledged
  int uartSel_[2] = {1, 1};    // UART_SEL0, UART_SEL1
  bool linkUp_ = false;
  double nextReconnect_ = 0.0;
};

#endif  // JYX_JYX_SERVER_BENCH_SERVER_H_
