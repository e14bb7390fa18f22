// SPI flash settings, UI values and the "jyx.data:" SPI tasks of
// CJYXDataManager: the image file and server, the flash type, the read range
// and the buttons that start the flows of CSpiFlashFlow (spi_flash_flow.h).
#include <rapidjson/document.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/api_manager.h"
#include "common/file_util.h"
#include "common/json_text.h"
#include "common/string_format.h"
#include "jyx/device/data_manager.h"
#include "jyx/device/spi_image.h"

using jyx::stringFormat;

namespace {

// Image server used while the "spi_url" setting is unset; loopback, so the
// tool never reaches out unless told to.
const char kDefaultImageServer[] = "http://127.0.0.1:8000";

CAPIManager* api() { return CAPIManager::instance(); }

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
  publish("jyx.data:spi_remote_file", "items", jyx::jsonText(items));
  publish("jyx.data:spi_read_addr", "value", readAddrText_);
  publish("jyx.data:spi_read_size", "value", readSizeText_);
}

void CJYXDataManager::spiDialog(const char* title, const std::string& text) {
  services_->showDialog(nullptr, 1, title, text);
}

bool CJYXDataManager::spiBusyGuard() {
  if (!spiBusy_) return false;
  spiDialog("Note", "jyx system is busy, please try again after a while.\n");
  return true;
}

void CJYXDataManager::registerSPITasks() {
  using std::placeholders::_1;
  auto add = [this](const char* action, bool (CJYXDataManager::*method)(CTask*)) {
    addTask(action, std::bind(method, this, _1));
  };
  add("flash_type", &CJYXDataManager::taskFlashType);
  add("spi_open", &CJYXDataManager::taskSpiOpen);
  add("spi_url", &CJYXDataManager::taskSpiUrl);
  add("spi_refresh_images", &CJYXDataManager::taskSpiRefreshImages);
  add("spi_remote_file", &CJYXDataManager::taskSpiRemoteFile);
  add("spi_download", &CJYXDataManager::taskSpiDownload);
  add("spi_flash", &CJYXDataManager::taskSpiFlash);
  add("spi_check", &CJYXDataManager::taskSpiCheck);
  add("spi_loop_flash", &CJYXDataManager::taskSpiLoopFlash);
  add("spi_stop_loop", &CJYXDataManager::taskSpiStopLoop);
  add("spi_progress", &CJYXDataManager::taskSpiProgress);
  addTask("spi_read_addr", [this](CTask* task) {
    return taskStoreReadRange(task, &readAddrText_, "spi_read_addr");
  });
  addTask("spi_read_size", [this](CTask* task) {
    return taskStoreReadRange(task, &readSizeText_, "spi_read_size");
  });
  addTask("spi_read", [this](CTask* task) { return taskSpiRead(task, false); });
  addTask("spi_read_save", [this](CTask* task) { return taskSpiRead(task, true); });
  add("spi_ctrl", &CJYXDataManager::taskSpiCtrl);
  add("spi_data", &CJYXDataManager::taskSpiData);
  add("winbond_read_reg", &CJYXDataManager::taskWinbondReadReg);
  add("winbond_unlock", &CJYXDataManager::taskWinbondUnlock);
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
      spiDialog("Error", stringFormat("cannot get the download config (%s)\n", address.c_str()));
      return;
    }
    imageServer_ = base;
    services_->writeSetting("spi_url", imageServer_);
    rapidjson::Document doc;
    if (jyx::parseJson(text, &doc) && doc.IsObject() && doc.HasMember("images") &&
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
                    uint64_t size = 0;
                    std::string why;
                    if (!jyx::checkRegularFile(local, SIZE_MAX, &size, &why)) return;
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
      if (jyx::writeFileAtomic(path, readBuffer_.data(), static_cast<size_t>(readBuffer_.length()),
                               &why)) {
        notice(stringFormat("spi data has been saved to %s.", path.c_str()));
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
    setResultText(task, stringFormat("{\"enable\":%d}", spiEnabled_ ? 1 : 0));
    finishTask(task);
  });
  if (!sent) {
    setResultText(task, stringFormat("{\"enable\":%d}", spiEnabled_ ? 1 : 0));
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
  bool sent = offset >= 0 && offset <= UINT32_MAX && size >= 0 && size <= UINT16_MAX && num >= 0 &&
              num <= UINT16_MAX &&
              sendSPIData(static_cast<uint32_t>(offset), static_cast<uint16_t>(size),
                          static_cast<uint16_t>(num), task->data()->bytes, task->data()->byteLength,
                          [this, task](CPackage*) { finishTask(task); });
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
