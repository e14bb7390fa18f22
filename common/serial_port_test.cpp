#include "common/serial_port.h"

#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "test_util.h"

namespace {

using jyxtest::collect;
using jyxtest::RecordingDelegate;
using jyxtest::ScopedTempDir;
using jyxtest::waitUntil;

// Two linked pseudo-terminals made by socat: bytes written to one come out
// of the other.
TEST(SerialPortPtyTest, OpenAppliesTheLineSettingsAndBytesFlowBothWays) {
  ScopedTempDir dir;
  std::string a = dir.file("a"), b = dir.file("b");
  jyxtest::Subprocess socat;
  ASSERT_TRUE(socat.start(
      {"/usr/bin/socat", "-d", "-d", "pty,raw,echo=0,link=" + a, "pty,raw,echo=0,link=" + b}));
  ASSERT_TRUE(waitUntil(
      [&] { return access(a.c_str(), F_OK) == 0 && access(b.c_str(), F_OK) == 0; }, 10000))
      << socat.err();
  RecordingDelegate delegate;
  CSerialPort port(&delegate);
  port.setPath(a);
  port.setBaudRate(57600);
  port.setDataBits(7);
  port.setParity(2);
  port.setStopBits(2);
  testing::internal::CaptureStdout();
  ASSERT_TRUE(port.open());
  EXPECT_EQ("uart: " + a + " baudrate:57600 databit:7 parity:2 stopbit:2\n",
            testing::internal::GetCapturedStdout());
  ASSERT_TRUE(port.isOpen());
  termios tio;
  ASSERT_EQ(0, tcgetattr(port.fd(), &tio));
  EXPECT_EQ(static_cast<speed_t>(B57600), cfgetispeed(&tio));
  EXPECT_EQ(static_cast<speed_t>(B57600), cfgetospeed(&tio));
  // A pseudo-terminal forces 8 data bits without parity generation
  // (applyLineSettings is checked on its own below); the rest is kept.
  EXPECT_FALSE(tio.c_cflag & PARODD);
  EXPECT_TRUE(tio.c_cflag & CSTOPB);
  EXPECT_TRUE(tio.c_iflag & INPCK);
  EXPECT_FALSE(tio.c_lflag & (ICANON | ECHO | ISIG));
  EXPECT_FALSE(tio.c_oflag & OPOST);

  // Reopening with odd parity, 1 stop bit and a high rate.
  port.setParity(1);
  port.setStopBits(1);
  port.setBaudRate(1500000);
  testing::internal::CaptureStdout();
  ASSERT_TRUE(port.open());
  testing::internal::GetCapturedStdout();
  ASSERT_EQ(0, tcgetattr(port.fd(), &tio));
  EXPECT_EQ(static_cast<speed_t>(B1500000), cfgetospeed(&tio));
  EXPECT_TRUE(tio.c_cflag & PARODD);
  EXPECT_FALSE(tio.c_cflag & CSTOPB);
  port.close();
  EXPECT_FALSE(port.isOpen());
  EXPECT_EQ(-1, port.fd());

  // Bytes both ways between two ports with the default settings.
  CSerialPort one(&delegate), other(&delegate);
  one.setPath(a);
  other.setPath(b);
  testing::internal::CaptureStdout();
  ASSERT_TRUE(one.open());
  ASSERT_TRUE(other.open());
  testing::internal::GetCapturedStdout();
  std::string line = "from the port\r\n";
  EXPECT_EQ(static_cast<int>(line.size()), one.sendBuffer(line.c_str(), nullptr));
  std::string got;
  ASSERT_TRUE(collect(other.receiveFifo(), &got, line.size()));
  EXPECT_EQ(line, got);
  std::string reply(3000, '\x5a');  // more than one read chunk
  ASSERT_EQ(3000, other.sendBuffer(reply.c_str(), nullptr));
  got.clear();
  ASSERT_TRUE(collect(one.receiveFifo(), &got, reply.size()));
  EXPECT_EQ(reply, got);
  EXPECT_TRUE(delegate.reports().empty());
}

TEST(SerialPortTest, LineSettingsSetSizeParityAndStopBits) {
  struct Case {
    int fill, dataBits, parity, stopBits;
    tcflag_t size;
    bool parenb, parodd, cstopb, inpck;
  };
  // No parity clears the enable; odd sizes leave no size bits; other stop
  // bit counts leave the setting alone.
  const Case cases[] = {{0xff, 7, 2, 2, CS7, true, false, true, true},
                        {0x00, 6, 1, 1, CS6, true, true, false, true},
                        {0xff, 5, 0, 3, 0, false, true, true, true},
                        {0x00, 8, 0, 3, CS8, false, false, false, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.dataBits);
    termios tio;
    memset(&tio, c.fill, sizeof(tio));  // everything on is the worst case to start from
    applyLineSettings(&tio, B9600, c.dataBits, c.parity, c.stopBits);
    EXPECT_EQ(static_cast<speed_t>(B9600), cfgetispeed(&tio));
    EXPECT_EQ(static_cast<speed_t>(B9600), cfgetospeed(&tio));
    EXPECT_EQ(c.size, tio.c_cflag & CSIZE);
    EXPECT_EQ(c.parenb, (tio.c_cflag & PARENB) != 0);
    EXPECT_EQ(c.parodd, (tio.c_cflag & PARODD) != 0);
    EXPECT_EQ(c.cstopb, (tio.c_cflag & CSTOPB) != 0);
    EXPECT_EQ(c.inpck, (tio.c_iflag & INPCK) != 0);
    EXPECT_EQ(c.inpck, (tio.c_iflag & ISTRIP) != 0);
    EXPECT_TRUE(tio.c_cflag & CREAD);
    EXPECT_TRUE(tio.c_cflag & CLOCAL);
    EXPECT_FALSE(tio.c_iflag & (IXON | IXOFF | IXANY | ICRNL | INLCR));
    EXPECT_FALSE(tio.c_lflag & (ICANON | ECHO | ECHOE | ISIG));
    EXPECT_FALSE(tio.c_oflag & (OPOST | ONLCR | OCRNL));
    EXPECT_EQ(0, tio.c_cc[VMIN]);
    EXPECT_EQ(0, tio.c_cc[VTIME]);
  }
}

TEST(SerialPortTest, InvalidBaudAndMissingDeviceFailToOpenAndIoThenFails) {
  RecordingDelegate delegate;
  CSerialPort port(&delegate);
  port.setPath("/dev/null");
  port.setBaudRate(14400);
  testing::internal::CaptureStdout();
  EXPECT_FALSE(port.open());  // refused before the device is touched
  EXPECT_EQ(
      "uart: /dev/null baudrate:14400 databit:8 parity:0 stopbit:1\n"
      "baudrate(14400) is invalid.\n",
      testing::internal::GetCapturedStdout());
  unsigned int speed = 0;
  EXPECT_TRUE(baudRateToSpeed(921600, &speed));
  EXPECT_EQ(static_cast<unsigned>(B921600), speed);
  for (int rate : {-1, 1, 14400, 115201, 4000001}) EXPECT_FALSE(baudRateToSpeed(rate, &speed));

  ScopedTempDir dir;
  port.setPath(dir.file("no-such-tty"));
  port.setBaudRate(115200);
  testing::internal::CaptureStdout();
  EXPECT_FALSE(port.open());
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(std::string::npos, out.find("\nCannot open the device.\n")) << out;
  EXPECT_FALSE(port.isOpen());

  char buf[9];
  EXPECT_EQ(-1, port.write("x", 1));
  EXPECT_EQ(-1, port.read(buf, 8));
  const std::vector<jyxtest::ChannelReport> expected = {
      {CHANNEL_MSG_ERROR, -1, "serial port: send data - the device handle is invalid!\n"},
      {CHANNEL_MSG_WARNING, -1, "serial port: receive data - the device handle is invalid!\n"}};
  EXPECT_EQ(expected, delegate.reports());
}

TEST(SerialPortTest, ListTtyDevicesGivesFullPathsOfUsbSerialDevices) {
  ScopedTempDir dir;
  EXPECT_EQ("", listTtyDevices(dir.path()));
  for (const char* name : {"ttyUSB0", "ttyUSB1", "ttyACM0", "ttyS0"})
    ASSERT_TRUE(jyxtest::writeFile(dir.file(name), ""));
  EXPECT_EQ(dir.file("ttyUSB0") + " " + dir.file("ttyUSB1"), listTtyDevices(dir.path()));
  EXPECT_EQ("", listTtyDevices(dir.file("missing")));
}

}  // namespace
