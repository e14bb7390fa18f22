// CSimBridge: the controller board's FTDI quad USB bridge as jyx-sim
// models it, served on a Unix socket to the D2XX simulation backend
// (ftd2xx/bridge_protocol.h), plus the optional pty that stands in for a
// plain USB tty to the main MCU's console (jyx --usb-uart).
//
// Device list: the configured serial numbers in order. The four "JYX..."
// entries ending in A-D are the controller's bridge; any other entry is a
// device with nothing attached. Wiring of the bridge (new controllers;
// --old-jyx swaps B and C):
//   A  unused UART
//   B  the main MCU's boot lines: RTS high holds EN low (reset), DTR high
//      pulls IO0 low; in MPSSE or bit-bang mode its low byte drives the
//      board's JTAG and scan routing
//   C  the main MCU's console UART
//   D  the slave MCU's console UART
// The console interfaces C and D also reach their MCU's EN and IO0 through
// the usual two-transistor auto-reset circuit: EN is low while RTS is high
// and DTR low; IO0 is low while DTR is high and RTS low. A released
// interface (closed) drives neither line; its bit mode and pin levels stay
// until a handle changes them.
//
// Each interface moves bytes at its baud rate (10 bits a byte) both ways;
// a write is confirmed once it fits the interface's 4 KiB transmit buffer,
// so a host cannot run further ahead of the line than a real bridge lets
// it.
#ifndef JYX_SIM_FTDI_BRIDGE_H_
#define JYX_SIM_FTDI_BRIDGE_H_

#include <poll.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "sim/mcu.h"
#include "sim/ops_log.h"

namespace jyxsim {

class CSimBridge {
 public:
  struct Config {
    std::vector<std::string> serials = {"FT4X9Q2Z", "JYX2K7A1A", "JYX2K7A1B", "JYX2K7A1C",
                                        "JYX2K7A1D"};
    bool oldWiring = false;
    CSimMcu::Config main;
    CSimMcu::Config slave;
  };

  CSimBridge(const Config& config, COpsLog* opsLog);
  ~CSimBridge();
  CSimBridge(const CSimBridge&) = delete;
  CSimBridge& operator=(const CSimBridge&) = delete;

  // Listens on the Unix socket `path` (an existing socket file is replaced).
  bool listen(const std::string& path, std::string* err);
  // Creates a pty whose slave end is linked at `linkPath`; the main MCU's
  // console answers on it as on interface C (no line pacing).
  bool openPty(const std::string& linkPath, std::string* err);

  // The event loop's share: descriptors to poll, their results, the timers.
  void addPollFds(std::vector<pollfd>* fds);
  void onPoll(const pollfd* fds, size_t n, uint64_t now);
  void tick(uint64_t now);
  uint64_t nextWakeUs() const;

  CSimMcu& mainMcu() { return *main_; }
  CSimMcu& slaveMcu() { return *slave_; }

 private:
  // Bytes crossing one direction of an interface at the line rate.
  struct Line {
    std::deque<uint8_t> bytes;
    uint64_t clockUs = 0;  // when the last delivered byte finished
    void push(const uint8_t* data, size_t n, uint64_t now);
    // Bytes whose transfer has finished by `now`, taken off the queue.
    size_t take(uint64_t now, double byteUs, std::string* out);
    uint64_t nextUs(double byteUs) const;
  };

  enum class Role { kNone, kBootLines, kMainConsole, kSlaveConsole };

  struct Interface {
    std::string serial;
    Role role = Role::kNone;
    int client = -1;  // connection id holding it, -1 when free
    uint32_t baud = 9600;
    bool dtr = false;
    bool rts = false;
    uint8_t bitMode = 0;
    uint8_t bitMask = 0;
    uint8_t pins = 0xFF;       // low byte driven in bit-bang / MPSSE mode
    uint8_t direction = 0x00;  // MPSSE direction of the low byte
    std::string mpsse;         // MPSSE command bytes not yet complete
    Line toDevice;
    Line toHost;
    std::deque<uint32_t> unconfirmed;  // write sizes awaiting confirmation
    double byteUs() const { return 10.0e6 / (baud > 0 ? baud : 9600); }
  };

  struct Client {
    int fd = -1;
    int index = -1;  // interface opened through it
    std::string in;
    std::string out;
    bool closing = false;
  };

  void accept(uint64_t now);
  void readClient(size_t id, uint64_t now);
  void handle(size_t id, uint8_t type, const std::string& payload, uint64_t now);
  void handleSet(size_t id, const std::string& payload, uint64_t now);
  void release(size_t id, uint64_t now);
  static Interface released(const Interface& itf);
  void flushClient(size_t id);
  void reply(size_t id, uint32_t status, uint32_t value, const std::string& extra = "");
  void updatePins(uint64_t now);
  // Host bytes in MPSSE mode: set and get pin commands, answered in order;
  // an incomplete command waits for the rest.
  void mpsseBytes(Interface* itf, const std::string& bytes, uint64_t now);
  void deviceBytes(Interface* itf, const std::string& bytes, uint64_t now);
  CSimMcu* mcuOf(const Interface& itf);
  void readPty(uint64_t now);

  Config config_;
  COpsLog* ops_;
  std::unique_ptr<CSimMcu> main_;
  std::unique_ptr<CSimMcu> slave_;
  std::vector<Interface> interfaces_;
  std::vector<Client> clients_;
  int listenFd_ = -1;
  std::string socketPath_;
  int ptyFd_ = -1;
  std::string ptyLink_;
  uint64_t lastNow_ = 0;  // time of the latest event, for paths without one
};

}  // namespace jyxsim

#endif  // JYX_SIM_FTDI_BRIDGE_H_
