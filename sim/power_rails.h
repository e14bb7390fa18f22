// CSimPowerRails: the controller's power-monitor ICs and the sample reports
// they stream. 24 IC slots of 4 channels (rail = slot * 4 + channel). A
// slot reports an IC identity when the address the tool puts in that slot
// belongs to a populated IC; reports carry, per frame, one raw (bus, shunt)
// pair of i16 for every rail whose mask bit is set, in ascending rail order.
#ifndef JYX_SIM_POWER_RAILS_H_
#define JYX_SIM_POWER_RAILS_H_

#include <cstdint>
#include <map>
#include <random>
#include <vector>

namespace jyxsim {

class CSimPowerRails {
 public:
  static constexpr int kSlots = 24;
  static constexpr int kRails = 96;
  // Report payload: u64 timestamp, u16 frame count, 14 reserved bytes.
  static constexpr size_t kReportHeader = 24;
  // Reports are split so that no payload exceeds this (bytes).
  static constexpr size_t kMaxReportPayload = 60000;

  struct Config {
    uint32_t frameRate = 500;  // frames per second
    uint32_t reportIntervalMs = 10;
    uint32_t shuntMilliohm = 2;  // the shunt the raw shunt values assume
    // Populated ICs: bus address -> identity (123: 32 V full scale, 107: 9 V).
    std::map<uint8_t, uint8_t> ics = {{0x10, 123}, {0x11, 123}, {0x12, 123}, {0x13, 123},
                                      {0x14, 107}, {0x15, 107}, {0x16, 107}, {0x17, 107}};
    uint32_t seed = 1;
  };

  explicit CSimPowerRails(const Config& config);

  // Starts sampling; fills ids[24] with the identity found at each slot's
  // address (0 where there is none). nowUs: controller clock.
  void start(const uint32_t mask[3], const uint8_t addrs[kSlots], uint64_t nowUs,
             uint8_t ids[kSlots]);
  void stop();
  bool enabled() const { return enabled_; }
  int railCount() const { return railCount_; }

  // Time of the next report; UINT64_MAX when stopped.
  uint64_t nextReportUs() const { return enabled_ ? nextReportUs_ : UINT64_MAX; }
  // Builds the payload of one report of the frames due by nowUs (appends to
  // *payload, which the caller clears). Returns the frame count (0: nothing
  // due). `load` is the target's load factor 0..1. Call again while it
  // returns frames to drain a large backlog.
  int makeReport(uint64_t nowUs, double load, std::vector<uint8_t>* payload);

  // Nominal full-load values of a rail (mV, mA) and the full-scale bus
  // voltage of its IC; false for a rail whose slot has no IC.
  bool railNominal(int rail, int* mv, int* ma, int* fullScaleMv) const;

 private:
  Config config_;
  bool enabled_ = false;
  uint32_t mask_[3] = {0, 0, 0};
  uint8_t ids_[kSlots] = {};
  int railCount_ = 0;
  std::vector<int> rails_;  // enabled rail indices, ascending
  uint64_t startUs_ = 0;
  uint64_t framesSent_ = 0;
  uint64_t nextReportUs_ = 0;
  std::mt19937 rng_;
};

}  // namespace jyxsim

#endif  // JYX_SIM_POWER_RAILS_H_
