// Feeds arbitrary bytes to the GPT loader as the start of a disk, at a block
// size taken from the first byte, and dumps, rebuilds and reloads every table
// it accepts: nothing read from an image may be used before it is checked.
#include <cstddef>
#include <cstdint>
#include <string>

#include "tools/gpt_table.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint32_t blockSize = (data[0] & 1) ? 4096 : 512;
  gpt::CGptTable table(blockSize);
  std::string messages;
  if (!table.load(data + 1, size - 1, &messages)) {
    if (messages.empty()) __builtin_trap();
    return 0;
  }
  table.dump("");
  uint64_t total = table.alternateLba() + 1;
  table.rebuild(total);
  gpt::CGptTable again(blockSize);
  if (!again.load(table.image(), table.imageBytes(), &messages)) __builtin_trap();
  return 0;
}
