#include "jyx/device/spi_changed_only.h"

#include <cstring>
#include <utility>

#include "common/api_manager.h"
#include "common/string_format.h"
#include "jyx/device/data_manager.h"
#include "jyx/device/spi_image.h"
#include "jyx/protocol/package.h"
#include "jyx/protocol/package_format.h"

namespace {

// Pause before leaving programming mode, so the last sector's program has
// settled as in the full flash flow (seconds).
constexpr double kLeaveDelay = 0.1;

}  // namespace

void CSPIChangedOnlyFlow::start(std::vector<uint8_t> image, Progress progress, Done done) {
  image_ = std::move(image);
  progress_ = std::move(progress);
  done_ = std::move(done);
  result_ = Result();
  running_ = true;
  programming_ = false;
  sectorSize_ = 0;
  sector_ = 0;
  percent_ = -1;
  if (image_.empty() || image_.size() > kSPIMaxImageSize) {
    result_.reasons.push_back(image_.empty() ? "the image is empty"
                                             : "the image is larger than any flash");
    go(Step::kFinished);
    return;
  }
  result_.sectors = spiFlashSectorCount(static_cast<uint32_t>(image_.size()));
  go(Step::kTakeLines);
}

void CSPIChangedOnlyFlow::go(Step step) {
  switch (step) {
    case Step::kTakeLines:
      takeLines();
      break;
    case Step::kEnterProgramming:
      enterProgramming();
      break;
    case Step::kReadSector:
      readSector();
      break;
    case Step::kWriteSector:
      writeSector();
      break;
    case Step::kLeaveProgramming:
      leaveProgramming();
      break;
    case Step::kGiveBack:
      giveBack();
      break;
    case Step::kFinished:
      finished();
      break;
  }
}

void CSPIChangedOnlyFlow::fail(const std::string& why) {
  if (result_.reasons.empty()) result_.reasons.push_back(why);
  go(programming_ ? Step::kLeaveProgramming : Step::kGiveBack);
}

void CSPIChangedOnlyFlow::takeLines() {
  data_->enableSPI_IO([this](bool ok) {
    if (!ok) {
      // enableSPI_IO has printed which line was refused; the lines that
      // were taken are given back all the same.
      fail("the controller did not take the flash lines");
      return;
    }
    go(Step::kEnterProgramming);
  });
}

void CSPIChangedOnlyFlow::enterProgramming() {
  auto onReply = [this](CPackage* reply) {
    if (reply == nullptr) {
      fail("no reply from the controller to the programming-mode request");
      return;
    }
    if (reply->dataType() == ACK_FAIL || reply->payloadLength() < jyx::kSectorHeaderSize) {
      fail("the controller refused the programming mode (ACK_FAIL)");
      return;
    }
    programming_ = true;
    sectorSize_ = reply->payloadU16(jyx::kSecSizeOffset);
    uint64_t flashSize = uint64_t(reply->payloadU16(jyx::kSecNumOffset)) * sectorSize_;
    if (sectorSize_ != kSPIBlockSize) {
      fail(jyx::stringFormat("the controller reported a sector size of %u", sectorSize_));
      return;
    }
    uint64_t covered = uint64_t(result_.sectors) * sectorSize_;
    if (flashSize > 0 && uint64_t(image_.size()) > flashSize) {
      fail(jyx::stringFormat("the image (%zu bytes) is larger than the flash (%llu bytes)",
                             image_.size(), static_cast<unsigned long long>(flashSize)));
      return;
    }
    // The last sector of a pair may lie past a flash that ends right after
    // the image; it is then not touched.
    if (flashSize > 0 && covered > flashSize) {
      result_.sectors = static_cast<uint32_t>(flashSize / sectorSize_);
    }
    expected_.resize(sectorSize_);
    go(Step::kReadSector);
  };
  if (!data_->enableSPIData(1, true, onReply)) onReply(nullptr);
}

void CSPIChangedOnlyFlow::readSector() {
  spiFillSector(image_.data(), static_cast<uint32_t>(image_.size()), sector_, sectorSize_,
                expected_.data());
  auto onReply = [this](CPackage* reply) {
    if (reply == nullptr) {
      fail(jyx::stringFormat("no reply from the controller for reading sector %u", sector_));
      return;
    }
    if (reply->dataType() == ACK_FAIL ||
        reply->payloadLength() < jyx::kSectorHeaderSize + sectorSize_) {
      fail(jyx::stringFormat("the controller refused reading sector %u (ACK_FAIL)", sector_));
      return;
    }
    if (memcmp(reply->payload() + jyx::kSectorHeaderSize, expected_.data(), sectorSize_) == 0) {
      result_.unchanged += 1;
      nextSector();
    } else {
      go(Step::kWriteSector);
    }
  };
  if (!data_->readSPIData(sector_, static_cast<uint16_t>(sectorSize_), 1, onReply)) {
    onReply(nullptr);
  }
}

void CSPIChangedOnlyFlow::writeSector() {
  auto onReply = [this](CPackage* reply) {
    if (reply == nullptr) {
      fail(jyx::stringFormat("no reply from the controller for sector %u (time-out or lost link)",
                             sector_));
      return;
    }
    if (reply->dataType() == ACK_FAIL) {
      fail(jyx::stringFormat("the controller refused sector %u (ACK_FAIL)", sector_));
      return;
    }
    result_.written += 1;
    nextSector();
  };
  if (!data_->sendSPIData(sector_, static_cast<uint16_t>(sectorSize_), 1, expected_.data(),
                          static_cast<int>(sectorSize_), onReply)) {
    onReply(nullptr);
  }
}

void CSPIChangedOnlyFlow::nextSector() {
  sector_ += 1;
  int percent = spiPercent(sector_, result_.sectors);
  if (percent != percent_ && percent <= 100) {
    percent_ = percent;
    if (progress_) progress_(percent);
  }
  if (sector_ >= result_.sectors) {
    result_.ok = true;
    go(Step::kLeaveProgramming);
  } else {
    go(Step::kReadSector);
  }
}

void CSPIChangedOnlyFlow::leaveProgramming() {
  CAPIManager::instance()->startAsyncCall(
      [this]() {
        auto onReply = [this](CPackage* reply) {
          programming_ = false;
          // Leaving is best effort like in the full flash flow: the lines
          // going back is what lets the target boot.
          go(Step::kGiveBack);
        };
        if (!data_->enableSPIData(0, false, onReply)) onReply(nullptr);
      },
      kLeaveDelay);
}

void CSPIChangedOnlyFlow::giveBack() {
  data_->disableSPI_IO([this](bool linesBack) {
    if (!linesBack) {
      result_.ok = false;
      result_.reasons.push_back("the controller did not give the flash lines back to the target");
    }
    go(Step::kFinished);
  });
}

void CSPIChangedOnlyFlow::finished() {
  running_ = false;
  if (!result_.reasons.empty()) result_.ok = false;
  // The callback may start the next flow with this object: hand over a copy.
  Done done = std::move(done_);
  Result result = result_;
  if (done) done(result);
}
