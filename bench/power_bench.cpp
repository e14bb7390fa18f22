// Power monitoring figures: report ingestion at 96 rails (frames per second
// onPowerData sustains), memory per stored rail-sample, and the time to save
// one million rail-samples to the data file and the six CSV files.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "jyx/power/power_monitor.h"

namespace {

constexpr int kRails = 96;
constexpr int kFramesPerReport = 5;  // 500 frames/s in 10 ms reports

// One report payload of `frames` frames for all 96 rails with varied values.
std::vector<uint8_t> makeReport(int frames, unsigned seed) {
  std::vector<uint8_t> p(24 + size_t(frames) * kRails * 4, 0);
  p[8] = uint8_t(frames);
  for (size_t i = 24; i < p.size(); i += 2) {
    seed = seed * 1103515245u + 12345u;
    uint16_t v = uint16_t((seed >> 16) & 0x3FFF);
    p[i] = uint8_t(v);
    p[i + 1] = uint8_t(v >> 8);
  }
  return p;
}

void setClock(std::vector<uint8_t>* p, uint64_t clock) {
  for (int i = 0; i < 8; ++i) (*p)[size_t(i)] = uint8_t(clock >> (8 * i));
}

void enableAll(CJYXPowerMonitor* m) {
  uint32_t mask[3] = {0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu};
  m->setEnableMask(mask);
  m->resetRun();
  m->setRunning(true);
}

// Feeds `frames` frames (in 10 ms reports) into the monitor.
void feed(CJYXPowerMonitor* m, std::vector<uint8_t>* report, uint64_t* clock, int frames) {
  for (int f = 0; f < frames; f += kFramesPerReport) {
    *clock += 10000;
    setClock(report, *clock);
    m->onPowerData(report->data(), report->size(), 1.0, 1700000000000000ull);
  }
}

void BM_IngestFrames96Rails(benchmark::State& state) {
  CJYXPowerMonitor m;
  enableAll(&m);
  std::vector<uint8_t> report = makeReport(kFramesPerReport, 7);
  uint64_t clock = 1000000;
  int64_t frames = 0;
  int64_t sinceReset = 0;
  for (auto _ : state) {
    clock += 10000;
    setClock(&report, clock);
    m.onPowerData(report.data(), report.size(), 1.0, 1700000000000000ull);
    frames += kFramesPerReport;
    sinceReset += kFramesPerReport;
    // Keep memory bounded: start a new run every 50000 frames (about 125 MB).
    if (sinceReset >= 50000) {
      state.PauseTiming();
      m.resetRun();
      sinceReset = 0;
      state.ResumeTiming();
    }
  }
  state.counters["frames_per_s"] = benchmark::Counter(double(frames), benchmark::Counter::kIsRate);
  state.counters["rail_samples_per_s"] =
      benchmark::Counter(double(frames) * (kRails + 1), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_IngestFrames96Rails)->Unit(benchmark::kMicrosecond);

void BM_MemoryPerRailSample(benchmark::State& state) {
  const int frames = int(state.range(0));
  for (auto _ : state) {
    struct mallinfo2 before = mallinfo2();
    auto* m = new CJYXPowerMonitor();
    enableAll(m);
    std::vector<uint8_t> report = makeReport(kFramesPerReport, 11);
    uint64_t clock = 1000000;
    feed(m, &report, &clock, frames);
    struct mallinfo2 after = mallinfo2();
    double samples = double(m->frameCount()) * (kRails + 1);
    state.counters["rail_samples"] = samples;
    state.counters["bytes_per_sample_heap"] =
        double((after.uordblks + after.hblkhd) - (before.uordblks + before.hblkhd)) / samples;
    state.counters["bytes_per_sample_series"] = double(m->memoryBytes()) / samples;
    delete m;
  }
}
BENCHMARK(BM_MemoryPerRailSample)
    ->Arg(10000)
    ->Arg(100000)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

void BM_SaveMillionRailSamples(benchmark::State& state) {
  CJYXPowerMonitor m;
  enableAll(&m);
  std::vector<uint8_t> report = makeReport(kFramesPerReport, 13);
  uint64_t clock = 1000000;
  // 96 rails + TOTAL: 10310 frames give 1 000 070 rail-samples.
  feed(&m, &report, &clock, 10310);
  m.setRunning(false);
  char dir[] = "/tmp/power_bench_XXXXXX";
  if (mkdtemp(dir) == nullptr) {
    state.SkipWithError("mkdtemp failed");
    return;
  }
  std::string path = std::string(dir) + "/run";
  for (auto _ : state) {
    if (!m.saveData(path)) state.SkipWithError("saveData failed");
  }
  state.counters["rail_samples"] = double(m.frameCount()) * (kRails + 1);
  const char* suffixes[] = {"",
                            ".raw_voltage.csv",
                            ".raw_current.csv",
                            ".raw_power.csv",
                            ".voltage.csv",
                            ".current.csv",
                            ".power.csv"};
  for (const char* s : suffixes) unlink((path + s).c_str());
  rmdir(dir);
}
BENCHMARK(BM_SaveMillionRailSamples)->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
