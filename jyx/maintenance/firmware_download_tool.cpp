#include "jyx/maintenance/firmware_download_tool.h"

#include <cstring>

#include "common/api_manager.h"
#include "common/byte_order.h"
#include "common/file_util.h"
#include "common/string_format.h"
#include "jyx/maintenance/esp_format.h"
#include "jyx/maintenance/ftdi_serial_port.h"
#include "jyx/maintenance/slip.h"

namespace {

// Framed bytes shown of a verbose request.
constexpr size_t kSendDumpLimit = 64;

void print(const std::string& text) { CAPIManager::instance()->print("%s", text.c_str()); }

}  // namespace

CJYXFirmwareDownloadTool* CJYXFirmwareDownloadTool::instance() {
  static CJYXFirmwareDownloadTool* tool = new CJYXFirmwareDownloadTool();
  return tool;
}

CJYXFirmwareDownloadTool::CJYXFirmwareDownloadTool() {
  channel_ = std::make_unique<CFTDISerialPort>(this);
  parser_ = std::make_unique<CESPParser>(this, channel_->receiveFifo());
  CAPIManager::instance()->addUpdater(this);
}

CJYXFirmwareDownloadTool::~CJYXFirmwareDownloadTool() {
  CAPIManager::instance()->removeUpdater(this);
  parser_.reset();
  channel_.reset();
}

// Wall clock, not the pump time: the pin sequences hold the main loop for
// hundreds of ms, and a stamp taken from a stale pump time would expire a
// reply before it could have come.
double CJYXFirmwareDownloadTool::now() { return CAPIManager::wallClock(); }

int CJYXFirmwareDownloadTool::onMessage(CHANNEL_MSG_TYPE type, int code, const char* message) {
  if (type == CHANNEL_MSG_ERROR) print(jyx::stringFormat("error-esp: %s", message));
  return 0;
}

const char* CJYXFirmwareDownloadTool::statusText(int status) {
  switch (status) {
    case 5:
      return "Received message is invalid (parameters or length field is invalid)\n";
    case 6:
      return "Failed to act on received message\n";
    case 7:
      return "Invalid CRC in message\n";
    case 8:
      return "Flash write error (CRC don't match for write and read back)\n";
    case 9:
      return "Flash read error (SPI read failed)\n";
    case 10:
      return "Flash read length error (SPI read request length is too long)\n";
    case 11:
      return "Deflate error (compressed uploads only)\n";
    case 0xC0:
      return "Bad data len\n";
    case 0xC1:
      return "Bad data checksum\n";
    case 0xC2:
      return "Bad block size\n";
    case 0xC3:
      return "Invalid command\n";
    case 0xC4:
      return "SPI operate failed\n";
    case 0xC5:
      return "SPI unlock failed\n";
    case 0xC6:
      return "Not in flash mode\n";
    case 0xC7:
      return "Infalate error\n";
    case 0xC8:
      return "Not enough data\n";
    case 0xC9:
      return "Too much data\n";
    default:
      return "unknow error.\n";
  }
}

std::vector<uint8_t> CJYXFirmwareDownloadTool::framePackage(uint8_t command, const uint8_t* data,
                                                            uint16_t length, uint32_t checksum) {
  std::vector<uint8_t> packet(esp::kHeaderSize + length);
  packet[0] = esp::kDirectionRequest;
  packet[1] = command;
  jyx::encodeFixed16(&packet[2], length);
  jyx::encodeFixed32(&packet[4], checksum);
  if (length > 0) memcpy(&packet[esp::kHeaderSize], data, length);
  std::vector<uint8_t> framed;
  esp::slipEncode(packet.data(), packet.size(), &framed);
  return framed;
}

bool CJYXFirmwareDownloadTool::openChannel() {
  channel_->setName(portName_);
  channel_->setBaud(baud_);
  sendTime_ = now();
  print(jyx::stringFormat("connect to ftdi port: %s\n", portName_.c_str()));
  if (!channel_->isOpen()) channel_->start();
  channel_->receiveFifo()->reset();
  parser_->reset();
  return channel_->isOpen();
}

void CJYXFirmwareDownloadTool::finish(bool ok) {
  channel_->close();
  if (pending_) {
    ReplyCallback callback = std::move(pending_);
    pending_ = nullptr;
    callback(nullptr);
  }
  if (progress_) {
    std::function<void(int)> progress = std::move(progress_);
    progress_ = nullptr;
    progress(ok ? 1000 : -1);
  }
}

void CJYXFirmwareDownloadTool::sendPackage(unsigned char command, unsigned short length,
                                           unsigned char* data, ReplyCallback reply, double timeout,
                                           bool verbose) {
  verbose_ = verbose;
  timeout_ = timeout;
  sendTime_ = now();
  pending_ = std::move(reply);
  pendingCommand_ = command;
  uint32_t checksum = jyx::decodeFixed32(packet_.data() + 4);
  framed_ = framePackage(command, data, length, checksum);
  if (verbose) {
    size_t shown = framed_.size() < kSendDumpLimit ? framed_.size() : kSendDumpLimit;
    print("send package:\n" + espHexDump(framed_.data(), shown));
  }
  // Whatever is left unread belongs to an earlier request.
  channel_->receiveFifo()->reset();
  parser_->reset();
  int written = channel_->write(framed_.data(), static_cast<int>(framed_.size()));
  if (written == 0) {
    print("Send data error.\n");
    finish(false);
  } else if (written != static_cast<int>(framed_.size())) {
    print("Send data failed.\n");
    finish(false);
  }
}

void CJYXFirmwareDownloadTool::onPackage(ESPPackage* package) {
  if (!pending_) {
    print("CJYXFirmwareDownloadTool::onPackage: the callback is absent.\n");
    return;
  }
  // The ROM answers one SYNC several times; the repeats are not replies
  // to anything asked since.
  if (package->command == esp::kSync && pendingCommand_ != esp::kSync) return;
  ReplyCallback callback = std::move(pending_);
  pending_ = nullptr;
  callback(package);
}

double CJYXFirmwareDownloadTool::nextDeadline(double now) {
  return pending_ ? sendTime_ + timeout_ : kNoDeadline;
}

void CJYXFirmwareDownloadTool::onUpdate(double t) {
  if (!channel_->isOpen() || !pending_) return;
  if (t - sendTime_ > timeout_) {
    print("ESP: send data timeout. \n");
    sendTime_ = t;
    ReplyCallback callback = std::move(pending_);
    pending_ = nullptr;
    callback(nullptr);
  }
}

void CJYXFirmwareDownloadTool::sync(std::function<void(bool)> done, int attempt) {
  if (attempt >= kSyncAttempts) return done(false);
  uint8_t data[esp::kSyncDataSize];
  data[0] = 0x07;
  data[1] = 0x07;
  data[2] = 0x12;
  data[3] = 0x20;
  memset(data + 4, 0x55, esp::kSyncDataSize - 4);
  packet_.assign(esp::kHeaderSize, 0);
  sendPackage(
      esp::kSync, esp::kSyncDataSize, data,
      [this, done, attempt](ESPPackage* reply) {
        if (reply != nullptr) return done(true);
        if (!progress_) return done(false);  // the download has ended meanwhile
        sync(done, attempt + 1);
      },
      kSyncTimeout, true);
}

void CJYXFirmwareDownloadTool::connect(std::function<void(bool)> done, int attempt) {
  if (attempt >= kConnectAttempts || !channel_->isOpen()) return done(false);
  channel_->reset2bootloader(false);
  sync(
      [this, done, attempt](bool ok) {
        if (ok) return done(true);
        if (!channel_->isOpen()) return done(false);
        channel_->reset2bootloader(true);
        sync(
            [this, done, attempt](bool ok2) {
              if (ok2) return done(true);
              connect(done, attempt + 1);
            },
            0);
      },
      0);
}

void CJYXFirmwareDownloadTool::readRegister(unsigned int address,
                                            std::function<void(unsigned int)> done) {
  uint8_t data[4];
  jyx::encodeFixed32(data, address);
  packet_.assign(esp::kHeaderSize, 0);
  sendPackage(
      esp::kReadReg, sizeof(data), data,
      [this, address, done](ESPPackage* reply) {
        if (reply == nullptr) {
          print(jyx::stringFormat("Error: read register(0x%x) fail.\n", address));
          return finish(false);
        }
        done(reply->value);
      },
      kReplyTimeout, true);
}

void CJYXFirmwareDownloadTool::readEFuse(unsigned int word,
                                         std::function<void(unsigned int)> done) {
  readRegister(esp::kEfuseBase + 4 * word, std::move(done));
}

std::string CJYXFirmwareDownloadTool::chipName(uint32_t word3) {
  switch ((word3 >> 9) & 7) {
    case 0:
      return "ESP32D0WDQ6";
    case 1:
      return "ESP32D0WDQ5";
    case 2:
      return "ESP32D2WDQ5";
    case 5:
      return "ESP32-PICO-D4";
    default:
      return "ESP32";
  }
}

int CJYXFirmwareDownloadTool::chipRevision(uint32_t word3, uint32_t word5, uint32_t apbDate) {
  if ((word3 & (1u << 15)) == 0) return 0;
  if ((word5 & (1u << 20)) == 0) return 1;
  return (apbDate & (1u << 31)) ? 3 : 2;
}

std::string CJYXFirmwareDownloadTool::chipFeatures(uint32_t word3, uint32_t word4, uint32_t word6) {
  std::string text = "WiFi";
  if ((word3 & (1u << 1)) == 0) text += ", BT";
  text += (word3 & 1u) ? ", Single Core" : ", Dual Core";
  if (word3 & (1u << 13)) text += (word3 & (1u << 12)) ? ", 160MHz" : ", 240MHz";
  uint32_t package = (word3 >> 9) & 7;
  if (package == 2 || package == 4 || package == 5) text += ", Embedded Flash";
  if (((word4 >> 8) & 31) != 0) text += ", VRef calibration in efuse";
  if (word3 & (1u << 14)) text += ", BLK3 partially reserved";
  static const char* const kCoding[] = {", None", ", 3/4", ", Repeat (UNSUPPORTED)", ", Invalid"};
  text += kCoding[word6 & 3];
  return text;
}

void CJYXFirmwareDownloadTool::readChipDesc(std::function<void(bool)> done) {
  readEFuse(3, [this, done](unsigned int word3) {
    readEFuse(5, [this, done, word3](unsigned int word5) {
      readRegister(esp::kApbCtlDateReg, [done, word3, word5](unsigned int apb) {
        print(jyx::stringFormat("Chip: %s (version: %d)\n", chipName(word3).c_str(),
                                chipRevision(word3, word5, apb)));
        done(true);
      });
    });
  });
}

void CJYXFirmwareDownloadTool::readChipFeatures(std::function<void(bool)> done) {
  readEFuse(3, [this, done](unsigned int word3) {
    readEFuse(4, [this, done, word3](unsigned int word4) {
      readEFuse(6, [done, word3, word4](unsigned int word6) {
        print(jyx::stringFormat("Features: %s\n", chipFeatures(word3, word4, word6).c_str()));
        done(true);
      });
    });
  });
}

void CJYXFirmwareDownloadTool::readMac(unsigned int, std::function<void(bool)> done) {
  readEFuse(2, [this, done](unsigned int word2) {
    readEFuse(1, [done, word2](unsigned int word1) {
      print(jyx::stringFormat("MAC: 0x%x, 0x%x\n", word1, word2));
      done(true);
    });
  });
}

void CJYXFirmwareDownloadTool::flashFirmwareFile(const std::string& path, int address,
                                                 std::function<void(int)> progress) {
  address_ = address;
  progress_ = std::move(progress);
  sequence_ = 0;
  path_ = path;
  pending_ = nullptr;
  if (!openChannel()) return finish(false);
  std::vector<uint8_t> content;
  std::string err;
  if (!jyx::readRegularFile(path, kMaxImageSize, &content, &err)) {
    print(err + "\n");
    print(jyx::stringFormat("Error: open spi file (%s) failed", path.c_str()));
    return finish(false);
  }
  if (content.empty()) {
    print("Error: no firmware data to flash.\n");
    return finish(false);
  }
  if (address < 0 || uint64_t(address) + content.size() > kMaxImageSize) {
    print(jyx::stringFormat("Error: the image of %zu bytes does not fit at 0x%x.\n", content.size(),
                            address));
    return finish(false);
  }
  size_t blocks = (content.size() + esp::kFlashBlockSize - 1) / esp::kFlashBlockSize;
  content.resize(blocks * esp::kFlashBlockSize, 0x00);
  image_ = std::move(content);
  print("connecting...\n");
  connect(
      [this](bool ok) {
        if (!ok) {
          print("Error: connect and sync fail.\n");
          return finish(false);
        }
        readChipDesc([this](bool descOk) {
          if (!descOk) return finish(false);
          readChipFeatures([this](bool featuresOk) {
            if (!featuresOk) return finish(false);
            flashFirmwareContent(0);
          });
        });
      },
      0);
}

void CJYXFirmwareDownloadTool::flashFirmwareContent(int offset) {
  if (!progress_) return;  // the download has ended
  const size_t size = image_.size();
  progress_(static_cast<int>(uint64_t(offset) * 100 / size));
  uint8_t begin[16];
  jyx::encodeFixed32(begin, esp::kFlashBlockSize);
  jyx::encodeFixed32(begin + 4, 1);
  jyx::encodeFixed32(begin + 8, esp::kFlashBlockSize);
  jyx::encodeFixed32(begin + 12, static_cast<uint32_t>(address_ + offset));
  packet_.assign(esp::kHeaderSize, 0);
  sendPackage(
      esp::kFlashBegin, sizeof(begin), begin,
      [this, offset, size](ESPPackage* reply) {
        if (reply == nullptr || !progress_) return finish(false);
        std::vector<uint8_t> data(esp::kFlashDataHeaderSize + esp::kFlashBlockSize, 0);
        jyx::encodeFixed32(&data[0], esp::kFlashBlockSize);
        jyx::encodeFixed32(&data[4], sequence_++);
        const uint8_t* block = image_.data() + offset;
        memcpy(&data[esp::kFlashDataHeaderSize], block, esp::kFlashBlockSize);
        packet_.assign(esp::kHeaderSize, 0);
        jyx::encodeFixed32(&packet_[4], esp::espChecksum(block, esp::kFlashBlockSize));
        // The reply to the data itself completes nothing: the next
        // request replaces its callback at once.
        sendPackage(
            esp::kFlashData, static_cast<unsigned short>(data.size()), data.data(),
            [](ESPPackage*) {}, kReplyTimeout, false);
        if (!progress_) return;  // the write failed
        if (uint64_t(offset) + esp::kFlashBlockSize < size) {
          return flashFirmwareContent(offset + static_cast<int>(esp::kFlashBlockSize));
        }
        progress_(100);
        if (!flashEnd_) return finish(true);
        uint8_t run[4];
        jyx::encodeFixed32(run, 0);  // 0: leave the loader and run the application
        packet_.assign(esp::kHeaderSize, 0);
        sendPackage(
            esp::kFlashEnd, sizeof(run), run, [this](ESPPackage* end) { finish(end != nullptr); },
            kReplyTimeout, false);
      },
      kReplyTimeout, false);
}
