// CSerialPort: a tty device as a byte channel (raw mode, no flow control),
// and the listing of the host's USB serial devices.
#ifndef JYX_COMMON_SERIAL_PORT_H_
#define JYX_COMMON_SERIAL_PORT_H_

#include <string>

#include "common/channel.h"

class CSerialPort : public CChannel {
 public:
  // 4 MiB FIFOs; line settings 115200 baud, 8 data bits, no parity, 1 stop bit.
  explicit CSerialPort(CChannelDelegate* delegate);
  ~CSerialPort() override;

  // Opens path with the line settings (printed first). False with a printed
  // reason when the baud rate is not supported or the device cannot be
  // opened; a failure to read or apply the attributes is printed but the
  // port stays open (true).
  bool open() override;
  void close() override;
  bool isOpen() override;
  // One write() system call: its result (partial writes are not retried);
  // -1 and an error report when the port is closed.
  int write(const void* data, int len) override;
  // Waits up to one second (fixed) for data, then reads at most len bytes
  // into receiveFifo. buf must have room for len + 1 bytes: the byte behind
  // the data is set to 0. 0 when nothing came; -1 and a warning report when
  // the port is closed.
  int read(void* buf, int len) override;
  bool readWaitsForDevice() override { return true; }

  virtual std::string path();
  virtual void setPath(const std::string& path);
  virtual int baudRate();
  virtual void setBaudRate(int baudRate);
  // 0 none, 1 odd, 2 even.
  virtual int parity();
  virtual void setParity(int parity);
  // 6, 7 or 8; any other value leaves the character size bits clear.
  virtual int dataBits();
  virtual void setDataBits(int dataBits);
  // 1 or 2; any other value leaves the tty's setting as it was.
  virtual int stopBits();
  virtual void setStopBits(int stopBits);
  // Kept for the owner; the port does not use it.
  virtual bool flag();
  virtual void setFlag(bool flag);

  // The open descriptor, -1 when closed (for diagnostics and tests).
  int fd();

 private:
  std::string path_;
  int baudRate_ = 115200;
  int parity_ = 0;
  int dataBits_ = 8;
  int stopBits_ = 1;
  bool flag_ = false;
  int fd_ = -1;
  unsigned opened_ = 0;  // open() calls so far: tells a reopened number from the old one
};

struct termios;

// The line settings open() applies, on top of the attributes in *tio: the
// speed constant both ways, receiver on and modem lines ignored, character
// size, parity (1 odd, 2 even; both check and strip input parity), stop
// bits, raw input and output, no software flow control, VMIN = VTIME = 0.
void applyLineSettings(termios* tio, unsigned int speed, int dataBits, int parity, int stopBits);

// True and the termios speed constant when baudRate is one of the supported
// rates (0, 50, ... 4000000).
bool baudRateToSpeed(int baudRate, unsigned int* speed);

// Full paths of the USB serial devices (ttyUSB*) in `directory`, separated
// by single blanks; empty when there are none.
std::string listTtyDevices(const std::string& directory = "/dev");

#endif  // JYX_COMMON_SERIAL_PORT_H_
