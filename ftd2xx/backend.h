// The two implementations behind ftd2xx.h: an open device and the backend
// that lists and opens devices. ftd2xx.cpp picks the backend once per
// process and checks every handle before it reaches a device.
#ifndef JYX_FTD2XX_BACKEND_H_
#define JYX_FTD2XX_BACKEND_H_

#include <memory>
#include <string>
#include <vector>

#include "ftd2xx/ftd2xx_types.h"

namespace ftd2xx {

class Device {
 public:
  virtual ~Device() = default;
  virtual FT_STATUS setBaudRate(DWORD baud) = 0;
  virtual FT_STATUS setDataCharacteristics(UCHAR bits, UCHAR stop, UCHAR parity) = 0;
  virtual FT_STATUS setFlowControl(USHORT flow, UCHAR xon, UCHAR xoff) = 0;
  virtual FT_STATUS setTimeouts(DWORD readMs, DWORD writeMs) = 0;
  virtual FT_STATUS setChars(UCHAR event, UCHAR eventOn, UCHAR error, UCHAR errorOn) = 0;
  virtual FT_STATUS setUsbParameters(DWORD in, DWORD out) = 0;
  virtual FT_STATUS setLatencyTimer(UCHAR ms) = 0;
  virtual FT_STATUS setDtr(bool level) = 0;
  virtual FT_STATUS setRts(bool level) = 0;
  virtual FT_STATUS setBitMode(UCHAR mask, UCHAR mode) = 0;
  virtual FT_STATUS queueStatus(DWORD* bytes) = 0;
  virtual FT_STATUS read(void* buffer, DWORD n, DWORD* got) = 0;
  virtual FT_STATUS write(const void* buffer, DWORD n, DWORD* written) = 0;
  // See FT_GetEventFd; -1 when the device has no such descriptor.
  virtual int eventFd() { return -1; }
};

class Backend {
 public:
  virtual ~Backend() = default;
  // Serial numbers in index order.
  virtual FT_STATUS list(std::vector<std::string>* serials) = 0;
  virtual FT_STATUS open(int index, std::unique_ptr<Device>* device) = 0;
};

// The simulated bridge at the Unix socket `path`.
std::unique_ptr<Backend> makeSimBackend(const std::string& path);
// The host's USB bridges through libftdi1.
std::unique_ptr<Backend> makeUsbBackend();

// Longest any call waits when the caller asked for no limit (timeout 0).
constexpr int kDefaultWaitMs = 5000;

}  // namespace ftd2xx

#endif  // JYX_FTD2XX_BACKEND_H_
