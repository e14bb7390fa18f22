// End to end: the bench server (jyx --serve) between jyx runs and jyx-sim.
// Output through the server must equal a direct run's; clients share the
// controller, SPI flashing is exclusive, a vanished flasher gets its lines
// handed back, and the server outlives bad clients and controller restarts.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "jyx/protocol/package.h"
#include "jyx/server/server_protocol.h"
#include "sim_util.h"
#include "test_util.h"

namespace jyxtest {
namespace {

class ServerE2E : public ::testing::Test {
 protected:
  // Every run of this test process finds servers under its own directory.
  void SetUp() override { setenv("XDG_RUNTIME_DIR", runtime_.path().c_str(), 1); }
  void TearDown() override {
    if (server_.running()) {
      server_.signal(SIGTERM);
      EXPECT_TRUE(server_.wait(10000));
    }
  }

  void startSim(SimProcess* sim, const std::string& address,
                const std::vector<std::string>& extra = {}) {
    address_ = address;
    ASSERT_TRUE(sim->start(address, extra)) << sim->lastError();
  }
  void startServer() {
    ASSERT_TRUE(server_.start({binPath("jyx"), "--serve", "-a", address_}));
    ASSERT_TRUE(server_.waitForOutput("jyx server: serving", 10000)) << server_.out();
  }
  std::string jyx(const std::string& address, std::vector<std::string> args, int* code,
                  int timeoutMs = 60000) {
    std::vector<std::string> argv = {binPath("jyx"), "-a", address};
    argv.insert(argv.end(), args.begin(), args.end());
    return run(argv, code, timeoutMs);
  }
  std::string makeImage(size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131 + i / 4096) & 0xFF);
    std::string path = runtime_.file("image.bin");
    EXPECT_TRUE(writeFile(path, bytes));
    return path;
  }
  static bool rxSet(const OpsRecord& op, int gpio, int level) {
    return op.dir == "rx" && op.cmd == "GPIO_CTRL" && op.num("gpio") == gpio &&
           op.num("level") == level && op.str("op") == "set";
  }
  static bool sectorWrite(const OpsRecord& op) {
    return op.dir == "rx" && op.cmd == "SPI_CTRL" && op.data == "SPI_DATA";
  }

  ScopedTempDir runtime_;
  Subprocess server_;
  std::string address_;
};

TEST_F(ServerE2E, OutputThroughTheServerEqualsADirectRun) {
  const std::string image = makeImage(256 * 1024);
  const std::vector<std::vector<std::string>> runs = {
      {"--power-on"},
      {"--getio", "22"},
      {"--setio", "70", "-p", "1"},
      {"--getio", "70"},
      {"--postcode"},
      {"-i", image},
      {"-i", image, "--checkspi"},
      {"-r", "0x100", "--len", "16"},
  };
  std::vector<std::string> outputs[2];
  for (int through = 0; through < 2; ++through) {
    SimProcess sim;
    startSim(&sim, through ? "127.0.71.2" : "127.0.71.1");
    if (through) startServer();
    for (const auto& args : runs) {
      int code = -1;
      outputs[through].push_back(jyx(address_, args, &code));
      EXPECT_EQ(code, 0) << args[0];
      if (args[0] == "--power-on") {
        // The POST codes read later are those of a finished boot.
        ASSERT_TRUE(sim.waitForOp(
            [](const OpsRecord& op) {
              return op.str("event") == "target_state" && op.str("to") == "running";
            },
            10000));
      }
    }
    // The log stream last, with nothing on the UEFI UART of a booted
    // target: the switch and its end by the signal, nothing in between
    // (forwarding on earlier would let boot text race into other runs).
    Subprocess stream;
    ASSERT_TRUE(stream.start({binPath("jyx"), "-a", address_, "-X", "0"}));
    ASSERT_TRUE(stream.waitForOutput("switchUart OK\n", 10000)) << stream.out();
    stream.signal(SIGINT);
    ASSERT_TRUE(stream.wait(10000));
    outputs[through].push_back(stream.out());
  }
  ASSERT_EQ(outputs[0].size(), outputs[1].size());
  for (size_t i = 0; i < outputs[0].size(); ++i) EXPECT_EQ(outputs[1][i], outputs[0][i]) << i;
  EXPECT_TRUE(has(outputs[0][5], "flashing image("));
  EXPECT_TRUE(has(outputs[0][6], "checking image("));
}

TEST_F(ServerE2E, ALogStreamSurvivesAnotherClientPoweringTheTarget) {
  SimProcess sim;
  startSim(&sim, "127.0.71.3");
  startServer();
  Subprocess stream;
  ASSERT_TRUE(stream.start({binPath("jyx"), "-a", address_, "-X", "0"}));
  ASSERT_TRUE(stream.waitForOutput("switchUart OK\n", 10000)) << stream.out();
  int code = -1;
  // This run subscribes to the log as well and may show the first boot line.
  std::string power = jyx(address_, {"--power-on", "--exit-code"}, &code);
  EXPECT_EQ(code, 0) << power;
  EXPECT_FALSE(has(power, "error-"));
  // The whole UEFI boot text reaches the stream that was started first.
  ASSERT_TRUE(stream.waitForOutput("PCIe: NVMe controller at 0000:01:00.0", 10000)) << stream.out();
  EXPECT_TRUE(stream.running());
  std::string out = stream.out();
  size_t first = out.find("JYX UEFI firmware 1.0 (boot 1)");
  size_t memory = out.find("Memory init: 16384 MB OK");
  EXPECT_NE(first, std::string::npos) << out;
  EXPECT_LT(first, memory) << out;
  EXPECT_FALSE(has(out, "error-"));
  stream.signal(SIGINT);
  EXPECT_TRUE(stream.wait(10000));
}

TEST_F(ServerE2E, ASecondFlashIsBusyAndAKilledFlasherHasItsLinesHandedBack) {
  SimProcess sim;
  startSim(&sim, "127.0.71.4", {"--program-us", "20000"});
  startServer();
  const std::string image = makeImage(256 * 1024);
  Subprocess first;
  ASSERT_TRUE(first.start({binPath("jyx"), "-a", address_, "-i", image, "--exit-code"}));
  ASSERT_TRUE(sim.waitForOp(sectorWrite, 20000));
  int code = -1;
  // One pass: a retry would wait for the link and may find the lines free.
  std::string out = jyx(address_, {"-i", image, "--retry", "1", "--exit-code"}, &code);
  EXPECT_EQ(code, 1) << out;
  EXPECT_TRUE(has(out, "held by another client (busy)"));
  // GPIO requests of other clients still pass meanwhile.
  EXPECT_EQ(jyx(address_, {"--getio", "22"}, &code), "GPIO_GET 22 is 0.\n");
  ASSERT_TRUE(first.wait(60000));
  EXPECT_EQ(first.exitCode(), 0) << first.out();
  EXPECT_TRUE(has(first.out(), "flashing image(" + image + ") OK"));

  // A flasher killed part way: the server hands the lines back.
  ASSERT_FALSE(has(server_.out(), "flash lines handed back"));
  uint64_t done = sim.ops().back().timeUs;
  ASSERT_TRUE(first.start({binPath("jyx"), "-a", address_, "-i", image}));
  ASSERT_TRUE(sim.waitForOp(
      [done](const OpsRecord& op) { return sectorWrite(op) && op.timeUs > done; }, 20000));
  first.signal(SIGKILL);
  ASSERT_TRUE(first.wait(10000));
  ASSERT_TRUE(server_.waitForOutput("jyx server: flash lines handed back", 20000)) << server_.out();
  // The last word on each line gave it back to the target.
  int lastEn = -1, lastSel = -1;
  for (const OpsRecord& op : sim.ops()) {
    if (op.dir != "rx" || op.cmd != "GPIO_CTRL" || op.str("op") != "set") continue;
    if (op.num("gpio") == 66) lastEn = static_cast<int>(op.num("level"));
    if (op.num("gpio") == 67) lastSel = static_cast<int>(op.num("level"));
  }
  EXPECT_EQ(lastEn, 1);
  EXPECT_EQ(lastSel, 1);
  // And the lines are free for the next client.
  out = jyx(address_, {"-r", "0", "--len", "16"}, &code);
  EXPECT_FALSE(has(out, "busy"));
}

TEST_F(ServerE2E, TheServerSurvivesBadClientsAndAControllerRestart) {
  auto sim = std::make_unique<SimProcess>();
  startSim(sim.get(), "127.0.71.6");
  startServer();
  std::string path = runtime_.path() + "/jyx/" + address_ + ".sock";
  auto talk = [&](const std::string& bytes) {
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
    EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    size_t at = 0;
    while (at < bytes.size()) {
      ssize_t n = send(fd, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
      if (n <= 0) break;
      at += static_cast<size_t>(n);
    }
    ::shutdown(fd, SHUT_WR);
    std::string reply;
    char buf[4096];
    ssize_t n;
    while ((n = recv(fd, buf, sizeof(buf), 0)) > 0) reply.append(buf, static_cast<size_t>(n));
    ::close(fd);
    return reply;
  };
  EXPECT_EQ(talk("not json\n{\"id\":3,\"task\":\"jyx.data:nothing\"}\n"
                 "{\"id\":4,\"packet\":\"00\"}\n{\"id\":5,\"subscribe\":[\"log\"]}\n"),
            "{\"error\":\"bad request\"}\n{\"id\":3,\"ok\":false,\"error\":\"unknown task\"}\n"
            "{\"id\":4,\"error\":\"bad packet\"}\n{\"id\":5,\"ok\":true}\n");
  EXPECT_EQ(talk(std::string(1024 * 1024 + 10, 'x')), "{\"error\":\"bad request\"}\n");
  // A client that shuts its side right after a request still gets the
  // answer the controller gives later.
  CPackage read;
  read.makeGpioCtrl(9, 0, 0, 70);
  std::string answer = talk(jyx::server::packetRequest(6, read.data(), read.size()));
  EXPECT_EQ(answer.rfind("{\"id\":6,\"packet\":\"", 0), 0u) << answer;
  int code = -1;
  EXPECT_EQ(jyx(address_, {"--getio", "22"}, &code), "GPIO_GET 22 is 0.\n");

  ASSERT_TRUE(sim->stop());
  ASSERT_TRUE(server_.waitForOutput("jyx server: controller link down", 20000)) << server_.out();
  sim = std::make_unique<SimProcess>();
  startSim(sim.get(), "127.0.71.6");
  // The server may have reached the old simulator while it was going away,
  // so its own "link up" line alone does not tell which one it reached.
  ASSERT_TRUE(sim->waitForOp(
      [](const OpsRecord& op) {
        return op.str("event") == "packet_client" && op.str("state") == "connected";
      },
      20000))
      << server_.out();
  ASSERT_TRUE(server_.waitForOutput("jyx server: controller link up", 20000)) << server_.out();
  EXPECT_EQ(jyx(address_, {"--setio", "70", "-p", "1"}, &code), "GPIO_SET io(70) to 1.\n")
      << server_.out();
  EXPECT_EQ(jyx(address_, {"--getio", "70"}, &code), "GPIO_GET 70 is 1.\n");
  EXPECT_TRUE(server_.running());
  server_.signal(SIGTERM);
  ASSERT_TRUE(server_.wait(10000));
  EXPECT_NE(access(path.c_str(), F_OK), 0) << "the socket file outlived the server";
}

}  // namespace
}  // namespace jyxtest
