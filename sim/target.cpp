#include "sim/target.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace jyxsim {

namespace {

constexpr uint16_t kPostRunning = 0x00AA;
constexpr uint16_t kPostFastboot = 0x00FB;

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...) {
  char buf[512];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(buf, sizeof(buf), fmt, ap);
  va_end(ap);
  return buf;
}

std::string trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t\r");
  if (b == std::string::npos) return "";
  size_t e = s.find_last_not_of(" \t\r");
  return s.substr(b, e - b + 1);
}

}  // namespace

const char* targetStateName(TargetState s) {
  switch (s) {
    case TargetState::kOff:
      return "off";
    case TargetState::kOn:
      return "on";
    case TargetState::kBooting:
      return "booting";
    case TargetState::kRunning:
      return "running";
    case TargetState::kFastboot:
      return "fastboot";
  }
  return "?";
}

const char* uartName(int uart) {
  static const char* const kNames[kUartCount] = {"UEFI", "SFH", "CSU_PM", "CSU_SE"};
  return uart >= 0 && uart < kUartCount ? kNames[uart] : "?";
}

CSimTarget::CSimTarget(const Config& config) : config_(config) {
  // Power-on levels of the controller outputs: the flash belongs to the
  // target (SPI_PRG_EN/SEL high), buttons and resets are released (high),
  // the target's main power is cut (PWR_OFF low), POWER_BTN2 high selects a
  // normal boot.
  static const uint8_t kInitial[16] = {0, 0, 1, 1, 0, 0, 1, 1, 1, 1, 0, 1, 1, 1, 1, 0};
  memcpy(levels_, kInitial, sizeof(levels_));
}

bool CSimTarget::setGpio(uint16_t num, uint8_t level, uint64_t nowUs) {
  if (!isOutput(num)) return false;
  level = level ? 1 : 0;
  uint8_t old = levels_[num - 64];
  levels_[num - 64] = level;
  switch (num) {
    case kGpioPwrOff:
      if (level == 0) {
        postCodes_.clear();
        setState(TargetState::kOff);
      } else if (state_ == TargetState::kOff) {
        setState(TargetState::kOn);
      }
      break;
    case kGpioPwrBtn:
      // The button is active low; a press followed by a release is one
      // pulse, and a pulse starts (or restarts) the boot while the board
      // has standby power.
      if (old == 1 && level == 0) {
        buttonPressed_ = true;
      } else if (old == 0 && level == 1) {
        if (state_ != TargetState::kOff) startBoot(nowUs);
        buttonPressed_ = false;
      }
      break;
    case kGpioWarmRst:
      if (level == 0 && old == 1) {
        if (state_ == TargetState::kBooting || state_ == TargetState::kRunning ||
            state_ == TargetState::kFastboot) {
          inReset_ = true;
          postCodes_.clear();
        }
      } else if (level == 1 && old == 0) {
        if (inReset_) startBoot(nowUs);
        inReset_ = false;
      }
      break;
    default:
      break;
  }
  return true;
}

bool CSimTarget::readGpio(uint16_t num, uint8_t* level) const {
  if (isOutput(num)) {
    *level = levels_[num - 64];
    return true;
  }
  bool powered = state_ != TargetState::kOff;
  bool up = state_ == TargetState::kBooting || state_ == TargetState::kRunning ||
            state_ == TargetState::kFastboot;
  switch (num) {
    case kGpioRsmrst:
      *level = powered;
      return true;
    case kGpioSlpS5:
      *level = up;
      return true;
    case kGpioSlpS3:
      *level = up;
      return true;
    case kGpioSysPwrgd:
      *level = up && !inReset_;
      return true;
    case kGpioApuRst:
      // Released once the first tenth of the boot (its 0.1 steps) has run.
      *level =
          up && !inReset_ &&
          (state_ != TargetState::kBooting || (nextStep_ > 0 && steps_[nextStep_ - 1].at >= 0.1));
      return true;
    default:
      return false;
  }
}

void CSimTarget::setState(TargetState s) {
  if (s == state_) return;
  TargetState from = state_;
  state_ = s;
  if (s == TargetState::kOff || s == TargetState::kOn) {
    inReset_ = false;
    steps_.clear();
    nextStep_ = 0;
  }
  if (listener_) listener_(from, s);
}

void CSimTarget::bootFromFastboot(uint64_t nowUs) {
  if (state_ != TargetState::kFastboot) return;
  startBoot(nowUs, false);
}

void CSimTarget::startBoot(uint64_t nowUs, bool strapDecides) {
  FlashInfo flash;
  if (flashInfo_) flash = flashInfo_();
  bootToFastboot_ = strapDecides && levels_[kGpioPowerBtn2 - 64] == 0;
  bootStartUs_ = nowUs;
  bootCount_ += 1;
  inReset_ = false;
  postCodes_.clear();
  steps_.clear();
  nextStep_ = 0;
  steps_.push_back(
      {0.0, kUartUefi, 0x0001, format("\r\nJYX UEFI firmware 1.0 (boot %u)\r\n", bootCount_)});
  steps_.push_back({0.0, kUartCsuPm, 0, "CSU_PM: power manager up, sequencing rails\r\n"});
  steps_.push_back({0.0, kUartCsuSe, 0, "CSU_SE: security engine ROM 2.1\r\n"});
  steps_.push_back({0.1, kUartSfh, 0x0010, "SFH: secure flash handler init\r\n"});
  steps_.push_back({0.1, kUartCsuSe, 0, "CSU_SE: verifying boot image signature\r\n"});
  steps_.push_back(
      {0.2, kUartSfh, 0,
       format("SFH: SPI NOR id 0x%06x, %u KiB\r\n", flash.id, flash.sizeBytes / 1024)});
  steps_.push_back(
      {0.3, kUartUefi, 0x0020, format("SPI flash crc32 (first 64 KiB): 0x%08x\r\n", flash.crc32)});
  steps_.push_back({0.4, kUartCsuPm, 0x0030, "CSU_PM: VDD_CORE 0.80V ok, VDD_DDR 1.10V ok\r\n"});
  steps_.push_back({0.6, kUartUefi, 0x0050, "Memory init: 16384 MB OK\r\n"});
  steps_.push_back({0.8, kUartUefi, 0x0070, "PCIe: NVMe controller at 0000:01:00.0\r\n"});
  steps_.push_back({1.0, kUartSfh, 0, "SFH: handoff complete\r\n"});
  steps_.push_back({1.0, kUartCsuPm, 0, "CSU_PM: system state S0\r\n"});
  steps_.push_back({1.0, kUartCsuSe, 0, "CSU_SE: runtime services ready\r\n"});
  if (bootToFastboot_) {
    steps_.push_back({1.0, kUartUefi, kPostFastboot,
                      "Entering fastboot mode (POWER_BTN2 low)\r\nfastboot: ready\r\n"});
  } else {
    steps_.push_back({1.0, kUartUefi, kPostRunning, "Boot complete, shell ready\r\ntarget# "});
  }
  if (state_ == TargetState::kBooting) {
    // A restart while booting is still a state change for observers.
    if (listener_) listener_(state_, state_);
  }
  setState(TargetState::kBooting);
}

void CSimTarget::advance(uint64_t nowUs) {
  if (inReset_) return;
  if (state_ == TargetState::kBooting) {
    while (nextStep_ < steps_.size()) {
      const BootStep& step = steps_[nextStep_];
      uint64_t due = bootStartUs_ + uint64_t(step.at * config_.bootMs * 1000.0);
      if (due > nowUs) break;
      if (step.post && postCodes_.size() < config_.maxPostCodes) postCodes_.push_back(step.post);
      if (step.uart >= 0) emit(step.uart, step.text);
      ++nextStep_;
    }
    if (nextStep_ == steps_.size()) {
      setState(bootToFastboot_ ? TargetState::kFastboot : TargetState::kRunning);
      nextHeartbeatUs_ = nowUs + uint64_t(config_.pmHeartbeatMs) * 1000;
    }
  }
  if (state_ == TargetState::kRunning && config_.pmHeartbeatMs && nowUs >= nextHeartbeatUs_) {
    heartbeatCount_ += 1;
    emit(kUartCsuPm, format("CSU_PM: status %u, temp 45C\r\n", heartbeatCount_));
    nextHeartbeatUs_ = nowUs + uint64_t(config_.pmHeartbeatMs) * 1000;
  }
}

uint64_t CSimTarget::nextEventUs() const {
  if (inReset_) return UINT64_MAX;
  if (state_ == TargetState::kBooting && nextStep_ < steps_.size())
    return bootStartUs_ + uint64_t(steps_[nextStep_].at * config_.bootMs * 1000.0);
  if (state_ == TargetState::kRunning && config_.pmHeartbeatMs) return nextHeartbeatUs_;
  return UINT64_MAX;
}

void CSimTarget::emit(int uart, const std::string& text) {
  std::string& out = out_[uart];
  // Nobody drains a UART that is not forwarded for long; keep the newest
  // 64 KiB like a receive ring would.
  if (out.size() > 65536) out.erase(0, out.size() - 32768);
  out += text;
}

void CSimTarget::takeUartOutput(int uart, std::string* out) {
  if (uart < 0 || uart >= kUartCount) return;
  out->append(out_[uart]);
  out_[uart].clear();
}

void CSimTarget::consoleInput(int uart, const std::string& text, uint64_t nowUs) {
  if (uart < 0 || uart >= kUartCount) return;
  if (state_ == TargetState::kOff || state_ == TargetState::kOn || inReset_) return;
  size_t start = 0;
  while (start < text.size()) {
    size_t nl = text.find('\n', start);
    std::string line = text.substr(start, nl == std::string::npos ? std::string::npos : nl - start);
    start = nl == std::string::npos ? text.size() : nl + 1;
    if (state_ == TargetState::kBooting) {
      emit(uart, "\r\n");  // firmware consoles only echo the line end while booting
      continue;
    }
    if (state_ == TargetState::kFastboot) {
      emit(uart, "fastboot: console input ignored\r\n");
      continue;
    }
    // Escape sequences (menu keys) carry no command.
    if (!line.empty() && line[0] == 0x1B) {
      emit(uart, "\r\ntarget# ");
      continue;
    }
    bool reboot = false;
    std::string answer = runCommand(trim(line), nowUs, &reboot);
    emit(uart, line + "\r\n" + answer);
    if (reboot) {
      startBoot(nowUs);
      return;
    }
    emit(uart, "target# ");
  }
}

std::string CSimTarget::runCommand(const std::string& line, uint64_t nowUs, bool* reboot) {
  if (line.empty()) return "";
  std::string cmd = line.substr(0, line.find(' '));
  std::string args = line.size() > cmd.size() ? trim(line.substr(cmd.size())) : "";
  if (cmd == "help") return "commands: help echo ifconfig boot version uptime flashinfo\r\n";
  if (cmd == "echo") return args + "\r\n";
  if (cmd == "version") return "jyx target shell 1.0\r\n";
  if (cmd == "uptime")
    return format("up %llu ms\r\n", (unsigned long long)((nowUs - bootStartUs_) / 1000));
  if (cmd == "ifconfig")
    return format(
        "eth0: flags=4163<UP,BROADCAST,RUNNING,MULTICAST>  mtu 1500\r\n"
        "        inet %s  netmask 255.255.255.0\r\n"
        "        ether 02:4a:59:58:00:01\r\n",
        config_.ipAddress.c_str());
  if (cmd == "flashinfo") {
    FlashInfo f;
    if (flashInfo_) f = flashInfo_();
    return format("flash id 0x%06x size %u crc32 0x%08x\r\n", f.id, f.sizeBytes, f.crc32);
  }
  if (cmd == "boot") {
    *reboot = true;
    return "rebooting...\r\n";
  }
  return "sh: " + cmd + ": command not found\r\n";
}

double CSimTarget::loadFactor(uint64_t nowUs) const {
  switch (state_) {
    case TargetState::kOff:
      return 0.0;
    case TargetState::kOn:
      return 0.05;
    case TargetState::kBooting: {
      if (inReset_) return 0.2;
      double f = config_.bootMs ? double(nowUs - bootStartUs_) / (config_.bootMs * 1000.0) : 1.0;
      if (f > 1.0) f = 1.0;
      return 0.3 + 0.6 * f;
    }
    case TargetState::kRunning:
      return inReset_ ? 0.2 : 1.0;
    case TargetState::kFastboot:
      return inReset_ ? 0.2 : 0.6;
  }
  return 0.0;
}

}  // namespace jyxsim
