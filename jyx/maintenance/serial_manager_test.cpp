#include "jyx/maintenance/serial_manager.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "common/api_manager.h"
#include "common/thread_pool.h"
#include "ftd2xx/bridge_protocol.h"
#include "jyx/jyx.h"
#include "jyx/maintenance/ftdi_serial_port.h"
#include "sim_util.h"

namespace {

TEST(SerialReplyTest, ParsesTheControllerReplies) {
  const struct {
    std::string line;
    int kind;
    std::string reply;
  } cases[] = {
      {"[JYX]: Ethernet IP: 192.168.1.20\r\n", 1, "192.168.1.20"},
      {"[JYX]: IP:10.0.0.7\r", 1, "10.0.0.7"},
      {"[JYX]: ack 0\r\n", 0, ""},
      {"[JYX]: Main Version: 1.2.3\r\n", 1, "Main Version: 1.2.3"},
      {"[JYX]: ack 1\n", 1, "ack 1"},
      {"noise [JYX]: UART baud: 115200\r\n", 1, "UART baud: 115200"},
      {"I (312) jyx: Main Version: 1.2.3\r\n", -1, ""},
      {"[JYX]:no blank\r\n", -1, ""},
  };
  for (const auto& c : cases) {
    std::string reply;
    EXPECT_EQ(c.kind, CJYXSerialManager::parseReply(c.line, &reply)) << c.line;
    if (c.kind == 1) {
      EXPECT_EQ(c.reply, reply) << c.line;
    }
  }
}

TEST(SerialReplyTest, ColourSequencesAreRemoved) {
  EXPECT_EQ("[JYX]: Ethernet IP: 127.0.0.5\r\n",
            CJYXSerialManager::stripAnsi("\x1b[0;32m[JYX]: Ethernet IP: 127.0.0.5\x1b[0m\r\n"));
  // An unterminated sequence is left alone.
  EXPECT_EQ("a\x1b[0;3", CJYXSerialManager::stripAnsi("a\x1b[0;3"));
}

TEST(SerialCommandTest, CommandTexts) {
  const struct {
    std::string command, param;
    bool ok;
    std::string text;
  } cases[] = {
      {"23", "115200", true, "jyx 23 3"}, {"23", "1500000", true, "jyx 23 5"},
      {"23", "38400", false, ""},         {"20", "lab", true, "jyx 20 lab"},
      {"05", "x", true, "jyx 05"},        {"19", "", true, "jyx 19"},
      {"25", "", true, "jyx 25"},
  };
  for (const auto& c : cases) {
    std::string text;
    testing::internal::CaptureStdout();
    EXPECT_EQ(c.ok, CJYXSerialManager::commandText(c.command, c.param, &text));
    std::string out = testing::internal::GetCapturedStdout();
    if (c.ok) {
      EXPECT_EQ(c.text, text);
      EXPECT_EQ("", out);
    } else {
      EXPECT_EQ("the baud(" + c.param + ") is not in (9600,19200,57600,115200,460800,1500000)\n",
                out);
    }
  }
}

TEST(FtdiDeviceListTest, GroupsBridgesByFour) {
  const struct {
    std::vector<std::string> serials;
    std::string text;
    std::vector<int> list;
  } cases[] = {
      {{}, "", {}},
      {{"JYX1A", "JYX1B", "JYX1C", "JYX1D"}, "0", {0, 1, 2, 3}},
      {{"JYX1A", "JYX1B", "JYX1C", "JYX1D", "JYX2A", "JYX2B", "JYX2C", "JYX2D"},
       "0 4",
       {0, 1, 2, 3, 4, 5, 6, 7}},
      {{"FT0001", "JYX1A", "JYX1B", "JYX1C", "JYX1D"}, "1", {1, 2, 3, 4}},
      // A foreign device between B and C discards A and B.
      {{"JYX1A", "JYX1B", "FT0001", "JYX1C", "JYX1D"}, "", {}},
      {{"JYX1A", "JYX1B", "FT0001", "JYX1C", "JYX1D", "JYX1A", "JYX1B"}, "5", {5, 6, 3, 4}},
      // Interfaces in another order are filed by their letter.
      {{"JYX1D", "JYX1C", "JYX1B", "JYX1A"}, "3", {3, 2, 1, 0}},
  };
  for (const auto& c : cases) {
    std::vector<int> list;
    EXPECT_EQ(c.text, CFTDISerialPort::groupDevices(c.serials, &list));
    EXPECT_EQ(c.list, list);
  }
}

TEST(FtdiDeviceListTest, InterfaceOfAnIndex) {
  const std::vector<int> list = {1, 2, 3, 4, 6, 7, 8, 9};
  using P = CFTDISerialPort;
  EXPECT_EQ(3, P::interfaceIndex(list, 1, P::kInterfaceC));
  EXPECT_EQ(4, P::interfaceIndex(list, 2, P::kInterfaceD));
  EXPECT_EQ(7, P::interfaceIndex(list, 9, P::kInterfaceB));
  EXPECT_EQ(6, P::interfaceIndex(list, 8, P::kInterfaceA));
  // An index that is not listed stands for the first chip.
  EXPECT_EQ(3, P::interfaceIndex(list, 0, P::kInterfaceC));
  EXPECT_EQ(2, P::interfaceIndex(list, 5, P::kInterfaceB));
  EXPECT_EQ(0, P::interfaceIndex({}, 3, P::kInterfaceC));
}

// A reply that never comes ends the wait with nullptr after 20 s of pump
// time, and only then.
class ClockedSerialManager : public CJYXSerialManager {
 public:
  ClockedSerialManager() : CJYXSerialManager(CJYX::instance(), false) {}
  double clock = 100.0;

 protected:
  double clockNow() override { return clock; }
};

// The manager on one end of a pty (a tty channel, as with --usb-uart).
TEST(SerialReplyTest, OneReplyPerCommandAndTheTimeout) {
  int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(0, grantpt(master));
  ASSERT_EQ(0, unlockpt(master));
  std::string slave = ptsname(master);
  ClockedSerialManager m;
  m.setUsbUart(true);
  m.rebuildChannel(0);
  m.setDeviceName(slave);
  testing::internal::CaptureStdout();
  m.open();
  testing::internal::GetCapturedStdout();
  ASSERT_TRUE(m.channelValid());

  std::vector<std::string> got;
  int nulls = 0;
  auto collect = [&](const char* r) {
    if (r == nullptr) {
      ++nulls;
    } else {
      got.push_back(r);
    }
  };
  ASSERT_TRUE(m.sendCommand("jyx 00", collect));
  char sent[16] = {0};
  ASSERT_EQ(6, read(master, sent, sizeof(sent)));  // no line end is added
  EXPECT_STREQ("jyx 00", sent);
  m.onString("rst:0x1 (POWERON_RESET)\r\n");  // not a reply: still waiting
  EXPECT_TRUE(got.empty());
  m.onString("\x1b[0;32m[JYX]: Main Version: 1.0\x1b[0m\r\n");
  EXPECT_EQ(std::vector<std::string>{"Main Version: 1.0"}, got);
  m.onString("[JYX]: late\r\n");  // nobody waits any more
  EXPECT_EQ(1u, got.size());
  // A reply reaches its reader with control and escape sequences visible.
  ASSERT_TRUE(m.sendCommand("jyx 00", collect));
  m.onString(
      "[JYX]: V\x0e"
      "2\x1b]0;t\x07\r\n");
  EXPECT_EQ("V^N2^[]0;t^G", got.back());

  m.clock = 200.0;
  ASSERT_TRUE(m.sendCommand("jyx 02", collect));
  m.onUpdate(219.9);
  EXPECT_EQ(0, nulls);
  m.onUpdate(220.1);
  EXPECT_EQ(1, nulls);
  m.onUpdate(400.0);  // called once
  EXPECT_EQ(1, nulls);

  ASSERT_TRUE(m.sendCommand("jyx 22 5", collect));
  m.onString("[JYX]: ack 0\r\n");
  EXPECT_EQ(2, nulls);
  m.close();
  EXPECT_FALSE(m.sendCommand("jyx 00", collect));
  close(master);
}

// Address discovery over the simulated bridge: the Ethernet reply is too
// short, so the Wi-Fi address is asked for and used.
TEST(SerialDiscoveryTest, GetIpFallsBackToWifi) {
  jyxtest::SimProcess sim;
  std::string socket = sim.tempPath("ftdi.sock");
  ASSERT_TRUE(sim.start("127.0.14.31", {"--ftdi-socket", socket, "--mcu-eth-ip", "0.0.0.0",
                                        "--mcu-wifi-ip", "127.0.14.31"}))
      << sim.lastError();
  setenv(ftbridge::kSocketEnv, socket.c_str(), 1);
  CJYXSerialManager manager(CJYX::instance(), false);
  bool done = false;
  std::string address = "unset";
  testing::internal::CaptureStdout();
  manager.getIP([&](const char* ip) {
    done = true;
    address = ip != nullptr ? ip : "null";
  });
  CAPIManager* api = CAPIManager::instance();
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!done && std::chrono::steady_clock::now() < deadline) {
    api->update();
    sleepMs(1);
  }
  std::string out = testing::internal::GetCapturedStdout();
  unsetenv(ftbridge::kSocketEnv);
  ASSERT_TRUE(done) << out;
  EXPECT_EQ("127.0.14.31", address);
  EXPECT_EQ("Serial device name: 3\n", out);
  EXPECT_FALSE(manager.channelValid());  // closed again
  std::vector<std::string> commands;
  for (const auto& r : sim.ops()) {
    if (r.dir == "mcu" && r.str("event") == "command") commands.push_back(r.str("text"));
  }
  EXPECT_EQ((std::vector<std::string>{"jyx 02", "jyx 01"}), commands);
}

}  // namespace
