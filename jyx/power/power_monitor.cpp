#include "jyx/power/power_monitor.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/api_manager.h"
#include "common/byte_order.h"
#include "common/number_text.h"
#include "jyx/power/power_format.h"

namespace {

// IC bus addresses of the controller's standard population: slots 0-3 and
// 12-15 carry ICs, the rest are empty.
const uint8_t kDefaultIcAddrs[CJYXPowerMonitor::kIcSlots] = {
    0x10, 0x11, 0x14, 0x15, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0x12, 0x13, 0x16, 0x17, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

// A YAML sequence of up to four per-channel values; a shorter non-empty
// sequence repeats its last value. False when there is nothing to apply.
bool channelValues(const rapidjson::Value& object, const char* key, uint32_t out[4]) {
  auto it = object.FindMember(key);
  if (it == object.MemberEnd() || !it->value.IsArray() || it->value.Empty()) return false;
  const rapidjson::Value& list = it->value;
  for (rapidjson::SizeType i = 0; i < 4; ++i) {
    rapidjson::SizeType from = i < list.Size() ? i : list.Size() - 1;
    out[i] = powerNumber(list[from]);
  }
  return true;
}

}  // namespace

bool powerScalarText(const rapidjson::Value& value, std::string* text) {
  char buffer[32];
  if (value.IsString()) {
    text->assign(value.GetString(), value.GetStringLength());
  } else if (value.IsUint64()) {
    snprintf(buffer, sizeof(buffer), "%" PRIu64, value.GetUint64());
    *text = buffer;
  } else if (value.IsInt64()) {
    snprintf(buffer, sizeof(buffer), "%" PRId64, value.GetInt64());
    *text = buffer;
  } else if (value.IsDouble()) {
    snprintf(buffer, sizeof(buffer), "%.0f", value.GetDouble());
    *text = buffer;
  } else {
    return false;
  }
  return true;
}

uint32_t powerNumber(const rapidjson::Value& value) {
  std::string text;
  if (!powerScalarText(value, &text)) return 0;
  return static_cast<uint32_t>(parseNumberText(text.c_str()));
}

CJYXPowerMonitor::CJYXPowerMonitor() : spill_(std::make_shared<CJYXSpillFile>()) {
  icTypes_.emplace_back(123, 32000);
  icTypes_.emplace_back(107, 9000);
  memcpy(icAddrs_, kDefaultIcAddrs, sizeof(icAddrs_));

  // Chart colours: an RGB counter stepped by 63 per component with carry;
  // grey steps (r = g = b) are skipped so that every rail has a hue.
  unsigned r = 0, g = 0, b = 0;
  for (int i = 0; i < kRailCount; ++i) {
    rails_[i] = new CJYXPowerRail(i);
    rails_[i]->setSpill(spill_);
    do {
      r += 63;
      if (r > 255) {
        r = 0;
        g += 63;
        if (g > 255) {
          g = 0;
          b += 63;
          if (b > 255) b = 0;
        }
      }
    } while (r == g && g == b);
    char color[16];
    snprintf(color, sizeof(color), "0x%x", 0xFF000000u | r << 16 | g << 8 | b);
    rails_[i]->setColor(color);
  }
  refreshActiveRails();
}

CJYXPowerMonitor::~CJYXPowerMonitor() {
  for (CJYXPowerRail* rail : rails_) delete rail;
}

CJYXPowerRail* CJYXPowerMonitor::rail(int index) {
  if (index < 0 || index >= kRailCount) index = 0;
  return rails_[index];
}

void CJYXPowerMonitor::setEnableMask(const uint32_t mask[3]) {
  memcpy(enableMask_, mask, sizeof(enableMask_));
  refreshActiveRails();
}

void CJYXPowerMonitor::getEnableMask(uint32_t mask[3]) const {
  memcpy(mask, enableMask_, sizeof(enableMask_));
}

bool CJYXPowerMonitor::railEnabled(int index) const {
  if (index < 0 || index >= kMeasuredRails) return false;
  return (enableMask_[index / 32] >> (index % 32)) & 1;
}

void CJYXPowerMonitor::refreshActiveRails() {
  activeRails_.clear();
  for (int i = 0; i < kMeasuredRails; ++i) {
    if (railEnabled(i)) activeRails_.push_back(i);
  }
}

bool CJYXPowerMonitor::applyConfig(const rapidjson::Value& root) {
  configs_.clear();
  if (!root.IsObject()) return false;

  auto ids = root.FindMember("ic-id");
  if (ids != root.MemberEnd() && ids->value.IsArray()) {
    icTypes_.clear();
    for (const rapidjson::Value& entry : ids->value.GetArray()) {
      if (!entry.IsObject() || !entry.HasMember("id") || !entry.HasMember("voltage")) continue;
      icTypes_.emplace_back(uint8_t(powerNumber(entry["id"])), powerNumber(entry["voltage"]));
    }
  }

  auto addrs = root.FindMember("ic-addr");
  if (addrs != root.MemberEnd() && addrs->value.IsArray()) {
    const rapidjson::Value& list = addrs->value;
    rapidjson::SizeType slots = list.Size() < kIcSlots ? list.Size() : kIcSlots;
    for (rapidjson::SizeType slot = 0; slot < slots; ++slot) {
      const rapidjson::Value& entry = list[slot];
      if (!entry.IsObject()) continue;
      if (entry.HasMember("addr")) icAddrs_[slot] = uint8_t(powerNumber(entry["addr"]));
      uint32_t values[4];
      CJYXPowerRail** channel = &rails_[slot * 4];
      if (channelValues(entry, "resistance", values)) {
        for (int c = 0; c < 4; ++c) channel[c]->setResistance(values[c]);
      }
      if (channelValues(entry, "min_voltage", values)) {
        for (int c = 0; c < 4; ++c) channel[c]->setVoltageLowerLimit(values[c]);
      }
      if (channelValues(entry, "max_voltage", values)) {
        for (int c = 0; c < 4; ++c) channel[c]->setVoltageUpperLimit(values[c]);
      }
      if (channelValues(entry, "max_current", values)) {
        for (int c = 0; c < 4; ++c) channel[c]->setCurrentLimit(values[c]);
      }
    }
    for (int slot = int(slots); slot < kIcSlots; ++slot) icAddrs_[slot] = kNoIc;
  }

  auto list = root.FindMember("config");
  if (list != root.MemberEnd() && list->value.IsArray()) {
    for (const rapidjson::Value& entry : list->value.GetArray()) {
      if (!entry.IsObject()) continue;
      auto title = entry.FindMember("title");
      auto path = entry.FindMember("path");
      std::string titleText, pathText;
      if (title == entry.MemberEnd() || path == entry.MemberEnd() ||
          !powerScalarText(title->value, &titleText) || !powerScalarText(path->value, &pathText)) {
        continue;
      }
      configs_.emplace_back(titleText, pathText);
      if (titleText == currentTitle_) currentConfig_ = configs_.back();
    }
  }
  return true;
}

std::string CJYXPowerMonitor::selectRailsFile(const char* name, const std::string& configPath) {
  if (configs_.empty()) return std::string();
  if (currentTitle_.empty() || currentConfig_.title() == "none") {
    currentConfig_ = configs_.front();
    currentTitle_ = currentConfig_.title();
  }
  if (name != nullptr) {
    std::string fileName(name);
    size_t cut = fileName.find_last_of("/\\");
    if (cut != std::string::npos) fileName.erase(0, cut + 1);
    for (const CJYXPowerConfigInfo& entry : configs_) {
      if (entry.path() == fileName) {
        currentConfig_ = entry;
        currentTitle_ = entry.title();
      }
    }
  }
  size_t cut = configPath.find_last_of("/\\");
  std::string directory = cut == std::string::npos ? std::string() : configPath.substr(0, cut + 1);
  return directory + currentConfig_.path();
}

bool CJYXPowerMonitor::selectConfigByTitle(const std::string& title) {
  for (const CJYXPowerConfigInfo& entry : configs_) {
    if (entry.title() == title) {
      currentConfig_ = entry;
      currentTitle_ = title;
      return true;
    }
  }
  return false;
}

bool CJYXPowerMonitor::loadRails(const rapidjson::Value& root) {
  if (!root.IsObject() || !root.HasMember("rails")) return false;
  uint32_t cleared[3] = {0, 0, 0};
  setEnableMask(cleared);

  auto addrs = root.FindMember("addr");
  if (addrs != root.MemberEnd() && addrs->value.IsArray()) {
    const rapidjson::Value& list = addrs->value;
    int slot = 0;
    for (; slot < kIcSlots && slot < int(list.Size()); ++slot) {
      icAddrs_[slot] = uint8_t(powerNumber(list[rapidjson::SizeType(slot)]));
    }
    for (; slot < kIcSlots; ++slot) icAddrs_[slot] = kNoIc;
  }

  const rapidjson::Value& rails = root["rails"];
  if (!rails.IsArray()) return false;
  enabledRails_.clear();
  for (CJYXPowerRail* rail : rails_) {
    rail->setSelected(false);
    rail->setListed(false);
  }

  uint32_t mask[3] = {0, 0, 0};
  auto apply = [&](const std::string& name, long long index) {
    if (index < 0 || index > kTotalRail) return;
    if (index < kMeasuredRails) mask[index / 32] |= 1u << (index % 32);
    enabledRails_.push_back(int(index));
    CJYXPowerRail* rail = rails_[index];
    rail->resetSeries();
    rail->setSelected(true);
    rail->setListed(true);
    rail->setName(name);
  };
  for (const rapidjson::Value& entry : rails.GetArray()) {
    if (!entry.IsObject()) continue;
    auto name = entry.FindMember("name");
    auto index = entry.FindMember("index");
    std::string nameText, indexText;
    if (name == entry.MemberEnd() || index == entry.MemberEnd() ||
        !powerScalarText(name->value, &nameText) || !powerScalarText(index->value, &indexText)) {
      continue;
    }
    // Signed decimal, up to the first character that does not belong:
    // "0x10" reads as 0, "-1" as -1 (and is then out of range).
    apply(nameText, strtoll(indexText.c_str(), nullptr, 10));
  }
  apply("TOTAL", kTotalRail);
  setEnableMask(mask);
  return true;
}

void CJYXPowerMonitor::buildRequestBlocks(uint8_t mask[12], uint8_t addrs[24]) const {
  for (int w = 0; w < 3; ++w) {
    for (int b = 0; b < 4; ++b) mask[4 * w + b] = uint8_t(enableMask_[w] >> (8 * b));
  }
  memcpy(addrs, icAddrs_, kIcSlots);
  for (int index : enabledRails_) {
    if (index >= kMeasuredRails) continue;
    int slot = index / 4;
    if (addrs[slot] == 0) addrs[slot] = uint8_t(rails_[index]->addr());
  }
}

std::string CJYXPowerMonitor::applyIcIds(const uint8_t* payload, size_t length,
                                         uint32_t lengthField) {
  memset(icIds_, 0, sizeof(icIds_));
  // An acknowledge without a payload has no payload pointer at all.
  if (payload != nullptr)
    memcpy(icIds_, payload, length < sizeof(icIds_) ? length : sizeof(icIds_));
  char text[256];
  int used =
      snprintf(text, sizeof(text), "size:%d/%d, IC_ID (%d):", 20, int(lengthField), kIcSlots);
  for (int i = 0; i < kIcSlots; ++i) {
    used += snprintf(text + used, sizeof(text) - size_t(used), "0x%.2x ", icIds_[i]);
  }
  for (int index = 0; index < kMeasuredRails; ++index) {
    int slot = index / 4;
    for (const CJYXPowerICID& type : icTypes_) {
      if (type.id() == icIds_[slot]) {
        rails_[index]->setMaxVoltage(type.voltage());
        rails_[index]->setAddr(icAddrs_[slot]);
        break;
      }
    }
  }
  return text;
}

void CJYXPowerMonitor::resetRun() {
  baseClock_ = 0;
  lastClock_ = 0;
  for (CJYXPowerRail* rail : rails_) rail->resetSeries();
  // No rail refers to a spilled block any more.
  spill_->clear();
  frameCount_ = 0;
  startTime_ = 0;
  hostStartMicros_ = 0;
  shortReportSeen_ = false;
}

void CJYXPowerMonitor::onPowerData(const uint8_t* payload, size_t length, double now,
                                   uint64_t wallMicros) {
  // Layout: powerreport in power_format.h.
  constexpr size_t kHeader = powerreport::kHeaderSize;
  if (!running_) return;
  if (payload == nullptr || length < kHeader) {
    if (!shortReportSeen_) {
      CAPIManager::instance()->print("power report of %u bytes dropped: too short\n",
                                     unsigned(length));
      shortReportSeen_ = true;
    }
    return;
  }
  uint64_t clock = jyx::decodeFixed64(payload + powerreport::kOffsetClock);
  size_t frames = jyx::decodeFixed16(payload + powerreport::kOffsetFrameCount);
  size_t railCount = activeRails_.size();
  size_t frameBytes = railCount * powerreport::kSampleSize;
  if (frameBytes != 0 && (length - kHeader) / frameBytes < frames) {
    if (!shortReportSeen_) {
      CAPIManager::instance()->print(
          "power report of %u bytes holds fewer than its %u frames of %u rails\n", unsigned(length),
          unsigned(frames), unsigned(railCount));
      shortReportSeen_ = true;
    }
    frames = (length - kHeader) / frameBytes;
  }

  lastClock_ = clock;
  if (baseClock_ == 0) {
    baseClock_ = clock;
    for (CJYXPowerRail* rail : rails_) rail->setBaseClock(clock);
    startTime_ = now;
    hostStartMicros_ = wallMicros;
  }
  int32_t t = static_cast<int32_t>(static_cast<int64_t>(clock - baseClock_) / 1000);
  uint32_t interval = averageInterval_;
  const int* active = activeRails_.data();
  const uint8_t* cursor = payload + kHeader;
  CJYXPowerRail* total = rails_[kTotalRail];
  for (size_t f = 0; f < frames; ++f) {
    int64_t sum = 0;
    for (size_t k = 0; k < railCount; ++k, cursor += powerreport::kSampleSize) {
      CJYXPowerRail* rail = rails_[active[k]];
      int16_t bus = int16_t(jyx::decodeFixed16(cursor + powerreport::kSampleBus));
      int16_t shunt = int16_t(jyx::decodeFixed16(cursor + powerreport::kSampleShunt));
      rail->addRaw(t, clock, bus, shunt, interval);
      if (rail->selected()) sum += rail->rawPower.now();
    }
    total->addValues(t, clock, 0, 0, static_cast<int32_t>(sum), interval);
    ++frameCount_;
  }
}

std::string CJYXPowerMonitor::frameRateText() const {
  // Below one millisecond the time prints as 0.000 s and a rate would be a
  // division by (nearly) nothing; a clock that went backwards has no rate.
  int64_t micros = int64_t(lastClock_ - baseClock_);
  if (baseClock_ == 0 || micros < 1000) return std::string();
  uint64_t rate = uint64_t(frameCount_) * 1000000u / uint64_t(micros);
  if (rate > uint64_t(INT32_MAX)) rate = uint64_t(INT32_MAX);
  char text[128];
  snprintf(text, sizeof(text), "frames: %d, time: %.3fs, frames per second: %d\n", int(frameCount_),
           double(micros) / 1e6, int(rate));
  return text;
}

uint32_t CJYXPowerMonitor::autoRange(int32_t largest) {
  char digits[16];
  int n = snprintf(digits, sizeof(digits), "%d", largest < 0 ? 0 : largest);
  uint64_t range = digits[0] - '0' < 5 ? 5 : 10;
  for (int i = 1; i < n; ++i) range *= 10;
  if (range < 10) range = 10;
  return range > UINT32_MAX ? UINT32_MAX : uint32_t(range);
}

CJYXPowerRanges CJYXPowerMonitor::autoRanges() const {
  int32_t voltage = 0, current = 0, power = 0;
  for (const CJYXPowerRail* rail : rails_) {
    if (!rail->selected()) continue;
    if (rail->avgVoltage.max() > voltage) voltage = rail->avgVoltage.max();
    if (rail->avgCurrent.max() > current) current = rail->avgCurrent.max();
    if (rail->avgPower.max() > power) power = rail->avgPower.max();
  }
  return {autoRange(voltage), autoRange(current), autoRange(power)};
}

size_t CJYXPowerMonitor::memoryBytes() const {
  size_t total = 0;
  for (const CJYXPowerRail* rail : rails_) total += rail->memoryBytes();
  return total;
}
