// The SPI requests of CJYXDataManager and what every SPI flow is built of:
// one request per sector or register, handing the flash lines to the
// controller and back and the Winbond status registers. Each building block
// ends in exactly one callback. The flash, check and read flows themselves
// run in CSpiFlashFlow (spi_flash_flow.h); the operations here that start
// them or take part in them delegate to it.
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>

#include "common/api_manager.h"
#include "common/byte_order.h"
#include "common/string_format.h"
#include "common/thread_pool.h"
#include "jyx/device/data_manager.h"
#include "jyx/device/spi_image.h"
#include "jyx/protocol/package_manager.h"

using jyx::stringFormat;

namespace {

// The flash needs the lines quiet for a moment after its last program cycle
// before they are handed back or the programming mode is left (ms).
constexpr int kLineSettleMs = 100;

// Status registers 1-3 of Winbond-style flashes: read and write commands.
constexpr uint8_t kRegisterReadCommand[3] = {0x05, 0x35, 0x15};
constexpr uint8_t kRegisterWriteCommand[3] = {0x01, 0x31, 0x11};
// The unlock request: mask 3, values 0 (registers 1 and 2 cleared).
constexpr uint32_t kUnlockRegisterValue = 0x03000000;

CAPIManager* api() { return CAPIManager::instance(); }

}  // namespace

// ---------------------------------------------------------------------------
// Requests

bool CJYXDataManager::enableSPIData(uint8_t enable, bool writeMode, PackageCallback callback) {
  if (!isConnected()) {
    api()->print("jyx.data(enableSPI): channel is not valid.\n");
    return false;
  }
  CPackage* request = CPackageManager::instance()->getPackage();
  request->makeSPICtrl(nextFrameNum(), enable, securityMode_, accessId_, writeMode ? eraseId_ : 0);
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
    jyx::encodeFixed32(payload.data() + jyx::kSecOffsetOffset, secOffset);
    jyx::encodeFixed16(payload.data() + jyx::kSecSizeOffset, secSize);
    jyx::encodeFixed16(payload.data() + jyx::kSecNumOffset, secNum);
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
      setSPICause(stringFormat("the controller did not take the SPI lines (%s)", text));
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
  spiFlow_.clearHandBackError();
  auto fail = [this, callback](const char* text) {
    api()->print("%s\n", text);
    notice(text);
    spiFlow_.setHandBackError(stringFormat(
        "the SPI lines were not handed back to the target (%s): it cannot boot from its flash",
        text));
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
  spiFlow_.takeLines(std::move(callback));
}

void CJYXDataManager::disableSPI(std::function<void(bool)> callback) {
  spiFlow_.releaseLines(std::move(callback));
}

void CJYXDataManager::stopSPI(std::function<void()> callback) {
  stopSPIThen([callback](bool) {
    if (callback) callback();
  });
}

void CJYXDataManager::stopSPIThen(std::function<void(bool)> callback) {
  spiFlow_.stop(std::move(callback));
}

// ---------------------------------------------------------------------------
// Flows

std::vector<std::string> CJYXDataManager::spiFailReasons() const { return spiFlow_.failReasons(); }

void CJYXDataManager::startFlashSPI(SPIProgress progress) {
  spiFlow_.startFlash(std::move(progress));
}

void CJYXDataManager::startCheckSPI(SPIProgress progress) {
  spiFlow_.startCheck(std::move(progress));
}

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
  spiFlow_.startRead(offset, size, std::move(sink), std::move(progress));
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
                         std::string text = stringFormat("offset:%d, len:%d\n\n", offset, size);
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
      callback(n > 0 ? reply->payload() + jyx::kSpiRegDataOffset : nullptr, static_cast<int>(n));
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

// ---------------------------------------------------------------------------
// The flows' view of the manager

bool CJYXDataManager::SpiFlowLink::enableSPI_IO(std::function<void(bool)> callback) {
  return manager_->enableSPI_IO(std::move(callback));
}

void CJYXDataManager::SpiFlowLink::disableSPI_IO(std::function<void(bool)> callback) {
  manager_->disableSPI_IO(std::move(callback));
}

bool CJYXDataManager::SpiFlowLink::enableSPIData(uint8_t enable, bool writeMode,
                                                 PackageCallback callback) {
  return manager_->enableSPIData(enable, writeMode, std::move(callback));
}

bool CJYXDataManager::SpiFlowLink::sendSPIData(uint32_t secOffset, uint16_t secSize,
                                               uint16_t secNum, const uint8_t* data, int length,
                                               PackageCallback callback) {
  return manager_->sendSPIData(secOffset, secSize, secNum, data, length, std::move(callback));
}

bool CJYXDataManager::SpiFlowLink::readSPIData(uint32_t secOffset, uint16_t secSize,
                                               uint16_t secNum, PackageCallback callback) {
  return manager_->readSPIData(secOffset, secSize, secNum, std::move(callback));
}

bool CJYXDataManager::SpiFlowLink::readSPIReg(uint8_t command, uint16_t count,
                                              RegisterCallback callback) {
  return manager_->readSPIReg(command, count, std::move(callback));
}

void CJYXDataManager::SpiFlowLink::disconnect() { manager_->disconnect(); }
void CJYXDataManager::SpiFlowLink::connect() { manager_->connect(); }
double CJYXDataManager::SpiFlowLink::clockNow() { return manager_->clockNow(); }
void CJYXDataManager::SpiFlowLink::notice(const std::string& text) { manager_->notice(text); }

void CJYXDataManager::SpiFlowLink::spiDialog(const char* title, const std::string& text) {
  manager_->spiDialog(title, text);
}

const std::string& CJYXDataManager::SpiFlowLink::imagePath() { return manager_->imagePath_; }
uint32_t CJYXDataManager::SpiFlowLink::retryLimit() { return manager_->retryLimit_; }
uint8_t CJYXDataManager::SpiFlowLink::securityMode() { return manager_->securityMode_; }
uint16_t CJYXDataManager::SpiFlowLink::eraseId() { return manager_->eraseId_; }
bool CJYXDataManager::SpiFlowLink::loopFlash() { return manager_->loopFlash_; }
void CJYXDataManager::SpiFlowLink::setSpiBusy(bool busy) { manager_->spiBusy_ = busy; }
void CJYXDataManager::SpiFlowLink::setSpiRefresh(bool refresh) { manager_->spiRefresh_ = refresh; }
int CJYXDataManager::SpiFlowLink::spiPercent() { return manager_->spiPercent_; }
void CJYXDataManager::SpiFlowLink::setSpiPercent(int percent) { manager_->spiPercent_ = percent; }
int CJYXDataManager::SpiFlowLink::elapsed() { return manager_->elapsed_; }
void CJYXDataManager::SpiFlowLink::setElapsed(int seconds) { manager_->elapsed_ = seconds; }
int CJYXDataManager::SpiFlowLink::loopCount() { return manager_->loopCount_; }
void CJYXDataManager::SpiFlowLink::setLoopCount(int count) { manager_->loopCount_ = count; }
