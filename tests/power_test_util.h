// Helpers for the power-monitoring tests: building power reports and
// parsing configuration texts the way the program does.
#ifndef JYX_TESTS_POWER_TEST_UTIL_H_
#define JYX_TESTS_POWER_TEST_UTIL_H_

#include <rapidjson/document.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "jyx/jyx.h"

namespace jyxtest {

// Payload of one power report: timestamp (µs), then `frames` frames each
// holding the (bus, shunt) pairs in `pairs` (one pair per enabled rail).
inline std::vector<uint8_t> powerReport(uint64_t clock, int frames,
                                        const std::vector<std::pair<int16_t, int16_t>>& pairs) {
  std::vector<uint8_t> out(24, 0);
  for (int i = 0; i < 8; ++i) out[i] = uint8_t(clock >> (8 * i));
  out[8] = uint8_t(frames);
  out[9] = uint8_t(frames >> 8);
  for (int f = 0; f < frames; ++f) {
    for (auto pair : pairs) {
      out.push_back(uint8_t(uint16_t(pair.first)));
      out.push_back(uint8_t(uint16_t(pair.first) >> 8));
      out.push_back(uint8_t(uint16_t(pair.second)));
      out.push_back(uint8_t(uint16_t(pair.second) >> 8));
    }
  }
  return out;
}

// YAML (or JSON) text to the JSON document the program works on.
inline rapidjson::Document yamlDoc(const std::string& text) {
  rapidjson::Document doc;
  CJYX::yamlToJson(text.data(), text.size(), &doc);
  return doc;
}

}  // namespace jyxtest

#endif  // JYX_TESTS_POWER_TEST_UTIL_H_
