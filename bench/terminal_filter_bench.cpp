// Throughput of the terminal filter on the log path: boot-log text in 4 KiB
// reads, once plain, once with a colour sequence on every line, once with a
// control byte in every line (the slow path). The figure to compare is the
// controller's UART rate: even at 3 Mbaud a target sends 300 KB/s.
#include <benchmark/benchmark.h>

#include <string>

#include "common/terminal_filter.h"

namespace {

std::string logText(const char* linePrefix, const char* lineSuffix) {
  std::string text;
  for (int i = 0; text.size() < (1u << 20); ++i) {
    text += linePrefix;
    text += "CSU_PM: status " + std::to_string(i) + ", temp 45C, VDD_CORE 0.80V ok";
    text += lineSuffix;
    text += "\r\n";
  }
  return text;
}

void runFilter(benchmark::State& state, const std::string& text) {
  constexpr size_t kRead = 4096;
  CTerminalFilter filter;
  std::string out;
  out.reserve(2 * kRead);
  for (auto _ : state) {
    for (size_t at = 0; at < text.size(); at += kRead) {
      out.clear();
      size_t n = text.size() - at < kRead ? text.size() - at : kRead;
      filter.filter(text.data() + at, n, &out);
      benchmark::DoNotOptimize(out.data());
    }
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text.size()));
}

void BM_PlainLog(benchmark::State& state) { runFilter(state, logText("", "")); }
BENCHMARK(BM_PlainLog);

void BM_ColouredLog(benchmark::State& state) { runFilter(state, logText("\x1b[1;32m", "\x1b[m")); }
BENCHMARK(BM_ColouredLog);

void BM_ControlInEveryLine(benchmark::State& state) {
  runFilter(state, logText("\x1b]0;title\x07", "\x08"));
}
BENCHMARK(BM_ControlInEveryLine);

}  // namespace

BENCHMARK_MAIN();
