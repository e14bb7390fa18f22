// A monitoring soak in one process: feeds N hours' worth of power reports
// (96 rails, 500 frames/s in 10 ms reports of 5 frames, by default 8 hours =
// 14.4 million frames) through the real ingestion (CJYXPowerMonitor::
// onPowerData), saves the run through the real saveData (data file and six
// CSV files) and prints the peak resident size and the times, each beside a
// floor measured in the same run on the same number of bytes: memcpy of the
// report bytes for ingestion, a plain write + fsync for the save.
//
//   power_soak_bench [--hours H] [--rate FRAMES_PER_S] [--dir DIR] [--keep]
//
// DIR (default $TMPDIR, else /var/tmp) takes the spill file and the saved
// files: at 8 hours about 7.5 GiB of spill, a 4 GiB data file (cut to what
// its offsets address) and 24 GiB of CSV, and then as much again for the
// write floor. They are removed at the end unless --keep is given.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "common/api_manager.h"
#include "common/byte_order.h"
#include "jyx/power/power_format.h"
#include "jyx/power/power_monitor.h"

namespace {

constexpr int kRails = 96;
constexpr int kFramesPerReport = 5;  // one report every 10 ms at 500 frames/s
constexpr int kReportPool = 256;     // distinct payloads, cycled

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// A field of /proc/self/status in KiB ("VmHWM", "VmRSS").
long statusKiB(const char* field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  size_t n = strlen(field);
  while (std::getline(in, line)) {
    if (line.compare(0, n, field) == 0 && line.size() > n && line[n] == ':') {
      return atol(line.c_str() + n + 1);
    }
  }
  return -1;
}

// User + system CPU seconds of the process: on a shared machine the wall
// clock also counts other programs' turns.
double cpuSeconds() {
  struct rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

long maxRssKiB() {
  struct rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

// Reports whose rails sit at plausible levels with noise, as the simulator
// sends them: rail r at (1 + r % 12) V over a 32 V scale, (100 + 37 r) mA
// over a 2 mOhm shunt, each +-0.5 % noise.
std::vector<std::vector<uint8_t>> makeReports() {
  std::vector<std::vector<uint8_t>> pool(kReportPool);
  uint32_t seed = 12345;
  auto noise = [&seed](int span) {
    seed = seed * 1103515245u + 12345u;
    return int((seed >> 16) % uint32_t(2 * span + 1)) - span;
  };
  for (auto& p : pool) {
    p.assign(24 + size_t(kFramesPerReport) * kRails * 4, 0);
    jyx::encodeFixed16(p.data() + 8, kFramesPerReport);
    uint8_t* cursor = p.data() + 24;
    for (int f = 0; f < kFramesPerReport; ++f) {
      for (int r = 0; r < kRails; ++r, cursor += 4) {
        int bus = (1 + r % 12) * 32768 / 32;
        int shunt = (100 + 37 * r) * 32768 * 2 / 100000;
        bus += noise(bus / 200 + 1);
        shunt += noise(shunt / 200 + 1);
        jyx::encodeFixed16(cursor, uint16_t(bus));
        jyx::encodeFixed16(cursor + 2, uint16_t(shunt));
      }
    }
  }
  return pool;
}

uint64_t fileSize(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? uint64_t(st.st_size) : 0;
}

// Writes `bytes` zero bytes to a new file in `dir` in 1 MiB pieces, fsyncs
// and removes it: what putting that many bytes on this disk costs at least.
double writeFloor(const std::string& dir, uint64_t bytes) {
  std::string path = dir + "/power_soak_floor.tmp";
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return -1;
  std::vector<char> piece(size_t(1) << 20, 0);
  Clock::time_point start = Clock::now();
  bool ok = true;
  for (uint64_t done = 0; ok && done < bytes;) {
    size_t n = bytes - done < piece.size() ? size_t(bytes - done) : piece.size();
    ssize_t w = write(fd, piece.data(), n);
    ok = w > 0;
    done += ok ? uint64_t(w) : 0;
  }
  ok = fsync(fd) == 0 && ok;
  double seconds = secondsSince(start);
  close(fd);
  unlink(path.c_str());
  return ok ? seconds : -1;
}

// The data file's header is consistent: offsets follow each other, counts
// are equal for the rails that have records, the file is within 4 GiB.
bool checkDataFile(const std::string& path, uint64_t* perRail) {
  using namespace powerfile;
  FILE* f = fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  uint8_t header[kHeaderSize];
  bool ok = fread(header, 1, kHeaderSize, f) == kHeaderSize;
  fclose(f);
  if (!ok || memcmp(header, kMagic, 4) != 0) return false;
  uint64_t expected = kHeaderSize;
  *perRail = 0;
  for (uint32_t i = 0; i < kRailCount; ++i) {
    uint32_t offset = jyx::decodeFixed32(header + kOffsetRails + kRailEntrySize * i);
    uint32_t count = jyx::decodeFixed32(header + kOffsetRails + kRailEntrySize * i + 4);
    if (offset != expected) return false;
    if (count != 0) {
      if (*perRail != 0 && count != *perRail) return false;
      *perRail = count;
    }
    expected += uint64_t(count) * kRecordSize;
  }
  return expected == fileSize(path) && expected <= UINT32_MAX;
}

}  // namespace

int main(int argc, char** argv) {
  double hours = 8;
  int rate = 500;
  bool keep = false;
  const char* tmp = getenv("TMPDIR");
  std::string dir = tmp != nullptr && *tmp ? tmp : "/var/tmp";
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--hours" && i + 1 < argc) {
      hours = atof(argv[++i]);
    } else if (a == "--rate" && i + 1 < argc) {
      rate = atoi(argv[++i]);
    } else if (a == "--dir" && i + 1 < argc) {
      dir = argv[++i];
    } else if (a == "--keep") {
      keep = true;
    } else {
      fprintf(stderr, "usage: %s [--hours H] [--rate FRAMES_PER_S] [--dir DIR] [--keep]\n",
              argv[0]);
      return 2;
    }
  }
  if (!(hours > 0) || rate < kFramesPerReport) {
    fprintf(stderr, "--hours must be positive and --rate at least %d\n", kFramesPerReport);
    return 2;
  }
  const uint64_t reports = uint64_t(hours * 3600.0 * rate / kFramesPerReport);
  const uint64_t frames = reports * kFramesPerReport;
  const uint64_t reportMicros = 1000000ull * kFramesPerReport / uint64_t(rate);
  printf("soak: %.2f h at %d frames/s, %d rails: %" PRIu64 " frames in %" PRIu64
         " reports; files in %s\n",
         hours, rate, kRails, frames, reports, dir.c_str());
  printf("start: VmHWM %ld KiB\n", statusKiB("VmHWM"));

  std::vector<std::vector<uint8_t>> pool = makeReports();
  const size_t reportBytes = pool[0].size();

  // Floor for ingestion: copying the same report bytes once.
  {
    std::vector<uint8_t> sink(reportBytes);
    Clock::time_point start = Clock::now();
    double cpu = cpuSeconds();
    uint64_t check = 0;
    for (uint64_t r = 0; r < reports; ++r) {
      memcpy(sink.data(), pool[r % kReportPool].data(), reportBytes);
      check += sink[r % reportBytes];
    }
    double seconds = secondsSince(start);
    printf("floor ingest (memcpy of %.2f GiB of reports): %.3f s, cpu %.3f s (%" PRIu64 ")\n",
           double(reports) * reportBytes / (1u << 30), seconds, cpuSeconds() - cpu, check % 10);
  }

  CJYXPowerMonitor monitor;
  monitor.setSpillDirectory(dir);
  uint32_t mask[3] = {0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu};
  monitor.setEnableMask(mask);
  monitor.resetRun();
  monitor.setRunning(true);

  Clock::time_point start = Clock::now();
  double cpu = cpuSeconds();
  uint64_t clock = 1000000;
  const uint64_t hourReports = uint64_t(3600.0 * rate / kFramesPerReport);
  for (uint64_t r = 0; r < reports; ++r) {
    std::vector<uint8_t>& p = pool[r % kReportPool];
    jyx::encodeFixed64(p.data(), clock);
    monitor.onPowerData(p.data(), p.size(), 1.0, 1700000000000000ull);
    clock += reportMicros;
    if ((r + 1) % hourReports == 0) {
      printf("  %5.2f h fed: %.1f s, VmRSS %ld KiB, spill %.2f GiB, in memory %.1f MiB\n",
             double(r + 1) / hourReports, secondsSince(start), statusKiB("VmRSS"),
             double(monitor.spill().size()) / (1u << 30),
             double(monitor.memoryBytes()) / (1u << 20));
      fflush(stdout);
    }
  }
  double ingest = secondsSince(start);
  double ingestCpu = cpuSeconds() - cpu;
  monitor.setRunning(false);
  printf("ingest: %" PRIu64
         " frames in %.2f s = %.0f frames/s (cpu %.2f s = %.0f frames/s); "
         "spill %.2f GiB (%.2f bytes a sample); VmHWM %ld KiB\n",
         uint64_t(monitor.frameCount()), ingest, double(monitor.frameCount()) / ingest, ingestCpu,
         double(monitor.frameCount()) / ingestCpu, double(monitor.spill().size()) / (1u << 30),
         double(monitor.spill().size()) / (double(monitor.frameCount()) * (kRails + 1)),
         statusKiB("VmHWM"));
  fflush(stdout);

  std::string path = dir + "/power_soak_run";
  const char* suffixes[7] = {"",
                             ".raw_voltage.csv",
                             ".raw_current.csv",
                             ".raw_power.csv",
                             ".voltage.csv",
                             ".current.csv",
                             ".power.csv"};
  start = Clock::now();
  cpu = cpuSeconds();
  bool saved = monitor.saveData(path);
  double save = secondsSince(start);
  double saveCpu = cpuSeconds() - cpu;
  uint64_t total = 0;
  for (const char* s : suffixes) {
    uint64_t size = fileSize(path + s);
    total += size;
    printf("  %-32s %15" PRIu64 " bytes\n", (path + s).c_str(), size);
  }
  uint64_t perRail = 0;
  bool consistent = checkDataFile(path, &perRail);
  printf("save: %s in %.2f s (cpu %.2f s), %.2f GiB written (%.0f MiB/s); data file %s, %" PRIu64
         " records a rail; VmHWM %ld KiB\n",
         saved ? "ok" : "FAILED", save, saveCpu, double(total) / (1u << 30),
         double(total) / (1u << 20) / save, consistent ? "consistent" : "INCONSISTENT", perRail,
         statusKiB("VmHWM"));
  fflush(stdout);
  if (!keep) {
    for (const char* s : suffixes) unlink((path + s).c_str());
  }

  cpu = cpuSeconds();
  double floor = writeFloor(dir, total);
  printf("floor save (write + fsync of the same %.2f GiB): %.2f s (cpu %.2f s, %.0f MiB/s)\n",
         double(total) / (1u << 30), floor, cpuSeconds() - cpu, double(total) / (1u << 20) / floor);
  printf("peak resident: ru_maxrss %ld KiB, VmHWM %ld KiB\n", maxRssKiB(), statusKiB("VmHWM"));
  return saved && consistent ? 0 : 1;
}
