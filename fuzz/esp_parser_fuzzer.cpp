// Feeds arbitrary bytes to CESPParser in two updates (split point from the
// first byte): every package handed out must have been decoded from a frame
// no longer than the input.
#include <cstddef>
#include <cstdint>

#include "common/fifo.h"
#include "jyx/maintenance/esp_parser.h"

namespace {

class Packages : public CESPParserDelegate {
 public:
  void onPackage(ESPPackage* p) override { bytes += p->data.size() + 8; }
  size_t bytes = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > 8192) return 0;
  Packages packages;
  CFifo fifo(8192);
  CESPParser parser(&packages, &fifo);
  size_t split = data[0] % size;
  fifo.push(data, static_cast<int>(split));
  parser.onUpdate(0.0);
  fifo.push(data + split, static_cast<int>(size - split));
  parser.onUpdate(0.0);
  if (packages.bytes > size) __builtin_trap();
  return 0;
}
