#include "jyx/power/power_rail.h"

#include <cstdio>

#include "common/api_manager.h"

CJYXPowerReading convertPowerRaw(int32_t bus, int32_t shunt, uint32_t maxVoltage,
                                 uint32_t resistance) {
  int64_t busAbs = bus < 0 ? -int64_t(bus) : int64_t(bus);
  int64_t shuntAbs = shunt < 0 ? -int64_t(shunt) : int64_t(shunt);
  // The bus register spans the IC's full-scale voltage over 2^15 steps; the
  // shunt register counts 100000/2^15 µV per step, so µV / mΩ gives mA.
  // Each quotient is rounded once from the exact fraction, half up (all
  // operands are non-negative): truncating would put a third of all
  // readings one unit low.
  int64_t voltage = (int64_t(maxVoltage) * busAbs * 2 + 32768) / (2 * 32768);
  int64_t current = 0;
  if (resistance != 0) {
    int64_t divisor = int64_t(32768) * int64_t(resistance);
    current = (shuntAbs * 100000 * 2 + divisor) / (2 * divisor);
  }
  int64_t power = (voltage * current * 2 + 1000) / 2000;
  return {static_cast<int32_t>(voltage), static_cast<int32_t>(current),
          static_cast<int32_t>(power)};
}

CJYXPowerRail::CJYXPowerRail(int index) {
  char text[16];
  snprintf(text, sizeof(text), "RAIL%.2d", index);
  name_ = text;
}

void CJYXPowerRail::addRaw(int32_t t, uint64_t clock, int32_t bus, int32_t shunt,
                           uint32_t interval) {
  if (traceNext_) {
    CAPIManager::instance()->print(
        "[%d] bus:0x%x, sense:0x%x, resistance:%dmO, maxVoltage:%dmV, averageInterval:%d",
        static_cast<int>(rawVoltage.count()), static_cast<unsigned>(bus),
        static_cast<unsigned>(shunt), static_cast<int>(resistance_), static_cast<int>(maxVoltage_),
        static_cast<int>(interval));
  }
  CJYXPowerReading r = convertPowerRaw(bus, shunt, maxVoltage_, resistance_);
  if (traceNext_) {
    CAPIManager::instance()->print("ts:%d, voltage:%dmV, current:%dmA, power:%dmW\n", t, r.voltage,
                                   r.current, r.power);
    traceNext_ = false;
  }
  addValues(t, clock, r.voltage, r.current, r.power, interval);
}

void CJYXPowerRail::addValues(int32_t t, uint64_t clock, int32_t voltage, int32_t current,
                              int32_t power, uint32_t interval) {
  rawVoltage.addSample(voltage);
  rawCurrent.addSample(current);
  rawPower.addSample(power);
  lastTime_ = static_cast<uint32_t>(t);
  raw.push_back(CJYXPowerRecord{clock, t, voltage, current, power});
  avgVoltage.addPending(voltage);
  avgCurrent.addPending(current);
  avgPower.addPending(power);

  int64_t step = interval == 0 ? 1 : interval;
  int64_t start = intervalStart_;
  if (int64_t(t) > start + step) {
    avgVoltage.closeInterval();
    avgCurrent.closeInterval();
    avgPower.closeInterval();
    averaged.push_back(CJYXPowerRecord{clock, static_cast<int32_t>(intervalStart_),
                                       avgVoltage.now(), avgCurrent.now(), avgPower.now()});
    // Advance by whole intervals in one step: a timestamp jump of hours must
    // not turn into millions of loop turns.
    int64_t behind = int64_t(t) - start - step;
    start += step * ((behind + step - 1) / step);
    intervalStart_ = static_cast<uint32_t>(start);
  }
}

void CJYXPowerRail::resetSeries() {
  rawVoltage.reset();
  rawCurrent.reset();
  rawPower.reset();
  raw.clear();
  avgVoltage.reset();
  avgCurrent.reset();
  avgPower.reset();
  averaged.clear();
  lastTime_ = 0;
  baseClock_ = 0;
  intervalStart_ = 0;
}

size_t CJYXPowerRail::memoryBytes() const {
  return raw.memoryBytes() + averaged.memoryBytes() + sizeof(*this) + name_.capacity() +
         color_.capacity();
}

void CJYXPowerRail::setSpill(std::shared_ptr<CJYXSpillFile> spill) {
  raw.setSpill(spill);
  averaged.setSpill(spill);
}
