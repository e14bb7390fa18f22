// CSimMcu: one ESP32 MCU of the controller board as jyx-sim models it: its
// console UART running the controller firmware, which answers "jyx NN"
// commands with "[JYX]: " replies, and the serial ROM loader the chip enters
// when it leaves reset with IO0 held low. The loader speaks the SLIP
// protocol (SYNC, READ_REG, SPI_ATTACH/SET_PARAMS, FLASH_BEGIN/DATA/END,
// SPI_FLASH_MD5) over the same UART and writes the MCU's own 4 MiB flash;
// the firmware version the console reports is read from that flash when
// the application starts, so a download visibly changes it.
//
// The bridge owns the lines: it calls setPins whenever EN or IO0 change and
// feeds received bytes; everything the MCU sends is collected for the
// bridge to deliver at the line rate. Single-threaded (the sim loop).
#ifndef JYX_SIM_MCU_H_
#define JYX_SIM_MCU_H_

#include <cstdint>
#include <string>
#include <vector>

#include "sim/ops_log.h"

namespace jyxsim {

class CSimMcu {
 public:
  enum class Mode { kReset, kApp, kLoader };

  struct Config {
    bool slave = false;
    std::string ethIp = "0.0.0.0";
    std::string wifiIp = "0.0.0.0";
    std::string ethMac = "24:6f:28:10:00:01";
    std::string wifiMac = "24:6f:28:10:00:02";
    // Reported until a downloaded image carries its own version.
    std::string version = "1.0.0";
    // EFUSE words 0-6 and the APB date register the loader reports.
    uint32_t efuse[7] = {0x00000000, 0x10001234, 0x00A46F28, 0x0000A200,
                         0x00000B36, 0x00100000, 0x00000000};
    uint32_t apbDate = 0x80000000;
    // A loader that never answers (a broken TX line): requests are logged,
    // nothing is sent back.
    bool loaderSilent = false;
  };

  // Flash size of the MCU.
  static constexpr uint32_t kFlashSize = 4u << 20;
  // Where the application image starts; its version is looked up there.
  static constexpr uint32_t kAppOffset = 0x10000;
  // EN must stay high this long before the chip samples IO0 and boots (the
  // RC delay on the board's EN line).
  static constexpr uint64_t kBootSampleUs = 5000;
  // The firmware's console takes a command as complete after this much
  // silence (the UART receive time-out), or at a CR/LF.
  static constexpr uint64_t kCommandGapUs = 20000;

  CSimMcu(const Config& config, COpsLog* opsLog);

  const char* name() const { return config_.slave ? "slave" : "main"; }
  Mode mode() const { return mode_; }
  // The baud rate the firmware's console runs at (commands 23 change it).
  uint32_t consoleBaud() const { return consoleBaud_; }
  // True when the UART accepts bytes at hostBaud: the ROM loader detects
  // the host's rate from SYNC, the application needs its own rate.
  bool acceptsBaud(uint32_t hostBaud) const;

  // Levels of the chip's EN (high = running) and IO0 (low at boot = ROM
  // loader) pins.
  void setPins(bool en, bool io0, uint64_t now);
  void receive(const uint8_t* data, size_t n, uint64_t now);
  void tick(uint64_t now);
  // UINT64_MAX when nothing is due.
  uint64_t nextWakeUs() const;
  // Moves the bytes the MCU sent since the last call into *out.
  void takeOutput(std::string* out);

  const std::vector<uint8_t>& flash() const { return flash_; }
  // The version text the firmware reports ("Main Version: ...").
  std::string versionText() const;

 private:
  void boot(uint64_t now);
  void runCommand(const std::string& text);
  // Commands both MCUs answer (version, baud, reset); false for any other.
  bool commonCommand(int code, const std::string& param);
  // The slave drives the two JTAG switch lines; the main MCU reports its
  // addresses and stores its settings.
  void slaveCommand(int code, const std::string& param);
  void mainCommand(int code, const std::string& param);
  void ack(bool ok);
  void reply(const std::string& text, bool colour = false);
  void loaderByte(uint8_t b);
  void loaderFrame(const std::vector<uint8_t>& frame);
  void loaderSync(const uint8_t* data, uint16_t len, COpsRecord& record);
  // One command after the SYNC; false when its length is wrong for it.
  bool loaderCommand(uint8_t cmd, const uint8_t* data, uint16_t len, uint32_t checksum,
                     COpsRecord& record);
  void loaderReadReg(const uint8_t* data, COpsRecord& record);
  void loaderFlashBegin(const uint8_t* data, COpsRecord& record);
  void loaderFlashData(const uint8_t* data, uint16_t len, uint32_t checksum, COpsRecord& record);
  void loaderFlashEnd(const uint8_t* data, uint16_t len, COpsRecord& record);
  void loaderMd5(const uint8_t* data);
  void loaderRespond(uint8_t command, uint32_t value, uint8_t status, uint8_t error,
                     const std::vector<uint8_t>& extra = {});
  std::string readAppVersion() const;

  Config config_;
  COpsLog* ops_;
  Mode mode_ = Mode::kApp;
  bool en_ = true;
  bool io0_ = true;
  uint64_t bootAt_ = UINT64_MAX;
  uint32_t consoleBaud_ = 115200;
  std::string appVersion_;
  // Application console input.
  std::string command_;
  uint64_t commandDue_ = UINT64_MAX;
  // Loader state.
  bool inFrame_ = false;
  bool escape_ = false;
  std::vector<uint8_t> frame_;
  bool synced_ = false;
  uint32_t writeAddress_ = 0;
  uint32_t writeEnd_ = 0;
  std::string output_;
  std::vector<uint8_t> flash_;
};

}  // namespace jyxsim

#endif  // JYX_SIM_MCU_H_
