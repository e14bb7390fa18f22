// CJYXFirmwareDownloadTool: downloads an MCU firmware image through the
// ESP32 serial ROM loader on one FTDI bridge interface: reset into the
// loader and SYNC, identify the chip, then write the image one 4096-byte
// block at a time (FLASH_BEGIN + FLASH_DATA each) and end with FLASH_END,
// which starts the new application.
//
// One request's reply is awaited at a time. FLASH_DATA is sent without
// waiting and the next block's FLASH_BEGIN right behind it, so each reply
// advances the download by one step and the line never waits for the host.
// The extra SYNC replies the ROM sends are dropped while another request is
// pending.
//
// Main thread only: replies arrive through the parser's update, the reply
// time-out runs in onUpdate.
#ifndef JYX_JYX_MAINTENANCE_FIRMWARE_DOWNLOAD_TOOL_H_
#define JYX_JYX_MAINTENANCE_FIRMWARE_DOWNLOAD_TOOL_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/channel.h"
#include "common/updater.h"
#include "jyx/maintenance/esp_parser.h"

class CFTDISerialPort;

class CJYXFirmwareDownloadTool : public CChannelDelegate,
                                 public CESPParserDelegate,
                                 public CUpdater {
 public:
  using ReplyCallback = std::function<void(ESPPackage*)>;

  // Connect attempts, and SYNC requests per reset.
  static constexpr int kConnectAttempts = 6;
  static constexpr int kSyncAttempts = 6;
  static constexpr double kSyncTimeout = 1.1;
  static constexpr double kReplyTimeout = 3.0;
  // Largest image accepted: the MCU's whole flash.
  static constexpr uint64_t kMaxImageSize = 16u << 20;

  static CJYXFirmwareDownloadTool* instance();
  CJYXFirmwareDownloadTool();
  ~CJYXFirmwareDownloadTool() override;

  // FTDI index of the interface the next download uses.
  virtual const std::string& portName() { return portName_; }
  virtual void setPortName(const std::string& name) { portName_ = name; }
  // Line rate of the download (the ROM loader detects it from SYNC).
  virtual int baud() { return baud_; }
  virtual void setBaud(int baud) { baud_ = baud; }
  // End the download with FLASH_END (run the new application).
  virtual bool flashEnd() { return flashEnd_; }
  virtual void setFlashEnd(bool end) { flashEnd_ = end; }

  // The whole download; progress gets 0-100 while blocks are written, then
  // 1000 on success or -1 on failure, exactly one of the two.
  void flashFirmwareFile(const std::string& path, int address, std::function<void(int)> progress);

  void connect(std::function<void(bool)> done, int attempt);
  void sync(std::function<void(bool)> done, int attempt);
  void readRegister(unsigned int address, std::function<void(unsigned int)> done);
  void readEFuse(unsigned int word, std::function<void(unsigned int)> done);
  void readChipDesc(std::function<void(bool)> done);
  void readChipFeatures(std::function<void(bool)> done);
  void readMac(unsigned int unused, std::function<void(bool)> done);
  void flashFirmwareContent(int offset);
  void sendPackage(unsigned char command, unsigned short length, unsigned char* data,
                   ReplyCallback reply, double timeout, bool verbose);

  static const char* statusText(int status);
  // Chip name and revision from EFUSE words 3 and 5 and the APB date
  // register; the feature list from words 3, 4 and 6.
  static std::string chipName(uint32_t word3);
  static int chipRevision(uint32_t word3, uint32_t word5, uint32_t apbDate);
  static std::string chipFeatures(uint32_t word3, uint32_t word4, uint32_t word6);
  // The framed request packet (header, data, SLIP).
  static std::vector<uint8_t> framePackage(uint8_t command, const uint8_t* data, uint16_t length,
                                           uint32_t checksum);

  void onPackage(ESPPackage* package) override;
  void onUpdate(double now) override;
  double nextDeadline(double now) override;
  int onMessage(CHANNEL_MSG_TYPE type, int code, const char* message) override;

  // Bytes of image being written (whole blocks).
  size_t imageSize() const { return image_.size(); }

 private:
  bool openChannel();
  void finish(bool ok);
  double now();

  std::string portName_ = "0";
  int baud_ = 115200;
  bool flashEnd_ = true;
  std::unique_ptr<CFTDISerialPort> channel_;
  std::unique_ptr<CESPParser> parser_;
  std::vector<uint8_t> packet_;
  std::vector<uint8_t> framed_;
  std::vector<uint8_t> image_;
  int address_ = 0;
  uint32_t sequence_ = 0;
  ReplyCallback pending_;
  uint8_t pendingCommand_ = 0;
  double sendTime_ = 0;
  double timeout_ = kReplyTimeout;
  bool verbose_ = false;
  std::function<void(int)> progress_;
  std::string path_;
};

#endif  // JYX_JYX_MAINTENANCE_FIRMWARE_DOWNLOAD_TOOL_H_
