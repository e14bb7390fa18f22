#include "common/serial_port.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "common/api_manager.h"
#include "common/fd_wait.h"

namespace {

// Fixed wait of a read for the device to become readable, in microseconds.
constexpr int kReadWaitUs = 1000000;

struct BaudEntry {
  int rate;
  speed_t speed;
};

constexpr BaudEntry kBaudTable[] = {
    {0, B0},
    {50, B50},
    {75, B75},
    {110, B110},
    {134, B134},
    {150, B150},
    {200, B200},
    {300, B300},
    {600, B600},
    {1200, B1200},
    {1800, B1800},
    {2400, B2400},
    {4800, B4800},
    {9600, B9600},
    {19200, B19200},
    {38400, B38400},
    {57600, B57600},
    {115200, B115200},
    {230400, B230400},
    {460800, B460800},
    {500000, B500000},
    {576000, B576000},
    {921600, B921600},
    {1000000, B1000000},
    {1152000, B1152000},
    {1500000, B1500000},
    {2000000, B2000000},
    {2500000, B2500000},
    {3000000, B3000000},
    {3500000, B3500000},
    {4000000, B4000000},
};

std::string shellQuote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) {
    if (c == '\'')
      quoted += "'\\''";
    else
      quoted += c;
  }
  return quoted + "'";
}

}  // namespace

bool baudRateToSpeed(int baudRate, unsigned int* speed) {
  for (const BaudEntry& entry : kBaudTable) {
    if (entry.rate == baudRate) {
      *speed = entry.speed;
      return true;
    }
  }
  return false;
}

void applyLineSettings(termios* tio, unsigned int speed, int dataBits, int parity, int stopBits) {
  cfsetispeed(tio, speed);
  cfsetospeed(tio, speed);
  tio->c_cflag |= CLOCAL | CREAD;
  tio->c_cflag &= ~CSIZE;
  switch (dataBits) {
    case 6:
      tio->c_cflag |= CS6;
      break;
    case 7:
      tio->c_cflag |= CS7;
      break;
    case 8:
      tio->c_cflag |= CS8;
      break;
    default:
      break;
  }
  switch (parity) {
    case 0:
      tio->c_cflag &= ~PARENB;
      break;
    case 1:
      tio->c_cflag |= PARENB | PARODD;
      tio->c_iflag |= INPCK | ISTRIP;
      break;
    case 2:
      tio->c_cflag |= PARENB;
      tio->c_cflag &= ~PARODD;
      tio->c_iflag |= INPCK | ISTRIP;
      break;
    default:
      break;
  }
  if (stopBits == 1) tio->c_cflag &= ~CSTOPB;
  if (stopBits == 2) tio->c_cflag |= CSTOPB;
  tio->c_lflag &= ~(ICANON | ECHO | ECHOE | ISIG);
  tio->c_oflag &= ~(OPOST | ONLCR | OCRNL);
  tio->c_iflag &= ~(INLCR | ICRNL | IXON | IXOFF | IXANY);
  tio->c_cc[VTIME] = 0;
  tio->c_cc[VMIN] = 0;
}

CSerialPort::CSerialPort(CChannelDelegate* delegate) : CChannel(delegate, kDefaultFifoCapacity) {}

CSerialPort::~CSerialPort() { shutdown(); }

bool CSerialPort::open() {
  enableThreads();
  CSmartLock guard(&lock_);
  close();
  CAPIManager::instance()->print("uart: %s baudrate:%d databit:%d parity:%d stopbit:%d\n",
                                 path_.c_str(), baudRate_, dataBits_, parity_, stopBits_);
  unsigned int speed;
  if (!baudRateToSpeed(baudRate_, &speed)) {
    CAPIManager::instance()->print("baudrate(%d) is invalid.\n", baudRate_);
    return false;
  }
  int fd = ::open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    CAPIManager::instance()->print("Cannot open the device.\n");
    return false;
  }
  fd_ = fd;
  ++opened_;

  termios tio;
  if (tcgetattr(fd, &tio) != 0) {
    CAPIManager::instance()->print("Configure device tcgetattr() failed\n");
    memset(&tio, 0, sizeof(tio));
  }
  applyLineSettings(&tio, speed, dataBits_, parity_, stopBits_);
  tcflush(fd, TCIFLUSH);
  if (tcsetattr(fd, TCSANOW, &tio) != 0) CAPIManager::instance()->print("tcsetattr() failed\n");
  wakeThreads();
  return true;
}

void CSerialPort::close() {
  interruptRead();
  CSmartLock guard(&lock_);
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

bool CSerialPort::isOpen() {
  CSmartLock guard(&lock_);
  return fd_ >= 0;
}

int CSerialPort::fd() {
  CSmartLock guard(&lock_);
  return fd_;
}

int CSerialPort::write(const void* data, int len) {
  CSmartLock guard(&lock_);
  if (fd_ < 0) {
    report(CHANNEL_MSG_ERROR, -1, "serial port: send data - the device handle is invalid!\n");
    return -1;
  }
  return static_cast<int>(::write(fd_, data, len));
}

int CSerialPort::read(void* buf, int len) {
  int waited = 0;
  bool first = true;
  for (;;) {
    int fd;
    unsigned opened;
    {
      CSmartLock guard(&lock_);
      fd = fd_;
      opened = opened_;
      if (fd < 0) {
        if (!first || inReceivePass()) return 0;  // closed meanwhile
        report(CHANNEL_MSG_WARNING, -1,
               "serial port: receive data - the device handle is invalid!\n");
        return -1;
      }
    }
    first = false;
    // The wait blocks in the kernel without the lock, so a write never
    // queues behind an idle reader; close() ends it through the interrupt
    // descriptor. What it saw counts only for the same open device.
    auto started = std::chrono::steady_clock::now();
    FdWaitResult ready = waitFdOrWake(fd, POLLIN, interruptFd(), kReadWaitUs - waited);
    waited += static_cast<int>(std::chrono::duration_cast<std::chrono::microseconds>(
                                   std::chrono::steady_clock::now() - started)
                                   .count());
    CSmartLock guard(&lock_);
    if (fd_ != fd || opened_ != opened || stopping()) return 0;
    if (ready == FD_WAIT_AGAIN && waited < kReadWaitUs) continue;  // a stale wake-up
    if (ready != FD_WAIT_READY) return 0;
    ssize_t n = ::read(fd_, buf, len);
    if (n >= 0) static_cast<char*>(buf)[n] = 0;
    if (n > 0) receiveFifo_->push(buf, static_cast<int>(n));
    return static_cast<int>(n);
  }
}

std::string CSerialPort::path() {
  CSmartLock guard(&lock_);
  return path_;
}
void CSerialPort::setPath(const std::string& path) {
  CSmartLock guard(&lock_);
  path_ = path;
}
int CSerialPort::baudRate() {
  CSmartLock guard(&lock_);
  return baudRate_;
}
void CSerialPort::setBaudRate(int baudRate) {
  CSmartLock guard(&lock_);
  baudRate_ = baudRate;
}
int CSerialPort::parity() {
  CSmartLock guard(&lock_);
  return parity_;
}
void CSerialPort::setParity(int parity) {
  CSmartLock guard(&lock_);
  parity_ = parity;
}
int CSerialPort::dataBits() {
  CSmartLock guard(&lock_);
  return dataBits_;
}
void CSerialPort::setDataBits(int dataBits) {
  CSmartLock guard(&lock_);
  dataBits_ = dataBits;
}
int CSerialPort::stopBits() {
  CSmartLock guard(&lock_);
  return stopBits_;
}
void CSerialPort::setStopBits(int stopBits) {
  CSmartLock guard(&lock_);
  stopBits_ = stopBits;
}
bool CSerialPort::flag() {
  CSmartLock guard(&lock_);
  return flag_;
}
void CSerialPort::setFlag(bool flag) {
  CSmartLock guard(&lock_);
  flag_ = flag;
}

std::string listTtyDevices(const std::string& directory) {
  std::string command = "ls " + shellQuote(directory) + "/ttyUSB* 2>/dev/null";
  FILE* out = popen(command.c_str(), "r");
  if (!out) return "";
  std::string result;
  std::string word;
  auto endWord = [&] {
    if (word.empty()) return;
    if (!result.empty()) result += ' ';
    result += word;
    word.clear();
  };
  int c;
  while ((c = fgetc(out)) != EOF) {
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n')
      endWord();
    else
      word += static_cast<char>(c);
  }
  endWord();
  pclose(out);
  return result;
}
