#include "jyx/protocol/string_parser.h"

#include "common/api_manager.h"
#include "jyx/protocol/package_manager.h"

CStringParser::CStringParser(CStringParserDelegate* delegate, CFifo* fifo)
    : delegate_(delegate), fifo_(fifo), work_(CPackageManager::instance()->getPackage()) {
  CAPIManager::instance()->addUpdater(this);
}

CStringParser::~CStringParser() {
  CAPIManager::instance()->removeUpdater(this);
  CPackageManager::instance()->releasePackage(work_);
}

int32_t CStringParser::lineLimit() { return lineLimit_; }
void CStringParser::setLineLimit(int32_t limit) { lineLimit_ = limit; }

void CStringParser::deliver(int n) {
  work_->reset();
  work_->reserve(static_cast<uint32_t>(n) + 1);
  if (!fifo_->pop(work_->data(), n)) return;
  work_->data()[n] = '\0';
  work_->setSize(static_cast<uint32_t>(n));
  if (delegate_ != nullptr) delegate_->onString(reinterpret_cast<const char*>(work_->data()));
}

void CStringParser::onUpdate(double now) {
  if (fifo_ == nullptr) return;
  for (;;) {
    int i = fifo_->find("\n", 1);
    if (i < 0) break;
    deliver(i + 1);
  }
  if (fifo_->size() > lineLimit_ && delegate_ != nullptr) delegate_->onString("");
}

void CStringParser::flush() {
  if (fifo_ == nullptr) return;
  int n = fifo_->size();
  if (n > 0) deliver(n);
}
