// CSimTarget: the target board as the controller sees it — the controller
// GPIO lines 64-79 it holds, the input lines that follow the target's power
// state, the power state machine, the boot with its POST codes and text on
// four UARTs, and the shell that answers on the console.
//
// Time is passed in as microseconds on a monotonic clock so tests can step
// it. Single-threaded: the owner calls every operation from one thread.
#ifndef JYX_SIM_TARGET_H_
#define JYX_SIM_TARGET_H_

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace jyxsim {

enum class TargetState { kOff, kOn, kBooting, kRunning, kFastboot };
const char* targetStateName(TargetState s);

// Controller GPIO numbers.
enum SimGpio : uint16_t {
  kGpioUartSel0 = 64,
  kGpioUartSel1 = 65,
  kGpioSpiPrgEn = 66,
  kGpioSpiPrgSel = 67,
  kGpioPwrOff = 68,
  kGpioRtcClr = 69,
  kGpioEcRst = 70,
  kGpioWarmRst = 71,
  kGpioPwrBtn = 72,
  kGpioPwrGrp = 73,
  kGpioJtagSwL = 74,
  kGpioSocReset1 = 75,
  kGpioPowerBtn1 = 76,
  kGpioSocReset2 = 77,
  kGpioPowerBtn2 = 78,
  kGpioJtagSwF = 79,
  // Inputs that follow the target's power state.
  kGpioApuRst = 14,
  kGpioSlpS3 = 21,
  kGpioSysPwrgd = 22,
  kGpioSlpS5 = 34,
  kGpioRsmrst = 35,
};

constexpr int kUartCount = 4;
// UART numbers: UART id = SEL1 * 2 + SEL0.
enum SimUart { kUartUefi = 0, kUartSfh = 1, kUartCsuPm = 2, kUartCsuSe = 3 };
const char* uartName(int uart);

class CSimTarget {
 public:
  struct Config {
    uint32_t bootMs = 1000;         // power button release to shell prompt
    uint32_t pmHeartbeatMs = 2000;  // CSU_PM status line period while running; 0 = none
    size_t maxPostCodes = 256;
    std::string ipAddress = "192.168.10.20";
  };
  // What the boot text reports about the SPI flash; queried at boot start.
  struct FlashInfo {
    uint32_t id = 0;
    uint32_t sizeBytes = 0;
    uint32_t crc32 = 0;  // zlib CRC-32 of the first 64 KiB
  };

  explicit CSimTarget(const Config& config);

  void setFlashInfoSource(std::function<FlashInfo()> source) { flashInfo_ = std::move(source); }
  // Called on every state change (from, to).
  void setStateListener(std::function<void(TargetState, TargetState)> l) {
    listener_ = std::move(l);
  }

  // Controller outputs 64-79. False for a number that is not an output.
  bool setGpio(uint16_t num, uint8_t level, uint64_t nowUs);
  // Outputs 64-79 and the inputs 14, 21, 22, 34, 35. False for other numbers.
  bool readGpio(uint16_t num, uint8_t* level) const;
  static bool isOutput(uint16_t num) { return num >= 64 && num <= 79; }

  // Runs the boot up to nowUs: POST codes and UART text that are due.
  void advance(uint64_t nowUs);
  // Earliest time advance() has something to do; UINT64_MAX when idle.
  uint64_t nextEventUs() const;

  // A line (or several) typed on the console of `uart`. The shell answers
  // into that UART's output while the target runs.
  void consoleInput(int uart, const std::string& text, uint64_t nowUs);

  // The boot loader's "oem qelboot": a target in fastboot mode leaves it
  // and boots normally (POWER_BTN2 is not looked at). Nothing otherwise.
  void bootFromFastboot(uint64_t nowUs);

  // Moves the text produced on `uart` since the last call into *out.
  void takeUartOutput(int uart, std::string* out);

  TargetState state() const { return state_; }
  const std::vector<uint16_t>& postCodes() const { return postCodes_; }
  // Fraction of full load the board draws now, 0 (off) to 1 (running).
  double loadFactor(uint64_t nowUs) const;
  uint32_t bootCount() const { return bootCount_; }

 private:
  struct BootStep {
    double at;  // fraction of the boot time
    int uart;   // -1: no text
    uint16_t post;
    std::string text;
  };

  void setState(TargetState s);
  // strapDecides: POWER_BTN2 low sends the boot into fastboot mode;
  // otherwise it boots normally whatever the strap says.
  void startBoot(uint64_t nowUs, bool strapDecides = true);
  void emit(int uart, const std::string& text);
  std::string runCommand(const std::string& line, uint64_t nowUs, bool* reboot);

  Config config_;
  std::function<FlashInfo()> flashInfo_;
  std::function<void(TargetState, TargetState)> listener_;
  uint8_t levels_[16];
  TargetState state_ = TargetState::kOff;
  bool buttonPressed_ = false;
  bool inReset_ = false;
  bool bootToFastboot_ = false;
  uint64_t bootStartUs_ = 0;
  uint64_t nextHeartbeatUs_ = 0;
  uint32_t heartbeatCount_ = 0;
  uint32_t bootCount_ = 0;
  std::vector<BootStep> steps_;
  size_t nextStep_ = 0;
  std::vector<uint16_t> postCodes_;
  std::string out_[kUartCount];
};

}  // namespace jyxsim

#endif  // JYX_SIM_TARGET_H_
