// Packet parser throughput: a FIFO filled with prebuilt packets, drained by
// one CPackageParser with a delegate that only counts. Each iteration pushes
// a batch and runs one update, as the main loop would after the receive
// thread filled the FIFO.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <vector>

#include "common/channel.h"
#include "jyx/protocol/package.h"
#include "jyx/protocol/package_parser.h"

// Counts heap allocations so the benchmark can show that the steady state
// of the parser allocates nothing per packet.
static std::atomic<int64_t> gAllocations{0};

#if defined(__GNUC__) && !defined(__clang__)
// GCC cannot see that these replacements pair malloc with free.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

void* operator new(std::size_t n) {
  ++gAllocations;
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

class CountingDelegate : public CPackageParserDelegate {
 public:
  void onPackage(CPackage* package) override {
    ++packets;
    bytes += package->size();
  }
  int64_t packets = 0;
  int64_t bytes = 0;
};

// `count` copies of one packet back to back, frame numbers counting up.
std::vector<uint8_t> batchOf(int count, bool sector) {
  std::vector<uint8_t> sectorData(4096);
  for (size_t i = 0; i < sectorData.size(); ++i) sectorData[i] = static_cast<uint8_t>(i * 13);
  std::vector<uint8_t> batch;
  CPackage p;
  for (int f = 0; f < count; ++f) {
    if (sector) {
      p.makeSPIData(f, f, sectorData.data(), 4096);
    } else {
      p.makeSPIDataAck(f);
    }
    batch.insert(batch.end(), p.data(), p.data() + p.size());
  }
  return batch;
}

void runParser(benchmark::State& state, bool sector, int perBatch) {
  std::vector<uint8_t> batch = batchOf(perBatch, sector);
  CFifo fifo(CChannel::kDefaultFifoCapacity);
  CountingDelegate delegate;
  CPackageParser parser(&delegate, &fifo);
  // One warm-up pass grows the work package to the packet size.
  fifo.push(batch.data(), static_cast<int>(batch.size()));
  parser.onUpdate(0.0);
  delegate.packets = delegate.bytes = 0;
  int64_t allocationsBefore = gAllocations;
  for (auto _ : state) {
    fifo.push(batch.data(), static_cast<int>(batch.size()));
    parser.onUpdate(0.0);
  }
  state.counters["allocs_per_packet"] =
      static_cast<double>(gAllocations - allocationsBefore) / static_cast<double>(delegate.packets);
  if (delegate.packets != static_cast<int64_t>(state.iterations()) * perBatch) {
    state.SkipWithError("parser lost packets");
  }
  state.SetBytesProcessed(delegate.bytes);
  state.SetItemsProcessed(delegate.packets);
}

// 4 KiB sector replies (4124 bytes each), 64 per update (about 264 KB).
void BM_SectorReplies(benchmark::State& state) { runParser(state, true, 64); }
BENCHMARK(BM_SectorReplies);

// 20-byte acknowledges, 1024 per update.
void BM_SmallAcks(benchmark::State& state) { runParser(state, false, 1024); }
BENCHMARK(BM_SmallAcks);

}  // namespace

BENCHMARK_MAIN();
