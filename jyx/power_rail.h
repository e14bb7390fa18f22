// Power-rail object model: the growing sample arrays, one statistics series
// (CJYXPowerData), an IC type (CJYXPowerICID) and one rail (CJYXPowerRail)
// with its raw and interval-averaged series.
//
// Everything here runs on the main thread; nothing is locked.
#ifndef JYX_JYX_POWER_RAIL_H_
#define JYX_JYX_POWER_RAIL_H_

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

// Append-only array of samples kept in fixed chunks so that growth never
// copies old samples and wastes at most one partly filled chunk. The first
// chunk starts small and doubles up to the chunk size, so a series with a
// handful of values (an averaged series, a rail that barely reported) does
// not pin a whole chunk. push_back is the hot path of power-report ingestion.
template <typename T>
class CSampleArray {
 public:
  // 1024 values per chunk: 4 KiB for i32, 8 KiB for u64.
  static constexpr size_t kChunkShift = 10;
  static constexpr size_t kChunkSize = size_t(1) << kChunkShift;
  static constexpr size_t kFirstCapacity = 16;

  CSampleArray() = default;
  CSampleArray(const CSampleArray&) = delete;
  CSampleArray& operator=(const CSampleArray&) = delete;
  ~CSampleArray() { clear(); }

  void push_back(T value) {
    if (cursor_ == end_) grow();
    *cursor_++ = value;
    ++size_;
  }
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  // Index must be below size().
  T operator[](size_t i) const { return chunks_[i >> kChunkShift][i & (kChunkSize - 1)]; }
  T back() const { return (*this)[size_ - 1]; }

  void clear() {
    for (T* chunk : chunks_) delete[] chunk;
    chunks_.clear();
    chunks_.shrink_to_fit();
    cursor_ = end_ = nullptr;
    size_ = 0;
    firstCapacity_ = 0;
  }

  // Bytes held by the array, chunk table included.
  size_t memoryBytes() const {
    if (chunks_.empty()) return 0;
    return (firstCapacity_ + (chunks_.size() - 1) * kChunkSize) * sizeof(T) +
           chunks_.capacity() * sizeof(T*);
  }

 private:
  void grow() {
    if (chunks_.empty()) {
      firstCapacity_ = kFirstCapacity;
      chunks_.push_back(new T[firstCapacity_]);
      cursor_ = chunks_[0];
      end_ = cursor_ + firstCapacity_;
    } else if (chunks_.size() == 1 && firstCapacity_ < kChunkSize) {
      size_t capacity = firstCapacity_ * 2;
      T* bigger = new T[capacity];
      std::memcpy(bigger, chunks_[0], size_ * sizeof(T));
      delete[] chunks_[0];
      chunks_[0] = bigger;
      firstCapacity_ = capacity;
      cursor_ = bigger + size_;
      end_ = bigger + capacity;
    } else {
      chunks_.push_back(new T[kChunkSize]);
      cursor_ = chunks_.back();
      end_ = cursor_ + kChunkSize;
    }
  }

  std::vector<T*> chunks_;  // owned
  T* cursor_ = nullptr;     // next free slot of the last chunk
  T* end_ = nullptr;
  size_t size_ = 0;
  size_t firstCapacity_ = 0;
};

// One series of one quantity: every value in arrival order, running
// statistics, and the values of the open averaging interval. The interval's
// values are only ever summed, so they are kept as a 32-bit wrapping sum and
// a count rather than as a list.
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
      avg_ = samples_.empty() ? T(0) : T(sum_ / S(samples_.size()));
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
    samples_.push_back(v);
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
    samples_.clear();
    pendingSum_ = 0;
    pendingCount_ = 0;
  }

  const CSampleArray<T>& samples() const { return samples_; }
  size_t count() const { return samples_.size(); }
  size_t pendingCount() const { return pendingCount_; }
  size_t memoryBytes() const { return samples_.memoryBytes(); }

 private:
  T now_ = 0;
  mutable T avg_ = 0;
  mutable bool avgStale_ = false;
  T min_ = kEmptyMin;
  T max_ = 0;
  S sum_ = 0;
  CSampleArray<T> samples_;
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

// Raw readings of one channel converted to engineering units. Negative raw
// values count by magnitude; a zero shunt resistance gives no current.
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
  size_t sampleCount() const { return rawVoltage.count(); }
  // Bytes held by all series of the rail.
  size_t memoryBytes() const;

  CJYXPowerSeries rawVoltage;  // mV
  CJYXPowerSeries rawCurrent;  // mA
  CJYXPowerSeries rawPower;    // mW
  CSampleArray<int32_t> rawTimes;    // ms since the first frame
  CSampleArray<uint64_t> rawClocks;  // controller timestamp, µs
  CJYXPowerSeries avgVoltage;
  CJYXPowerSeries avgCurrent;
  CJYXPowerSeries avgPower;
  CSampleArray<int32_t> avgTimes;    // start of each interval, ms
  CSampleArray<uint64_t> avgClocks;  // timestamp of the sample closing it

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

#endif  // JYX_JYX_POWER_RAIL_H_
