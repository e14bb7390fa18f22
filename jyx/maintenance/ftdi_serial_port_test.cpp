// The class-wide pin operations against jyx-sim's simulated bridge.
#include "jyx/maintenance/ftdi_serial_port.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "ftd2xx/bridge_protocol.h"
#include "sim_util.h"

namespace {

class FtdiPinTest : public testing::Test {
 protected:
  void start(const std::string& address) {
    std::string socket = sim_.tempPath("ftdi.sock");
    ASSERT_TRUE(sim_.start(address, {"--ftdi-socket", socket})) << sim_.lastError();
    setenv(ftbridge::kSocketEnv, socket.c_str(), 1);
    testing::internal::CaptureStdout();
    EXPECT_EQ("1", CFTDISerialPort::listDevices(false));
    testing::internal::GetCapturedStdout();
  }
  void TearDown() override {
    unsetenv(ftbridge::kSocketEnv);
    CFTDISerialPort::setDeviceList({});
  }
  std::vector<jyxtest::OpsRecord> events(const std::string& event) {
    std::vector<jyxtest::OpsRecord> out;
    for (const auto& r : sim_.ops()) {
      if (r.dir == "ftdi" && r.str("event") == event) out.push_back(r);
    }
    return out;
  }
  jyxtest::SimProcess sim_;
};

TEST_F(FtdiPinTest, MpsseWriteThenReadBack) {
  ASSERT_NO_FATAL_FAILURE(start("127.0.14.50"));
  const uint8_t values[] = {0x12, 0x97};
  bool wrote = false;
  CFTDISerialPort::mpsseWrite(1, 0xF0, values, 2, 5, [&](bool ok) { wrote = ok; });
  EXPECT_TRUE(wrote);
  bool read = false;
  testing::internal::CaptureStdout();
  uint8_t value = CFTDISerialPort::mpsseRead(1, [&](bool ok) { read = ok; });
  EXPECT_EQ("", testing::internal::GetCapturedStdout());
  EXPECT_TRUE(read);
  EXPECT_EQ(0x97, value);
  auto mpsse = events("mpsse");
  ASSERT_EQ(3u, mpsse.size());
  EXPECT_EQ(0x12, mpsse[0].num("value"));
  EXPECT_EQ(0xF0, mpsse[1].num("direction"));
  EXPECT_EQ("get_low", mpsse[2].str("op"));
  // Both went through interface B of the bridge (index 2).
  for (const auto& r : events("open")) EXPECT_EQ(2, r.num("index"));
}

TEST_F(FtdiPinTest, BitBangDrivesTheMaskedPins) {
  ASSERT_NO_FATAL_FAILURE(start("127.0.14.51"));
  bool ok = false;
  CFTDISerialPort::bitBang(3, 0x0F, 0xA5, [&](bool r) { ok = r; });
  EXPECT_TRUE(ok);
  testing::internal::CaptureStdout();
  bool acOk = false;
  CFTDISerialPort::acBitBang(3, [&](bool r) { acOk = r; });
  EXPECT_EQ("ftdi: acBitBang.", testing::internal::GetCapturedStdout());
  EXPECT_TRUE(acOk);
  auto bits = events("bitbang");
  ASSERT_EQ(3u, bits.size());
  EXPECT_EQ(0xA5, bits[0].num("value"));
  EXPECT_EQ(0xF5, bits[0].num("pins"));  // only the low nibble follows the value
  EXPECT_EQ(0xFF, bits[2].num("pins"));
  for (const auto& r : events("set")) {
    if (r.str("op") == "bitmode") {
      EXPECT_EQ(1, r.num("b"));
    }
  }
}

TEST_F(FtdiPinTest, ChannelOpensTheNamedInterface) {
  ASSERT_NO_FATAL_FAILURE(start("127.0.14.52"));
  struct Quiet : CChannelDelegate {
  } delegate;
  CFTDISerialPort port(&delegate);
  port.setName("4");
  ASSERT_TRUE(port.start());
  const char text[] = "jyx 00";
  EXPECT_EQ(6, port.write(text, 6));
  port.close();
  EXPECT_FALSE(port.isOpen());
  EXPECT_EQ(-1, port.write(text, 6));
  // An index that is not listed opens the first listed device.
  port.setName("0");
  ASSERT_TRUE(port.start());
  port.close();
  auto opens = events("open");
  ASSERT_EQ(2u, opens.size());
  EXPECT_EQ(4, opens[0].num("index"));
  EXPECT_EQ(1, opens[1].num("index"));
  // The standard settings, in their order.
  std::vector<std::string> ops;
  for (const auto& r : events("set")) {
    if (ops.size() < 6) ops.push_back(r.str("op"));
  }
  EXPECT_EQ((std::vector<std::string>{"baud", "data", "dtr", "flow", "rts", "dtr"}), ops);
}

}  // namespace
