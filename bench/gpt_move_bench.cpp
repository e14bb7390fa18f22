// Bulk move throughput of the GPT disk tool: moves 1 GiB of partition data
// inside one image file with the tool's move (1 MiB chunks) and with
// `dd bs=1M` on the same file and ranges, alternating five rounds in each direction so
// that neither profits alone from a warm page cache, and prints MiB/s of the
// best round of each and the ratio tool/dd.
//
//   gpt_move_bench [--mib N] [--dir DIR]
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tools/block_mover.h"

namespace {

double now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

bool fillFile(int fd, uint64_t offset, uint64_t mib) {
  std::vector<uint8_t> buf(1 << 20);
  for (uint64_t m = 0; m < mib; ++m) {
    for (size_t i = 0; i < buf.size(); i += 8) memcpy(&buf[i], &m, sizeof(m));
    if (pwrite(fd, buf.data(), buf.size(), off_t(offset + (m << 20))) != ssize_t(buf.size()))
      return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  uint64_t mib = 1024;
  std::string dir = getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp";
  for (int i = 1; i + 1 < argc; i += 2) {
    if (strcmp(argv[i], "--mib") == 0) mib = strtoull(argv[i + 1], nullptr, 10);
    if (strcmp(argv[i], "--dir") == 0) dir = argv[i + 1];
  }
  std::string path = dir + "/gpt_move_bench." + std::to_string(getpid()) + ".img";
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
  // The partition's data at 1 MiB; moves go to just past its end and back.
  const uint64_t from = 2048, to = 2048 + mib * 2048 + 2048;  // 512-byte blocks
  if (fd < 0 || !fillFile(fd, 1 << 20, mib)) {
    fprintf(stderr, "cannot write %s\n", path.c_str());
    return 1;
  }
  // One untimed dd pass allocates the destination range, so that no timed
  // run pays for growing the file.
  auto ddMove = [&](uint64_t a, uint64_t b) {
    std::string cmd = "dd if='" + path + "' of='" + path +
                      "' bs=1M skip=" + std::to_string(a * 512 >> 20) +
                      " seek=" + std::to_string(b * 512 >> 20) + " count=" + std::to_string(mib) +
                      " conv=notrunc status=none";
    return system(cmd.c_str()) == 0;
  };
  if (!ddMove(from, to)) return 1;
  double bestTool = 1e9, bestDd = 1e9;
  double bestDir[2][2] = {{1e9, 1e9}, {1e9, 1e9}};  // [direction][tool, dd]
  const int kRounds = 5;
  // Both directions: towards the end (the tool copies backwards) and
  // towards the start (front to back).
  const uint64_t pairs[2][2] = {{from, to}, {to, from}};
  for (int round = 0; round < kRounds; ++round) {
    for (int d = 0; d < 2; ++d) {
      const uint64_t* p = pairs[d];
      std::string err;
      // Each timed run starts with no dirty pages of the one before.
      if (fsync(fd) != 0) return 1;
      double t0 = now();
      if (!gpt::moveBlocks(
              fd, 512, p[0], p[1], mib * 2048, [](const std::string&) {}, &err)) {
        fprintf(stderr, "move failed: %s\n", err.c_str());
        return 1;
      }
      double t1 = now();
      if (fsync(fd) != 0) return 1;
      double t2 = now();
      if (!ddMove(p[0], p[1])) {
        fprintf(stderr, "dd failed\n");
        return 1;
      }
      double t3 = now();
      bestTool = std::min(bestTool, t1 - t0);
      bestDd = std::min(bestDd, t3 - t2);
      bestDir[d][0] = std::min(bestDir[d][0], t1 - t0);
      bestDir[d][1] = std::min(bestDir[d][1], t3 - t2);
      printf("round %d, %s: tool %.3f s, dd %.3f s\n", round + 1,
             p[1] > p[0] ? "towards the end" : "towards the start", t1 - t0, t3 - t2);
    }
  }
  close(fd);
  unlink(path.c_str());
  printf(
      "best towards the end: tool %.3f s, dd %.3f s; towards the start: tool %.3f s, dd %.3f s\n",
      bestDir[0][0], bestDir[0][1], bestDir[1][0], bestDir[1][1]);
  double toolRate = double(mib) / bestTool, ddRate = double(mib) / bestDd;
  printf("moved %llu MiB: tool %.0f MiB/s, dd bs=1M %.0f MiB/s, ratio %.1f %%\n",
         (unsigned long long)mib, toolRate, ddRate, 100.0 * toolRate / ddRate);
  return 0;
}
