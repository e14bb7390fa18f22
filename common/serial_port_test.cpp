#include "common/serial_port.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "channel_test_util.h"
#include "test_util.h"

namespace {

using jyxtest::collect;
using jyxtest::RecordingDelegate;
using jyxtest::ScopedTempDir;
using jyxtest::waitUntil;

bool exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

// Two linked pseudo-terminals made by socat: bytes written to one come out
// of the other.
class SerialPortPtyTest : public testing::Test {
 protected:
  void SetUp() override {
    a_ = dir_.file("a");
    b_ = dir_.file("b");
    ASSERT_TRUE(socat_.start({"/usr/bin/socat", "-d", "-d", "pty,raw,echo=0,link=" + a_,
                              "pty,raw,echo=0,link=" + b_}));
    ASSERT_TRUE(waitUntil([&] { return exists(a_) && exists(b_); }, 10000)) << socat_.err();
  }

  ScopedTempDir dir_;
  jyxtest::Subprocess socat_;
  std::string a_;
  std::string b_;
  RecordingDelegate delegate_;
};

TEST_F(SerialPortPtyTest, OpenAppliesTheLineSettings) {
  CSerialPort port(&delegate_);
  EXPECT_EQ(115200, port.baudRate());
  EXPECT_EQ(8, port.dataBits());
  EXPECT_EQ(0, port.parity());
  EXPECT_EQ(1, port.stopBits());
  port.setPath(a_);
  port.setBaudRate(57600);
  port.setDataBits(7);
  port.setParity(2);
  port.setStopBits(2);
  testing::internal::CaptureStdout();
  ASSERT_TRUE(port.open());
  EXPECT_EQ("uart: " + a_ + " baudrate:57600 databit:7 parity:2 stopbit:2\n",
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
  EXPECT_TRUE(tio.c_cflag & CREAD);
  EXPECT_TRUE(tio.c_cflag & CLOCAL);
  EXPECT_TRUE(tio.c_iflag & INPCK);
  EXPECT_TRUE(tio.c_iflag & ISTRIP);
  EXPECT_FALSE(tio.c_iflag & (IXON | IXOFF | ICRNL | INLCR));
  EXPECT_FALSE(tio.c_lflag & (ICANON | ECHO | ISIG));
  EXPECT_FALSE(tio.c_oflag & OPOST);
  EXPECT_EQ(0, tio.c_cc[VMIN]);
  EXPECT_EQ(0, tio.c_cc[VTIME]);

  // Reopening with odd parity and 1 stop bit.
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
}

TEST_F(SerialPortPtyTest, BytesFlowBothWays) {
  CSerialPort port(&delegate_);
  port.setPath(a_);
  testing::internal::CaptureStdout();
  ASSERT_TRUE(port.open());
  testing::internal::GetCapturedStdout();

  int other = ::open(b_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(other, 0);
  std::string line = "from the port\r\n";
  EXPECT_EQ(static_cast<int>(line.size()), port.sendBuffer(line.c_str(), nullptr));
  std::string got;
  char buf[256];
  ASSERT_TRUE(waitUntil([&] {
    pollfd p{other, POLLIN, 0};
    if (poll(&p, 1, 0) > 0) {
      ssize_t n = ::read(other, buf, sizeof(buf));
      if (n > 0) got.append(buf, static_cast<size_t>(n));
    }
    return got.size() >= line.size();
  }));
  EXPECT_EQ(line, got);

  std::string reply(3000, '\x5a');  // more than one read chunk
  ASSERT_EQ(static_cast<ssize_t>(reply.size()), ::write(other, reply.data(), reply.size()));
  got.clear();
  ASSERT_TRUE(collect(port.receiveFifo(), &got, reply.size()));
  EXPECT_EQ(reply, got);
  EXPECT_TRUE(delegate_.reports().empty());
  ::close(other);

  port.close();
  EXPECT_FALSE(port.isOpen());
  EXPECT_EQ(-1, port.fd());
}

TEST(SerialPortTest, LineSettingsSetSizeParityAndStopBits) {
  termios tio;
  memset(&tio, 0xff, sizeof(tio));  // everything on, as a worst case to start from
  applyLineSettings(&tio, B9600, 7, 2, 2);
  EXPECT_EQ(static_cast<speed_t>(B9600), cfgetispeed(&tio));
  EXPECT_EQ(static_cast<speed_t>(B9600), cfgetospeed(&tio));
  EXPECT_EQ(static_cast<tcflag_t>(CS7), tio.c_cflag & CSIZE);
  EXPECT_TRUE(tio.c_cflag & PARENB);
  EXPECT_FALSE(tio.c_cflag & PARODD);
  EXPECT_TRUE(tio.c_cflag & CSTOPB);
  EXPECT_TRUE(tio.c_iflag & INPCK);
  EXPECT_TRUE(tio.c_iflag & ISTRIP);
  EXPECT_FALSE(tio.c_iflag & (IXON | IXOFF | IXANY | ICRNL | INLCR));
  EXPECT_FALSE(tio.c_lflag & (ICANON | ECHO | ECHOE | ISIG));
  EXPECT_FALSE(tio.c_oflag & (OPOST | ONLCR | OCRNL));
  EXPECT_EQ(0, tio.c_cc[VMIN]);
  EXPECT_EQ(0, tio.c_cc[VTIME]);

  memset(&tio, 0, sizeof(tio));
  applyLineSettings(&tio, B115200, 6, 1, 1);
  EXPECT_EQ(static_cast<tcflag_t>(CS6), tio.c_cflag & CSIZE);
  EXPECT_TRUE(tio.c_cflag & PARENB);
  EXPECT_TRUE(tio.c_cflag & PARODD);
  EXPECT_FALSE(tio.c_cflag & CSTOPB);
  EXPECT_TRUE(tio.c_cflag & CREAD);
  EXPECT_TRUE(tio.c_cflag & CLOCAL);

  // No parity clears the enable; odd sizes leave no size bits; other stop
  // bit counts leave the setting alone.
  memset(&tio, 0xff, sizeof(tio));
  applyLineSettings(&tio, B115200, 5, 0, 3);
  EXPECT_EQ(0u, tio.c_cflag & CSIZE);
  EXPECT_FALSE(tio.c_cflag & PARENB);
  EXPECT_TRUE(tio.c_cflag & CSTOPB);
  memset(&tio, 0, sizeof(tio));
  applyLineSettings(&tio, B115200, 8, 0, 3);
  EXPECT_EQ(static_cast<tcflag_t>(CS8), tio.c_cflag & CSIZE);
  EXPECT_FALSE(tio.c_cflag & CSTOPB);
  EXPECT_FALSE(tio.c_iflag & INPCK);
}

TEST(SerialPortTest, UnsupportedBaudRateIsRefusedBeforeTheDeviceIsTouched) {
  RecordingDelegate delegate;
  CSerialPort port(&delegate);
  port.setPath("/dev/null");
  port.setBaudRate(14400);
  testing::internal::CaptureStdout();
  EXPECT_FALSE(port.open());
  EXPECT_EQ(
      "uart: /dev/null baudrate:14400 databit:8 parity:0 stopbit:1\n"
      "baudrate(14400) is invalid.\n",
      testing::internal::GetCapturedStdout());
  EXPECT_FALSE(port.isOpen());

  unsigned int speed = 0;
  for (int rate : {0, 50, 75, 110, 134, 150, 200, 300, 600, 1200, 1800, 2400, 4800, 9600,
                   19200, 38400, 57600, 115200, 230400, 460800, 500000, 576000, 921600, 1000000,
                   1152000, 1500000, 2000000, 2500000, 3000000, 3500000, 4000000}) {
    EXPECT_TRUE(baudRateToSpeed(rate, &speed)) << rate;
  }
  EXPECT_TRUE(baudRateToSpeed(921600, &speed));
  EXPECT_EQ(static_cast<unsigned>(B921600), speed);
  for (int rate : {-1, 1, 14400, 115201, 4000001}) EXPECT_FALSE(baudRateToSpeed(rate, &speed));
}

TEST(SerialPortTest, MissingDeviceAndClosedPortAreReported) {
  ScopedTempDir dir;
  RecordingDelegate delegate;
  CSerialPort port(&delegate);
  port.setPath(dir.file("no-such-tty"));
  testing::internal::CaptureStdout();
  EXPECT_FALSE(port.open());
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(std::string::npos, out.find("\nCannot open the device.\n")) << out;
  EXPECT_FALSE(port.isOpen());

  EXPECT_EQ(-1, port.write("x", 1));
  jyxtest::ChannelReport report;
  ASSERT_TRUE(delegate.find(-1, &report));
  EXPECT_EQ(CHANNEL_MSG_ERROR, report.type);
  EXPECT_EQ("serial port: send data - the device handle is invalid!\n", report.text);
  char buf[9];
  EXPECT_EQ(-1, port.read(buf, 8));
  ASSERT_EQ(2u, delegate.reports().size());
  EXPECT_EQ(CHANNEL_MSG_WARNING, delegate.reports()[1].type);
  EXPECT_EQ("serial port: receive data - the device handle is invalid!\n",
            delegate.reports()[1].text);
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
