// Costs of the runtime itself, with the real jyx against jyx-sim:
// - the whole run of `jyx -a A --power-on` (its GPIO sequence holds 1.5 s of
//   mandated waits), median of several runs;
// - an idle `--switch-uart 0` stream (the target is off, so no UART text
//   comes): CPU share of one core and voluntary context switches a second,
//   summed over all threads of jyx from /proc after start-up;
// - the loopback round trip of one small request, measured in the same run,
//   printed beside them.
//
//   runtime_bench [--runs N] [--idle-seconds S] [--address 127.0.4.N] [--bin DIR]
#include <dirent.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/loopback_floor.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

std::string readAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

pid_t spawn(const std::vector<std::string>& argv, const std::string& outPath) {
  pid_t pid = fork();
  if (pid == 0) {
    if (!freopen(outPath.c_str(), "w", stdout)) _exit(126);
    dup2(fileno(stdout), 2);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  return pid;
}

// Voluntary context switches of every thread of pid, and its CPU ticks.
struct Sample {
  long switches = 0;
  long ticks = 0;
};

Sample sample(pid_t pid) {
  Sample s;
  std::string base = "/proc/" + std::to_string(pid);
  if (DIR* d = opendir((base + "/task").c_str())) {
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] == '.') continue;
      std::string status = readAll(base + "/task/" + e->d_name + "/status");
      size_t at = status.find("\nvoluntary_ctxt_switches:");
      if (at != std::string::npos) s.switches += atol(status.c_str() + at + 25);
    }
    closedir(d);
  }
  std::string stat = readAll(base + "/stat");
  size_t paren = stat.rfind(')');
  if (paren != std::string::npos) {
    // Fields after the command: state is field 3; utime and stime are 14, 15.
    const char* p = stat.c_str() + paren + 2;
    long utime = 0, stime = 0;
    int field = 3;
    while (*p && field < 14) {
      if (*p++ == ' ') ++field;
    }
    if (sscanf(p, "%ld %ld", &utime, &stime) == 2) s.ticks = utime + stime;
  }
  return s;
}

double median(std::vector<double> v) {
  if (v.empty()) return -1;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 5;
  double idleSeconds = 5;
  std::string address = "127.0.4.110";
  std::string bin = JYX_BIN_DIR;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (strcmp(argv[i], "--runs") == 0) runs = std::max(1, atoi(argv[i + 1]));
    if (strcmp(argv[i], "--idle-seconds") == 0) idleSeconds = std::max(1.0, atof(argv[i + 1]));
    if (strcmp(argv[i], "--address") == 0) address = argv[i + 1];
    if (strcmp(argv[i], "--bin") == 0) bin = argv[i + 1];
  }
  char dirTemplate[] = "/tmp/runtime_bench.XXXXXX";
  if (!mkdtemp(dirTemplate)) return 1;
  std::string dir = dirTemplate;

  pid_t sim = spawn({bin + "/jyx-sim", "--bind", address}, dir + "/sim.out");
  auto waited = Clock::now();
  while (readAll(dir + "/sim.out").find("jyx-sim ready") == std::string::npos) {
    if (seconds(waited) > 10) {
      fprintf(stderr, "jyx-sim did not start\n");
      kill(sim, SIGTERM);
      return 1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }

  double floorUs = jyxbench::loopbackRoundTripUs(address, 3500, 64, 48, 2000);

  std::vector<double> powerOn;
  bool powerOk = true;
  for (int i = 0; i < runs; ++i) {
    auto start = Clock::now();
    pid_t pid = spawn({bin + "/jyx", "-a", address, "--power-on"}, dir + "/power.out");
    int status = 0;
    waitpid(pid, &status, 0);
    powerOn.push_back(seconds(start));
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) powerOk = false;
  }

  // The stream: measured after two seconds of start-up, for idleSeconds.
  pid_t stream = spawn({bin + "/jyx", "-a", address, "--switch-uart", "0"}, dir + "/stream.out");
  std::this_thread::sleep_for(std::chrono::seconds(2));
  Sample a = sample(stream);
  auto t0 = Clock::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(idleSeconds));
  Sample b = sample(stream);
  double span = seconds(t0);
  kill(stream, SIGINT);
  waitpid(stream, nullptr, 0);
  kill(sim, SIGTERM);
  waitpid(sim, nullptr, 0);
  long hz = sysconf(_SC_CLK_TCK);

  printf("loopback floor           %.0f us per small request and reply\n", floorUs);
  printf("--power-on whole run     median %.3f s of %d runs (min %.3f, max %.3f)%s\n",
         median(powerOn), runs, *std::min_element(powerOn.begin(), powerOn.end()),
         *std::max_element(powerOn.begin(), powerOn.end()), powerOk ? "" : ", a run FAILED");
  printf("idle stream CPU          %.2f %% of one core over %.1f s\n",
         100.0 * double(b.ticks - a.ticks) / double(hz) / span, span);
  printf("idle stream wake-ups     %.1f voluntary context switches a second (all threads)\n",
         double(b.switches - a.switches) / span);
  std::string cleanup = "rm -rf " + dir;
  if (system(cleanup.c_str()) != 0) return 1;
  return powerOk ? 0 : 1;
}
