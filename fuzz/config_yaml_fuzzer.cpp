// Feeds arbitrary bytes to the YAML-to-JSON conversion that reads every
// configuration file, and a document it accepts to the power rails loader:
// depth, aliases and sizes come from the file and must stay bounded.
#include <rapidjson/document.h>

#include <cstddef>
#include <cstdint>

#include "common/config_loader.h"
#include "jyx/power/power_monitor.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  rapidjson::Document doc;
  if (!jyx::yamlToJson(reinterpret_cast<const char*>(data), size, &doc)) return 0;
  if (!doc.IsObject() && !doc.IsArray()) __builtin_trap();
  if (doc.IsObject()) {
    CJYXPowerMonitor monitor;
    monitor.loadRails(doc);
  }
  return 0;
}
