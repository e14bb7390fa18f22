// Power-rail object model: the growing sample arrays, one statistics series
// (CJYXPowerData), an IC type (CJYXPowerICID) and one rail (CJYXPowerRail)
// with its raw and interval-averaged series.
//
// Everything here runs on the main thread; nothing is locked.
#ifndef JYX_JYX_POWER_POWER_RAIL_H_
#define JYX_JYX_POWER_POWER_RAIL_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "jyx/power/power_spill.h"

// The running statistics of one series of one quantity, and the values of
// the open averaging interval. The values themselves are stored by the rail
// (CJYXRecordLog), not here, so a series costs the same after an hour as
// after a second. The interval's values are only ever summed, so they are
// kept as a 32-bit wrapping sum and a count rather than as a list.
template <typename T, typename S>
class CJYXPowerData {
 public:
  static constexpr T kEmptyMin = 999999999;

  CJYXPowerData() = default;
  CJYXPowerData(const CJYXPowerData&) = delete;
  CJYXPowerData& operator=(const CJYXPowerData&) = delete;
  virtual ~CJYXPowerData() = default;

  virtual T now() const { return now_; }
  virtual void setNow(T v) { now_ = v; }
  // sum / count truncated toward zero; computed when read so that appending
  // costs no division.
  virtual T avg() const {
    if (avgStale_) {
      avg_ = count_ == 0 ? T(0) : T(sum_ / S(count_));
      avgStale_ = false;
    }
    return avg_;
  }
  virtual void setAvg(T v) {
    avg_ = v;
    avgStale_ = false;
  }
  virtual T min() const { return min_; }
  virtual void setMin(T v) { min_ = v; }
  virtual T max() const { return max_; }
  virtual void setMax(T v) { max_ = v; }
  virtual S sum() const { return sum_; }
  virtual void setSum(S v) { sum_ = v; }

  void addSample(T v) {
    now_ = v;
    ++count_;
    sum_ += v;
    avgStale_ = true;
    if (v < min_) min_ = v;
    if (v > max_) max_ = v;
  }
  void addPending(T v) {
    pendingSum_ += static_cast<uint32_t>(v);
    ++pendingCount_;
  }
  // Appends the mean of the pending values (their 32-bit wrapping sum
  // divided by their count, truncated), or 0 when none is pending.
  void closeInterval() {
    if (pendingCount_ == 0) {
      addSample(0);
      return;
    }
    int32_t total = static_cast<int32_t>(pendingSum_);
    addSample(static_cast<T>(total / static_cast<int32_t>(pendingCount_)));
    pendingSum_ = 0;
    pendingCount_ = 0;
  }
  void reset() {
    now_ = 0;
    avg_ = 0;
    avgStale_ = false;
    max_ = 0;
    sum_ = 0;
    min_ = kEmptyMin;
    count_ = 0;
    pendingSum_ = 0;
    pendingCount_ = 0;
  }

  // Number of values added since the last reset.
  uint64_t count() const { return count_; }
  size_t pendingCount() const { return pendingCount_; }

 private:
  T now_ = 0;
  mutable T avg_ = 0;
  mutable bool avgStale_ = false;
  T min_ = kEmptyMin;
  T max_ = 0;
  S sum_ = 0;
  uint64_t count_ = 0;
  uint32_t pendingSum_ = 0;
  uint32_t pendingCount_ = 0;
};

using CJYXPowerSeries = CJYXPowerData<int, long long>;

// One IC type: the identity the controller reports and its full-scale bus
// voltage in mV.
class CJYXPowerICID {
 public:
  CJYXPowerICID(uint8_t id = 0, uint32_t voltage = 0) : id_(id), voltage_(voltage) {}
  virtual ~CJYXPowerICID() = default;
  virtual uint8_t id() const { return id_; }
  virtual void setId(uint8_t id) { id_ = id; }
  virtual uint32_t voltage() const { return voltage_; }
  virtual void setVoltage(uint32_t voltage) { voltage_ = voltage; }

 private:
  uint8_t id_;
  uint32_t voltage_;
};

// Raw readings of one channel converted to engineering units, each rounded
// to the nearest unit (halves away from zero). Negative raw values count by
// magnitude; a zero shunt resistance gives no current.
struct CJYXPowerReading {
  int32_t voltage;  // mV
  int32_t current;  // mA
  int32_t power;    // mW
};
CJYXPowerReading convertPowerRaw(int32_t bus, int32_t shunt, uint32_t maxVoltage,
                                 uint32_t resistance);

// One of the 97 rails (index 96 is the computed TOTAL).
class CJYXPowerRail {
 public:
  explicit CJYXPowerRail(int index = 0);
  CJYXPowerRail(const CJYXPowerRail&) = delete;
  CJYXPowerRail& operator=(const CJYXPowerRail&) = delete;
  virtual ~CJYXPowerRail() = default;

  virtual const std::string& name() const { return name_; }
  virtual void setName(const std::string& name) { name_ = name; }
  virtual uint32_t addr() const { return addr_; }
  virtual void setAddr(uint32_t v) { addr_ = v; }
  virtual uint32_t maxVoltage() const { return maxVoltage_; }
  virtual void setMaxVoltage(uint32_t v) { maxVoltage_ = v; }
  virtual uint32_t resistance() const { return resistance_; }
  virtual void setResistance(uint32_t v) { resistance_ = v; }
  virtual uint32_t voltageLowerLimit() const { return voltageLowerLimit_; }
  virtual void setVoltageLowerLimit(uint32_t v) { voltageLowerLimit_ = v; }
  virtual uint32_t voltageUpperLimit() const { return voltageUpperLimit_; }
  virtual void setVoltageUpperLimit(uint32_t v) { voltageUpperLimit_ = v; }
  virtual uint32_t currentLimit() const { return currentLimit_; }
  virtual void setCurrentLimit(uint32_t v) { currentLimit_ = v; }
  virtual uint32_t reserved1() const { return reserved1_; }
  virtual void setReserved1(uint32_t v) { reserved1_ = v; }
  virtual uint32_t reserved2() const { return reserved2_; }
  virtual void setReserved2(uint32_t v) { reserved2_ = v; }
  virtual const std::string& color() const { return color_; }
  virtual void setColor(const std::string& color) { color_ = color; }
  virtual uint32_t lastTime() const { return lastTime_; }
  virtual void setLastTime(uint32_t v) { lastTime_ = v; }
  virtual bool selected() const { return selected_; }
  virtual void setSelected(bool v) { selected_ = v; }
  virtual bool listed() const { return listed_; }
  virtual void setListed(bool v) { listed_ = v; }
  virtual bool traceNext() const { return traceNext_; }
  virtual void setTraceNext(bool v) { traceNext_ = v; }
  virtual uint64_t baseClock() const { return baseClock_; }
  virtual void setBaseClock(uint64_t v) { baseClock_ = v; }

  // Converts one raw pair and stores it (t in ms since the first frame,
  // clock the controller timestamp in µs, interval in ms).
  void addRaw(int32_t t, uint64_t clock, int32_t bus, int32_t shunt, uint32_t interval);
  // Stores one converted sample and closes the averaging interval when t
  // has passed its end. An interval of 0 is taken as 1 ms.
  void addValues(int32_t t, uint64_t clock, int32_t voltage, int32_t current, int32_t power,
                 uint32_t interval);
  // Empties every series; lastTime, baseClock and intervalStart become 0.
  void resetSeries();

  uint32_t intervalStart() const { return intervalStart_; }
  uint64_t sampleCount() const { return raw.size(); }
  // Bytes held in memory by the rail and its series.
  size_t memoryBytes() const;
  // Stores the records in `spill` (shared by the rails of one monitor);
  // forgets the stored records.
  void setSpill(std::shared_ptr<CJYXSpillFile> spill);

  // Statistics of the raw samples.
  CJYXPowerSeries rawVoltage;  // mV
  CJYXPowerSeries rawCurrent;  // mA
  CJYXPowerSeries rawPower;    // mW
  // Statistics of the interval averages.
  CJYXPowerSeries avgVoltage;
  CJYXPowerSeries avgCurrent;
  CJYXPowerSeries avgPower;
  // Every raw sample: clock, ms since the first frame, mV, mA, mW.
  CJYXRecordLog raw;
  // Every closed interval: the clock of the sample that closed it, the
  // interval's start in ms, and the three means.
  CJYXRecordLog averaged;

 private:
  std::string name_;
  uint32_t addr_ = 0;
  uint32_t maxVoltage_ = 9000;
  uint32_t resistance_ = 2;
  uint32_t voltageLowerLimit_ = 0;
  uint32_t voltageUpperLimit_ = 0;
  uint32_t currentLimit_ = 0;
  uint32_t reserved1_ = 0;
  uint32_t reserved2_ = 0;
  std::string color_;
  uint32_t lastTime_ = 0;
  bool selected_ = true;
  bool listed_ = false;
  bool traceNext_ = false;
  uint64_t baseClock_ = 0;
  uint32_t intervalStart_ = 0;
};

#endif  // JYX_JYX_POWER_POWER_RAIL_H_
