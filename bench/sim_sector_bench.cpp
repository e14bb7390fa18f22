// Turnaround of jyx-sim per 4 KiB sector write on loopback: starts the
// simulator (no erase/program delay), hands the flash lines over, enters
// programming mode and writes N sectors one at a time, each waiting for its
// acknowledge. Prints the mean and 99th percentile in microseconds.
//
//   sim_sector_bench [sectors (default 2000)] [address (default 127.0.2.200)] [bin dir]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "jyx/protocol/package.h"

namespace {

using Clock = std::chrono::steady_clock;

bool readExact(int fd, uint8_t* buf, size_t n) {
  size_t got = 0;
  while (got < n) {
    ssize_t r = recv(fd, buf + got, n - got, 0);
    if (r <= 0) return false;
    got += size_t(r);
  }
  return true;
}

// Sends the package and reads one reply packet; returns its data type or -1.
int exchange(int fd, CPackage* pkg) {
  if (send(fd, pkg->data(), pkg->size(), MSG_NOSIGNAL) != ssize_t(pkg->size())) return -1;
  uint8_t header[20];
  if (!readExact(fd, header, sizeof(header))) return -1;
  uint32_t length =
      header[12] | (header[13] << 8) | (header[14] << 16) | (uint32_t(header[15]) << 24);
  if (length < 20 || length > 70000) return -1;
  std::vector<uint8_t> rest(length - 20);
  if (!rest.empty() && !readExact(fd, rest.data(), rest.size())) return -1;
  return header[10] | (header[11] << 8);
}

// The loopback floor: the same exchange against a forked process that only
// reads each request and answers 20 bytes, so the simulator's own share of
// the turnaround can be told apart from the kernel's wake-up and copy cost.
double floorMicros(int sectors, const std::string& address) {
  int lfd = socket(AF_INET, SOCK_STREAM, 0);
  int one = 1;
  setsockopt(lfd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(3399);
  inet_pton(AF_INET, address.c_str(), &sa.sin_addr);
  if (bind(lfd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0 || listen(lfd, 1) != 0) {
    close(lfd);
    return -1;
  }
  pid_t pid = fork();
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    int c = accept(lfd, nullptr, nullptr);
    setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    std::vector<uint8_t> req(4124), ack(20, 0);
    ack[12] = 20;
    while (readExact(c, req.data(), req.size())) {
      if (send(c, ack.data(), ack.size(), MSG_NOSIGNAL) != 20) break;
    }
    _exit(0);
  }
  close(lfd);
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0) return -1;
  CPackage pkg;
  std::vector<uint8_t> data(4096, 0xA5);
  double sum = 0;
  for (int i = 0; i < sectors; ++i) {
    pkg.makeSPIData(uint32_t(i), uint32_t(i), data.data(), 4096);
    auto t0 = Clock::now();
    if (exchange(fd, &pkg) < 0) break;
    sum += std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
  }
  close(fd);
  waitpid(pid, nullptr, 0);
  return sum / sectors;
}

}  // namespace

int main(int argc, char** argv) {
  int sectors = argc > 1 ? atoi(argv[1]) : 2000;
  std::string address = argc > 2 ? argv[2] : "127.0.2.200";
  if (sectors <= 0 || sectors > 4096) {
    fprintf(stderr, "sectors must be 1..4096\n");
    return 2;
  }
  std::string sim = std::string(argc > 3 ? argv[3] : JYX_BIN_DIR) + "/jyx-sim";
  int ready[2];
  if (pipe(ready) != 0) return 1;
  pid_t pid = fork();
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    dup2(ready[1], 1);
    close(ready[0]);
    execl(sim.c_str(), sim.c_str(), "--bind", address.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(ready[1]);
  char line[256] = {};
  ssize_t n = read(ready[0], line, sizeof(line) - 1);
  if (n <= 0 || std::string(line).find("ready") == std::string::npos) {
    fprintf(stderr, "jyx-sim did not start: %s\n", line);
    kill(pid, SIGKILL);
    return 1;
  }

  int fd = socket(AF_INET, SOCK_STREAM, 0);
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(3334);
  inet_pton(AF_INET, address.c_str(), &sa.sin_addr);
  if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0) {
    perror("connect");
    kill(pid, SIGKILL);
    return 1;
  }

  CPackage pkg;
  uint32_t frame = 1;
  bool ok = true;
  pkg.makeGpioCtrl(frame++, 1, 0, 67);  // SPI_PRG_SEL
  ok &= exchange(fd, &pkg) == GPIO_DATA;
  pkg.makeGpioCtrl(frame++, 1, 0, 66);  // SPI_PRG_EN
  ok &= exchange(fd, &pkg) == GPIO_DATA;
  pkg.make(frame++, SPI_CTRL, SPI_CTRL_INFO_DATA, "\x01\0\0\0\0\0\0\0", 8);
  ok &= exchange(fd, &pkg) == SPI_CTRL_INFO_DATA;
  std::vector<uint8_t> data(4096);
  std::vector<double> us;
  us.reserve(size_t(sectors));
  for (int i = 0; i < sectors && ok; ++i) {
    for (size_t k = 0; k < data.size(); ++k) data[k] = uint8_t(k + i);
    pkg.makeSPIData(frame++, uint32_t(i), data.data(), 4096);
    auto t0 = Clock::now();
    ok &= exchange(fd, &pkg) == SPI_DATA;
    us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
  }
  close(fd);
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
  if (!ok) {
    fprintf(stderr, "a request was refused or the link failed\n");
    return 1;
  }
  double sum = 0;
  for (double v : us) sum += v;
  std::vector<double> sorted = us;
  std::sort(sorted.begin(), sorted.end());
  double p99 = sorted[std::min(sorted.size() - 1, size_t(sorted.size() * 0.99))];
  printf(
      "jyx-sim sector write turnaround over %d sectors: mean %.1f us, p50 %.1f us, p99 %.1f us\n",
      sectors, sum / us.size(), sorted[sorted.size() / 2], p99);
  printf("loopback floor (a process that only reads and answers): mean %.1f us\n",
         floorMicros(sectors, address));
  return 0;
}
