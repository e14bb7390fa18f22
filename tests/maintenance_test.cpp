// End-to-end checks of controller maintenance: the real jyx against
// jyx-sim's FTDI bridge, MCU consoles and ESP32 ROM loader.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <string>
#include <vector>

#include "ftd2xx/bridge_protocol.h"
#include "sim_util.h"
#include "test_util.h"

namespace {

using jyxtest::has;
using jyxtest::inOrder;

using jyxtest::OpsRecord;

// Runs jyx-sim with the bridge on a socket in its temporary directory and
// points every jyx started by the test at it.
class MaintenanceTest : public testing::Test {
 protected:
  bool startSim(const std::string& address, std::vector<std::string> extra = {}) {
    address_ = address;
    socket_ = sim_.tempPath("ftdi.sock");
    extra.insert(extra.begin(), {"--ftdi-socket", socket_});
    if (!sim_.start(address, extra)) return false;
    setenv(ftbridge::kSocketEnv, socket_.c_str(), 1);
    return true;
  }
  void TearDown() override { unsetenv(ftbridge::kSocketEnv); }

  std::string jyx(std::vector<std::string> args, int timeoutMs = 60000) {
    args.insert(args.begin(), jyxtest::binPath("jyx"));
    int code = -1;
    std::string out = jyxtest::run(args, &code, timeoutMs);
    EXPECT_EQ(0, code) << out;
    return out;
  }

  // Texts of the MCU console commands the simulator received, in order.
  std::vector<std::string> mcuCommands(const std::string& mcu) {
    std::vector<std::string> texts;
    for (const OpsRecord& r : sim_.ops()) {
      if (r.dir == "mcu" && r.str("event") == "command" && r.str("mcu") == mcu) {
        texts.push_back(r.str("text"));
      }
    }
    return texts;
  }

  std::vector<OpsRecord> records(const std::string& dir, const std::string& event) {
    std::vector<OpsRecord> out;
    for (const OpsRecord& r : sim_.ops()) {
      if (r.dir == dir && (event.empty() || r.str("event") == event)) out.push_back(r);
    }
    return out;
  }

  std::string writeImage(const std::string& name, size_t size, const std::string& version) {
    std::string image(size, '\0');
    uint32_t x = 12345;
    for (char& c : image) {
      x = x * 1103515245 + 12345;
      c = static_cast<char>(x >> 16);
    }
    std::string marker = "JYXFW:" + version + std::string(1, '\0');
    image.replace(256, marker.size(), marker);
    // Bytes SLIP must escape.
    image.replace(512, 4, std::string("\xC0\xDB\xC0\xDB", 4));
    std::string path = sim_.tempPath(name);
    EXPECT_TRUE(jyxtest::writeFile(path, image));
    return path;
  }

  jyxtest::SimProcess sim_;
  std::string address_;
  std::string socket_;
};

// One bridge for the console commands, in an order where each step's
// records can be told apart from the earlier ones' (lists are compared whole).
TEST_F(MaintenanceTest, ConsoleCommandsJtagAndBootLinesOnOneBridge) {
  std::string pty = sim_.tempPath("ttyJYX");
  ASSERT_TRUE(startSim("127.0.14.1", {"--usb-uart", pty})) << sim_.lastError();
  EXPECT_EQ("IP address: 127.0.14.1\n", jyx({"-c", "02"}));
  // The address comes over the bridge; the power-on runs without -a.
  EXPECT_EQ("", jyx({"-c", "02", "--power-on"}));
  std::vector<std::string> main = {"jyx 02", "jyx 02"};
  EXPECT_EQ(main, mcuCommands("main"));
  int gpio = 0;
  for (const OpsRecord& r : sim_.ops()) gpio += r.dir == "rx" && r.cmd == "GPIO_CTRL";
  EXPECT_EQ(4, gpio);

  // An unsupported baud sends nothing.
  EXPECT_EQ("the baud(38400) is not in (9600,19200,57600,115200,460800,1500000)\n",
            jyx({"-c", "23", "-p", "38400"}));
  EXPECT_EQ(main, mcuCommands("main"));
  EXPECT_EQ("jyx 23 3\nset uart baud: 3\n", jyx({"-c", "23", "-p", "115200"}));
  // Parameter commands carry the parameter; those up to 19 take none.
  EXPECT_EQ("jyx 20 lab-ssid\nset wifi SSID: lab-ssid\n", jyx({"-c", "20", "-p", "lab-ssid"}));
  EXPECT_EQ("UART baud: 115200\n", jyx({"-c", "05", "-p", "ignored"}));
  EXPECT_EQ("Slave Version: 1.0.0\n", jyx({"-c", "00", "--slave"}));
  // The USB UART console reaches the same MCU over a pty.
  EXPECT_TRUE(has(jyx({"--usb-uart", "-u", pty, "-c", "00"}), "Main Version: 1.0.0\n"));
  main.insert(main.end(), {"jyx 23 3", "jyx 20 lab-ssid", "jyx 05", "jyx 00"});
  EXPECT_EQ(main, mcuCommands("main"));
  auto settings = records("mcu", "setting");
  ASSERT_EQ(1u, settings.size());
  EXPECT_EQ("lab-ssid", settings[0].str("value"));

  EXPECT_EQ(
      "enableScan step 1, port B: 2 to value: 0x97\n"
      "enableJTAG step 2, port D: 4, enable IO: jyx 24 and jyx 25\n"
      "[jyx 24 0] result: ack 1\n"
      "[jyx 25 0] result: ack 1\n",
      jyx({"--enable-jtag"}));
  EXPECT_EQ(
      "enableJTAG step 1, port D: 4, enable IO: jyx 25\n"
      "[jyx 25 1] result: ack 1\n",
      jyx({"-Q"}));
  EXPECT_EQ(
      "enableScan step 1, port B: 2 to value: 0xd7\n"
      "enableScan step 2, port B: 2 to value: 0x97\n",
      jyx({"-R"}));
  std::vector<std::string> slave = {"jyx 00", "jyx 24 0", "jyx 25 0", "jyx 25 1"};
  EXPECT_EQ(slave, mcuCommands("slave"));
  std::vector<int64_t> values;
  for (const OpsRecord& r : records("ftdi", "mpsse")) {
    EXPECT_EQ("set_low", r.str("op"));
    EXPECT_EQ(255, r.num("direction"));
    values.push_back(r.num("value"));
  }
  EXPECT_EQ((std::vector<int64_t>{0x97, 0xD7, 0x97}), values);
  // MPSSE mode is entered on interface B only.
  for (const OpsRecord& r : records("ftdi", "set")) {
    if (r.str("op") == "bitmode") {
      EXPECT_EQ(2, r.num("index"));
      EXPECT_EQ(2, r.num("b"));
    }
  }

  // A reset restarts the application; the update line sequence (-7, or
  // its long form -S) enters the ROM loader.
  EXPECT_EQ("ftdi: reset jyx.\n", jyx({"-6"}));
  const std::string update = "enableJYXFlash port: 2\nftdi: enable jyx firmware flash.\n";
  EXPECT_EQ(update, jyx({"-7"}));
  EXPECT_EQ(update, jyx({"--enable-update-firmware"}));
  std::vector<std::string> modes;
  for (const OpsRecord& r : records("mcu", "mode")) {
    if (r.str("mcu") == "main") modes.push_back(r.str("mode"));
  }
  EXPECT_EQ((std::vector<std::string>{"reset", "app", "reset", "loader", "reset", "loader"}),
            modes);
}

TEST_F(MaintenanceTest, ShortEthernetReplyFallsBackToWifi) {
  ASSERT_TRUE(startSim("127.0.14.2", {"--mcu-eth-ip", "0.0.0.0", "--mcu-wifi-ip", "127.0.14.2"}))
      << sim_.lastError();
  // Without a network action the 7-character reply ends the run.
  EXPECT_EQ("cannot get ip address from uart.\n", jyx({"-c", "02"}));
  // With one, "jyx 01" is asked and its address used.
  std::string out = jyx({"-c", "02", "--postcode"});
  std::vector<std::string> expected = {"jyx 02", "jyx 02", "jyx 01"};
  EXPECT_EQ(expected, mcuCommands("main"));
  int post = 0;
  for (const OpsRecord& r : sim_.ops()) post += r.dir == "rx" && r.cmd == "POST_CTRL";
  EXPECT_EQ(1, post) << out;
}

TEST_F(MaintenanceTest, ListShowsCompleteBridges) {
  ASSERT_TRUE(
      startSim("127.0.14.5",
               {"--ftdi-serials", "JYXA1A,JYXA1B,JYXA1C,JYXA1D,FTXYZ,JYXB2A,JYXB2B,JYXB2C,JYXB2D"}))
      << sim_.lastError();
  EXPECT_EQ("Device List: 0 5\n", jyx({"-l"}));
}

TEST_F(MaintenanceTest, ForeignDeviceInsideABridgeDropsIt) {
  ASSERT_TRUE(startSim("127.0.14.6", {"--ftdi-serials", "JYXA1A,JYXA1B,FTXYZ,JYXA1C,JYXA1D"}))
      << sim_.lastError();
  EXPECT_EQ("Device List: \n", jyx({"-l"}));
}

// Main and slave downloads on one bridge; each counts only its own MCU's
// blocks, so the slave's cannot hide among the main's.
TEST_F(MaintenanceTest, FirmwareDownloadsChangeTheVersionsAndAMissingFileFails) {
  ASSERT_TRUE(startSim("127.0.14.9")) << sim_.lastError();
  EXPECT_EQ("Main Version: 1.0.0\n", jyx({"-c", "00"}));
  const size_t kSize = 200 * 1024 + 100;
  std::string image = writeImage("fw.bin", kSize, "2.5.0");
  std::string out = jyx({"-C", image, "-E", "0x10000"}, 120000);
  EXPECT_TRUE(
      inOrder(out, {"start flash the main firmware.\n", "Chip: ESP32D0WDQ5 (version: 3)\n",
                    "Features: WiFi, BT, Dual Core, 240MHz, VRef calibration in efuse, None\n",
                    "main mcu firmware: [", "(100%)"}));
  EXPECT_EQ(out.size() - std::string("\nFlash main mcu firmware(" + image + ") OK\n").size(),
            out.rfind("\nFlash main mcu firmware(" + image + ") OK\n"))
      << out;
  // Every block once, in order, at the given address.
  const size_t blocks = (kSize + 4095) / 4096;
  // The ROM loader requests each MCU received (FLASH_DATA only when `data`).
  auto esp = [this](const char* mcu, bool data) {
    std::vector<OpsRecord> out;
    for (const OpsRecord& r : records("esp", "")) {
      if (r.str("mcu") == mcu && (!data || r.str("cmd") == "FLASH_DATA")) out.push_back(r);
    }
    return out;
  };
  std::vector<OpsRecord> data = esp("main", true);
  ASSERT_EQ(blocks, data.size());
  for (size_t i = 0; i < blocks; ++i) {
    EXPECT_EQ(int64_t(0x10000 + 4096 * i), data[i].num("address"));
    EXPECT_EQ("", data[i].str("error"));
  }
  EXPECT_EQ("Main Version: 2.5.0\n", jyx({"-c", "00"}));
  const size_t mainRequests = esp("main", false).size();

  image = writeImage("slave.bin", 40 * 1024, "4.2.0");
  out = jyx({"-D", image, "-E", "0x10000"}, 120000);
  EXPECT_TRUE(
      inOrder(out, {"start flash the slave firmware.\n", "connect to ftdi port: 4\n",
                    "slave mcu firmware: [", "\nFlash slave mcu firmware(" + image + ") OK\n"}));
  // Through interface D: the slave's loader got every block, the main's
  // nothing more.
  EXPECT_EQ(10u, esp("slave", true).size());
  EXPECT_EQ(mainRequests, esp("main", false).size());
  EXPECT_EQ("Slave Version: 4.2.0\n", jyx({"-c", "00", "-2"}));

  // A missing file fails with its reason. Last: the main console does not
  // answer -c 00 after this run.
  std::string missing = sim_.tempPath("none.bin");
  out = jyx({"-C", missing});
  EXPECT_TRUE(inOrder(out, {"Error: open spi file (" + missing + ") failed",
                            "\nFlash main mcu firmware(" + missing + ") fail\n"}));
  EXPECT_FALSE(has(out, ") OK"));
}

TEST_F(MaintenanceTest, OldWiringSwapsConsoleAndBootLines) {
  ASSERT_TRUE(startSim("127.0.14.15", {"--ftdi-wiring", "old"})) << sim_.lastError();
  EXPECT_EQ("Main Version: 1.0.0\n", jyx({"-O", "-c", "00"}));
  EXPECT_EQ("enableJYXFlash port: 3\nftdi: enable jyx firmware flash.\n", jyx({"-O", "-7"}));
  std::vector<std::string> modes;
  for (const OpsRecord& r : records("mcu", "mode")) modes.push_back(r.str("mode"));
  EXPECT_EQ((std::vector<std::string>{"reset", "loader"}), modes);
  int opened = 0;
  for (const OpsRecord& r : records("ftdi", "open")) {
    opened += r.num("index") == 2 || r.num("index") == 3;
  }
  EXPECT_EQ(2, opened);
}

TEST_F(MaintenanceTest, SilentLoaderFailsAfterEveryAttempt) {
  ASSERT_TRUE(startSim("127.0.14.11", {"--esp-loader", "silent"})) << sim_.lastError();
  std::string image = writeImage("fw.bin", 8192, "9.9.9");
  std::string out = jyx({"-C", image}, 200000);
  EXPECT_TRUE(inOrder(
      out, {"Error: connect and sync fail.\n", "\nFlash main mcu firmware(" + image + ") fail\n"}));
  EXPECT_FALSE(has(out, ") OK"));
  int syncs = 0;
  for (const OpsRecord& r : records("esp", "")) syncs += r.str("cmd") == "SYNC";
  // 6 connect attempts, each a short and a long reset with 6 SYNCs.
  EXPECT_EQ(6 * 2 * 6, syncs);
}

// esptool-js from npm, driven from Node through the same bridge socket,
// syncs with the simulated ROM loader, identifies the chip as jyx does and
// writes flash whose MD5 the loader then reports equal.
TEST_F(MaintenanceTest, EsptoolJsAgreesWithTheLoader) {
  int which = -1;
  std::string node = jyxtest::run({"/bin/sh", "-c", "command -v node"}, &which);
  if (which != 0 || node.empty()) GTEST_SKIP() << "node is not installed; esptool-js cannot run";
  node.erase(node.find_last_not_of("\n") + 1);
  ASSERT_TRUE(startSim("127.0.14.13")) << sim_.lastError();
  std::string image = writeImage("js.bin", 64 * 1024 + 77, "3.1.4");
  int code = -1;
  std::string out =
      jyxtest::run({node, std::string(JYX_SOURCE_DIR) + "/tests/esptool_js/esptool_check.mjs",
                    socket_, "3", image, "0x10000"},
                   &code, 120000);
  EXPECT_EQ(0, code) << out;
  EXPECT_TRUE(has(out, "chip: ESP32\n"));
  // The same package (D0WD) and revision (3) jyx reports.
  EXPECT_TRUE(inOrder(out, {"description: ESP32-D0WD", "(revision 3)", "stub: false"}));
  size_t md5 = out.find("md5: ");
  size_t expected = out.find("expected: ");
  ASSERT_NE(std::string::npos, md5) << out;
  ASSERT_NE(std::string::npos, expected) << out;
  EXPECT_EQ(out.substr(expected + 10, 32), out.substr(md5 + 5, 32));
  int written = 0;
  for (const OpsRecord& r : records("esp", "")) {
    if (r.str("cmd") == "FLASH_DATA") {
      EXPECT_EQ("", r.str("error"));
      ++written;
    }
  }
  EXPECT_GT(written, 0);
  std::string jyxOut = jyx({"-C", image, "-E", "0x10000"}, 120000);
  EXPECT_TRUE(has(jyxOut, "Chip: ESP32D0WDQ5 (version: 3)\n"));
}

}  // namespace
