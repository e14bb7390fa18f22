// SPI flash programming, checking, reading and the Winbond status registers
// of CJYXDataManager. Every flow is a chain of reply handlers on the main
// thread: hand the flash lines to the controller, optionally open the
// programming mode, one sector request at a time, then hand the lines back.
// The sector loop keeps its state in fields and its reply handlers capture
// only `this`, so a warm loop allocates nothing per sector (packets come from
// the pool, the sector buffer is reused).
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/api_manager.h"
#include "common/file_util.h"
#include "common/thread_pool.h"
#include "jyx/device/data_manager.h"
#include "jyx/protocol/package_manager.h"
#include "jyx/device/spi_image.h"

namespace {

// The flash needs the lines quiet for a moment after its last program cycle
// before they are handed back or the programming mode is left (ms).
constexpr int kLineSettleMs = 100;
// A retry closes the link, waits for the controller to drop its side, opens
// it again and lets the controller settle (ms).
constexpr int kRetryPauseMs = 1000;
constexpr int kReconnectSettleMs = 100;
// Image server used while the "spi_url" setting is unset; loopback, so the
// tool never reaches out unless told to.
const char kDefaultImageServer[] = "http://127.0.0.1:8000";

// Status registers 1-3 of Winbond-style flashes: read and write commands.
constexpr uint8_t kRegisterReadCommand[3] = {0x05, 0x35, 0x15};
constexpr uint8_t kRegisterWriteCommand[3] = {0x01, 0x31, 0x11};
// The unlock request: mask 3, values 0 (registers 1 and 2 cleared).
constexpr uint32_t kUnlockRegisterValue = 0x03000000;
// JEDEC "read identification": manufacturer, memory type, capacity.
constexpr uint8_t kJedecIdCommand = 0x9F;

CAPIManager* api() { return CAPIManager::instance(); }

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...) {
  char small[512];
  va_list args;
  va_start(args, fmt);
  int n = vsnprintf(small, sizeof(small), fmt, args);
  va_end(args);
  if (n < 0) return std::string();
  if (static_cast<size_t>(n) < sizeof(small)) return std::string(small, n);
  std::string text(static_cast<size_t>(n) + 1, '\0');
  va_start(args, fmt);
  vsnprintf(&text[0], text.size(), fmt, args);
  va_end(args);
  text.resize(static_cast<size_t>(n));
  return text;
}

}  // namespace

// ---------------------------------------------------------------------------
// Settings, UI state and tasks

void CJYXDataManager::setFlashType(const std::string& type) {
  flashType_ = type;
  spiStaticDirty_ = true;
  SPISecurity security = spiSecurityForFlashType(type);
  securityMode_ = security.mode;
  accessId_ = security.accessId;
  eraseId_ = security.eraseId;
}

void CJYXDataManager::spiStartConfig() {
  CJYXServices* jyx = services_;
  imagePath_ = jyx->readSetting("spi_file", std::string());
  setFlashType(jyx->readSetting("flash_type", std::string("Normal")));
  readAddrText_ = jyx->readSetting("spi_read_addr", std::string("0x188B70"));
  readSizeText_ = jyx->readSetting("spi_read_size", std::string("0x7c"));
  imageServer_ = jyx->readSetting("spi_url", std::string());
  if (imageServer_.size() < 4) imageServer_ = kDefaultImageServer;
  spiStaticDirty_ = true;
  spiRefresh_ = true;
}

void CJYXDataManager::spiPublishState() {
  publish("SPI_PROGRESS", "value", spiPercent_);
  publish("SPI_PERCENT", "content", std::to_string(spiPercent_));
  publish("SPI_FLASH_TIME", "content",
          elapsed_ > 0 ? "flash(" + std::to_string(elapsed_) + "s)" : std::string("flash"));
  publish("SPI_LOOP_COUNT", "content", std::to_string(loopCount_));
  if (!spiStaticDirty_) return;
  spiStaticDirty_ = false;
  publish("jyx.data:flash_type", "value", flashType_);
  publish("SPI_FILENAME", "content", imagePath_);
  publish("jyx.data:spi_url", "value", imageServer_);
  std::string selected;
  if (selectedImage_ >= 0 && selectedImage_ < static_cast<int>(imageList_.size())) {
    selected = imageList_[selectedImage_].version();
  }
  publish("jyx.data:spi_remote_file", "value", selected);
  rapidjson::Document items(rapidjson::kArrayType);
  for (CSPIImageInfo& info : imageList_) {
    rapidjson::Value item(rapidjson::kObjectType);
    item.AddMember("title", rapidjson::Value(info.version().c_str(), items.GetAllocator()),
                   items.GetAllocator());
    items.PushBack(item, items.GetAllocator());
  }
  rapidjson::StringBuffer text;
  rapidjson::Writer<rapidjson::StringBuffer> writer(text);
  items.Accept(writer);
  publish("jyx.data:spi_remote_file", "items", std::string(text.GetString(), text.GetSize()));
  publish("jyx.data:spi_read_addr", "value", readAddrText_);
  publish("jyx.data:spi_read_size", "value", readSizeText_);
}

void CJYXDataManager::spiDialog(const char* title, const std::string& text) {
  services_->showDialog(nullptr, 1, title, text);
}

void CJYXDataManager::spiReport(int value) {
  std::shared_ptr<SPIProgress> progress = spiProgress_;
  if (progress && *progress) (*progress)(value);
}

bool CJYXDataManager::spiBusyGuard() {
  if (!spiBusy_) return false;
  spiDialog("Note", "jyx system is busy, please try again after a while.\n");
  return true;
}

void CJYXDataManager::registerSPITasks() {
  using std::placeholders::_1;
  addHandler("jyx.data:flash_type", std::bind(&CJYXDataManager::taskFlashType, this, _1));
  addHandler("jyx.data:spi_open", std::bind(&CJYXDataManager::taskSpiOpen, this, _1));
  addHandler("jyx.data:spi_url", std::bind(&CJYXDataManager::taskSpiUrl, this, _1));
  addHandler("jyx.data:spi_refresh_images",
             std::bind(&CJYXDataManager::taskSpiRefreshImages, this, _1));
  addHandler("jyx.data:spi_remote_file",
             std::bind(&CJYXDataManager::taskSpiRemoteFile, this, _1));
  addHandler("jyx.data:spi_download", std::bind(&CJYXDataManager::taskSpiDownload, this, _1));
  addHandler("jyx.data:spi_flash", std::bind(&CJYXDataManager::taskSpiFlash, this, _1));
  addHandler("jyx.data:spi_check", std::bind(&CJYXDataManager::taskSpiCheck, this, _1));
  addHandler("jyx.data:spi_loop_flash", std::bind(&CJYXDataManager::taskSpiLoopFlash, this, _1));
  addHandler("jyx.data:spi_stop_loop", std::bind(&CJYXDataManager::taskSpiStopLoop, this, _1));
  addHandler("jyx.data:spi_progress", std::bind(&CJYXDataManager::taskSpiProgress, this, _1));
  addHandler("jyx.data:spi_read_addr",
             [this](CTask* task) { return taskStoreReadRange(task, &readAddrText_, "spi_read_addr"); });
  addHandler("jyx.data:spi_read_size",
             [this](CTask* task) { return taskStoreReadRange(task, &readSizeText_, "spi_read_size"); });
  addHandler("jyx.data:spi_read", [this](CTask* task) { return taskSpiRead(task, false); });
  addHandler("jyx.data:spi_read_save", [this](CTask* task) { return taskSpiRead(task, true); });
  addHandler("jyx.data:spi_ctrl", std::bind(&CJYXDataManager::taskSpiCtrl, this, _1));
  addHandler("jyx.data:spi_data", std::bind(&CJYXDataManager::taskSpiData, this, _1));
  addHandler("jyx.data:winbond_read_reg",
             std::bind(&CJYXDataManager::taskWinbondReadReg, this, _1));
  addHandler("jyx.data:winbond_unlock", std::bind(&CJYXDataManager::taskWinbondUnlock, this, _1));
  setSpiRefreshHook([this]() { spiPublishState(); });
}

bool CJYXDataManager::taskFlashType(CTask* task) {
  std::string value;
  if (getArgument(task->data()->text, "value", &value)) {
    setFlashType(value);
    services_->writeSetting("flash_type", flashType_);
    publish("jyx.data:flash_type", "value", flashType_);
  }
  finishTask(task);
  return true;
}

bool CJYXDataManager::taskSpiOpen(CTask* task) {
  services_->pickFile(true, [this](const std::string& path) {
    if (path.empty()) return;
    setImagePath(path);
    services_->writeSetting("spi_file", imagePath_);
    spiPercent_ = 0;
    spiRefresh_ = true;
  });
  finishTask(task);
  return true;
}

bool CJYXDataManager::taskSpiUrl(CTask* task) {
  std::string value;
  if (getArgument(task->data()->text, "value", &value)) {
    imageServer_ = value;
    spiStaticDirty_ = true;
    spiRefresh_ = true;
  }
  finishTask(task);
  return true;
}

bool CJYXDataManager::taskSpiRefreshImages(CTask* task) {
  std::string base = imageServer_.size() < 4 ? std::string(kDefaultImageServer) : imageServer_;
  std::string address = base + "/qel.json";
  services_->getFileContent(address, [this, base, address](const std::string& text) {
    api()->print("%s", text.c_str());
    if (text.empty()) {
      spiDialog("Error", format("cannot get the download config (%s)\n", address.c_str()));
      return;
    }
    imageServer_ = base;
    services_->writeSetting("spi_url", imageServer_);
    rapidjson::Document doc;
    doc.Parse(text.c_str(), text.size());
    if (!doc.HasParseError() && doc.IsObject() && doc.HasMember("images") &&
        doc["images"].IsArray()) {
      imageList_.clear();
      selectedImage_ = -1;
      for (const auto& entry : doc["images"].GetArray()) {
        if (!entry.IsObject()) continue;
        CSPIImageInfo info;
        auto version = entry.FindMember("version");
        if (version != entry.MemberEnd() && version->value.IsString()) {
          info.setVersion(version->value.GetString());
        }
        auto image = entry.FindMember("image");
        if (image != entry.MemberEnd() && image->value.IsString()) {
          info.setImage(image->value.GetString());
        }
        imageList_.push_back(info);
      }
    }
    spiStaticDirty_ = true;
    spiRefresh_ = true;
  });
  finishTask(task);
  return true;
}

bool CJYXDataManager::taskSpiRemoteFile(CTask* task) {
  std::string value;
  if (getArgument(task->data()->text, "value", &value)) {
    for (size_t i = 0; i < imageList_.size(); ++i) {
      if (imageList_[i].version() == value) {
        selectedImage_ = static_cast<int>(i);
        break;
      }
    }
    spiStaticDirty_ = true;
    spiRefresh_ = true;
  }
  finishTask(task);
  return true;
}

bool CJYXDataManager::taskSpiDownload(CTask* task) {
  if (selectedImage_ >= 0 && selectedImage_ < static_cast<int>(imageList_.size())) {
    const std::string image = imageList_[selectedImage_].image();
    CJYXServices* jyx = services_;
    std::string local = jyx->appPath() + "/" + image;
    jyx->download(imageServer_ + "/" + image, local, "jyx.data:spi_progress",
                  [this, local](const std::string&) {
                    // Without a host nothing is fetched: keep the old path
                    // unless the file is really there.
                    FILE* f = fopen(local.c_str(), "rb");
                    if (f == nullptr) return;
                    fclose(f);
                    setImagePath(local);
                    services_->writeSetting("spi_file", imagePath_);
                    api()->print("downloadSPIFile : %s\n", local.c_str());
                    spiRefresh_ = true;
                  });
  }
  finishTask(task);
  return true;
}

bool CJYXDataManager::taskSpiFlash(CTask* task) {
  if (!spiBusyGuard()) {
    loopFlash_ = false;
    attempts_ = 0;
    startFlashSPI(nullptr);
  }
  finishTask(task);
  return true;
}

bool CJYXDataManager::taskSpiCheck(CTask* task) {
  if (!spiBusyGuard()) {
    loopFlash_ = false;
    startCheckSPI(nullptr);
  }
  finishTask(task);
  return true;
}

bool CJYXDataManager::taskSpiLoopFlash(CTask* task) {
  if (!spiBusyGuard()) {
    loopCount_ = 0;
    loopFlash_ = true;
    attempts_ = 0;
    startFlashSPI(nullptr);
  }
  finishTask(task);
  return true;
}

bool CJYXDataManager::taskSpiStopLoop(CTask* task) {
  loopFlash_ = false;
  finishTask(task);
  return true;
}

bool CJYXDataManager::taskSpiProgress(CTask* task) {
  spiPercent_ = atoi(task->data()->text);
  spiRefresh_ = true;
  finishTask(task);
  return true;
}

bool CJYXDataManager::taskStoreReadRange(CTask* task, std::string* field, const char* key) {
  std::string value;
  if (getArgument(task->data()->text, "value", &value)) {
    *field = value;
    spiStaticDirty_ = true;
    services_->writeSetting(key, *field);
    publish((std::string("jyx.data:") + key).c_str(), "value", *field);
  }
  finishTask(task);
  return true;
}

bool CJYXDataManager::taskSpiRead(CTask* task, bool save) {
  int offset = spiParseNumber(readAddrText_.c_str());
  int size = spiParseNumber(readSizeText_.c_str());
  if (size < 1 || size > kSPIMaxTaskReadSize) {
    api()->print("read spi(offset:%d, size:%d) fail\n", offset, size);
    finishTask(task);
    return true;
  }
  exportFlashData(!save, offset, size, [this, save](bool ok) {
    if (!ok || !save) return;
    services_->pickFile(false, [this](const std::string& path) {
      if (path.empty()) return;  // the user cancelled the file choice
      if (readBuffer_.length() <= 0) {
        api()->print("no spi data to save.\n");
        return;
      }
      // Written whole under a temporary name and renamed: a failed save
      // never leaves a truncated dump under the chosen name.
      std::string why;
      if (jyx::writeFileAtomic(path, readBuffer_.data(),
                               static_cast<size_t>(readBuffer_.length()), &why)) {
        notice(format("spi data has been saved to %s.", path.c_str()));
      } else {
        api()->print("%s\n", why.c_str());
        api()->print("save spi data to file(%s) fail.\n", path.c_str());
      }
    });
  });
  finishTask(task);
  return true;
}

bool CJYXDataManager::taskSpiCtrl(CTask* task) {
  int enable = 0;
  getArgument(task->data()->text, "enable", &enable);
  bool sent = enableSPIData(enable != 0 ? 1 : 0, false, [this, task](CPackage*) {
    setResultText(task, format("{\"enable\":%d}", spiEnabled_ ? 1 : 0));
    finishTask(task);
  });
  if (!sent) {
    setResultText(task, format("{\"enable\":%d}", spiEnabled_ ? 1 : 0));
    finishTask(task);
  }
  return true;
}

bool CJYXDataManager::taskSpiData(CTask* task) {
  const char* text = task->data()->text;
  int64_t offset = 0, size = 0, num = 0;
  getArgument(text, "offset", &offset);
  getArgument(text, "size", &size);
  getArgument(text, "num", &num);
  bool sent = offset >= 0 && offset <= UINT32_MAX && size >= 0 && size <= UINT16_MAX &&
              num >= 0 && num <= UINT16_MAX &&
              sendSPIData(static_cast<uint32_t>(offset), static_cast<uint16_t>(size),
                          static_cast<uint16_t>(num), task->data()->bytes,
                          task->data()->byteLength, [this, task](CPackage*) { finishTask(task); });
  if (!sent) finishTask(task);
  return true;
}

bool CJYXDataManager::taskWinbondReadReg(CTask* task) {
  winbondReadSPIRegisters([this, task](const uint8_t* bytes, int count) {
    if (bytes != nullptr && count >= 3) {
      api()->print("winbond read registers: 0x%.2x  0x%.2x  0x%.2x\n", bytes[0], bytes[1],
                   bytes[2]);
    }
    finishTask(task);
  });
  return true;
}

bool CJYXDataManager::taskWinbondUnlock(CTask* task) {
  winbondUnlockFlash([this, task](bool ok) {
    if (ok) api()->print("winbond unlock flash success\n");
    finishTask(task);
  });
  return true;
}

// ---------------------------------------------------------------------------
// Requests

bool CJYXDataManager::enableSPIData(uint8_t enable, bool writeMode, PackageCallback callback) {
  if (!isConnected()) {
    api()->print("jyx.data(enableSPI): channel is not valid.\n");
    return false;
  }
  CPackage* request = CPackageManager::instance()->getPackage();
  request->makeSPICtrl(nextFrameNum(), enable, securityMode_, accessId_,
                       writeMode ? eraseId_ : 0);
  sendPackage(request, [this, enable, callback](CPackage* reply) {
    if (reply != nullptr && enable == 1) {
      api()->print("flash id num: 0x%x\n", reply->payloadU32(0));
    }
    if (reply != nullptr && reply->dataType() != ACK_FAIL) spiEnabled_ = enable != 0;
    if (callback) callback(reply);
  });
  return true;
}

bool CJYXDataManager::sendSPIData(uint32_t secOffset, uint16_t secSize, uint16_t secNum,
                                  const uint8_t* data, int length, PackageCallback callback) {
  if (!isConnected()) {
    api()->print("jyx.data(sendSPIData): channel is not valid.\n");
    return false;
  }
  CPackage* request = CPackageManager::instance()->getPackage();
  if (secNum == 1 && length == secSize) {
    // The flash path: the builder writes header and sector straight into the
    // pooled package, no intermediate copy.
    request->makeSPIData(nextFrameNum(), secOffset, data, secSize);
  } else {
    // Raw sector requests of the UI bridge: the header as given, then the
    // bytes the caller attached (at most 64 KiB).
    uint32_t n = length > 0 ? static_cast<uint32_t>(length) : 0;
    if (n > UINT16_MAX) n = UINT16_MAX;
    std::vector<uint8_t> payload(jyx::kSectorHeaderSize + n);
    for (int i = 0; i < 4; ++i) payload[i] = static_cast<uint8_t>(secOffset >> (8 * i));
    payload[4] = static_cast<uint8_t>(secSize);
    payload[5] = static_cast<uint8_t>(secSize >> 8);
    payload[6] = static_cast<uint8_t>(secNum);
    payload[7] = static_cast<uint8_t>(secNum >> 8);
    if (n > 0 && data != nullptr) memcpy(payload.data() + jyx::kSectorHeaderSize, data, n);
    request->make(nextFrameNum(), SPI_CTRL, SPI_DATA, payload.data(),
                  static_cast<uint32_t>(payload.size()));
  }
  sendPackage(request, std::move(callback));
  return true;
}

bool CJYXDataManager::readSPIData(uint32_t secOffset, uint16_t secSize, uint16_t secNum,
                                  PackageCallback callback) {
  if (!isConnected()) {
    api()->print("jyx.data(readSPIData): channel is not valid.\n");
    return false;
  }
  CPackage* request = CPackageManager::instance()->getPackage();
  request->makeSPIRead(nextFrameNum(), secOffset, secSize, secNum);
  sendPackage(request, std::move(callback));
  return true;
}

// ---------------------------------------------------------------------------
// Flash-line hand-over and programming mode

bool CJYXDataManager::enableSPI_IO(std::function<void(bool)> callback) {
  bool sent = gpio(GPIO_OP_SET, GPIO_SPI_PRG_SEL, 0, [this, callback](CPackage* reply) {
    auto fail = [this, callback](const char* text) {
      api()->print("%s\n", text);
      notice(text);
      setSPICause(format("the controller did not take the SPI lines (%s)", text));
      disableSPI([callback](bool) {
        if (callback) callback(false);
      });
    };
    if (reply == nullptr) {
      fail("SPI_PRG_SEL to 0 fail.");
      return;
    }
    bool sent = gpio(GPIO_OP_SET, GPIO_SPI_PRG_EN, 0, [callback, fail](CPackage* reply) {
      if (reply == nullptr) {
        fail("SPI_PRG_EN to 0 fail.");
      } else if (callback) {
        callback(true);
      }
    });
    if (!sent) {
      disableSPI([callback](bool) {
        if (callback) callback(false);
      });
    }
  });
  if (!sent && callback) callback(false);
  return sent;
}

void CJYXDataManager::disableSPI_IO(std::function<void(bool)> callback) {
  sleepMs(kLineSettleMs);
  spiHandBackError_.clear();
  auto fail = [this, callback](const char* text) {
    api()->print("%s\n", text);
    notice(text);
    spiHandBackError_ = format(
        "the SPI lines were not handed back to the target (%s): it cannot boot from its flash",
        text);
    spiBusy_ = false;
    if (callback) callback(false);
  };
  // A refused line (ACK_FAIL) is as much a failure as a missing reply: the
  // flash may still be held by the controller.
  bool sent = gpio(GPIO_OP_SET, GPIO_SPI_PRG_EN, 1, [this, callback, fail](CPackage* reply) {
    if (reply == nullptr || reply->dataType() == ACK_FAIL) {
      fail("SPI_PRG_EN to 1 fail.");
      return;
    }
    bool sent = gpio(GPIO_OP_SET, GPIO_SPI_PRG_SEL, 1, [this, callback, fail](CPackage* reply) {
      if (reply == nullptr || reply->dataType() == ACK_FAIL) {
        fail("SPI_PRG_SEL to 1 fail.");
        return;
      }
      spiBusy_ = false;
      if (callback) callback(true);
    });
    if (!sent) fail("SPI_PRG_SEL to 1 fail.");
  });
  if (!sent) fail("SPI_PRG_EN to 1 fail.");
}

void CJYXDataManager::enableSPI(std::function<void(bool)> callback) {
  enableSPI_IO([this, callback](bool ok) {
    if (!ok) {
      disableSPI_IO(nullptr);
      callback(false);
      return;
    }
    if (!writeMode_ && securityMode_ == 0) {
      callback(true);
      return;
    }
    auto onReply = [this, callback](CPackage* reply) {
      if (reply == nullptr) {
        api()->print("network is abnormal or enable SPI Data time out.\n");
        setSPICause("no reply from the controller to the programming-mode request");
        callback(false);
        return;
      }
      // A refused or malformed acknowledge opens no programming mode (the
      // tracker has printed the ACK_FAIL line already).
      if (reply->dataType() == ACK_FAIL || reply->payloadLength() < jyx::kSectorHeaderSize) {
        setSPICause("the controller refused the programming mode (ACK_FAIL)");
        callback(false);
        return;
      }
      // The acknowledge describes the flash (or, in a security layout, one
      // copy): sector size times sector count. A count of 0 tells nothing.
      uint64_t ackSectors = reply->payloadU16(jyx::kSecNumOffset);
      uint64_t ackSectorSize = reply->payloadU16(jyx::kSecSizeOffset);
      if (ackSectors > 0) spiFlashSize_ = ackSectors * ackSectorSize;
      if (writeMode_) {
        uint16_t secSize = reply->payloadU16(jyx::kSecSizeOffset);
        if (secSize == 0) {
          setSPICause("the controller reported a sector size of 0");
          callback(false);
          return;
        }
        sectorIndex_ = resumeSector_;
        sectorSize_ = secSize;
        if (sector_.size() < sectorSize_) sector_.resize(sectorSize_);
        sectorCount_ = spiFlashSectorCount(imageSize_);
        api()->print("recieved spi:secSize(%d), secNum(%d), secOffset(%d) :: real secNum(%d)\n",
                     secSize, reply->payloadU16(jyx::kSecNumOffset),
                     static_cast<int>(reply->payloadU32(jyx::kSecOffsetOffset)),
                     static_cast<int>(sectorCount_));
        spiReport(spiPercent_);
      }
      callback(true);
    };
    if (!enableSPIData(1, writeMode_, onReply)) onReply(nullptr);
  });
}

void CJYXDataManager::disableSPI(std::function<void(bool)> callback) {
  sleepMs(kLineSettleMs);
  if (!writeMode_ && securityMode_ == 0) {
    disableSPI_IO(std::move(callback));
    return;
  }
  if (!enableSPIData(0, false, [this, callback](CPackage*) { disableSPI_IO(callback); })) {
    disableSPI_IO(std::move(callback));
  }
}

void CJYXDataManager::stopSPI(std::function<void()> callback) {
  stopSPIThen([callback](bool) {
    if (callback) callback();
  });
}

void CJYXDataManager::stopSPIThen(std::function<void(bool)> callback) {
  disableSPI([this, callback](bool linesBack) {
    spiBusy_ = false;
    spiRefresh_ = false;
    spiStartTime_ = clockNow();
    if (callback) callback(linesBack);
  });
}

std::vector<std::string> CJYXDataManager::spiFailReasons() const {
  std::vector<std::string> reasons;
  if (!spiCause_.empty()) reasons.push_back(spiCause_);
  if (!spiHandBackError_.empty()) reasons.push_back(spiHandBackError_);
  return reasons;
}

void CJYXDataManager::beginSPIFlow(uint64_t rangeEnd, bool read) {
  spiCause_.clear();
  spiHandBackError_.clear();
  spiFlashSize_ = 0;
  spiRangeEnd_ = rangeEnd;
  spiRangeIsRead_ = read;
}

void CJYXDataManager::checkFlashRange(std::function<void(bool)> next) {
  auto decide = [this, next]() {
    if (spiFlashSize_ == 0 || spiRangeEnd_ <= spiFlashSize_) return next(true);
    if (spiRangeIsRead_) {
      setSPICause(format("the read range 0x%x + %u bytes ends beyond the flash (%llu bytes)",
                         readOffset_, readSize_,
                         static_cast<unsigned long long>(spiFlashSize_)));
    } else {
      setSPICause(format("image %s (%u bytes) is larger than the flash (%llu bytes)",
                         imagePath_.c_str(), imageSize_,
                         static_cast<unsigned long long>(spiFlashSize_)));
    }
    next(false);
  };
  if (spiFlashSize_ != 0) {
    decide();
    return;
  }
  // No acknowledge described the flash (checks and reads outside a security
  // layout): its JEDEC id does. A controller that cannot read it leaves the
  // size unknown and the range unchecked.
  bool sent = readSPIReg(kJedecIdCommand, 3, [this, decide](const uint8_t* bytes, int count) {
    if (bytes != nullptr && count >= 3) spiFlashSize_ = spiFlashSizeFromJedecId(bytes);
    decide();
  });
  if (!sent) decide();
}

// ---------------------------------------------------------------------------
// Flashing

// An empty image fails a check too: with nothing to compare, calling it a
// pass would hide a wrong path.
bool CJYXDataManager::loadImageOrFail() {
  const char* problem = nullptr;
  std::string why;
  if (imagePath_.empty()) {
    spiDialog("Error", "spi file is blank.");
    setSPICause("no image file given");
  } else if (!spiLoadImage(imagePath_, &image_, &imageSize_, &why)) {
    problem = "open spi file (%s) failed";
    setSPICause(why);
  } else if (imageSize_ == 0) {
    problem = "spi file (%s) is blank";
    setSPICause(format("image %s is empty", imagePath_.c_str()));
  } else {
    return true;
  }
  if (problem != nullptr) spiDialog("Error", format(problem, imagePath_.c_str()));
  spiReport(-1);
  return false;
}

void CJYXDataManager::startFlashSPI(SPIProgress progress) {
  spiProgress_ = std::make_shared<SPIProgress>(std::move(progress));
  api()->print("flash SPI data ......\n");
  notice("flash SPI data ......");
  attempts_ = 0;
  beginSPIFlow(0, false);
  if (!loadImageOrFail()) return;
  spiRangeEnd_ = imageSize_;
  api()->print("spi file(%s), size:(%d)\n", imagePath_.c_str(), static_cast<int>(imageSize_));
  trySPI(nullptr, nullptr);
}

bool CJYXDataManager::trySPI(const char* message, std::function<void()> callback) {
  if (message != nullptr) api()->print("%s", message);
  attempts_ += 1;
  if (attempts_ > static_cast<int64_t>(retryLimit_)) {
    std::string text = message != nullptr ? message : "SPI flash fail.\n";
    // A flash that wrote every sector still fails when the lines do not go
    // back: the target could not boot from it.
    stopSPIThen([this, text, callback](bool linesBack) {
      if (callback && linesBack) {
        callback();
      } else if (spiProgress_ && *spiProgress_) {
        api()->print("%s", text.c_str());
        spiReport(-1);
      }
    });
    return false;
  }
  if (attempts_ == 1) {
    resumeSector_ = 0;
  } else if (securityMode_ != 0 && eraseId_ != 0) {
    // Entering programming mode erases the copies again: start over.
    resumeSector_ = 0;
  }
  // Otherwise a retry goes on at the sector that failed: every sector write
  // erases and programs its own sector, and the ones before it were
  // acknowledged.
  if (attempts_ > 1) {
    sleepMs(kRetryPauseMs);
    disconnect();
    sleepMs(kRetryPauseMs);
    connect();
    sleepMs(kReconnectSettleMs);
    api()->print("SPI flash, retry %d\n", static_cast<int>(attempts_ - 1));
  }
  spiPercent_ = 0;
  elapsed_ = 0;
  spiStartTime_ = clockNow();
  spiRefresh_ = true;
  spiBusy_ = true;
  writeMode_ = true;
  enableSPI([this](bool ok) {
    if (ok) {
      checkFlashRange([this](bool fits) {
        if (fits) {
          sendSPI();
          return;
        }
        // No retry can make the image fit: go straight to the final failure.
        attempts_ = retryLimit_;
        api()->startAsyncCall([this]() { trySPI(nullptr, nullptr); }, 0.0);
      });
    } else {
      // Through the pump: a controller that is gone fails every step at
      // once, and the next pass must not nest inside this one.
      api()->startAsyncCall([this]() { trySPI(nullptr, nullptr); }, 0.0);
    }
  });
  return true;
}

void CJYXDataManager::sendSPI() {
  resumeSector_ = sectorIndex_;
  spiFillSector(image_.data(), imageSize_, sectorIndex_, sectorSize_, sector_.data());
  if (!sendSPIData(sectorIndex_, static_cast<uint16_t>(sectorSize_), 1, sector_.data(),
                   static_cast<int>(sectorSize_),
                   [this](CPackage* reply) { onSectorReply(reply); })) {
    api()->startAsyncCall([this]() { trySPI(nullptr, nullptr); }, 0.0);
  }
}

void CJYXDataManager::onSectorReply(CPackage* reply) {
  if (reply == nullptr) {
    setSPICause(format("no reply from the controller for sector %u (time-out or lost link)",
                       sectorIndex_));
    if (!trySPI("network is abnormal or send SPI data time out.\n", nullptr)) {
      spiDialog("Error", format("spi send data (%s) with offset(%d) fail", imagePath_.c_str(),
                                static_cast<int>(sectorIndex_)));
    }
    return;
  }
  if (reply->dataType() == ACK_FAIL) {
    setSPICause(format("the controller refused sector %u (ACK_FAIL)", sectorIndex_));
    if (!trySPI("SPI data ACK_FAIL.\n", nullptr)) {
      uint32_t n = reply->payloadLength();
      if (n > sectorSize_ + jyx::kSectorHeaderSize) n = sectorSize_ + jyx::kSectorHeaderSize;
      api()->print("%s", spiDataDump(reply->payload(), n).c_str());
      spiDialog("Error", format("spi send data (%s) with offset(%d), and received ACK_FAIL",
                                imagePath_.c_str(), static_cast<int>(sectorIndex_)));
    }
    return;
  }
  sectorIndex_ += 1;
  int elapsed = static_cast<int>(clockNow() - spiStartTime_);
  if (elapsed != elapsed_) {
    elapsed_ = elapsed;
    spiRefresh_ = true;
  }
  int percent = spiPercent(sectorIndex_, sectorCount_);
  if (percent != spiPercent_) {
    spiPercent_ = percent;
    spiRefresh_ = true;
    spiReport(percent);
  }
  if (sectorIndex_ >= sectorCount_) {
    spiCause_.clear();
    api()->print("SPI flash successfully.\n");
    attempts_ = retryLimit_;
    trySPI(nullptr, [this]() { onFlashComplete(); });
  } else {
    sendSPI();
  }
}

void CJYXDataManager::onFlashComplete() {
  if (loopFlash_) {
    loopCount_ += 1;
    api()->print("spi flash loop count: %d, elapsed time:%ds\n", loopCount_, elapsed_);
    startFlashSPI(spiProgress_ ? *spiProgress_ : SPIProgress());
  } else {
    api()->print("SPI file(%s) flash over successfully\n", imagePath_.c_str());
    spiReport(kSPIFlashDone);
  }
}

// ---------------------------------------------------------------------------
// Checking

void CJYXDataManager::startCheckSPI(SPIProgress progress) {
  spiProgress_ = std::make_shared<SPIProgress>(std::move(progress));
  api()->print("check SPI data ......\n");
  beginSPIFlow(0, false);
  if (!loadImageOrFail()) return;
  spiRangeEnd_ = imageSize_;
  spiBusy_ = true;
  sectorIndex_ = 0;
  blockSize_ = kSPIBlockSize;
  sectorCount_ = spiCheckBlockCount(imageSize_);
  spiReport(spiPercent_);
  writeMode_ = false;
  enableThen(&CJYXDataManager::checkSPI);
}

void CJYXDataManager::enableThen(void (CJYXDataManager::*first)()) {
  enableSPI([this, first](bool ok) {
    if (!ok) {
      endSPIFlow(-1);
      return;
    }
    checkFlashRange([this, first](bool fits) {
      if (fits) {
        (this->*first)();
      } else {
        spiBusy_ = false;
        endSPIFlow(-1);
      }
    });
  });
}

void CJYXDataManager::requestBlock(void (CJYXDataManager::*onReply)(CPackage*)) {
  if (!readSPIData(sectorIndex_, static_cast<uint16_t>(blockSize_), 1,
                   [this, onReply](CPackage* reply) { (this->*onReply)(reply); })) {
    (this->*onReply)(nullptr);
  }
}

void CJYXDataManager::endSPIFlow(int value) {
  disableSPI([this, value](bool) {
    spiBusy_ = false;
    spiRefresh_ = false;
    spiReport(value);
  });
}

void CJYXDataManager::checkSPI() { requestBlock(&CJYXDataManager::onCheckReply); }

// Every failed check gives the lines back before it reports -1, as a read
// does: a front end that ends on -1 must not leave the target unable to boot
// from its flash.
void CJYXDataManager::onCheckReply(CPackage* reply) {
  int block = static_cast<int>(sectorIndex_);
  if (reply == nullptr) {
    spiBusy_ = false;
    setSPICause(format("no reply from the controller for block %d (time-out or lost link)", block));
    spiDialog("Error", format("spi checkSPI with offset(%d) timeout", block));
    endSPIFlow(-1);
    return;
  }
  // A reply without the whole block cannot be compared; it counts as refused.
  if (reply->dataType() == ACK_FAIL ||
      reply->payloadLength() < jyx::kSectorHeaderSize + blockSize_) {
    spiBusy_ = false;
    setSPICause(format("the controller refused block %d (ACK_FAIL)", block));
    spiDialog("Error", format("spi checkSPI offset(%d), and received ACK_FAIL", block));
    endSPIFlow(-1);
    return;
  }
  const uint8_t* flash = reply->payload() + jyx::kSectorHeaderSize;
  uint64_t blockOffset = static_cast<uint64_t>(sectorIndex_) * blockSize_;
  uint32_t n = 0;
  if (blockOffset < imageSize_) {
    uint64_t left = imageSize_ - blockOffset;
    n = left < blockSize_ ? static_cast<uint32_t>(left) : blockSize_;
  }
  const uint8_t* file = image_.data() + blockOffset;
  if (n > 0 && memcmp(flash, file, n) != 0) {
    spiBusy_ = false;
    std::string lines;
    spiFormatMismatch(flash, file, n, static_cast<uint32_t>(blockOffset), &lines);
    api()->print("%s", lines.c_str());
    setSPICause(format("the flash differs from the image in block %d", block));
    spiDialog("Error", format("spi checkSPI offset(%d), and changed content", block));
    endSPIFlow(-1);
    return;
  }
  sectorIndex_ += 1;
  int percent = spiPercent(sectorIndex_, sectorCount_);
  if (percent != spiPercent_) {
    spiPercent_ = percent;
    spiRefresh_ = true;
    spiReport(percent);
  }
  if (sectorIndex_ < sectorCount_) {
    checkSPI();
    return;
  }
  disableSPI([this](bool linesBack) {
    if (!linesBack) {
      spiBusy_ = false;
      spiReport(-1);
      return;
    }
    spiReport(kSPICheckDone);
    if (loopFlash_) {
      api()->print("SPI file(%s) check over successfully, loop count(%d)\n", imagePath_.c_str(),
                   loopCount_);
      loopCount_ += 1;
      startFlashSPI(spiProgress_ ? *spiProgress_ : SPIProgress());
    } else {
      spiBusy_ = false;
      notice("SPI check successfully.");
      spiDialog("Congratulation", "SPI check over successfully");
    }
  });
}

// ---------------------------------------------------------------------------
// Reading

void CJYXDataManager::startGetSPIContent(int offset, int size, uint8_t* destination,
                                         SPIProgress progress) {
  if (size > 0 && destination != nullptr) memset(destination, 0, static_cast<size_t>(size));
  SPIReadSink sink;
  if (destination != nullptr) {
    sink = [destination](uint32_t at, const uint8_t* bytes, uint32_t len) {
      memcpy(destination + at, bytes, len);
      return true;
    };
  }
  startGetSPIContent(offset, size, std::move(sink), std::move(progress));
}

void CJYXDataManager::startGetSPIContent(int offset, int size, SPIReadSink sink,
                                         SPIProgress progress) {
  if (size <= 0) {
    api()->print("get SPI data length(%d) < 0 \n", size);
    return;
  }
  spiProgress_ = std::make_shared<SPIProgress>(std::move(progress));
  api()->print("get SPI data ......\n");
  notice("get SPI data ......");
  // The flash address is the offset's 32-bit pattern: "0xffff0000" reaches
  // the top of a 4 GiB address space instead of going negative.
  readOffset_ = static_cast<uint32_t>(offset);
  readSize_ = static_cast<uint32_t>(size);
  beginSPIFlow(static_cast<uint64_t>(readOffset_) + readSize_, true);
  if (!sink) {
    spiReport(-1);
    return;
  }
  spiBusy_ = true;
  blockSize_ = kSPIBlockSize;
  readSink_ = std::move(sink);
  readCopied_ = 0;
  SPIReadRange range = spiReadRange(readOffset_, readSize_);
  sectorIndex_ = range.firstBlock;
  sectorCount_ = range.endBlock;
  if (sector_.size() < kSPIBlockSize) sector_.resize(kSPIBlockSize);
  spiPercent_ = 0;
  spiReport(0);
  writeMode_ = false;
  enableThen(&CJYXDataManager::readSPI);
}

void CJYXDataManager::readSPI() { requestBlock(&CJYXDataManager::onReadReply); }

void CJYXDataManager::onReadReply(CPackage* reply) {
  int blockAddress = static_cast<int>(static_cast<uint64_t>(sectorIndex_) * blockSize_);
  if (reply == nullptr) {
    spiBusy_ = false;
    setSPICause(format("no reply from the controller for the block at 0x%x (time-out or lost link)",
                       static_cast<unsigned>(blockAddress)));
    spiDialog("Error", format("spi readSPI with offset(%d) timeout", blockAddress));
    endSPIFlow(-1);
    return;
  }
  // A reply without the whole block would leave silent zeros in the result.
  if (reply->dataType() == ACK_FAIL ||
      reply->payloadLength() < jyx::kSectorHeaderSize + blockSize_) {
    spiBusy_ = false;
    setSPICause(format("the controller refused the block at 0x%x (ACK_FAIL)",
                       static_cast<unsigned>(blockAddress)));
    spiDialog("Error", format("spi readSPI offset(%d), and received ACK_FAIL", blockAddress));
    endSPIFlow(-1);
    return;
  }
  SPIBlockShare share = spiBlockShare(sectorIndex_, blockSize_, readOffset_, readSize_);
  if (share.len > 0) {
    const uint8_t* data = reply->payload() + jyx::kSectorHeaderSize + share.inBlock;
    if (!readSink_(share.inRange, data, share.len)) {
      spiBusy_ = false;
      endSPIFlow(-1);
      return;
    }
    readCopied_ += share.len;
  }
  sectorIndex_ += 1;
  // Reported when it changes, which is every value a progress bar can show.
  int percent = spiPercent(readCopied_, readSize_);
  if (percent != spiPercent_) {
    spiPercent_ = percent;
    spiReport(percent);
  }
  if (sectorIndex_ < sectorCount_) {
    readSPI();
    return;
  }
  disableSPI([this](bool linesBack) {
    readSink_ = nullptr;
    if (!linesBack) {
      spiBusy_ = false;
      spiReport(-1);
      return;
    }
    spiReport(kSPICheckDone);
    spiBusy_ = false;
    notice("SPI read successfully.");
    spiDialog("Congratulation", "SPI read over successfully");
  });
}

void CJYXDataManager::exportFlashData(bool dump, int offset, int size,
                                      std::function<void(bool)> callback) {
  if (size > 0) {
    readBuffer_.reserve(size + 16);
    readBuffer_.zero();
    readBuffer_.setLength(size);
  }
  startGetSPIContent(offset, size, readBuffer_.data(),
                     [this, dump, offset, size, callback](int value) {
                       if (value > 100) {
                         std::string text = format("offset:%d, len:%d\n\n", offset, size);
                         for (int i = 0; dump && i < size; i += 16) {
                           text += "\n";
                           text += spiHexRow(readBuffer_.data() + i);
                         }
                         api()->print("%s", text.c_str());
                         if (callback) callback(true);
                       } else if (value < 0) {
                         readBuffer_.clear();
                         api()->print("\nread spi fail\n");
                         if (callback) callback(false);
                       }
                     });
}

// ---------------------------------------------------------------------------
// Status registers

bool CJYXDataManager::readSPIReg(uint8_t command, uint16_t count, SPIRegisterCallback callback) {
  if (!isConnected()) {
    api()->print("jyx.data(readSPIReg): channel is not valid.\n");
    return false;
  }
  static const uint8_t kZeros[jyx::kSpiRegMaxData] = {0};
  CPackage* request = CPackageManager::instance()->getPackage();
  request->makeSPIReg(nextFrameNum(), SPI_REG_READ, command, count, kZeros);
  sendPackage(request, [command, callback](CPackage* reply) {
    if (reply == nullptr) {
      api()->print("jyx.data(readSPIReg): read spi register 0x%.2x failed.\n", command);
      if (callback) callback(nullptr, 0);
      return;
    }
    if (reply->dataType() == ACK_FAIL) {
      api()->print("jyx.data(readSPIReg): read spi register 0x%.2x failed and received ACK_FAIL.\n",
                   command);
      if (callback) callback(nullptr, 0);
      return;
    }
    // Only the bytes the reply really carries count.
    uint32_t available = reply->payloadLength() > jyx::kSpiRegDataOffset
                             ? reply->payloadLength() - jyx::kSpiRegDataOffset
                             : 0;
    uint32_t n = reply->payloadU16(jyx::kSpiRegCountOffset);
    if (n > available) n = available;
    if (callback) {
      callback(n > 0 ? reply->payload() + jyx::kSpiRegDataOffset : nullptr,
               static_cast<int>(n));
    }
  });
  return true;
}

bool CJYXDataManager::WriteSPIReg(uint8_t command, const uint8_t* data, uint16_t count,
                                  std::function<void(bool)> callback) {
  if (!isConnected()) {
    api()->print("jyx.data(WriteSPIReg): channel is not valid.\n");
    return false;
  }
  CPackage* request = CPackageManager::instance()->getPackage();
  request->makeSPIReg(nextFrameNum(), SPI_REG_WRITE, command, count, data);
  sendPackage(request, [command, callback](CPackage* reply) {
    if (reply == nullptr) {
      api()->print("jyx.data(WriteSPIReg): write spi register 0x%.2x failed.\n", command);
      if (callback) callback(false);
    } else if (reply->dataType() == ACK_FAIL) {
      api()->print(
          "jyx.data(WriteSPIReg): write spi register 0x%.2x failed and received ACK_FAIL.\n",
          command);
      if (callback) callback(false);
    } else if (callback) {
      callback(true);
    }
  });
  return true;
}

// Callers hear the result only once the lines are back with the target, so a
// front end that ends the program in its callback never leaves the flash
// held by the controller.
void CJYXDataManager::readNextRegister(int index, SPIRegisterCallback callback) {
  auto onBytes = [this, index, callback](const uint8_t* bytes, int count) {
    if (bytes == nullptr || count < 1) {
      disableSPI_IO([callback](bool) { callback(nullptr, 0); });
      return;
    }
    regReadBytes_[index] = bytes[0];
    if (index == 2) {
      // Lines that stay with the controller fail the read: the target
      // cannot boot until they are back.
      disableSPI_IO([this, callback](bool linesBack) {
        if (linesBack) {
          callback(regReadBytes_, 3);
        } else {
          callback(nullptr, 0);
        }
      });
    } else {
      readNextRegister(index + 1, callback);
    }
  };
  if (!readSPIReg(kRegisterReadCommand[index], 1, onBytes)) onBytes(nullptr, 0);
}

void CJYXDataManager::winbondReadSPIRegisters(SPIRegisterCallback callback) {
  if (!callback) callback = [](const uint8_t*, int) {};
  if (!isConnected()) {
    api()->print("jyx.data(winbondReadSPIRegisters): channel is not valid.\n");
    callback(nullptr, 0);
    return;
  }
  enableSPI_IO([this, callback](bool ok) {
    if (!ok) {
      api()->print("jyx.data(winbondReadSPIRegisters): enable spi fail.\n");
      callback(nullptr, 0);
      return;
    }
    memset(regReadBytes_, 0, sizeof(regReadBytes_));
    readNextRegister(0, callback);
  });
}

void CJYXDataManager::writeNextRegister(int index, std::function<void(bool)> callback) {
  for (; index < 3 && (regWriteMask_ & (1u << index)) == 0; ++index) {
  }
  if (index >= 3) {
    disableSPI_IO([callback](bool linesBack) { callback(linesBack); });
    return;
  }
  auto onWritten = [this, index, callback](bool ok) {
    if (!ok) {
      disableSPI_IO([callback](bool) { callback(false); });
      return;
    }
    writeNextRegister(index + 1, callback);
  };
  if (!WriteSPIReg(kRegisterWriteCommand[index], &regWriteValues_[index], 1, onWritten)) {
    onWritten(false);
  }
}

void CJYXDataManager::winbondWriteSPIRegisters(uint32_t value, std::function<void(bool)> callback) {
  if (!callback) callback = [](bool) {};
  if (!isConnected()) {
    api()->print("jyx.data(winbondWriteSPIRegister): channel is not valid.\n");
    callback(false);
    return;
  }
  enableSPI_IO([this, value, callback](bool ok) {
    if (!ok) {
      api()->print("jyx.data(winbondWriteSPIRegister): enable spi fail.\n");
      callback(false);
      return;
    }
    SPIRegisterWrite split = spiSplitRegisterWrite(value);
    memcpy(regWriteValues_, split.values, sizeof(regWriteValues_));
    regWriteMask_ = split.mask;
    api()->print("jyx.data(winbondWriteSPIRegisters): mask(0x%x), value(0x%.2x, 0x%.2x, 0x%.2x).\n",
                 regWriteMask_, regWriteValues_[0], regWriteValues_[1], regWriteValues_[2]);
    writeNextRegister(0, callback);
  });
}

void CJYXDataManager::winbondUnlockFlash(std::function<void(bool)> callback) {
  if (!isConnected()) {
    api()->print("jyx.data(winbondUnlockFlash): channel is not valid.\n");
    if (callback) callback(false);
    return;
  }
  winbondWriteSPIRegisters(kUnlockRegisterValue, std::move(callback));
}
