#include "jyx/maintenance/esp_parser.h"

#include <atomic>

#include "common/api_manager.h"
#include "common/byte_order.h"
#include "common/string_format.h"
#include "jyx/maintenance/esp_format.h"
#include "jyx/maintenance/slip.h"

namespace {

std::atomic<int> g_dumpWidth{16};
// Decoded bytes shown of each received package.
constexpr size_t kDumpLimit = 64;

}  // namespace

int espDumpWidth() { return g_dumpWidth.load(); }

void setEspDumpWidth(int width) { g_dumpWidth.store(width > 0 ? width : 16); }

std::string espHexDump(const uint8_t* data, size_t n) {
  std::string out;
  size_t width = static_cast<size_t>(espDumpWidth());
  for (size_t i = 0; i < n; ++i) {
    out += jyx::stringFormat("%.2x ", data[i]);
    if ((i + 1) % width == 0) out += '\n';
  }
  if (n % width != 0 || n == 0) out += '\n';
  return out;
}

CESPParser::CESPParser(CESPParserDelegate* delegate, CFifo* source)
    : delegate_(delegate), source_(source) {
  decoded_.reserve(kDecodeBufferSize);
  CAPIManager::instance()->addUpdater(this);
}

CESPParser::~CESPParser() { CAPIManager::instance()->removeUpdater(this); }

bool CESPParser::decodePackage(const std::vector<uint8_t>& decoded, ESPPackage* package) {
  if (decoded.size() < esp::kHeaderSize) return false;
  package->direction = decoded[0];
  package->command = decoded[1];
  package->size = jyx::decodeFixed16(&decoded[2]);
  package->value = jyx::decodeFixed32(&decoded[4]);
  package->data.assign(decoded.begin() + esp::kHeaderSize, decoded.end());
  return true;
}

void CESPParser::onUpdate(double now) {
  CAPIManager* api = CAPIManager::instance();
  const uint8_t end = esp::kSlipEnd;
  for (;;) {
    int at = source_->find(&end, 1);
    if (!inFrame_) {
      if (at < 0) {
        // Text (the loader's boot banner) or noise: nothing to keep.
        int held = source_->size();
        if (held > static_cast<int>(kDecodeBufferSize)) source_->reset();
        return;
      }
      source_->skipTo(&end, 1);
      int held = source_->size();
      int shown = held < static_cast<int>(kDumpLimit) ? held : static_cast<int>(kDumpLimit);
      std::vector<uint8_t> view(static_cast<size_t>(shown));
      if (shown > 0) source_->peek(view.data(), shown, 0);
      api->print("\nreceive data: %d\n%s", held, espHexDump(view.data(), view.size()).c_str());
      uint8_t delimiter;
      source_->pop(&delimiter, 1);
      inFrame_ = true;
      continue;
    }
    if (at < 0) {
      if (source_->size() > static_cast<int>(kDecodeBufferSize)) {
        // No loader frame is this long: give up on it.
        source_->reset();
        inFrame_ = false;
      }
      return;
    }
    if (at == 0) {
      // An empty frame: two delimiters in a row, the second opens the next.
      uint8_t delimiter;
      source_->pop(&delimiter, 1);
      continue;
    }
    raw_.resize(static_cast<size_t>(at) + 1);
    source_->pop(raw_.data(), at + 1);
    decoded_.clear();
    uint8_t bad = 0;
    if (esp::slipDecode(raw_.data(), static_cast<size_t>(at), &decoded_, &bad) > 0) {
      api->print("Error: decode data fail. the data 0x%.2x presents after 0xDB\n", bad);
    }
    size_t shown = decoded_.size() < kDumpLimit ? decoded_.size() : kDumpLimit;
    api->print("\nreceive package: %d -> %d\n%s", at, static_cast<int>(decoded_.size()),
               espHexDump(decoded_.data(), shown).c_str());
    inFrame_ = false;
    ESPPackage package;
    if (decodePackage(decoded_, &package)) delegate_->onPackage(&package);
  }
}
