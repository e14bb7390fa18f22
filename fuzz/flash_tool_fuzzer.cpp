// Feeds arbitrary bytes to the flash tool's readers: as a GPT image to the
// dump (every offset it follows comes from the image), and as a fastboot
// client's traffic to the simulated target (lengths and sizes from the
// wire). Neither may read or write outside its buffers.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fastboot/flash_config.h"
#include "sim/fastboot_target.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fastboot::gptDumpText("fuzz", data, size, "");
  fastboot::gptDumpText("fuzz", data, size, "boot");
  static jyxsim::CSimFastboot* target = [] {
    jyxsim::CSimFastboot::Config config;
    config.diskBytes = 1u << 20;
    config.maxDownload = 64u << 10;
    auto* t = new jyxsim::CSimFastboot(config, nullptr);
    std::string err;
    if (!t->init(&err)) __builtin_trap();
    return t;
  }();
  target->reset();
  std::string out;
  target->feed(reinterpret_cast<const uint8_t*>("FB01"), 4, &out);
  target->feed(data, size, &out);
  return 0;
}
