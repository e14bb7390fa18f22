// MCU firmware download throughput: downloads a 1 MiB image through the
// real download tool (in this process) to jyx-sim's simulated ESP32 ROM
// loader, whose line is paced at 115200 and at 1500000 baud, and prints the
// time of the block phase (first FLASH_BEGIN to the end) beside the time the
// line itself needs for the same request bytes, SLIP framing included
// (10 bits a byte).
//
//   esp_download_bench [--kib N] [--address 127.0.14.N] [--baud 115200|1500000]
//                      [--ops-log FILE]
#include <fcntl.h>
#include <signal.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "common/api_manager.h"
#include "common/thread_pool.h"
#include "ftd2xx/bridge_protocol.h"
#include "jyx/maintenance/esp_format.h"
#include "jyx/maintenance/firmware_download_tool.h"
#include "jyx/maintenance/ftdi_serial_port.h"

namespace {

double now() {
  timeval tv;
  gettimeofday(&tv, nullptr);
  return tv.tv_sec + tv.tv_usec / 1e6;
}

// jyx-sim with its bridge socket; stopped by the destructor.
class Sim {
 public:
  bool start(const std::string& address, const std::string& socket, const std::string& opsLog) {
    int fds[2];
    if (pipe(fds) != 0) return false;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(fds[1], 1);
      close(fds[0]);
      std::string bin = std::string(JYX_BIN_DIR) + "/jyx-sim";
      if (opsLog.empty()) {
        execl(bin.c_str(), bin.c_str(), "--bind", address.c_str(), "--ftdi-socket", socket.c_str(),
              static_cast<char*>(nullptr));
      } else {
        execl(bin.c_str(), bin.c_str(), "--bind", address.c_str(), "--ftdi-socket", socket.c_str(),
              "--ops-log", opsLog.c_str(), static_cast<char*>(nullptr));
      }
      _exit(127);
    }
    close(fds[1]);
    std::string text;
    char c;
    while (read(fds[0], &c, 1) == 1 && c != '\n') text += c;
    close(fds[0]);
    return text.find("jyx-sim ready") == 0;
  }
  ~Sim() { stop(); }
  // SIGTERM and wait; the simulator removes its socket file on the way out.
  void stop() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
      pid_ = -1;
    }
  }

 private:
  pid_t pid_ = -1;
};

struct Result {
  bool ok = false;
  double blockPhase = 0;  // s, progress 0 to the end
  double total = 0;       // s, including connect and identification
};

Result download(const std::string& image, int port, int baud, const std::string& logPath) {
  CJYXFirmwareDownloadTool* tool = CJYXFirmwareDownloadTool::instance();
  tool->setPortName(std::to_string(port));
  tool->setBaud(baud);
  Result r;
  bool done = false;
  double start = now(), firstBlock = 0;
  // The tool's traffic dumps would swamp the figures; they go to a file
  // that is shown only when the download fails.
  fflush(stdout);
  int saved = dup(1);
  int devnull = open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  dup2(devnull, 1);
  tool->flashFirmwareFile(image, 0x10000, [&](int p) {
    if (p == 0 && firstBlock == 0) firstBlock = now();
    if (p > 100 || p < 0) {
      done = true;
      r.ok = p > 100;
    }
  });
  CAPIManager* api = CAPIManager::instance();
  while (!done) {
    api->update();
    sleepMs(1);
  }
  fflush(stdout);
  dup2(saved, 1);
  close(saved);
  close(devnull);
  r.total = now() - start;
  r.blockPhase = now() - firstBlock;
  return r;
}

// Request bytes on the line for the block phase: FLASH_BEGIN and FLASH_DATA
// of every block and FLASH_END, framed.
size_t lineBytes(const std::vector<uint8_t>& image) {
  size_t total = 0;
  uint8_t begin[16] = {};
  std::vector<uint8_t> data(esp::kFlashDataHeaderSize + esp::kFlashBlockSize);
  for (size_t off = 0; off < image.size(); off += esp::kFlashBlockSize) {
    total += CJYXFirmwareDownloadTool::framePackage(esp::kFlashBegin, begin, 16, 0).size();
    memcpy(&data[esp::kFlashDataHeaderSize], &image[off], esp::kFlashBlockSize);
    total += CJYXFirmwareDownloadTool::framePackage(esp::kFlashData, data.data(),
                                                    static_cast<uint16_t>(data.size()), 0)
                 .size();
  }
  uint8_t end[4] = {};
  total += CJYXFirmwareDownloadTool::framePackage(esp::kFlashEnd, end, 4, 0).size();
  return total;
}

}  // namespace

int main(int argc, char** argv) {
  size_t kib = 1024;
  int only = 0;        // --baud: run only this rate
  std::string opsLog;  // --ops-log: the simulator's operations log
  std::string address = "127.0.14.100";
  for (int i = 1; i + 1 < argc; i += 2) {
    if (strcmp(argv[i], "--kib") == 0) kib = strtoul(argv[i + 1], nullptr, 10);
    if (strcmp(argv[i], "--address") == 0) address = argv[i + 1];
    if (strcmp(argv[i], "--baud") == 0) only = atoi(argv[i + 1]);
    if (strcmp(argv[i], "--ops-log") == 0) opsLog = argv[i + 1];
  }
  char dir[] = "/tmp/esp_bench.XXXXXX";
  if (mkdtemp(dir) == nullptr) return 1;
  std::string socket = std::string(dir) + "/ftdi.sock";
  std::string imagePath = std::string(dir) + "/image.bin";
  std::vector<uint8_t> image(kib * 1024);
  std::mt19937 rng(7);
  for (auto& b : image) b = static_cast<uint8_t>(rng());
  FILE* f = fopen(imagePath.c_str(), "wb");
  if (f == nullptr || fwrite(image.data(), 1, image.size(), f) != image.size() || fclose(f) != 0) {
    fprintf(stderr, "cannot write %s\n", imagePath.c_str());
    return 1;
  }
  Sim sim;
  if (!sim.start(address, socket, opsLog)) {
    fprintf(stderr, "jyx-sim did not start\n");
    return 1;
  }
  setenv(ftbridge::kSocketEnv, socket.c_str(), 1);
  CFTDISerialPort::listDevices(false);
  int port = CFTDISerialPort::interfaceIndex(0, CFTDISerialPort::kInterfaceC);
  size_t bytes = lineBytes(image);
  printf("image %zu KiB, %zu request bytes on the line (SLIP framed, %.2f%% overhead)\n", kib,
         bytes, 100.0 * (double(bytes) / double(image.size()) - 1.0));
  std::string logPath = std::string(dir) + "/tool.log";
  int bauds[] = {115200, 1500000};
  for (int baud : bauds) {
    if (only != 0 && baud != only) continue;
    Result r = download(imagePath, port, baud, logPath);
    double lineTime = double(bytes) * 10.0 / baud;
    printf(
        "%7d baud: %s, blocks %.2f s (total %.2f s), line needs %.2f s -> %.1f%% of the "
        "line rate, %.1f KiB/s\n",
        baud, r.ok ? "ok" : "FAILED", r.blockPhase, r.total, lineTime,
        100.0 * lineTime / r.blockPhase, double(image.size()) / 1024.0 / r.blockPhase);
    fflush(stdout);
    if (!r.ok) {
      std::string tail = "tail -n 30 '" + logPath + "'";
      if (system(tail.c_str()) != 0) fprintf(stderr, "cannot show %s\n", logPath.c_str());
    }
  }
  sim.stop();
  unlink(logPath.c_str());
  unlink(imagePath.c_str());
  unlink(socket.c_str());
  rmdir(dir);
  return 0;
}
