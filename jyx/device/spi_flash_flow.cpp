#include "jyx/device/spi_flash_flow.h"

#include <cstring>
#include <utility>

#include "common/api_manager.h"
#include "common/string_format.h"
#include "common/thread_pool.h"
#include "jyx/device/spi_image.h"
#include "jyx/protocol/package.h"
#include "jyx/protocol/package_format.h"

using jyx::stringFormat;

namespace {

// A retry closes the link, waits for the controller to drop its side, opens
// it again and lets the controller settle (ms).
constexpr int kRetryPauseMs = 1000;
constexpr int kReconnectSettleMs = 100;
// JEDEC "read identification": manufacturer, memory type, capacity.
constexpr uint8_t kJedecIdCommand = 0x9F;
// What a flash that gives up prints when no step named the failure.
const char kFlashFailText[] = "SPI flash fail.\n";

CAPIManager* api() { return CAPIManager::instance(); }

}  // namespace

CSpiFlashFlow::CSpiFlashFlow(CSpiFlashLink* link) : link_(link) {}

// ---------------------------------------------------------------------------
// The sequence

void CSpiFlashFlow::advance() {
  switch (step_) {
    case Step::kIdle:
    case Step::kReport:
      return;
    case Step::kStartPass:
      run(Step::kTakeLines);
      return;
    case Step::kTakeLines:
      run(Step::kEnterProgramming);
      return;
    case Step::kEnterProgramming:
      run(Step::kCheckRange);
      return;
    case Step::kCheckRange:
      run(mode_ == Mode::kFlash   ? Step::kProgramSector
          : mode_ == Mode::kCheck ? Step::kCompareBlock
                                  : Step::kReadBlock);
      return;
    case Step::kProgramSector:
      if (sectorIndex_ < sectorCount_) {
        run(Step::kProgramSector);
        return;
      }
      cause_.clear();
      api()->print("SPI flash successfully.\n");
      failText_ = kFlashFailText;
      exitWith(Ending::kFlashed);
      return;
    case Step::kCompareBlock:
    case Step::kReadBlock:
      if (sectorIndex_ < sectorCount_) {
        run(step_);
      } else {
        exitWith(mode_ == Mode::kCheck ? Ending::kChecked : Ending::kRead);
      }
      return;
    case Step::kLeaveProgramming:
      run(Step::kHandBackLines);
      return;
    case Step::kHandBackLines:
      run(Step::kReport);
      return;
  }
}

void CSpiFlashFlow::run(Step step) {
  step_ = step;
  switch (step) {
    case Step::kIdle:
      return;
    case Step::kStartPass:
      startPass(nullptr);
      return;
    case Step::kTakeLines:
      takeLinesStep();
      return;
    case Step::kEnterProgramming:
      enterProgrammingStep();
      return;
    case Step::kCheckRange:
      checkRange();
      return;
    case Step::kProgramSector:
      programSector();
      return;
    case Step::kCompareBlock:
    case Step::kReadBlock:
      requestBlock();
      return;
    case Step::kLeaveProgramming:
      leaveProgrammingStep();
      return;
    case Step::kHandBackLines:
      handBackLinesStep();
      return;
    case Step::kReport:
      report();
      return;
  }
}

void CSpiFlashFlow::startFailed() {
  if (mode_ == Mode::kFlash) {
    // Through the pump: a controller that is gone fails every step at
    // once, and the next pass must not nest inside this one.
    api()->startAsyncCall([this]() { startPass(nullptr); }, 0.0);
  } else {
    exitWith(Ending::kAborted);
  }
}

void CSpiFlashFlow::exitWith(Ending ending) {
  ending_ = ending;
  run(Step::kLeaveProgramming);
}

// A flash that wrote every sector still fails when the lines do not go back:
// the target could not boot from it.
void CSpiFlashFlow::giveUp(const std::string& text) {
  failText_ = text;
  exitWith(Ending::kFlashFailed);
}

// ---------------------------------------------------------------------------
// Starting a flow

void CSpiFlashFlow::begin(Mode mode, uint64_t rangeEnd, bool read) {
  mode_ = mode;
  step_ = Step::kIdle;
  cause_.clear();
  handBackError_.clear();
  flashSize_ = 0;
  rangeEnd_ = rangeEnd;
  rangeIsRead_ = read;
}

// An empty image fails a check too: with nothing to compare, calling it a
// pass would hide a wrong path.
bool CSpiFlashFlow::loadImageOrFail() {
  const std::string& path = link_->imagePath();
  const char* problem = nullptr;
  std::string why;
  if (path.empty()) {
    link_->spiDialog("Error", "spi file is blank.");
    setCause("no image file given");
  } else if (!spiLoadImage(path, &image_, &imageSize_, &why)) {
    problem = "open spi file (%s) failed";
    setCause(why);
  } else if (imageSize_ == 0) {
    problem = "spi file (%s) is blank";
    setCause(stringFormat("image %s is empty", path.c_str()));
  } else {
    return true;
  }
  if (problem != nullptr) link_->spiDialog("Error", stringFormat(problem, path.c_str()));
  reportValue(-1);
  return false;
}

void CSpiFlashFlow::startFlash(Progress progress) {
  progress_ = std::make_shared<Progress>(std::move(progress));
  api()->print("flash SPI data ......\n");
  link_->notice("flash SPI data ......");
  attempts_ = 0;
  begin(Mode::kFlash, 0, false);
  if (!loadImageOrFail()) return;
  rangeEnd_ = imageSize_;
  api()->print("spi file(%s), size:(%d)\n", link_->imagePath().c_str(),
               static_cast<int>(imageSize_));
  startPass(nullptr);
}

void CSpiFlashFlow::startCheck(Progress progress) {
  progress_ = std::make_shared<Progress>(std::move(progress));
  api()->print("check SPI data ......\n");
  begin(Mode::kCheck, 0, false);
  if (!loadImageOrFail()) return;
  rangeEnd_ = imageSize_;
  link_->setSpiBusy(true);
  sectorIndex_ = 0;
  blockSize_ = kSPIBlockSize;
  sectorCount_ = spiCheckBlockCount(imageSize_);
  reportValue(link_->spiPercent());
  writeMode_ = false;
  run(Step::kTakeLines);
}

void CSpiFlashFlow::startRead(int offset, int size, ReadSink sink, Progress progress) {
  if (size <= 0) {
    api()->print("get SPI data length(%d) < 0 \n", size);
    return;
  }
  progress_ = std::make_shared<Progress>(std::move(progress));
  api()->print("get SPI data ......\n");
  link_->notice("get SPI data ......");
  // The flash address is the offset's 32-bit pattern: "0xffff0000" reaches
  // the top of a 4 GiB address space instead of going negative.
  readOffset_ = static_cast<uint32_t>(offset);
  readSize_ = static_cast<uint32_t>(size);
  begin(Mode::kRead, static_cast<uint64_t>(readOffset_) + readSize_, true);
  if (!sink) {
    reportValue(-1);
    return;
  }
  link_->setSpiBusy(true);
  blockSize_ = kSPIBlockSize;
  readSink_ = std::move(sink);
  readCopied_ = 0;
  SPIReadRange range = spiReadRange(readOffset_, readSize_);
  sectorIndex_ = range.firstBlock;
  sectorCount_ = range.endBlock;
  if (sector_.size() < kSPIBlockSize) sector_.resize(kSPIBlockSize);
  link_->setSpiPercent(0);
  reportValue(0);
  writeMode_ = false;
  run(Step::kTakeLines);
}

// ---------------------------------------------------------------------------
// Steps

// One pass of a flash. Returns false when the retry limit is used up: the
// flow then heads for the exit and the caller may add its own dialog.
bool CSpiFlashFlow::startPass(const char* message) {
  step_ = Step::kStartPass;
  if (message != nullptr) api()->print("%s", message);
  attempts_ += 1;
  if (attempts_ > static_cast<int64_t>(link_->retryLimit())) {
    giveUp(message != nullptr ? message : kFlashFailText);
    return false;
  }
  if (attempts_ == 1) {
    resumeSector_ = 0;
  } else if (link_->securityMode() != 0 && link_->eraseId() != 0) {
    // Entering programming mode erases the copies again: start over.
    resumeSector_ = 0;
  }
  // Otherwise a retry goes on at the sector that failed: every sector write
  // erases and programs its own sector, and the ones before it were
  // acknowledged.
  if (attempts_ > 1) {
    sleepMs(kRetryPauseMs);
    link_->disconnect();
    sleepMs(kRetryPauseMs);
    link_->connect();
    sleepMs(kReconnectSettleMs);
    api()->print("SPI flash, retry %d\n", static_cast<int>(attempts_ - 1));
  }
  link_->setSpiPercent(0);
  link_->setElapsed(0);
  startTime_ = link_->clockNow();
  link_->setSpiRefresh(true);
  link_->setSpiBusy(true);
  writeMode_ = true;
  advance();
  return true;
}

void CSpiFlashFlow::takeLinesStep() {
  takeLinesThen([this](bool ok) {
    if (ok) {
      advance();
    } else {
      startFailed();
    }
  });
}

void CSpiFlashFlow::enterProgrammingStep() {
  enterProgrammingThen([this](bool ok) {
    if (ok) {
      advance();
    } else {
      startFailed();
    }
  });
}

void CSpiFlashFlow::checkRange() {
  if (flashSize_ != 0) {
    rangeDecision();
    return;
  }
  // No acknowledge described the flash (checks and reads outside a security
  // layout): its JEDEC id does. A controller that cannot read it leaves the
  // size unknown and the range unchecked.
  bool sent = link_->readSPIReg(kJedecIdCommand, 3, [this](const uint8_t* bytes, int count) {
    if (bytes != nullptr && count >= 3) flashSize_ = spiFlashSizeFromJedecId(bytes);
    rangeDecision();
  });
  if (!sent) rangeDecision();
}

void CSpiFlashFlow::rangeDecision() {
  if (flashSize_ == 0 || rangeEnd_ <= flashSize_) {
    advance();
    return;
  }
  if (rangeIsRead_) {
    setCause(stringFormat("the read range 0x%x + %u bytes ends beyond the flash (%llu bytes)",
                          readOffset_, readSize_, static_cast<unsigned long long>(flashSize_)));
  } else {
    setCause(stringFormat("image %s (%u bytes) is larger than the flash (%llu bytes)",
                          link_->imagePath().c_str(), imageSize_,
                          static_cast<unsigned long long>(flashSize_)));
  }
  if (mode_ == Mode::kFlash) {
    // No retry can make the image fit: go straight to the final failure.
    attempts_ = link_->retryLimit();
    api()->startAsyncCall([this]() { startPass(nullptr); }, 0.0);
  } else {
    link_->setSpiBusy(false);
    exitWith(Ending::kAborted);
  }
}

void CSpiFlashFlow::programSector() {
  resumeSector_ = sectorIndex_;
  spiFillSector(image_.data(), imageSize_, sectorIndex_, sectorSize_, sector_.data());
  if (!link_->sendSPIData(sectorIndex_, static_cast<uint16_t>(sectorSize_), 1, sector_.data(),
                          static_cast<int>(sectorSize_),
                          [this](CPackage* reply) { onSectorReply(reply); })) {
    startFailed();
  }
}

void CSpiFlashFlow::onSectorReply(CPackage* reply) {
  if (reply == nullptr) {
    setCause(stringFormat("no reply from the controller for sector %u (time-out or lost link)",
                          sectorIndex_));
    if (!startPass("network is abnormal or send SPI data time out.\n")) {
      link_->spiDialog("Error",
                       stringFormat("spi send data (%s) with offset(%d) fail",
                                    link_->imagePath().c_str(), static_cast<int>(sectorIndex_)));
    }
    return;
  }
  if (reply->dataType() == ACK_FAIL) {
    setCause(stringFormat("the controller refused sector %u (ACK_FAIL)", sectorIndex_));
    if (!startPass("SPI data ACK_FAIL.\n")) {
      uint32_t n = reply->payloadLength();
      if (n > sectorSize_ + jyx::kSectorHeaderSize) n = sectorSize_ + jyx::kSectorHeaderSize;
      api()->print("%s", spiDataDump(reply->payload(), n).c_str());
      link_->spiDialog("Error",
                       stringFormat("spi send data (%s) with offset(%d), and received ACK_FAIL",
                                    link_->imagePath().c_str(), static_cast<int>(sectorIndex_)));
    }
    return;
  }
  sectorIndex_ += 1;
  int elapsed = static_cast<int>(link_->clockNow() - startTime_);
  if (elapsed != link_->elapsed()) {
    link_->setElapsed(elapsed);
    link_->setSpiRefresh(true);
  }
  updatePercent(spiPercent(sectorIndex_, sectorCount_), true);
  advance();
}

// A request that cannot be sent is a null reply.
void CSpiFlashFlow::requestBlock() {
  if (!link_->readSPIData(sectorIndex_, static_cast<uint16_t>(blockSize_), 1,
                          [this](CPackage* reply) { onBlockReply(reply); })) {
    onBlockReply(nullptr);
  }
}

void CSpiFlashFlow::onBlockReply(CPackage* reply) {
  if (mode_ == Mode::kCheck) {
    onCompareReply(reply);
  } else {
    onReadReply(reply);
  }
}

// Every failed check gives the lines back before it reports -1, as a read
// does: a front end that ends on -1 must not leave the target unable to boot
// from its flash.
void CSpiFlashFlow::onCompareReply(CPackage* reply) {
  int block = static_cast<int>(sectorIndex_);
  if (reply == nullptr) {
    link_->setSpiBusy(false);
    setCause(
        stringFormat("no reply from the controller for block %d (time-out or lost link)", block));
    link_->spiDialog("Error", stringFormat("spi checkSPI with offset(%d) timeout", block));
    exitWith(Ending::kAborted);
    return;
  }
  // A reply without the whole block cannot be compared; it counts as refused.
  if (reply->dataType() == ACK_FAIL ||
      reply->payloadLength() < jyx::kSectorHeaderSize + blockSize_) {
    link_->setSpiBusy(false);
    setCause(stringFormat("the controller refused block %d (ACK_FAIL)", block));
    link_->spiDialog("Error",
                     stringFormat("spi checkSPI offset(%d), and received ACK_FAIL", block));
    exitWith(Ending::kAborted);
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
    link_->setSpiBusy(false);
    std::string lines;
    spiFormatMismatch(flash, file, n, static_cast<uint32_t>(blockOffset), &lines);
    api()->print("%s", lines.c_str());
    setCause(stringFormat("the flash differs from the image in block %d", block));
    link_->spiDialog("Error", stringFormat("spi checkSPI offset(%d), and changed content", block));
    exitWith(Ending::kAborted);
    return;
  }
  sectorIndex_ += 1;
  updatePercent(spiPercent(sectorIndex_, sectorCount_), true);
  advance();
}

void CSpiFlashFlow::onReadReply(CPackage* reply) {
  int blockAddress = static_cast<int>(static_cast<uint64_t>(sectorIndex_) * blockSize_);
  if (reply == nullptr) {
    link_->setSpiBusy(false);
    setCause(
        stringFormat("no reply from the controller for the block at 0x%x (time-out or lost link)",
                     static_cast<unsigned>(blockAddress)));
    link_->spiDialog("Error", stringFormat("spi readSPI with offset(%d) timeout", blockAddress));
    exitWith(Ending::kAborted);
    return;
  }
  // A reply without the whole block would leave silent zeros in the result.
  if (reply->dataType() == ACK_FAIL ||
      reply->payloadLength() < jyx::kSectorHeaderSize + blockSize_) {
    link_->setSpiBusy(false);
    setCause(stringFormat("the controller refused the block at 0x%x (ACK_FAIL)",
                          static_cast<unsigned>(blockAddress)));
    link_->spiDialog("Error",
                     stringFormat("spi readSPI offset(%d), and received ACK_FAIL", blockAddress));
    exitWith(Ending::kAborted);
    return;
  }
  SPIBlockShare share = spiBlockShare(sectorIndex_, blockSize_, readOffset_, readSize_);
  if (share.len > 0) {
    const uint8_t* data = reply->payload() + jyx::kSectorHeaderSize + share.inBlock;
    if (!readSink_(share.inRange, data, share.len)) {
      link_->setSpiBusy(false);
      exitWith(Ending::kAborted);
      return;
    }
    readCopied_ += share.len;
  }
  sectorIndex_ += 1;
  // Reported when it changes, which is every value a progress bar can show.
  updatePercent(spiPercent(readCopied_, readSize_), false);
  advance();
}

void CSpiFlashFlow::leaveProgrammingStep() {
  leaveProgrammingThen([this]() { advance(); });
}

void CSpiFlashFlow::handBackLinesStep() {
  link_->disableSPI_IO([this](bool linesBack) {
    linesBack_ = linesBack;
    advance();
  });
}

void CSpiFlashFlow::report() {
  switch (ending_) {
    case Ending::kFlashed:
    case Ending::kFlashFailed:
      reportFlash();
      return;
    case Ending::kAborted:
      link_->setSpiBusy(false);
      link_->setSpiRefresh(false);
      reportValue(-1);
      return;
    case Ending::kChecked:
      reportCheck();
      return;
    case Ending::kRead:
      reportRead();
      return;
  }
}

void CSpiFlashFlow::reportFlash() {
  link_->setSpiBusy(false);
  link_->setSpiRefresh(false);
  startTime_ = link_->clockNow();
  if (ending_ == Ending::kFlashed && linesBack_) {
    if (link_->loopFlash()) {
      link_->setLoopCount(link_->loopCount() + 1);
      api()->print("spi flash loop count: %d, elapsed time:%ds\n", link_->loopCount(),
                   link_->elapsed());
      startFlash(progress_ ? *progress_ : Progress());
    } else {
      api()->print("SPI file(%s) flash over successfully\n", link_->imagePath().c_str());
      reportValue(kFlashDone);
    }
  } else if (progress_ && *progress_) {
    api()->print("%s", failText_.c_str());
    reportValue(-1);
  }
}

void CSpiFlashFlow::reportCheck() {
  if (!linesBack_) {
    link_->setSpiBusy(false);
    reportValue(-1);
    return;
  }
  reportValue(kCheckDone);
  if (link_->loopFlash()) {
    api()->print("SPI file(%s) check over successfully, loop count(%d)\n",
                 link_->imagePath().c_str(), link_->loopCount());
    link_->setLoopCount(link_->loopCount() + 1);
    startFlash(progress_ ? *progress_ : Progress());
  } else {
    link_->setSpiBusy(false);
    link_->notice("SPI check successfully.");
    link_->spiDialog("Congratulation", "SPI check over successfully");
  }
}

void CSpiFlashFlow::reportRead() {
  readSink_ = nullptr;
  if (!linesBack_) {
    link_->setSpiBusy(false);
    reportValue(-1);
    return;
  }
  reportValue(kCheckDone);
  link_->setSpiBusy(false);
  link_->notice("SPI read successfully.");
  link_->spiDialog("Congratulation", "SPI read over successfully");
}
