// Feeds arbitrary bytes to CStringParser in two updates (split point and line
// limit taken from the first bytes), then flushes the rest.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "jyx/protocol/string_parser.h"

namespace {

class Lines : public CStringParserDelegate {
 public:
  void onString(const char* text) override { total += strlen(text); }
  size_t total = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2 || size > 4096) return 0;
  Lines lines;
  CFifo fifo(4096);
  CStringParser parser(&lines, &fifo);
  parser.setLineLimit(data[1] * 8);
  size_t split = data[0] % size;
  fifo.push(data, static_cast<int>(split));
  parser.onUpdate(0.0);
  fifo.push(data + split, static_cast<int>(size - split));
  parser.onUpdate(0.0);
  parser.flush();
  if (fifo.size() != 0 || lines.total > size) __builtin_trap();
  return 0;
}
