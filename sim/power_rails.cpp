#include "sim/power_rails.h"

#include "sim/frame.h"

namespace jyxsim {

CSimPowerRails::CSimPowerRails(const Config& config) : config_(config), rng_(config.seed) {
  if (config_.frameRate == 0) config_.frameRate = 1;
  if (config_.reportIntervalMs == 0) config_.reportIntervalMs = 1;
}

void CSimPowerRails::start(const uint32_t mask[3], const uint8_t addrs[kSlots], uint64_t nowUs,
                           uint8_t ids[kSlots]) {
  for (int s = 0; s < kSlots; ++s) {
    auto it = config_.ics.find(addrs[s]);
    ids_[s] = it == config_.ics.end() ? 0 : it->second;
    ids[s] = ids_[s];
  }
  rails_.clear();
  for (int i = 0; i < 3; ++i) mask_[i] = mask[i];
  for (int r = 0; r < kRails; ++r)
    if (mask_[r / 32] & (1u << (r % 32))) rails_.push_back(r);
  railCount_ = int(rails_.size());
  enabled_ = true;
  startUs_ = nowUs;
  framesSent_ = 0;
  nextReportUs_ = nowUs + config_.reportIntervalMs * 1000ull;
}

void CSimPowerRails::stop() { enabled_ = false; }

bool CSimPowerRails::railNominal(int rail, int* mv, int* ma, int* fullScaleMv) const {
  if (rail < 0 || rail >= kRails) return false;
  uint8_t id = ids_[rail / 4];
  if (id == 0) return false;
  int ch = rail % 4;
  // A 32 V IC watches the input and intermediate rails, a 9 V IC the
  // low-voltage core, memory and I/O rails.
  static const int kHighMv[4] = {12000, 5000, 3300, 1800};
  static const int kLowMv[4] = {800, 1100, 1800, 3300};
  static const int kMa[4] = {2500, 1200, 800, 400};
  bool high = id == 123;
  *fullScaleMv = high ? 32000 : 9000;
  *mv = high ? kHighMv[ch] : kLowMv[ch];
  // Neighbouring slots draw a little differently so the rails are told apart.
  *ma = kMa[ch] + (rail / 4) * 37;
  return true;
}

int CSimPowerRails::makeReport(uint64_t nowUs, double load, std::vector<uint8_t>* payload) {
  if (!enabled_ || nowUs < startUs_) return 0;
  uint64_t due = (nowUs - startUs_) * config_.frameRate / 1000000ull;
  if (due <= framesSent_) {
    nextReportUs_ = nowUs + config_.reportIntervalMs * 1000ull;
    return 0;
  }
  uint64_t frames = due - framesSent_;
  size_t perFrame = rails_.size() * 4;
  uint64_t cap = perFrame ? (kMaxReportPayload - kReportHeader) / perFrame : 65535;
  if (cap > 65535) cap = 65535;
  if (frames > cap) frames = cap;
  size_t base = payload->size();
  payload->resize(base + kReportHeader + frames * perFrame, 0);
  uint8_t* p = payload->data() + base;
  putU64(p, nowUs);
  putU16(p + 8, uint16_t(frames));
  p += kReportHeader;
  std::normal_distribution<double> noise(0.0, 1.0);
  for (uint64_t f = 0; f < frames; ++f) {
    for (int rail : rails_) {
      int mv = 0, ma = 0, fs = 1;
      int16_t bus = 0, shunt = 0;
      if (railNominal(rail, &mv, &ma, &fs) && load > 0.0) {
        // Voltage is present from standby on and sags slightly under load;
        // current scales with the load.
        double v = mv * (1.0 - 0.01 * load) + noise(rng_) * mv * 0.002;
        double i = ma * load + noise(rng_) * ma * 0.01;
        if (v < 0) v = 0;
        if (i < 0) i = 0;
        double rawBus = v * 32768.0 / fs;
        double rawShunt = i * 32768.0 * config_.shuntMilliohm / 100000.0;
        bus = int16_t(rawBus > 32767 ? 32767 : rawBus);
        shunt = int16_t(rawShunt > 32767 ? 32767 : rawShunt);
      }
      putU16(p, uint16_t(bus));
      putU16(p + 2, uint16_t(shunt));
      p += 4;
    }
  }
  framesSent_ += frames;
  if (framesSent_ >= due) nextReportUs_ = nowUs + config_.reportIntervalMs * 1000ull;
  return int(frames);
}

}  // namespace jyxsim
