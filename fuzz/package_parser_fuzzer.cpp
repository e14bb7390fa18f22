// Feeds arbitrary bytes to CPackageParser in two updates (split point taken
// from the first byte) and exercises the readers on every delivered packet.
#include <cstddef>
#include <cstdint>

#include "jyx/protocol/package_parser.h"

namespace {

class Reader : public CPackageParserDelegate {
 public:
  void onPackage(CPackage* p) override {
    if (!p->verify()) __builtin_trap();
    p->dataPreview();
    p->stringData();
    p->isReplyTo(p->cmdType(), p->payloadLength());
    p->payloadU64(p->payloadU16(4));
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0 || size > 4096) return 0;
  static Reader reader;
  CFifo fifo(4096);  // small, so oversized lengths are reachable
  CPackageParser parser(&reader, &fifo);
  size_t split = data[0] % size;
  fifo.push(data, static_cast<int>(split));
  parser.onUpdate(0.0);
  fifo.push(data + split, static_cast<int>(size - split));
  parser.onUpdate(0.0);
  return 0;
}
