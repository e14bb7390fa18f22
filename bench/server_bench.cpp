// Bench server overhead, against jyx-sim on loopback:
// 1. per request: median round trip of a GPIO read sent straight to the
//    simulator's packet port vs. as a "packet" request through jyx --serve;
// 2. a 16 MiB flash (-i) direct (--no-server) vs. through the server;
// 3. 16 clients subscribed to the log while the target streams it: the
//    server's CPU time and wake-ups (context switches of all its threads)
//    per second, beside one direct -X client doing the same alone.
// Each figure is printed beside the loopback TCP round trip measured in the
// same run (bench/loopback_floor.h).
//
// Figures 1 and 2 are taken in pairs (direct, then served), --pairs times.
//
//   server_bench [--mib N] [--pairs N] [--address 127.0.72.N] [--bin DIR]
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/loopback_floor.h"
#include "jyx/protocol/package.h"
#include "jyx/server/server_protocol.h"

namespace {

using Clock = std::chrono::steady_clock;
std::string g_bin = JYX_BIN_DIR;

double secondsSince(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

pid_t spawn(const std::vector<std::string>& argv, const std::string& out) {
  pid_t pid = fork();
  if (pid == 0) {
    FILE* f = freopen(out.c_str(), "w", stdout);
    (void)f;
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  return pid;
}

int waitExit(pid_t pid) {
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void stopProcess(pid_t pid) {
  kill(pid, SIGTERM);
  waitExit(pid);
}

bool waitForFileText(const std::string& path, const std::string& text, double seconds) {
  auto t0 = Clock::now();
  while (secondsSince(t0) < seconds) {
    std::ifstream f(path);
    std::stringstream s;
    s << f.rdbuf();
    if (s.str().find(text) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

// CPU seconds and context switches of every thread of `pid`.
void usage(pid_t pid, double* cpu, long* switches) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  size_t close = text.rfind(')');
  std::istringstream fields(close == std::string::npos ? "" : text.substr(close + 2));
  std::string f;
  unsigned long utime = 0, stime = 0;
  for (int i = 3; fields >> f; ++i) {
    if (i == 14) utime = std::stoul(f);
    if (i == 15) {
      stime = std::stoul(f);
      break;
    }
  }
  *cpu = double(utime + stime) / double(sysconf(_SC_CLK_TCK));
  *switches = 0;
  std::string dir = "/proc/" + std::to_string(pid) + "/task";
  DIR* d = opendir(dir.c_str());
  while (dirent* e = d ? readdir(d) : nullptr) {
    if (e->d_name[0] == '.') continue;
    std::ifstream status(dir + "/" + e->d_name + "/status");
    std::string line;
    while (std::getline(status, line)) {
      if (line.find("ctxt_switches:") != std::string::npos) {
        *switches += std::stol(line.substr(line.find(':') + 1));
      }
    }
  }
  if (d) closedir(d);
}

std::vector<uint8_t> gpioRead(uint32_t frame) {
  CPackage p;
  p.makeGpioCtrl(frame, 0, 0, 70);
  return std::vector<uint8_t>(p.data(), p.data() + p.size());
}

double median(std::vector<double> v) {
  if (v.empty()) return -1;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// Direct: the simulator's packet port, one client, no tool.
double directRequestUs(const std::string& address, int rounds) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(3334);
  inet_pton(AF_INET, address.c_str(), &a.sin_addr);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) return -1;
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  std::vector<double> us;
  std::vector<uint8_t> reply(28);
  for (int i = 0; i < rounds; ++i) {
    std::vector<uint8_t> req = gpioRead(uint32_t(i));
    auto t0 = Clock::now();
    if (!jyxbench::sendAll(fd, req.data(), req.size()) ||
        !jyxbench::recvAll(fd, reply.data(), reply.size())) {
      break;
    }
    us.push_back(secondsSince(t0) * 1e6);
  }
  close(fd);
  return median(us);
}

int connectServer(const std::string& path) {
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  strncpy(a.sun_path, path.c_str(), sizeof(a.sun_path) - 1);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool readLine(int fd, std::string* buffer, std::string* line) {
  for (;;) {
    size_t nl = buffer->find('\n');
    if (nl != std::string::npos) {
      *line = buffer->substr(0, nl);
      buffer->erase(0, nl + 1);
      return true;
    }
    char chunk[4096];
    ssize_t n = recv(fd, chunk, sizeof(chunk), 0);
    if (n <= 0) return false;
    buffer->append(chunk, size_t(n));
  }
}

double serverRequestUs(const std::string& path, int rounds) {
  int fd = connectServer(path);
  if (fd < 0) return -1;
  std::vector<double> us;
  std::string buffer, line;
  for (int i = 0; i < rounds; ++i) {
    std::vector<uint8_t> req = gpioRead(uint32_t(i));
    std::string text = jyx::server::packetRequest(i + 1, req.data(), req.size());
    auto t0 = Clock::now();
    if (!jyxbench::sendAll(fd, reinterpret_cast<const uint8_t*>(text.data()), text.size()) ||
        !readLine(fd, &buffer, &line) || line.find("\"packet\"") == std::string::npos) {
      break;
    }
    us.push_back(secondsSince(t0) * 1e6);
  }
  close(fd);
  return median(us);
}

double flashSeconds(const std::string& address, const std::string& image, bool direct,
                    const std::string& out) {
  std::vector<std::string> argv = {g_bin + "/jyx", "-a", address, "-i", image, "--exit-code"};
  if (direct) argv.push_back("--no-server");
  auto t0 = Clock::now();
  int code = waitExit(spawn(argv, out));
  double s = secondsSince(t0);
  return code == 0 ? s : -1;
}

}  // namespace

// "median [lowest, highest]" of a figure taken once per pair.
static std::string spread(std::vector<double> v, const char* format) {
  std::sort(v.begin(), v.end());
  char a[32], b[32], c[32];
  snprintf(a, sizeof(a), format, median(v));
  snprintf(b, sizeof(b), format, v.front());
  snprintf(c, sizeof(c), format, v.back());
  return std::string(a) + " [" + b + ", " + c + "]";
}

int main(int argc, char** argv) {
  int mib = 16;
  int pairs = 5;
  std::string address = "127.0.72.1";
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string opt = argv[i];
    if (opt == "--mib") mib = atoi(argv[i + 1]);
    if (opt == "--pairs") pairs = std::max(1, atoi(argv[i + 1]));
    if (opt == "--address") address = argv[i + 1];
    if (opt == "--bin") g_bin = argv[i + 1];
  }
  char tmpl[] = "/tmp/jyx-server-bench-XXXXXX";
  std::string dir = mkdtemp(tmpl);
  setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
  std::string sock = dir + "/jyx/" + address + ".sock";
  std::string image = dir + "/image.bin";
  {
    std::ofstream f(image, std::ios::binary);
    for (int i = 0; i < mib * 1024 * 1024; ++i) f.put(char((i * 131 + i / 4096) & 0xFF));
  }
  double floorUs = jyxbench::loopbackRoundTripUs("127.0.72.250", 41000, 48, 48, 2000);

  pid_t sim = spawn({g_bin + "/jyx-sim", "--bind", address, "--target-state", "running",
                     "--pm-heartbeat-ms", "2"},
                    dir + "/sim.out");
  if (!waitForFileText(dir + "/sim.out", "ready", 10)) {
    fprintf(stderr, "jyx-sim did not start\n");
    return 1;
  }
  // The log figures first, on a fresh simulator: a machine that has just
  // written 16 MiB images several times over charges more to every process
  // for a while. The floor of the log fan-out: one direct client alone.
  double cpu0, cpu1;
  long sw0, sw1;
  pid_t solo = spawn({g_bin + "/jyx", "-a", address, "--no-server", "-X", "2"}, dir + "/solo.out");
  waitForFileText(dir + "/solo.out", "switchUart OK", 10);
  usage(solo, &cpu0, &sw0);
  std::this_thread::sleep_for(std::chrono::seconds(3));
  usage(solo, &cpu1, &sw1);
  double soloCpu = (cpu1 - cpu0) / 3 * 100, soloWakes = double(sw1 - sw0) / 3;
  stopProcess(solo);

  pid_t server = spawn({g_bin + "/jyx", "--serve", "-a", address}, dir + "/server.out");
  if (!waitForFileText(dir + "/server.out", "jyx server: serving", 10)) {
    fprintf(stderr, "the server did not start\n");
    return 1;
  }

  // 16 subscribers, forwarding switched on by one -X run through the server.
  std::vector<int> subscribers;
  for (int i = 0; i < 16; ++i) {
    int fd = connectServer(sock);
    std::string sub = jyx::server::subscribeRequest(1, jyx::server::kTopicLog);
    if (fd < 0 || !jyxbench::sendAll(fd, reinterpret_cast<const uint8_t*>(sub.data()), sub.size()))
      break;
    subscribers.push_back(fd);
  }
  std::vector<std::thread> readers;
  std::vector<long> received(subscribers.size(), 0);
  for (size_t i = 0; i < subscribers.size(); ++i) {
    readers.emplace_back([&, i] {
      char buf[65536];
      ssize_t n;
      while ((n = recv(subscribers[i], buf, sizeof(buf), 0)) > 0) received[i] += n;
    });
  }
  pid_t streamer = spawn({g_bin + "/jyx", "-a", address, "-X", "2"}, dir + "/stream.out");
  waitForFileText(dir + "/stream.out", "switchUart OK", 10);
  usage(server, &cpu0, &sw0);
  std::this_thread::sleep_for(std::chrono::seconds(3));
  usage(server, &cpu1, &sw1);
  double fanCpu = (cpu1 - cpu0) / 3 * 100, fanWakes = double(sw1 - sw0) / 3;
  stopProcess(streamer);
  for (int fd : subscribers) shutdown(fd, SHUT_RDWR);
  for (auto& t : readers) t.join();
  long bytes = 0;
  for (long n : received) bytes += n;
  for (int fd : subscribers) close(fd);
  stopProcess(server);

  // Direct and served figures alternate, pair by pair, so that a slow
  // stretch of the machine falls on both; the server runs only for its half
  // of a pair, as the controller keeps one client.
  std::vector<double> directUs, serverUs, addedUs, directFlash, serverFlash, flashRatio;
  for (int pair = 0; pair < pairs; ++pair) {
    double requestUs = directRequestUs(address, 2000);
    double flash = flashSeconds(address, image, true, dir + "/flash-direct.out");
    // A file of its own per pair: the wait must not read the last one's.
    std::string serverOut = dir + "/server-" + std::to_string(pair + 1) + ".out";
    pid_t server = spawn({g_bin + "/jyx", "--serve", "-a", address}, serverOut);
    if (!waitForFileText(serverOut, "jyx server: serving", 10)) {
      fprintf(stderr, "the server did not start\n");
      return 1;
    }
    double servedUs = serverRequestUs(sock, 2000);
    double servedFlash = flashSeconds(address, image, false, dir + "/flash-server.out");
    stopProcess(server);
    if (requestUs < 0 || servedUs < 0 || flash < 0 || servedFlash < 0) {
      fprintf(stderr, "pair %d failed (see %s)\n", pair + 1, dir.c_str());
      return 1;
    }
    directUs.push_back(requestUs);
    serverUs.push_back(servedUs);
    addedUs.push_back(servedUs - requestUs);
    directFlash.push_back(flash);
    serverFlash.push_back(servedFlash);
    flashRatio.push_back((servedFlash / flash - 1) * 100);
  }
  stopProcess(sim);

  printf("loopback TCP round trip (48 B each way): %.1f us\n", floorUs);
  printf("%d pairs, direct then served; each figure the median of the pairs [lowest, highest]\n",
         pairs);
  printf("GPIO read, direct to the sim:            %s us (each the median of 2000)\n",
         spread(directUs, "%.1f").c_str());
  printf("GPIO read, through the server:           %s us\n", spread(serverUs, "%.1f").c_str());
  printf("  added by the server:                   %s us\n", spread(addedUs, "%.1f").c_str());
  printf("%d MiB flash, direct:                    %s s\n", mib,
         spread(directFlash, "%.2f").c_str());
  printf("%d MiB flash, through the server:        %s s\n", mib,
         spread(serverFlash, "%.2f").c_str());
  printf("  added by the server:                   %s %%\n", spread(flashRatio, "%+.1f").c_str());
  printf("log stream, one direct client:           %.1f %% CPU, %.0f wake-ups/s\n", soloCpu,
         soloWakes);
  printf("log stream, server with %zu subscribers: %.1f %% CPU, %.0f wake-ups/s (%ld bytes)\n",
         subscribers.size(), fanCpu, fanWakes, bytes);
  return 0;
}
