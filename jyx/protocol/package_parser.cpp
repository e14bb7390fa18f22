#include "jyx/protocol/package_parser.h"

#include "common/api_manager.h"
#include "common/byte_order.h"
#include "jyx/protocol/package_manager.h"

CPackageParser::CPackageParser(CPackageParserDelegate* delegate, CFifo* fifo)
    : delegate_(delegate), fifo_(fifo), work_(CPackageManager::instance()->getPackage()) {
  CAPIManager::instance()->addUpdater(this);
}

CPackageParser::~CPackageParser() {
  CAPIManager::instance()->removeUpdater(this);
  CPackageManager::instance()->releasePackage(work_);
}

void CPackageParser::onUpdate(double now) {
  if (fifo_ == nullptr) return;
  const uint32_t capacity = static_cast<uint32_t>(fifo_->capacity());
  uint8_t header[jyx::kHeaderSize];
  // Every pass either consumes at least 20 bytes or returns, so the loop ends
  // even while the channel keeps filling the FIFO.
  for (;;) {
    // skipTo costs one comparison when the magic already stands at the front.
    if (!fifo_->skipTo(jyx::kPackageMagicBytes, 4)) return;
    if (!fifo_->peek(header, jyx::kHeaderSize, 0)) return;
    const uint32_t length = jyx::decodeFixed32(header + jyx::kLengthOffset);
    if (length < jyx::kHeaderSize || length >= capacity) {
      // Not a genuine header: drop it and resynchronise on the next magic.
      fifo_->pop(nullptr, jyx::kHeaderSize);
      continue;
    }
    work_->reset();
    work_->reserve(length);
    // pop takes nothing unless all `length` bytes are buffered.
    if (!fifo_->pop(work_->data(), static_cast<int>(length))) return;
    work_->setSize(length);
    if (work_->verify() && delegate_ != nullptr) delegate_->onPackage(work_);
  }
}
