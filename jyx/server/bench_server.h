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
// Threads: none of its own. The client sockets, the listening socket, the
// controller's packet link (when the data manager reads it on the main
// thread, as the serve flow sets up) and the main loop's wake-up descriptor
// sit in one epoll set (waitFd()), on which the main loop waits while it
// serves; onUpdate accepts, reads and answers whatever is ready without
// blocking. A request and its reply thus cost the server one wake-up each,
// and every byte to a client is written by the thread that produced it.
#ifndef JYX_JYX_SERVER_BENCH_SERVER_H_
#define JYX_JYX_SERVER_BENCH_SERVER_H_

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
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
  // The bounded poll before the loop sleeps (spinUs): its length, and how
  // long after a packet answer a client's next request is expected.
  static constexpr int kSpinUs = 200;
  static constexpr double kFollowUpSeconds = 0.002;

  // `reconnect` reopens both controller links (blocking); called while the
  // packet link is down, at most every kReconnectInterval. The managers must
  // outlive the server.
  CJYXBenchServer(CJYXDataManager* data, CJYXLogManager* log, std::function<void()> reconnect);
  ~CJYXBenchServer() override;

  // Binds and listens on `path` (its directory must exist and pass the
  // ownership checks), removing a stale socket file that no server answers
  // on. False with *why on failure.
  bool listen(const std::string& path, std::string* why);
  // Starts handing the flash lines back when a client holds them (no wait).
  void startHandBack();
  // True while the server sends the hand-back requests.
  bool handBackPending() const { return handingBack_; }
  // Closes every client and removes the socket file. Idempotent.
  void close();
  // The descriptor the main loop waits on while serving: readable when a
  // client or the main loop's wake-up has something. -1 before listen().
  int waitFd() const { return epollFd_; }

  // Microseconds the main loop polls waitFd() before it sleeps (0: sleep at
  // once). Non-zero while a client's packet request is out on the
  // controller link, or shortly after one was answered: a client that
  // drives a flow sends its next request then. Being woken from sleep costs
  // tens of microseconds, each a request and its reply, which is as much as
  // the relay itself; polling for a bounded moment saves both.
  int spinUs(double now) const;

  void onUpdate(double now) override;
  // Client traffic wakes the loop through the server's descriptor; the only
  // timer is the next reconnect attempt while the controller link is down.
  double nextDeadline(double now) override;

  // Connected clients, and the session id that holds the flash lines (0:
  // none).
  size_t sessionCount() const { return sessions_.size(); }
  uint64_t spiOwner() const { return spiOwner_; }

 private:
  struct Session {
    uint64_t id = 0;
    int fd = -1;
    std::string in;
    std::string out;
    bool closing = false;  // not read any more; dropped once `out` is written
    // The client has sent its last request (shut its side down): it is not
    // read any more, but gets every answer still to come, then goes.
    bool eof = false;
    int inFlight = 0;       // requests whose answer is still to come
    uint32_t interest = 0;  // its events in the epoll set
  };

  void acceptClients();
  // Reads what the client sent and handles every whole line; false when the
  // client is to be dropped now.
  bool readClient(uint64_t id);
  // Writes queued output; false when the client is to be dropped now.
  bool flushClient(Session* s);
  // Brings the client's epoll events in line with its state.
  void watch(Session* s);
  void drop(uint64_t id);
  // Puts the controller link's current descriptor in the epoll set when the
  // data manager lets the loop read it (readOnMainThread).
  void watchLink();

  // Parses *line in place (it is left changed).
  void handleLine(uint64_t session, const std::string& line);
  void handlePacket(uint64_t session, const std::string& id, const std::vector<uint8_t>& bytes);
  void handleTask(uint64_t session, const std::string& id, const std::string& task,
                  const std::string& args);
  void handleWrite(uint64_t session, const std::string& id, const std::vector<uint8_t>& bytes);
  void writeNext(uint64_t session, const std::string& id, std::shared_ptr<std::string> text,
                 size_t at);
  void sessionGone(uint64_t session);
  void send(uint64_t session, const std::string& text);
  // A request whose answer comes later: begin() when it starts, answer()
  // sends its answer and ends it.
  void begin(uint64_t session);
  void answer(uint64_t session, const std::string& text);
  // True once a session has nothing more to send or to wait for.
  static bool finished(const Session& s) {
    return s.out.empty() && (s.closing || (s.eof && s.inFlight == 0));
  }
  void broadcast(unsigned topic, const std::string& text);
  void broadcastAll(const std::string& text);

  CJYXDataManager* data_;
  CJYXLogManager* log_;
  std::function<void()> reconnect_;
  std::string path_;
  int listenFd_ = -1;
  int epollFd_ = -1;
  int linkFd_ = -1;
  unsigned linkConnection_ = 0;
  std::map<uint64_t, std::unique_ptr<Session>> sessions_;
  uint64_t nextSession_ = 1;

  std::map<uint64_t, unsigned> topics_;
  uint64_t spiOwner_ = 0;
  bool spiTaskRunning_ = false;
  bool handingBack_ = false;
  int lineLevel_[2] = {1, 1};  // SPI_PRG_EN, SPI_PRG_SEL as last acknowledged
  int uartSel_[2] = {1, 1};    // UART_SEL0, UART_SEL1
  bool linkUp_ = false;
  int packetsOut_ = 0;              // packet requests awaiting the controller
  double lastPacketAnswer_ = -1.0;  // when the last one was answered
  double nextReconnect_ = 0.0;
};

#endif  // JYX_JYX_SERVER_BENCH_SERVER_H_
