// SPI flash throughput: flashes and then checks a 16 MiB image with the real
// jyx against jyx-sim (no simulated chip delay) and prints the wall time of
// each run, the microseconds per 4 KiB sector of each direction (from the
// simulator's ops log: first to last sector request) and the CPU time jyx
// used (getrusage of the child). A second, in-process pass drives the data
// manager directly and counts operator new calls while the sector loop is
// warm (between 10 % and 90 % of a flash). The 16 MiB are read back too
// (-r ... -o). Each per-sector figure is printed beside the loopback round
// trip of the same sizes measured in the same run (bench/loopback_floor.h).
//
//   spi_flash_bench [--mib N] [--address 127.0.4.N] [--bin DIR]
//
// --bin runs the jyx and jyx-sim of another build (say, the one before a
// change) under the same benchmark.
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "bench/loopback_floor.h"
#include "common/api_manager.h"
#include "common/loop_wake.h"
#include "common/thread_pool.h"
#include "jyx/device/data_manager.h"
#include "jyx/jyx.h"

namespace {

std::atomic<bool> g_countNew{false};
std::atomic<long> g_newCalls{0};

}  // namespace

// Counting allocator for the in-process pass; every thread is counted.
void* operator new(size_t n) {
  if (g_countNew.load(std::memory_order_relaxed)) g_newCalls.fetch_add(1);
  void* p = malloc(n == 0 ? 1 : n);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
void* operator new[](size_t n) { return operator new(n); }
void operator delete(void* p) noexcept { free(p); }
void operator delete[](void* p) noexcept { free(p); }
void operator delete(void* p, size_t) noexcept { free(p); }
void operator delete[](void* p, size_t) noexcept { free(p); }

namespace {

double now() {
  timeval tv;
  gettimeofday(&tv, nullptr);
  return tv.tv_sec + tv.tv_usec / 1e6;
}

struct ChildRun {
  int status = -1;
  double wall = 0;
  double cpu = 0;  // user + system seconds of the child
  std::string output;
};

// Runs argv to completion with stdout and stderr in `outPath`.
ChildRun runChild(const std::vector<std::string>& argv, const std::string& outPath) {
  ChildRun r;
  double start = now();
  pid_t pid = fork();
  if (pid == 0) {
    FILE* out = freopen(outPath.c_str(), "w", stdout);
    if (out == nullptr) _exit(126);
    dup2(fileno(stdout), 2);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  rusage usage{};
  int status = 0;
  wait4(pid, &status, 0, &usage);
  r.wall = now() - start;
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  r.cpu = usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec +
          usage.ru_stime.tv_usec / 1e6;
  FILE* f = fopen(outPath.c_str(), "rb");
  if (f) {
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), f)) > 0) r.output.append(buf, n);
    fclose(f);
  }
  return r;
}

std::string readAll(const std::string& path) {
  std::string text;
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) return text;
  char buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof(buf), f)) > 0) text.append(buf, n);
  fclose(f);
  return text;
}

// First and last time (µs) of received requests whose line holds `key`, and
// their number; the ops log has one JSON object per line.
struct Span {
  long count = 0;
  long long first = 0, last = 0;
  double usPerRequest() const { return count > 1 ? double(last - first) / (count - 1) : 0; }
};
Span requestSpan(const std::string& log, const char* key, long skip) {
  Span s;
  size_t at = 0;
  while (at < log.size()) {
    size_t end = log.find('\n', at);
    if (end == std::string::npos) end = log.size();
    std::string line = log.substr(at, end - at);
    at = end + 1;
    if (line.find("\"dir\":\"rx\"") == std::string::npos || line.find(key) == std::string::npos) {
      continue;
    }
    if (skip > 0) {
      --skip;
      continue;
    }
    size_t t = line.find("\"time_us\":");
    if (t == std::string::npos) continue;
    long long us = atoll(line.c_str() + t + 10);
    if (s.count == 0) s.first = us;
    s.last = us;
    ++s.count;
  }
  return s;
}

struct Sim {
  pid_t pid = -1;
  bool start(const std::string& bin, const std::string& address, const std::string& opsLog,
             const std::string& outPath) {
    pid = fork();
    if (pid == 0) {
      if (!freopen(outPath.c_str(), "w", stdout)) _exit(126);
      setvbuf(stdout, nullptr, _IONBF, 0);
      execl(bin.c_str(), bin.c_str(), "--bind", address.c_str(), "--ops-log", opsLog.c_str(),
            static_cast<char*>(nullptr));
      _exit(127);
    }
    for (int i = 0; i < 1000; ++i) {
      if (readAll(outPath).find("jyx-sim ready") != std::string::npos) return true;
      usleep(10000);
    }
    return false;
  }
  ~Sim() {
    if (pid > 0) {
      kill(pid, SIGTERM);
      waitpid(pid, nullptr, 0);
    }
  }
};

}  // namespace

int main(int argc, char** argv) {
  int mib = 16;
  std::string address = "127.0.4.100";
  for (int i = 1; i + 1 < argc; i += 2) {
    if (strcmp(argv[i], "--mib") == 0) mib = atoi(argv[i + 1]);
    if (strcmp(argv[i], "--address") == 0) address = argv[i + 1];
  }
  if (mib < 1 || mib > 16) mib = 16;
  std::string bin = JYX_BIN_DIR;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (strcmp(argv[i], "--bin") == 0) bin = argv[i + 1];
  }
  char dirTemplate[] = "/tmp/spi_bench.XXXXXX";
  if (!mkdtemp(dirTemplate)) return 1;
  std::string dir = dirTemplate;

  size_t size = size_t(mib) << 20;
  std::string image(size, '\0');
  std::mt19937 rng(7);
  for (size_t i = 0; i < size; ++i) image[i] = static_cast<char>(rng() >> 24);
  std::string imagePath = dir + "/image.bin";
  FILE* f = fopen(imagePath.c_str(), "wb");
  if (!f || fwrite(image.data(), 1, size, f) != size) return 1;
  fclose(f);

  Sim sim;
  std::string ops = dir + "/ops.jsonl";
  if (!sim.start(bin + "/jyx-sim", address, ops, dir + "/sim.out")) {
    fprintf(stderr, "jyx-sim did not start\n");
    return 1;
  }

  ChildRun flash = runChild({bin + "/jyx", "-a", address, "-i", imagePath}, dir + "/flash.out");
  bool flashOk = flash.output.find("flashing image(" + imagePath + ") OK") != std::string::npos;

  ChildRun check =
      runChild({bin + "/jyx", "-a", address, "-i", imagePath, "-Y"}, dir + "/check.out");
  bool checkOk = check.output.find("checking image(" + imagePath + ") OK") != std::string::npos;
  std::string log = readAll(ops);
  Span read = requestSpan(log, "\"cmd\":\"SPI_READ\"", 0);
  Span write = requestSpan(log, "\"cmd\":\"SPI_CTRL\",\"cmd_type\":4,\"data\":\"SPI_DATA\"", 0);

  std::string backPath = dir + "/back.bin";
  ChildRun back =
      runChild({bin + "/jyx", "-a", address, "-r", "0", "-0", std::to_string(size), "-o", backPath},
               dir + "/back.out");
  bool backOk = readAll(backPath) == image;
  log = readAll(ops);
  Span readBack = requestSpan(log, "\"cmd\":\"SPI_READ\"", read.count);
  jyxbench::Floors floors = jyxbench::sectorFloors(address, 3400);

  printf("image                 %d MiB (%zu sectors of 4 KiB)\n", mib, size / 4096);
  printf("flash                 %s, wall %.2f s, jyx CPU %.2f s\n", flashOk ? "OK" : "FAILED",
         flash.wall, flash.cpu);
  printf("check                 %s, wall %.2f s, jyx CPU %.2f s\n", checkOk ? "OK" : "FAILED",
         check.wall, check.cpu);
  printf("flash + check         wall %.2f s\n", flash.wall + check.wall);
  printf("read-back             %s, wall %.2f s, jyx CPU %.2f s\n", backOk ? "OK" : "FAILED",
         back.wall, back.cpu);
  printf("loopback floor        %.0f us per 4 KiB write + ack, %.0f us per 4 KiB read\n",
         floors.writeUs, floors.readUs);
  printf("write, per sector     %.0f us (%ld requests in %.2f s), %.0f us above the floor\n",
         write.usPerRequest(), write.count, (write.last - write.first) / 1e6,
         write.usPerRequest() - floors.writeUs);
  printf("check, per sector     %.0f us (%ld requests in %.2f s), %.0f us above the floor\n",
         read.usPerRequest(), read.count, (read.last - read.first) / 1e6,
         read.usPerRequest() - floors.readUs);
  printf("read-back, per sector %.0f us (%ld requests in %.2f s), %.0f us above the floor\n",
         readBack.usPerRequest(), readBack.count, (readBack.last - readBack.first) / 1e6,
         readBack.usPerRequest() - floors.readUs);
  printf("fixed cost per run    %.2f s flash, %.2f s check (start-up, delays, hand-over)\n",
         flash.wall - (write.last - write.first) / 1e6,
         check.wall - (read.last - read.first) / 1e6);

  // In-process pass: the data manager against the same simulator, counting
  // allocations while the sector loop is warm.
  CJYXDataManager* dm = CJYXDataManager::instance();
  dm->setAddress(address.c_str(), 0);
  dm->connect();
  CJYX::instance()->setWantConnected(true);
  if (!dm->isConnected()) {
    fprintf(stderr, "in-process connect failed\n");
    return 1;
  }
  std::string smallPath = dir + "/small.bin";
  f = fopen(smallPath.c_str(), "wb");
  size_t smallSize = 4u << 20;
  if (!f || fwrite(image.data(), 1, smallSize, f) != smallSize) return 1;
  fclose(f);
  // Output of the manager is not part of the figures.
  fflush(stdout);
  int savedStdout = dup(1);
  int devNull = open("/dev/null", O_WRONLY);
  dup2(devNull, 1);
  bool done = false;
  long warmSectors = 0;
  uint32_t warmStart = 0;
  dm->setImagePath(smallPath);
  dm->startFlashSPI([&](int p) {
    if (p == 10) {
      warmStart = dm->sectorCount() * 10 / 100;
      g_newCalls = 0;
      g_countNew = true;
    } else if (p == 90 && g_countNew) {
      g_countNew = false;
      warmSectors = long(dm->sectorCount() * 90 / 100) - long(warmStart);
    } else if (p < 0 || p > 100) {
      done = true;
    }
  });
  // The program's own main loop: pump, then block until woken or due.
  while (!done) {
    jyx::clearMainLoopWake();
    CAPIManager::instance()->update();
    pollfd wake{jyx::mainLoopWakeFd(), POLLIN, 0};
    poll(&wake, 1, CAPIManager::instance()->idleWaitMs());
  }
  fflush(stdout);
  dup2(savedStdout, 1);
  close(savedStdout);
  close(devNull);
  printf("warm sector loop      %ld operator new calls over %ld sectors (in-process, 4 MiB)\n",
         g_newCalls.load(), warmSectors);
  dm->disconnect();
  std::string cleanup = "rm -rf " + dir;
  if (system(cleanup.c_str()) != 0) return 1;
  return flashOk && checkOk && backOk ? 0 : 1;
}
