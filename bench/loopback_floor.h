// The loopback round-trip floor: what one request and its reply cost on
// this machine right now, with no tool and no simulator in the way. Each
// benchmark measures it in the same run and prints its figures beside it,
// so that a ratio still holds on a busy machine.
#ifndef JYX_BENCH_LOOPBACK_FLOOR_H_
#define JYX_BENCH_LOOPBACK_FLOOR_H_

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace jyxbench {

inline bool sendAll(int fd, const uint8_t* p, size_t n) {
  while (n > 0) {
    ssize_t w = send(fd, p, n, MSG_NOSIGNAL);
    if (w <= 0) return false;
    p += w;
    n -= size_t(w);
  }
  return true;
}

inline bool recvAll(int fd, uint8_t* p, size_t n) {
  while (n > 0) {
    ssize_t r = recv(fd, p, n, 0);
    if (r <= 0) return false;
    p += r;
    n -= size_t(r);
  }
  return true;
}

// Median microseconds of `rounds` exchanges over TCP on `address`: the
// client sends `request` bytes, an echo thread answers with `reply` bytes.
// -1 when the sockets could not be set up.
inline double loopbackRoundTripUs(const std::string& address, int port, size_t request,
                                  size_t reply, int rounds) {
  int lfd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (lfd < 0) return -1;
  int one = 1;
  setsockopt(lfd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(uint16_t(port));
  inet_pton(AF_INET, address.c_str(), &a.sin_addr);
  if (bind(lfd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 || listen(lfd, 1) != 0) {
    close(lfd);
    return -1;
  }
  std::thread echo([&] {
    int s = accept(lfd, nullptr, nullptr);
    if (s < 0) return;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    std::vector<uint8_t> in(request), out(reply, 0x5a);
    for (int i = 0; i < rounds; ++i) {
      if (!recvAll(s, in.data(), in.size()) || !sendAll(s, out.data(), out.size())) break;
    }
    close(s);
  });
  int c = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  std::vector<double> us;
  if (c >= 0 && connect(c, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0) {
    setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    std::vector<uint8_t> out(request, 0xa5), in(reply);
    for (int i = 0; i < rounds; ++i) {
      auto t0 = std::chrono::steady_clock::now();
      if (!sendAll(c, out.data(), out.size()) || !recvAll(c, in.data(), in.size())) break;
      us.push_back(
          std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count());
    }
  }
  if (c >= 0) close(c);
  echo.join();
  close(lfd);
  if (us.empty()) return -1;
  std::sort(us.begin(), us.end());
  return us[us.size() / 2];
}

// The two floors a SPI sector costs at least: a 4 KiB write acknowledged by
// a short reply, and a short read request answered with 4 KiB.
struct Floors {
  double writeUs = -1;
  double readUs = -1;
};

inline Floors sectorFloors(const std::string& address, int port) {
  Floors f;
  f.writeUs = loopbackRoundTripUs(address, port, 4096 + 64, 48, 2000);
  f.readUs = loopbackRoundTripUs(address, port + 1, 64, 4096 + 48, 2000);
  return f;
}

}  // namespace jyxbench

#endif  // JYX_BENCH_LOOPBACK_FLOOR_H_
