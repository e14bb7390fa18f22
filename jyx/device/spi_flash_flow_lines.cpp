// CSpiFlashFlow: handing the flash lines over and back, the programming
// mode, and the record and progress values the flows report.
#include <utility>

#include "common/api_manager.h"
#include "common/thread_pool.h"
#include "jyx/device/spi_flash_flow.h"
#include "jyx/device/spi_image.h"
#include "jyx/protocol/package.h"
#include "jyx/protocol/package_format.h"

namespace {

// The flash needs the lines quiet for a moment after its last program cycle
// before they are handed back or the programming mode is left (ms).
constexpr int kLineSettleMs = 100;

CAPIManager* api() { return CAPIManager::instance(); }

}  // namespace

// ---------------------------------------------------------------------------
// Line hand-over and programming mode

bool CSpiFlashFlow::programming() const { return writeMode_ || link_->securityMode() != 0; }

void CSpiFlashFlow::takeLinesThen(std::function<void(bool)> done) {
  link_->enableSPI_IO([this, done](bool ok) {
    if (!ok) {
      link_->disableSPI_IO(nullptr);
      done(false);
      return;
    }
    done(true);
  });
}

void CSpiFlashFlow::enterProgrammingThen(std::function<void(bool)> done) {
  if (!programming()) {
    done(true);
    return;
  }
  auto onReply = [this, done](CPackage* reply) {
    if (reply == nullptr) {
      api()->print("network is abnormal or enable SPI Data time out.\n");
      setCause("no reply from the controller to the programming-mode request");
      done(false);
      return;
    }
    // A refused or malformed acknowledge opens no programming mode (the
    // tracker has printed the ACK_FAIL line already).
    if (reply->dataType() == ACK_FAIL || reply->payloadLength() < jyx::kSectorHeaderSize) {
      setCause("the controller refused the programming mode (ACK_FAIL)");
      done(false);
      return;
    }
    // The acknowledge describes the flash (or, in a security layout, one
    // copy): sector size times sector count. A count of 0 tells nothing.
    uint64_t ackSectors = reply->payloadU16(jyx::kSecNumOffset);
    uint64_t ackSectorSize = reply->payloadU16(jyx::kSecSizeOffset);
    if (ackSectors > 0) flashSize_ = ackSectors * ackSectorSize;
    if (writeMode_) {
      uint16_t secSize = reply->payloadU16(jyx::kSecSizeOffset);
      if (secSize == 0) {
        setCause("the controller reported a sector size of 0");
        done(false);
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
      reportValue(link_->spiPercent());
    }
    done(true);
  };
  if (!link_->enableSPIData(1, writeMode_, onReply)) onReply(nullptr);
}

void CSpiFlashFlow::leaveProgrammingThen(std::function<void()> next) {
  sleepMs(kLineSettleMs);
  if (!programming()) {
    next();
    return;
  }
  if (!link_->enableSPIData(0, false, [next](CPackage*) { next(); })) next();
}

void CSpiFlashFlow::takeLines(std::function<void(bool)> done) {
  takeLinesThen([this, done](bool ok) {
    if (!ok) {
      done(false);
      return;
    }
    enterProgrammingThen(done);
  });
}

void CSpiFlashFlow::releaseLines(std::function<void(bool)> done) {
  leaveProgrammingThen([this, done]() { link_->disableSPI_IO(done); });
}

void CSpiFlashFlow::stop(std::function<void(bool)> done) {
  releaseLines([this, done](bool linesBack) {
    link_->setSpiBusy(false);
    link_->setSpiRefresh(false);
    startTime_ = link_->clockNow();
    if (done) done(linesBack);
  });
}

// ---------------------------------------------------------------------------
// State

std::vector<std::string> CSpiFlashFlow::failReasons() const {
  std::vector<std::string> reasons;
  if (!cause_.empty()) reasons.push_back(cause_);
  if (!handBackError_.empty()) reasons.push_back(handBackError_);
  return reasons;
}

void CSpiFlashFlow::reportValue(int value) {
  std::shared_ptr<Progress> progress = progress_;
  if (progress && *progress) (*progress)(value);
}

void CSpiFlashFlow::updatePercent(int percent, bool refresh) {
  if (percent == link_->spiPercent()) return;
  link_->setSpiPercent(percent);
  if (refresh) link_->setSpiRefresh(true);
  reportValue(percent);
}
