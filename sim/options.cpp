#include "sim/options.h"

#include <arpa/inet.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace jyxsim {

namespace {

const char kHelp[] =
    "usage: jyx-sim [--bind 127.0.0.N] [options]\n"
    "\n"
    "The virtual JYX bench: controller board, target board and its SPI NOR flash,\n"
    "on loopback. Packets on port 3334, forwarded target UART text on port 3333.\n"
    "Prints \"jyx-sim ready: packets ADDR:PORT, log ADDR:PORT\" once listening; exits\n"
    "on SIGTERM, SIGINT or when its parent process dies.\n"
    "\n"
    "Listening and records:\n"
    "  --bind ADDR            loopback address to listen on (127.0.0.0/8), default 127.0.0.1\n"
    "  --packet-port N        packet port, default 3334\n"
    "  --log-port N           UART log port, default 3333\n"
    "  --ops-log FILE         one JSON object per line for every request, reply, report,\n"
    "                         forwarded log chunk and model event (see sim/README.md)\n"
    "  --state DIR            keep the flash (DIR/spi_flash.bin) and its status registers\n"
    "                         (DIR/spi_status.json) in files; default: in memory\n"
    "\n"
    "Target:\n"
    "  --target-state S       off (default), on (standby power), running or fastboot\n"
    "  --boot-ms N            power button release to shell prompt, default 1000\n"
    "  --pm-heartbeat-ms N    period of the CSU_PM status line while running, default\n"
    "                         2000; 0 disables it\n"
    "  --gpio N=L             initial level of controller output N (64-79); repeatable\n"
    "  --target-console PATH  the target console for factory tests: a pty whose slave\n"
    "                         is linked as PATH (a symlink, removed at exit)\n"
    "  --console-script FILE  how that console answers command lines (rules with\n"
    "                         'on', 'on-prefix', 'on-any', 'wait', 'say', 'say-raw',\n"
    "                         'echo'; see sim/README.md); without it: silence\n"
    "\n"
    "Fastboot and NVMe (the fastboot TCP protocol, served while the target is in\n"
    "fastboot mode; the disk is DIR/nvme.img with --state, else in memory):\n"
    "  --fastboot-port N      fastboot TCP port, default 5554\n"
    "  --nvme-size N          disk bytes (suffix K or M allowed), default 64M\n"
    "  --nvme-block N         logical block size, 512 (default) or 4096\n"
    "  --ddr N                1: the target runs from DDR (\"backdoor\" mode), default 0\n"
    "\n"
    "SPI NOR flash:\n"
    "  --flash-size N         bytes (suffix K or M allowed), multiple of 64K, default 16M\n"
    "  --flash-id N           JEDEC identification value, default 0xEF40 plus the\n"
    "                         capacity byte (0xEF4018 for 16M)\n"
    "  --flash-image FILE     copy FILE into the flash at offset 0 at start\n"
    "  --sr1 N --sr2 N --sr3 N  initial status registers (default 0x00, 0x02, 0x60);\n"
    "                         given values win over those stored with --state\n"
    "  --erase-us N           erase time per 4096-byte sector (reply delay), default 0\n"
    "  --program-us N         program time per sector (reply delay), default 0\n"
    "  --read-us N            read time per sector (reply delay), default 0\n"
    "\n"
    "Power monitor:\n"
    "  --power-rate N         frames per second while sampling, default 500\n"
    "  --power-interval-ms N  one report per N ms, default 10\n"
    "  --power-ics LIST       populated ICs as ADDR=ID,... (ID 123: 32 V full scale,\n"
    "                         107: 9 V), or \"none\"; default\n"
    "                         0x10..0x13=123 and 0x14..0x17=107\n"
    "  --shunt-mohm N         shunt resistance the raw shunt values assume, default 2\n"
    "\n"
    "Fault injection (SEL is a command type name or number such as GPIO_CTRL or 3,\n"
    "optionally /DATA_TYPE such as SPI_CTRL/SPI_DATA, or *; N counts requests matching\n"
    "SEL from 1, a comma list or * for every one; all repeatable):\n"
    "  --drop SEL:N           send no reply to that request\n"
    "  --fail SEL:N           answer ACK_FAIL instead\n"
    "  --corrupt SEL:N        reply with a wrong checksum\n"
    "  --garbage SEL:N[:B]    put B (default 16) garbage bytes before the reply\n"
    "  --garbage-magic SEL:N[:B]  put B (default 64, at least 24) garbage bytes with\n"
    "                         magic runs and false headers (lengths below 20, of\n"
    "                         256 MiB and more, short packets with wrong checksums)\n"
    "                         before the reply\n"
    "  --delay SEL:N:MS       hold the reply back MS milliseconds\n"
    "  --delay-all MS         hold every reply back MS milliseconds\n"
    "  --close-after N        close the packet link right after answering its Nth\n"
    "                         request (once)\n"
    "  --reset-after N        like --close-after, but the controller restarts its\n"
    "                         session: the log link closes too and UART forwarding\n"
    "                         is off until enabled again (once)\n"
    "  --mute-after N         answer N requests, then nothing at all (no replies, no\n"
    "                         power reports) until the faults are reloaded\n"
    "  --random K=P[,K=P]     random faults with probability P per request, K one of\n"
    "                         drop, fail, corrupt, garbage, garbage_magic\n"
    "  --seed N               seed of the random faults, garbage bytes and power\n"
    "                         noise, default 1\n"
    "  --control FILE         on SIGUSR1 replace every fault with the options in FILE\n"
    "                         (one per line, e.g. \"--drop GPIO_CTRL:2\"; # comments);\n"
    "                         counters restart\n"
    "\n"
    "Controller maintenance (sim/README.md):\n"
    "  --ftdi-socket PATH     serve the controller's FTDI quad bridge on this Unix socket\n"
    "                         (jyx finds it through JYX_FTDI_SIM=PATH)\n"
    "  --ftdi-serials LIST    device list, comma-separated serial numbers; default\n"
    "                         FT4X9Q2Z,JYX2K7A1A,JYX2K7A1B,JYX2K7A1C,JYX2K7A1D\n"
    "  --ftdi-wiring W        new (default: main console on C, boot lines on B) or old\n"
    "                         (the two swapped)\n"
    "  --mcu-eth-ip ADDR      Ethernet address the main MCU reports; default the --bind\n"
    "                         address\n"
    "  --mcu-wifi-ip ADDR     Wi-Fi address it reports, default 0.0.0.0\n"
    "  --mcu-version V        main firmware version until a download replaces it\n"
    "  --slave-version V      the same for the slave MCU\n"
    "  --esp-loader M         normal (default) or silent: both MCUs' ROM loaders never\n"
    "                         answer\n"
    "  --usb-uart PATH        a pty linked at PATH on which the main MCU's console\n"
    "                         answers (jyx --usb-uart -u PATH)\n"
    "  --help                 this text\n";

bool parseSize(const std::string& text, uint64_t* out) {
  std::string t = text;
  uint64_t mul = 1;
  if (!t.empty() && (t.back() == 'K' || t.back() == 'k')) mul = 1024;
  if (!t.empty() && (t.back() == 'M' || t.back() == 'm')) mul = 1024 * 1024;
  if (mul != 1) t.pop_back();
  uint64_t v;
  if (!parseUnsigned(t, 0xFFFFFFFFull / mul, &v)) return false;
  *out = v * mul;
  return true;
}

bool isLoopback(const std::string& addr) {
  struct in_addr a;
  if (inet_pton(AF_INET, addr.c_str(), &a) != 1) return false;
  return (ntohl(a.s_addr) >> 24) == 127;
}

// What setting one option came to.
enum class Set { kUnknown, kDone, kRefused };

// Options whose value is stored as given.
struct TextOption {
  const char* name;
  void (*set)(SimOptions* o, const std::string& value);
};
const TextOption kTextOptions[] = {
    {"ops-log", [](SimOptions* o, const std::string& v) { o->opsLog = v; }},
    {"state",
     [](SimOptions* o, const std::string& v) {
       o->stateDir = v;
       o->controller.flash.stateDir = v;
       o->fastboot.stateDir = v;
     }},
    {"control", [](SimOptions* o, const std::string& v) { o->controlFile = v; }},
    {"flash-image", [](SimOptions* o, const std::string& v) { o->flashImage = v; }},
    {"target-console", [](SimOptions* o, const std::string& v) { o->targetConsole = v; }},
    {"console-script", [](SimOptions* o, const std::string& v) { o->consoleScript = v; }},
    {"target-state", [](SimOptions* o, const std::string& v) { o->controller.initialState = v; }},
    {"ftdi-socket", [](SimOptions* o, const std::string& v) { o->ftdiSocket = v; }},
    {"usb-uart", [](SimOptions* o, const std::string& v) { o->usbUart = v; }},
    {"mcu-eth-ip",
     [](SimOptions* o, const std::string& v) {
       o->bridge.main.ethIp = v;
       o->ethIpGiven = true;
     }},
    {"mcu-wifi-ip", [](SimOptions* o, const std::string& v) { o->bridge.main.wifiIp = v; }},
};

// Options that take a number from `min` (0 or 1) to `max`.
struct NumberOption {
  const char* name;
  uint64_t min;
  uint64_t max;
  void (*set)(SimOptions* o, uint64_t n);
};
const NumberOption kNumberOptions[] = {
    {"packet-port", 1, 65535, [](SimOptions* o, uint64_t n) { o->packetPort = int(n); }},
    {"log-port", 1, 65535, [](SimOptions* o, uint64_t n) { o->logPort = int(n); }},
    {"fastboot-port", 1, 65535, [](SimOptions* o, uint64_t n) { o->fastbootPort = int(n); }},
    {"ddr", 0, 1, [](SimOptions* o, uint64_t n) { o->fastboot.backdoor = n == 1; }},
    {"boot-ms", 0, 3600000,
     [](SimOptions* o, uint64_t n) { o->controller.target.bootMs = uint32_t(n); }},
    {"pm-heartbeat-ms", 0, 3600000,
     [](SimOptions* o, uint64_t n) { o->controller.target.pmHeartbeatMs = uint32_t(n); }},
    {"flash-id", 0, 0xFFFFFFFFu,
     [](SimOptions* o, uint64_t n) { o->controller.flash.jedecId = uint32_t(n); }},
    {"sr1", 0, 255,
     [](SimOptions* o, uint64_t n) {
       o->controller.flash.sr[0] = uint8_t(n);
       o->controller.flash.srGiven = true;
     }},
    {"sr2", 0, 255,
     [](SimOptions* o, uint64_t n) {
       o->controller.flash.sr[1] = uint8_t(n);
       o->controller.flash.srGiven = true;
     }},
    {"sr3", 0, 255,
     [](SimOptions* o, uint64_t n) {
       o->controller.flash.sr[2] = uint8_t(n);
       o->controller.flash.srGiven = true;
     }},
    {"erase-us", 0, 10000000,
     [](SimOptions* o, uint64_t n) { o->controller.eraseUsPerSector = uint32_t(n); }},
    {"program-us", 0, 10000000,
     [](SimOptions* o, uint64_t n) { o->controller.programUsPerSector = uint32_t(n); }},
    {"read-us", 0, 10000000,
     [](SimOptions* o, uint64_t n) { o->controller.readUsPerSector = uint32_t(n); }},
    {"power-rate", 1, 100000,
     [](SimOptions* o, uint64_t n) { o->controller.power.frameRate = uint32_t(n); }},
    {"power-interval-ms", 1, 10000,
     [](SimOptions* o, uint64_t n) { o->controller.power.reportIntervalMs = uint32_t(n); }},
    {"shunt-mohm", 1, 1000000,
     [](SimOptions* o, uint64_t n) { o->controller.power.shuntMilliohm = uint32_t(n); }},
};

Set setTableOption(const std::string& name, const std::string& value, SimOptions* o,
                   std::string* err) {
  for (const TextOption& option : kTextOptions) {
    if (name != option.name) continue;
    option.set(o, value);
    return Set::kDone;
  }
  for (const NumberOption& option : kNumberOptions) {
    if (name != option.name) continue;
    uint64_t n = 0;
    if (parseUnsigned(value, option.max, &n) && n >= option.min) {
      option.set(o, n);
      return Set::kDone;
    }
    if (option.min == 0) {
      *err = "--" + name + ": bad number '" + value + "'";
    } else {
      *err = "--" + name + " takes a number from 1 to " + std::to_string(option.max) + ", not '" +
             value + "'";
    }
    return Set::kRefused;
  }
  return Set::kUnknown;
}

// The sizes and the initial GPIO levels.
Set setSizeOption(const std::string& name, const std::string& value, SimOptions* o,
                  std::string* err) {
  CSimController::Config& c = o->controller;
  uint64_t n = 0;
  if (name == "nvme-size") {
    if (!parseSize(value, &n) || n == 0) {
      *err = "--nvme-size takes a size in bytes, not '" + value + "'";
      return Set::kRefused;
    }
    o->fastboot.diskBytes = n;
  } else if (name == "nvme-block") {
    if (!parseUnsigned(value, 4096, &n) || (n != 512 && n != 4096)) {
      *err = "--nvme-block takes 512 or 4096, not '" + value + "'";
      return Set::kRefused;
    }
    o->fastboot.blockSize = uint32_t(n);
  } else if (name == "flash-size") {
    if (!parseSize(value, &n) || n == 0 || n % (64 * 1024) != 0) {
      *err = "--flash-size takes a multiple of 64K, not '" + value + "'";
      return Set::kRefused;
    }
    c.flash.sizeBytes = uint32_t(n);
  } else if (name == "gpio") {
    size_t at = value.find('=');
    uint64_t num, level;
    if (at == std::string::npos || !parseUnsigned(value.substr(0, at), 65535, &num) ||
        !parseUnsigned(value.substr(at + 1), 1, &level)) {
      *err = "--gpio takes N=L with L 0 or 1, not '" + value + "'";
      return Set::kRefused;
    }
    c.gpioLevels.push_back({uint16_t(num), uint8_t(level)});
  } else {
    return Set::kUnknown;
  }
  return Set::kDone;
}

// "--power-ics ADDR=ID,..." or "none".
Set setPowerIcs(const std::string& value, SimOptions* o, std::string* err) {
  std::map<uint8_t, uint8_t>& ics = o->controller.power.ics;
  ics.clear();
  if (value == "none") return Set::kDone;
  size_t start = 0;
  while (start <= value.size()) {
    size_t comma = value.find(',', start);
    std::string item =
        value.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    size_t at = item.find('=');
    uint64_t addr, id;
    if (at == std::string::npos || !parseUnsigned(item.substr(0, at), 254, &addr) ||
        !parseUnsigned(item.substr(at + 1), 255, &id) || id == 0) {
      *err = "--power-ics takes ADDR=ID,... (ID 1-255), not '" + item + "'";
      return Set::kRefused;
    }
    ics[uint8_t(addr)] = uint8_t(id);
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return Set::kDone;
}

// "--ftdi-serials A,B,...": 1 to 64 serial numbers of 1-63 characters.
Set setFtdiSerials(const std::string& value, SimOptions* o, std::string* err) {
  std::vector<std::string>& serials = o->bridge.serials;
  serials.clear();
  size_t start = 0;
  while (true) {
    size_t comma = value.find(',', start);
    std::string item =
        value.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    if (item.empty() || item.size() >= 64) {
      *err = "--ftdi-serials takes serial numbers of 1-63 characters, not '" + value + "'";
      return Set::kRefused;
    }
    serials.push_back(item);
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  if (serials.size() > 64) {
    *err = "--ftdi-serials: at most 64 devices";
    return Set::kRefused;
  }
  return Set::kDone;
}

// The address to listen on, the choices among words and the versions.
Set setChoiceOption(const std::string& name, const std::string& value, SimOptions* o,
                    std::string* err) {
  if (name == "bind") {
    if (!isLoopback(value)) {
      *err = "--bind takes a loopback address (127.0.0.0/8), not '" + value + "'";
      return Set::kRefused;
    }
    o->bind = value;
  } else if (name == "ftdi-wiring") {
    if (value != "new" && value != "old") {
      *err = "--ftdi-wiring takes new or old, not '" + value + "'";
      return Set::kRefused;
    }
    o->bridge.oldWiring = value == "old";
  } else if (name == "esp-loader") {
    if (value != "normal" && value != "silent") {
      *err = "--esp-loader takes normal or silent, not '" + value + "'";
      return Set::kRefused;
    }
    o->bridge.main.loaderSilent = o->bridge.slave.loaderSilent = value == "silent";
  } else if (name == "mcu-version" || name == "slave-version") {
    if (value.empty() || value.size() > 32) {
      *err = "--" + name + " takes 1-32 characters";
      return Set::kRefused;
    }
    (name == "mcu-version" ? o->bridge.main : o->bridge.slave).version = value;
  } else {
    return Set::kUnknown;
  }
  return Set::kDone;
}

// Fault options are checked here and applied by the controller's faults.
Set setFaultOption(const std::string& name, const std::string& value, SimOptions* o,
                   std::string* err) {
  if (!CSimFaults::isFaultOption(name)) return Set::kUnknown;
  CSimFaults check;
  if (!check.addOption(name, value, err)) return Set::kRefused;
  o->faultOptions.push_back({name, value});
  // The power noise follows the same seed, read by the same number rule.
  uint64_t n = 0;
  if (name == "seed" && parseUnsigned(value, 0xFFFFFFFFu, &n)) {
    o->controller.power.seed = uint32_t(n);
  }
  return Set::kDone;
}

Set setOption(const std::string& name, const std::string& value, SimOptions* o, std::string* err) {
  Set set = setTableOption(name, value, o, err);
  if (set == Set::kUnknown) set = setSizeOption(name, value, o, err);
  if (set == Set::kUnknown && name == "power-ics") set = setPowerIcs(value, o, err);
  if (set == Set::kUnknown && name == "ftdi-serials") set = setFtdiSerials(value, o, err);
  if (set == Set::kUnknown) set = setChoiceOption(name, value, o, err);
  if (set == Set::kUnknown) set = setFaultOption(name, value, o, err);
  if (set == Set::kUnknown) *err = "unknown option --" + name + " (see --help)";
  return set;
}

}  // namespace

const char* helpText() { return kHelp; }

bool parseOptions(int argc, char** argv, SimOptions* o, std::string* err) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      o->help = true;
      return true;
    }
    if (arg.compare(0, 2, "--") != 0) {
      *err = "unexpected argument '" + arg + "'";
      return false;
    }
    std::string name = arg.substr(2), value;
    size_t eq = name.find('=');
    if (eq != std::string::npos) {
      value = name.substr(eq + 1);
      name.erase(eq);
    } else {
      if (i + 1 >= argc) {
        *err = "option --" + name + " needs a value";
        return false;
      }
      value = argv[++i];
    }
    if (setOption(name, value, o, err) != Set::kDone) return false;
  }
  return true;
}

}  // namespace jyxsim
