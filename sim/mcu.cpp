#include "sim/mcu.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cstring>

#include "common/byte_order.h"
#include "common/string_format.h"

namespace jyxsim {

namespace {

// The ESP32 serial ROM loader as the simulator reads it, written from the
// published protocol: SLIP-framed packets (RFC 1055) of an 8-byte header
// (direction, command, u16 data length, u32 checksum or value) and data.
// The tool's own loader code is not used here on purpose: the simulator is
// the independent reading that the tool's downloads are tested against, so
// a framing or constant mistake in one of them makes an exchange fail
// instead of being made twice and agreed upon.
namespace rom {
constexpr uint8_t kSlipEnd = 0xC0;
constexpr uint8_t kSlipEsc = 0xDB;
constexpr uint8_t kSlipEscEnd = 0xDC;
constexpr uint8_t kSlipEscEsc = 0xDD;

constexpr size_t kHeaderSize = 8;
constexpr uint8_t kDirectionRequest = 0x00;
constexpr uint8_t kDirectionResponse = 0x01;

constexpr uint8_t kFlashBegin = 0x02;
constexpr uint8_t kFlashData = 0x03;
constexpr uint8_t kFlashEnd = 0x04;
constexpr uint8_t kSync = 0x08;
constexpr uint8_t kReadReg = 0x0A;
constexpr uint8_t kSpiSetParams = 0x0B;
constexpr uint8_t kSpiAttach = 0x0D;
constexpr uint8_t kChangeBaudrate = 0x0F;
constexpr uint8_t kSpiFlashMd5 = 0x13;

constexpr size_t kSyncDataSize = 36;         // 07 07 12 20, then 32 bytes 0x55
constexpr size_t kFlashDataHeaderSize = 16;  // size, sequence, 0, 0
constexpr size_t kStatusSize = 4;            // status, error, 0, 0 after response data
constexpr uint8_t kChecksumSeed = 0xEF;      // XOR of the FLASH_DATA block

// ESP32 registers: the eFuse read words on the AHB bus, the APB date
// register and the chip magic word.
constexpr uint32_t kEfuseAhbBase = 0x6001A000;
constexpr uint32_t kApbCtlDate = 0x3FF6607C;
constexpr uint32_t kChipMagicAt = 0x40001000;
constexpr uint32_t kChipMagic = 0x00F01D83;

// A frame longer than this is no loader frame.
constexpr size_t kMaxFrame = 128 * 1024;
}  // namespace rom

uint8_t romChecksum(const uint8_t* p, size_t n) {
  uint8_t sum = rom::kChecksumSeed;
  while (n-- > 0) sum ^= *p++;
  return sum;
}

// The application area counts as erased when its first flash sector is.
constexpr size_t kErasedProbe = 4096;

// A downloaded application names its version with this marker followed by
// the text (up to a NUL, CR or LF, at most kMaxVersion characters).
constexpr char kVersionMarker[] = "JYXFW:";
constexpr size_t kMaxVersion = 32;

// Baud codes of command 23, in code order.
constexpr uint32_t kBaudCodes[] = {9600, 19200, 57600, 115200, 460800, 1500000};

// The eFuse read registers as seen on the DPORT bus (esptool reads them
// there; the tool at the AHB address rom::kEfuseAhbBase).
constexpr uint32_t kEfuseDportBase = 0x3FF5A000;

// ROM loader error codes.
constexpr uint8_t kErrInvalidMessage = 0x05;
constexpr uint8_t kErrFailedToAct = 0x06;
constexpr uint8_t kErrBadCrc = 0x07;

const char* modeName(CSimMcu::Mode m) {
  switch (m) {
    case CSimMcu::Mode::kReset:
      return "reset";
    case CSimMcu::Mode::kApp:
      return "app";
    case CSimMcu::Mode::kLoader:
      return "loader";
  }
  return "?";
}

const char* commandName(uint8_t c) {
  switch (c) {
    case rom::kFlashBegin:
      return "FLASH_BEGIN";
    case rom::kFlashData:
      return "FLASH_DATA";
    case rom::kFlashEnd:
      return "FLASH_END";
    case rom::kSync:
      return "SYNC";
    case rom::kReadReg:
      return "READ_REG";
    case rom::kSpiSetParams:
      return "SPI_SET_PARAMS";
    case rom::kSpiAttach:
      return "SPI_ATTACH";
    case rom::kSpiFlashMd5:
      return "SPI_FLASH_MD5";
    default:
      return "OTHER";
  }
}

bool isDigits(const std::string& s) {
  if (s.empty()) return false;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

}  // namespace

CSimMcu::CSimMcu(const Config& config, COpsLog* opsLog)
    : config_(config), ops_(opsLog), flash_(kFlashSize, 0xFF) {
  appVersion_ = config_.version;
}

bool CSimMcu::acceptsBaud(uint32_t hostBaud) const {
  return mode_ == Mode::kLoader || hostBaud == consoleBaud_;
}

std::string CSimMcu::versionText() const {
  return std::string(config_.slave ? "Slave" : "Main") + " Version: " + appVersion_;
}

void CSimMcu::setPins(bool en, bool io0, uint64_t now) {
  bool wasEn = en_;
  en_ = en;
  io0_ = io0;
  if (!en && wasEn) {
    mode_ = Mode::kReset;
    bootAt_ = UINT64_MAX;
    command_.clear();
    commandDue_ = UINT64_MAX;
    COpsRecord(ops_, "mcu").str("mcu", name()).str("event", "mode").str("mode", "reset");
  } else if (en && !wasEn) {
    bootAt_ = now + kBootSampleUs;
  }
}

void CSimMcu::boot(uint64_t now) {
  bootAt_ = UINT64_MAX;
  inFrame_ = false;
  escape_ = false;
  frame_.clear();
  synced_ = false;
  if (!io0_) {
    mode_ = Mode::kLoader;
    output_ +=
        "ets Jun  8 2016 00:22:57\r\n\r\n"
        "rst:0x1 (POWERON_RESET),boot:0x3 (DOWNLOAD_BOOT(UART0/UART1/SDIO_REI_REO_V2))\r\n"
        "waiting for download\r\n";
  } else {
    mode_ = Mode::kApp;
    appVersion_ = readAppVersion();
    output_ +=
        "ets Jun  8 2016 00:22:57\r\n\r\nrst:0x1 (POWERON_RESET),boot:0x13 "
        "(SPI_FAST_FLASH_BOOT)\r\n";
    // The firmware logs in the IDF's colours; the host strips them.
    output_ += jyx::stringFormat("\x1b[0;32mI (312) jyx: %s\x1b[0m\r\n", versionText().c_str());
  }
  COpsRecord(ops_, "mcu")
      .str("mcu", name())
      .str("event", "mode")
      .str("mode", modeName(mode_))
      .str("version", appVersion_);
}

std::string CSimMcu::readAppVersion() const {
  const size_t markerLen = sizeof(kVersionMarker) - 1;
  const auto begin = flash_.begin() + kAppOffset;
  auto it = std::search(begin, flash_.end(), kVersionMarker, kVersionMarker + markerLen);
  if (it == flash_.end()) {
    // Without a marker: the configured version for an erased application
    // area, otherwise one derived from the image so that any download
    // shows.
    bool erased = std::all_of(begin, begin + kErasedProbe, [](uint8_t b) { return b == 0xFF; });
    if (erased) return config_.version;
    uint32_t sum = 0;
    for (auto p = begin; p != flash_.end(); ++p) sum = sum * 31 + *p;
    return jyx::stringFormat("image-%08x", sum);
  }
  std::string version;
  for (auto p = it + markerLen; p != flash_.end() && version.size() < kMaxVersion; ++p) {
    if (*p == 0 || *p == '\r' || *p == '\n' || *p < 0x20 || *p > 0x7E) break;
    version += static_cast<char>(*p);
  }
  return version;
}

void CSimMcu::receive(const uint8_t* data, size_t n, uint64_t now) {
  if (mode_ == Mode::kReset) return;  // a chip in reset hears nothing
  if (mode_ == Mode::kLoader) {
    for (size_t i = 0; i < n; ++i) loaderByte(data[i]);
    return;
  }
  for (size_t i = 0; i < n; ++i) {
    char c = static_cast<char>(data[i]);
    if (c == '\r' || c == '\n') {
      if (!command_.empty()) runCommand(command_);
      command_.clear();
      commandDue_ = UINT64_MAX;
      continue;
    }
    // A console line longer than this is noise, not a command.
    if (command_.size() < 256) command_ += c;
  }
  if (!command_.empty()) commandDue_ = now + kCommandGapUs;
}

void CSimMcu::tick(uint64_t now) {
  if (bootAt_ != UINT64_MAX && now >= bootAt_) boot(now);
  if (commandDue_ != UINT64_MAX && now >= commandDue_) {
    std::string text;
    text.swap(command_);
    commandDue_ = UINT64_MAX;
    runCommand(text);
  }
}

uint64_t CSimMcu::nextWakeUs() const { return bootAt_ < commandDue_ ? bootAt_ : commandDue_; }

void CSimMcu::takeOutput(std::string* out) {
  out->append(output_);
  output_.clear();
}

void CSimMcu::reply(const std::string& text, bool colour) {
  if (colour) {
    output_ += "\x1b[0;32m[JYX]: " + text + "\x1b[0m\r\n";
  } else {
    output_ += "[JYX]: " + text + "\r\n";
  }
  COpsRecord(ops_, "mcu").str("mcu", name()).str("event", "reply").str("text", text);
}

void CSimMcu::runCommand(const std::string& raw) {
  std::string text = raw;
  while (!text.empty() && text.back() == ' ') text.pop_back();
  COpsRecord(ops_, "mcu").str("mcu", name()).str("event", "command").str("text", text);
  if (text.compare(0, 4, "jyx ") != 0 || text.size() < 6 || !isDigits(text.substr(4, 2)) ||
      (text.size() > 6 && text[6] != ' ')) {
    // The firmware echoes what it does not understand, without the prefix.
    output_ += "unknown input: " + text + "\r\n";
    return;
  }
  int code = std::stoi(text.substr(4, 2));
  std::string param = text.size() > 7 ? text.substr(7) : std::string();
  if (commonCommand(code, param)) return;
  if (config_.slave) {
    slaveCommand(code, param);
  } else {
    mainCommand(code, param);
  }
}

void CSimMcu::ack(bool ok) { reply(ok ? "ack 1" : "ack 0"); }

bool CSimMcu::commonCommand(int code, const std::string& param) {
  switch (code) {
    case 0:
      reply(versionText());
      return true;
    case 5:
      reply(jyx::stringFormat("UART baud: %u", consoleBaud_));
      return true;
    case 19:
      reply("firmware reset");
      // The firmware restarts itself; it is back after the boot delay.
      mode_ = Mode::kReset;
      io0_ = true;
      bootAt_ = 0;  // at the next tick
      return true;
    case 23: {
      if (!isDigits(param) || std::stoul(param) >= sizeof(kBaudCodes) / sizeof(kBaudCodes[0])) {
        ack(false);
        return true;
      }
      ack(true);
      consoleBaud_ = kBaudCodes[std::stoul(param)];
      COpsRecord(ops_, "mcu").str("mcu", name()).str("event", "baud").unum("baud", consoleBaud_);
      return true;
    }
    default:
      return false;
  }
}

void CSimMcu::slaveCommand(int code, const std::string& param) {
  if ((code == 24 || code == 25) && (param == "0" || param == "1")) {
    ack(true);
    COpsRecord(ops_, "mcu")
        .str("mcu", name())
        .str("event", "io")
        .str("line", code == 24 ? "JTAG_SW_F" : "JTAG_SW_L")
        .num("level", param == "1" ? 1 : 0);
    return;
  }
  ack(false);
}

void CSimMcu::mainCommand(int code, const std::string& param) {
  switch (code) {
    case 1:
      reply("WiFi IP: " + config_.wifiIp, true);
      return;
    case 2:
      reply("Ethernet IP: " + config_.ethIp, true);
      return;
    case 3:
      reply("Ethernet MAC: " + config_.ethMac);
      return;
    case 4:
      reply("WiFi MAC: " + config_.wifiMac);
      return;
    case 20:
    case 21:
    case 27:
    case 28:
    case 29:
      ack(!param.empty());
      if (!param.empty()) {
        COpsRecord(ops_, "mcu")
            .str("mcu", name())
            .str("event", "setting")
            .num("code", code)
            .str("value", param);
      }
      return;
    case 22:
    case 26:
      ack(param == "0" || param == "1");
      if (param == "0" || param == "1") {
        COpsRecord(ops_, "mcu")
            .str("mcu", name())
            .str("event", "setting")
            .num("code", code)
            .str("value", param);
      }
      return;
    default:
      ack(false);
      return;
  }
}

void CSimMcu::loaderByte(uint8_t b) {
  if (!inFrame_) {
    if (b == rom::kSlipEnd) {
      inFrame_ = true;
      frame_.clear();
      escape_ = false;
    }
    return;
  }
  if (b == rom::kSlipEnd) {
    if (frame_.empty()) return;  // back-to-back delimiters: still framing
    std::vector<uint8_t> frame;
    frame.swap(frame_);
    inFrame_ = false;
    loaderFrame(frame);
    return;
  }
  if (frame_.size() >= rom::kMaxFrame) {
    // Not a loader frame: drop it and wait for the next delimiter.
    inFrame_ = false;
    frame_.clear();
    return;
  }
  if (escape_) {
    escape_ = false;
    if (b == rom::kSlipEscEnd) {
      frame_.push_back(rom::kSlipEnd);
    } else if (b == rom::kSlipEscEsc) {
      frame_.push_back(rom::kSlipEsc);
    } else {
      inFrame_ = false;  // a broken escape spoils the frame
      frame_.clear();
    }
    return;
  }
  if (b == rom::kSlipEsc) {
    escape_ = true;
    return;
  }
  frame_.push_back(b);
}

void CSimMcu::loaderRespond(uint8_t command, uint32_t value, uint8_t status, uint8_t error,
                            const std::vector<uint8_t>& extra) {
  std::vector<uint8_t> packet(rom::kHeaderSize);
  packet[0] = rom::kDirectionResponse;
  packet[1] = command;
  jyx::encodeFixed16(&packet[2], static_cast<uint16_t>(extra.size() + rom::kStatusSize));
  jyx::encodeFixed32(&packet[4], value);
  packet.insert(packet.end(), extra.begin(), extra.end());
  packet.push_back(status);
  packet.push_back(error);
  packet.push_back(0);
  packet.push_back(0);
  output_.push_back(static_cast<char>(rom::kSlipEnd));
  for (uint8_t b : packet) {
    if (b == rom::kSlipEnd || b == rom::kSlipEsc) {
      output_.push_back(static_cast<char>(rom::kSlipEsc));
      b = b == rom::kSlipEnd ? rom::kSlipEscEnd : rom::kSlipEscEsc;
    }
    output_.push_back(static_cast<char>(b));
  }
  output_.push_back(static_cast<char>(rom::kSlipEnd));
}

void CSimMcu::loaderFrame(const std::vector<uint8_t>& f) {
  if (f.size() < rom::kHeaderSize || f[0] != rom::kDirectionRequest) return;  // ignored
  uint8_t cmd = f[1];
  uint16_t len = jyx::decodeFixed16(&f[2]);
  uint32_t checksum = jyx::decodeFixed32(&f[4]);
  const uint8_t* data = f.data() + rom::kHeaderSize;
  COpsRecord record(ops_, "esp");
  record.str("mcu", name()).str("cmd", commandName(cmd)).num("len", len);
  if (config_.loaderSilent) {
    record.str("error", "silent");
    return;
  }
  if (len != f.size() - rom::kHeaderSize) {
    record.str("error", "length");
    record.done();
    loaderRespond(cmd, 0, 1, kErrInvalidMessage);
    return;
  }
  if (cmd == rom::kSync) {
    loaderSync(data, len, record);
    return;
  }
  if (!synced_) {
    record.str("error", "not synced");
    return;  // silent until synchronised
  }
  if (loaderCommand(cmd, data, len, checksum, record)) return;
  record.str("error", "length");
  record.done();
  loaderRespond(cmd, 0, 1, kErrInvalidMessage);
}

void CSimMcu::loaderSync(const uint8_t* data, uint16_t len, COpsRecord& record) {
  static const uint8_t kSyncHead[4] = {0x07, 0x07, 0x12, 0x20};
  bool ok = len == rom::kSyncDataSize && memcmp(data, kSyncHead, 4) == 0 &&
            std::all_of(data + 4, data + len, [](uint8_t b) { return b == 0x55; });
  record.done();
  if (!ok) return;  // the ROM stays silent until it sees a proper SYNC
  synced_ = true;
  // The ROM answers a SYNC eight times; clients drain the extras.
  for (int i = 0; i < 8; ++i) loaderRespond(rom::kSync, 0x20120707, 0, 0);
}

bool CSimMcu::loaderCommand(uint8_t cmd, const uint8_t* data, uint16_t len, uint32_t checksum,
                            COpsRecord& record) {
  switch (cmd) {
    case rom::kReadReg:
      if (len != 4) return false;
      loaderReadReg(data, record);
      return true;
    case rom::kSpiAttach:
    case rom::kSpiSetParams:
    case rom::kChangeBaudrate:
      loaderRespond(cmd, 0, 0, 0);
      return true;
    case rom::kFlashBegin:
      if (len != 16 && len != 20) return false;
      loaderFlashBegin(data, record);
      return true;
    case rom::kFlashData:
      if (len < rom::kFlashDataHeaderSize) return false;
      loaderFlashData(data, len, checksum, record);
      return true;
    case rom::kFlashEnd:
      loaderFlashEnd(data, len, record);
      return true;
    case rom::kSpiFlashMd5:
      if (len != 16) return false;
      loaderMd5(data);
      return true;
    default:
      // Like the ROM: a command it does not know is answered without its
      // code (0), status failure, "invalid message".
      record.str("error", "unsupported");
      record.done();
      loaderRespond(0x00, 0, 1, kErrInvalidMessage);
      return true;
  }
}

void CSimMcu::loaderReadReg(const uint8_t* data, COpsRecord& record) {
  uint32_t address = jyx::decodeFixed32(data);
  uint32_t value = 0;
  // The eFuse block answers at its AHB and its DPORT address alike.
  uint32_t efuseAt = address >= kEfuseDportBase && address < kEfuseDportBase + 4 * 7
                         ? address - kEfuseDportBase + rom::kEfuseAhbBase
                         : address;
  if (efuseAt >= rom::kEfuseAhbBase && efuseAt < rom::kEfuseAhbBase + 4 * 7 && efuseAt % 4 == 0) {
    value = config_.efuse[(efuseAt - rom::kEfuseAhbBase) / 4];
  } else if (address == rom::kApbCtlDate) {
    value = config_.apbDate;
  } else if (address == rom::kChipMagicAt) {
    value = rom::kChipMagic;
  } else if (address == 0x3FF40014) {
    value = 0x2B6;  // UART clock divider of a 40 MHz crystal at 115200
  }
  record.unum("address", address).unum("value", value);
  loaderRespond(rom::kReadReg, value, 0, 0);
}

void CSimMcu::loaderFlashBegin(const uint8_t* data, COpsRecord& record) {
  uint32_t eraseSize = jyx::decodeFixed32(data);
  uint32_t blocks = jyx::decodeFixed32(data + 4);
  uint32_t blockSize = jyx::decodeFixed32(data + 8);
  uint32_t offset = jyx::decodeFixed32(data + 12);
  record.unum("erase", eraseSize).unum("blocks", blocks).unum("offset", offset);
  uint64_t end = uint64_t(offset) + eraseSize;
  uint64_t writeEnd = uint64_t(offset) + uint64_t(blocks) * blockSize;
  if (end > kFlashSize || writeEnd > kFlashSize || blockSize == 0 || blockSize > 16384) {
    record.str("error", "range");
    record.done();
    loaderRespond(rom::kFlashBegin, 0, 1, kErrFailedToAct);
    return;
  }
  // Erase whole 4 KiB sectors covering the range.
  uint32_t first = offset & ~0xFFFu;
  uint64_t last = (end + 0xFFF) & ~uint64_t(0xFFF);
  if (last > kFlashSize) last = kFlashSize;
  std::fill(flash_.begin() + first, flash_.begin() + static_cast<long>(last), 0xFF);
  writeAddress_ = offset;
  writeEnd_ = static_cast<uint32_t>(writeEnd);
  loaderRespond(rom::kFlashBegin, 0, 0, 0);
}

void CSimMcu::loaderFlashData(const uint8_t* data, uint16_t len, uint32_t checksum,
                              COpsRecord& record) {
  uint32_t size = jyx::decodeFixed32(data);
  uint32_t seq = jyx::decodeFixed32(data + 4);
  const uint8_t* block = data + rom::kFlashDataHeaderSize;
  record.unum("seq", seq).unum("size", size).unum("address", writeAddress_);
  if (size != len - rom::kFlashDataHeaderSize) {
    record.str("error", "size");
    record.done();
    loaderRespond(rom::kFlashData, 0, 1, kErrInvalidMessage);
    return;
  }
  if (romChecksum(block, size) != (checksum & 0xFF)) {
    record.str("error", "checksum");
    record.done();
    loaderRespond(rom::kFlashData, 0, 1, kErrBadCrc);
    return;
  }
  if (uint64_t(writeAddress_) + size > writeEnd_) {
    record.str("error", "beyond FLASH_BEGIN");
    record.done();
    loaderRespond(rom::kFlashData, 0, 1, kErrFailedToAct);
    return;
  }
  // NOR flash: programming only clears bits.
  for (uint32_t i = 0; i < size; ++i) flash_[writeAddress_ + i] &= block[i];
  writeAddress_ += size;
  loaderRespond(rom::kFlashData, 0, 0, 0);
}

void CSimMcu::loaderFlashEnd(const uint8_t* data, uint16_t len, COpsRecord& record) {
  uint32_t stay = len >= 4 ? jyx::decodeFixed32(data) : 1;
  record.unum("stay", stay);
  record.done();
  loaderRespond(rom::kFlashEnd, 0, 0, 0);
  if (stay == 0) {
    // Runs the application: a reboot with IO0 high at the next tick,
    // after this reply has left at the loader's rate.
    io0_ = true;
    bootAt_ = 0;
  }
}

void CSimMcu::loaderMd5(const uint8_t* data) {
  uint32_t address = jyx::decodeFixed32(data);
  uint32_t size = jyx::decodeFixed32(data + 4);
  if (uint64_t(address) + size > kFlashSize) {
    loaderRespond(rom::kSpiFlashMd5, 0, 1, kErrFailedToAct);
    return;
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int digestLen = 0;
  EVP_Digest(flash_.data() + address, size, digest, &digestLen, EVP_md5(), nullptr);
  // The ROM answers with the digest as 32 lowercase hex characters.
  std::string hex;
  for (unsigned int i = 0; i < digestLen; ++i) hex += jyx::stringFormat("%02x", digest[i]);
  loaderRespond(rom::kSpiFlashMd5, 0, 0, 0, std::vector<uint8_t>(hex.begin(), hex.end()));
}

}  // namespace jyxsim
