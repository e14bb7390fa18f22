// CSimController: the JYX controller board. Maps each request packet to its
// reply (or refusal), owns the target, the SPI flash, the power monitor and
// the fault injector, and produces the unsolicited traffic: power reports on
// the packet port and forwarded UART text for the log port.
//
// Single-threaded and clock-driven: the server passes monotonic
// microseconds into every call, so a test can run it without sockets.
#ifndef JYX_SIM_CONTROLLER_H_
#define JYX_SIM_CONTROLLER_H_

#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "sim/faults.h"
#include "sim/frame.h"
#include "sim/ops_log.h"
#include "sim/power_rails.h"
#include "sim/spi_flash.h"
#include "sim/target.h"

namespace jyxsim {

class CSimController {
 public:
  // Size of each copy of a multi-copy ("2M*n") flash layout.
  static constexpr uint32_t kSecureCopyBytes = 2u << 20;

  struct Config {
    CSimTarget::Config target;
    CSimSpiFlash::Config flash;
    CSimPowerRails::Config power;
    // Initial levels of controller outputs, applied before anything else.
    std::vector<std::pair<uint16_t, uint8_t>> gpioLevels;
    // "off" (default), "on", "running" or "fastboot": where the target starts.
    std::string initialState = "off";
    uint32_t eraseUsPerSector = 0;
    uint32_t programUsPerSector = 0;
    // Reply delay of a sector read (a real 4 KiB read takes well under
    // a millisecond, an erase and program tens of them).
    uint32_t readUsPerSector = 0;
  };

  // One packet (or raw bytes) due on the packet port.
  struct Outgoing {
    uint64_t dueUs = 0;
    uint64_t seq = 0;
    std::string bytes;  // the wire bytes, garbage included
    bool closeAfter = false;
    bool resetAfter = false;  // with closeAfter: the session ends (see faults.h)
    bool report = false;      // an unsolicited power report
  };

  CSimController(const Config& config, CSimFaults* faults, COpsLog* log);
  // False with *err when the flash cannot be set up.
  bool init(uint64_t nowUs, std::string* err);

  // A request arrived on link `requestsOnLink` (1-based count on the link).
  void onRequest(const SimFrame& request, uint64_t nowUs, uint32_t requestsOnLink);
  // Advances the target and the power monitor to nowUs.
  void tick(uint64_t nowUs);
  // Earliest time tick() or takeDue() has work; UINT64_MAX when idle.
  uint64_t nextWakeUs() const;

  // Pops the next packet due by nowUs, logging it as sent. False when none.
  bool takeDue(uint64_t nowUs, Outgoing* out);
  // Forwarded UART text waiting for the log port (moved out).
  void takeLogText(std::string* out);

  void onPacketClientConnected(uint64_t nowUs);
  void onPacketClientClosed(uint64_t nowUs);
  // The reset-after fault: the session settings a restart loses (UART
  // forwarding) go back to off.
  void onSessionReset(uint64_t nowUs);
  void onLogClientConnected(uint64_t nowUs);

  CSimTarget& target() { return target_; }
  CSimSpiFlash& flash() { return flash_; }
  CSimPowerRails& power() { return power_; }
  int selectedUart() const;
  bool forwarding() const { return forwarding_; }
  bool programming() const { return programming_; }
  bool linesToController() const;

 private:
  struct Reply {
    SimFrame frame;
    std::string reason;  // why ACK_FAIL, for the ops log
    std::vector<std::pair<std::string, int64_t>> extra;
    std::vector<std::pair<std::string, std::string>> extraText;
    uint32_t delayUs = 0;
  };
  // A reply or report waiting in the outbox, encoded when it is sent.
  struct Pending {
    Reply reply;
    CSimFaults::Decision faults;
    bool report = false;
    int frames = 0;  // frames in a power report
  };

  void handle(const SimFrame& req, uint64_t nowUs, Reply* reply);
  bool fail(const SimFrame& req, Reply* reply, const char* reason);
  void handleGpio(const SimFrame& req, uint64_t nowUs, Reply* reply);
  void handlePower(const SimFrame& req, uint64_t nowUs, Reply* reply);
  void handleSpiCtrl(const SimFrame& req, uint64_t nowUs, Reply* reply);
  // Programming mode in a security layout: checks the access and erase ids
  // and wipes the copies the erase id names; false after fail().
  bool enterSecureLayout(const SimFrame& req, uint16_t access, uint16_t erase, Reply* reply);
  void handleSectorWrite(const SimFrame& req, Reply* reply);
  void handleRegister(const SimFrame& req, Reply* reply);
  void handleSectorRead(const SimFrame& req, Reply* reply);
  void handleString(const SimFrame& req, uint64_t nowUs, Reply* reply);
  void queue(Pending pending, uint64_t dueUs);
  void leaveProgramming(const char* why);
  void event(const char* name, const char* key, const std::string& value);
  // Offsets of the copies selected by the access id (security layouts).
  std::vector<uint32_t> copyOffsets() const;
  uint64_t controllerClock(uint64_t nowUs) const { return nowUs - startUs_ + 1000000; }

  Config config_;
  CSimFaults* faults_;
  COpsLog* log_;
  CSimTarget target_;
  CSimSpiFlash flash_;
  CSimPowerRails power_;
  uint64_t startUs_ = 0;
  bool packetClient_ = false;
  bool forwarding_ = false;
  int lastUart_ = -1;
  bool programming_ = false;
  bool secure_ = false;
  uint16_t accessId_ = 0;
  uint16_t eraseId_ = 0;
  uint64_t seq_ = 0;
  std::map<std::pair<uint64_t, uint64_t>, Pending> outbox_;  // (due, seq)
  std::string logText_;
};

}  // namespace jyxsim

#endif  // JYX_SIM_CONTROLLER_H_
