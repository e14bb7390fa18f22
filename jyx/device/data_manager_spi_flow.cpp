// The SPI flash flows of CJYXDataManager: flash, check and read. Every flow
// is a chain of reply handlers on the main thread: hand the flash lines to
// the controller, optionally open the programming mode, one sector request at
// a time, then hand the lines back. The sector loop keeps its state in fields
// and its reply handlers capture only `this`, so a warm loop allocates
// nothing per sector (packets come from the pool, the sector buffer is
// reused).
#include <cstdint>
#include <cstring>
#include <string>

#include "common/api_manager.h"
#include "common/string_format.h"
#include "common/thread_pool.h"
#include "jyx/device/data_manager.h"
#include "jyx/device/spi_image.h"

using jyx::stringFormat;

namespace {

// A retry closes the link, waits for the controller to drop its side, opens
// it again and lets the controller settle (ms).
constexpr int kRetryPauseMs = 1000;
constexpr int kReconnectSettleMs = 100;

CAPIManager* api() { return CAPIManager::instance(); }

}  // namespace

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
    setSPICause(stringFormat("image %s is empty", imagePath_.c_str()));
  } else {
    return true;
  }
  if (problem != nullptr) spiDialog("Error", stringFormat(problem, imagePath_.c_str()));
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
    setSPICause(stringFormat("no reply from the controller for sector %u (time-out or lost link)",
                             sectorIndex_));
    if (!trySPI("network is abnormal or send SPI data time out.\n", nullptr)) {
      spiDialog("Error", stringFormat("spi send data (%s) with offset(%d) fail", imagePath_.c_str(),
                                      static_cast<int>(sectorIndex_)));
    }
    return;
  }
  if (reply->dataType() == ACK_FAIL) {
    setSPICause(stringFormat("the controller refused sector %u (ACK_FAIL)", sectorIndex_));
    if (!trySPI("SPI data ACK_FAIL.\n", nullptr)) {
      uint32_t n = reply->payloadLength();
      if (n > sectorSize_ + jyx::kSectorHeaderSize) n = sectorSize_ + jyx::kSectorHeaderSize;
      api()->print("%s", spiDataDump(reply->payload(), n).c_str());
      spiDialog("Error", stringFormat("spi send data (%s) with offset(%d), and received ACK_FAIL",
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
    setSPICause(
        stringFormat("no reply from the controller for block %d (time-out or lost link)", block));
    spiDialog("Error", stringFormat("spi checkSPI with offset(%d) timeout", block));
    endSPIFlow(-1);
    return;
  }
  // A reply without the whole block cannot be compared; it counts as refused.
  if (reply->dataType() == ACK_FAIL ||
      reply->payloadLength() < jyx::kSectorHeaderSize + blockSize_) {
    spiBusy_ = false;
    setSPICause(stringFormat("the controller refused block %d (ACK_FAIL)", block));
    spiDialog("Error", stringFormat("spi checkSPI offset(%d), and received ACK_FAIL", block));
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
    setSPICause(stringFormat("the flash differs from the image in block %d", block));
    spiDialog("Error", stringFormat("spi checkSPI offset(%d), and changed content", block));
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
  finishCheck();
}

void CJYXDataManager::finishCheck() {
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
    setSPICause(
        stringFormat("no reply from the controller for the block at 0x%x (time-out or lost link)",
                     static_cast<unsigned>(blockAddress)));
    spiDialog("Error", stringFormat("spi readSPI with offset(%d) timeout", blockAddress));
    endSPIFlow(-1);
    return;
  }
  // A reply without the whole block would leave silent zeros in the result.
  if (reply->dataType() == ACK_FAIL ||
      reply->payloadLength() < jyx::kSectorHeaderSize + blockSize_) {
    spiBusy_ = false;
    setSPICause(stringFormat("the controller refused the block at 0x%x (ACK_FAIL)",
                             static_cast<unsigned>(blockAddress)));
    spiDialog("Error", stringFormat("spi readSPI offset(%d), and received ACK_FAIL", blockAddress));
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
