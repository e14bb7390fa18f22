#include "jyx/maintenance/ftdi_serial_port.h"

#include <poll.h>

#include <atomic>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "common/api_manager.h"
#include "common/fd_wait.h"
#include "common/string_format.h"
#include "common/thread_pool.h"

namespace {

// Pause after an empty receive queue on a backend without an event
// descriptor, in microseconds (one byte time at 9600 baud).
constexpr int kIdleReadWaitUs = 1000;
// FT_ListDevices buffers: up to 64 devices, 128 bytes each.
constexpr int kMaxDevices = 64;
constexpr int kSerialBufferSize = 128;
// Every step of the standard open waits this long for the bridge to settle.
constexpr int kOpenStepMs = 20;
// Read and write time-outs of an open channel (ms).
constexpr DWORD kReadTimeoutMs = 10;
constexpr DWORD kWriteTimeoutMs = 500;
// MPSSE commands: set / read the low data byte.
constexpr uint8_t kMpsseSetLow = 0x80;
constexpr uint8_t kMpsseReadLow = 0x81;
// Low-byte values of the board's routing: JTAG to the controller, scan.
constexpr uint8_t kRouteJtag = 0x97;
constexpr uint8_t kRouteScan = 0xD7;

std::mutex g_listMutex;
std::vector<int>* g_deviceList = new std::vector<int>();

void print(const char* format, ...) __attribute__((format(printf, 1, 2)));
void print(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = jyx::stringFormatV(format, args);
  va_end(args);
  CAPIManager::instance()->print("%s", text.c_str());
}

// DTR is remembered so that an RTS change can re-apply it: some bridge
// drivers only latch the modem lines together.
struct Lines {
  FT_HANDLE handle;
  bool* dtr;
  FT_STATUS setDtr(bool level) {
    FT_STATUS s = level ? FT_SetDtr(handle) : FT_ClrDtr(handle);
    if (s == FT_OK) *dtr = level;
    return s;
  }
  FT_STATUS setRts(bool level) {
    FT_STATUS s = level ? FT_SetRts(handle) : FT_ClrRts(handle);
    if (s != FT_OK) return s;
    return setDtr(*dtr);
  }
};

FT_STATUS resetToLoader(Lines lines, bool longWait) {
  FT_STATUS s;
  if ((s = lines.setDtr(false)) != FT_OK || (s = lines.setRts(true)) != FT_OK) return s;
  sleepMs(100 + (longWait ? 1200 : 0));
  if ((s = lines.setDtr(true)) != FT_OK || (s = lines.setRts(false)) != FT_OK) return s;
  if (longWait) sleepMs(400);
  sleepMs(50);
  return lines.setDtr(false);
}

void printOpenHint() {
  print("Use lsmod to check if ftdi_sio (and usbserial) are present.\n");
  print("If so, unload them using rmmod, as they conflict with ftd2xx.\n");
}

// FT_Open and the standard line settings. `label` names the device in the
// open failure ("%s" for a channel, "%d" for the class-wide operations).
bool openStandard(int index, const std::string& label, int baud, int dataBits, int stopBits,
                  int parity, FT_HANDLE* out, bool* dtr) {
  FT_HANDLE h = nullptr;
  FT_STATUS s = FT_Open(index, &h);
  if (s != FT_OK) {
    print("FT_Open(%s) failed, with error %d.\n", label.c_str(), (int)s);
    printOpenHint();
    return false;
  }
  Lines lines{h, dtr};
  auto fail = [h](const std::string& text) {
    print("%s", text.c_str());
    FT_Close(h);
    return false;
  };
  sleepMs(kOpenStepMs);
  if ((s = FT_SetBaudRate(h, static_cast<DWORD>(baud))) != FT_OK) {
    return fail(jyx::stringFormat("Failure.  FT_SetBaudRate(%d) returned %d.\n", baud, (int)s));
  }
  sleepMs(kOpenStepMs);
  if ((s = FT_SetDataCharacteristics(h, static_cast<UCHAR>(dataBits), static_cast<UCHAR>(stopBits),
                                     static_cast<UCHAR>(parity))) != FT_OK) {
    return fail(jyx::stringFormat("Failure.  FT_SetDataCharacteristics returned %d.\n", (int)s));
  }
  sleepMs(kOpenStepMs);
  if ((s = lines.setDtr(true)) != FT_OK) {
    return fail(jyx::stringFormat("Failure.  FT_SetDtr returned %d.\n", (int)s));
  }
  sleepMs(kOpenStepMs);
  if ((s = FT_SetFlowControl(h, FT_FLOW_XON_XOFF, 0, 0)) != FT_OK) {
    return fail(jyx::stringFormat("Failure.  FT_SetFlowControl returned %d.\n", (int)s));
  }
  sleepMs(kOpenStepMs);
  if ((s = lines.setRts(true)) != FT_OK) {
    return fail(jyx::stringFormat("Failure.  FT_SetRts returned %d.\n", (int)s));
  }
  sleepMs(kOpenStepMs);
  if ((s = FT_SetTimeouts(h, kReadTimeoutMs, kWriteTimeoutMs)) != FT_OK) {
    return fail(jyx::stringFormat("Failure.  FT_SetTimeouts returned %d.\n", (int)s));
  }
  *out = h;
  return true;
}

bool openPlain(int index, FT_HANDLE* out) {
  FT_STATUS s = FT_Open(index, out);
  if (s == FT_OK) return true;
  print("FT_Open(%d) failed, with error %d.\n", index, (int)s);
  return false;
}

// The interface whose pins drive the board lines; set by the owner of the
// controller's wiring (the serial manager), interface B by default.
std::atomic<int> g_boardLinesInterface{CFTDISerialPort::kInterfaceB};

int boardLinesInterface() { return g_boardLinesInterface.load(); }

std::mutex g_listenerMutex;
CFTDISerialPort::DeviceListListener* g_deviceListListener =
    new CFTDISerialPort::DeviceListListener();

}  // namespace

CFTDISerialPort::CFTDISerialPort(CChannelDelegate* delegate)
    : CChannel(delegate, kDefaultFifoCapacity) {}

CFTDISerialPort::~CFTDISerialPort() { shutdown(); }

std::string CFTDISerialPort::name() {
  CSmartLock guard(&lock_);
  return name_;
}
void CFTDISerialPort::setName(const std::string& name) {
  CSmartLock guard(&lock_);
  name_ = name;
}
int CFTDISerialPort::baud() { return baud_; }
void CFTDISerialPort::setBaud(int baud) { baud_ = baud; }
int CFTDISerialPort::parity() { return parity_; }
void CFTDISerialPort::setParity(int parity) { parity_ = parity; }
int CFTDISerialPort::dataBits() { return dataBits_; }
void CFTDISerialPort::setDataBits(int dataBits) { dataBits_ = dataBits; }
int CFTDISerialPort::stopBits() { return stopBits_; }
void CFTDISerialPort::setStopBits(int stopBits) { stopBits_ = stopBits; }
bool CFTDISerialPort::resetToLoaderOnOpen() { return resetToLoader_; }
void CFTDISerialPort::setResetToLoaderOnOpen(bool reset) { resetToLoader_ = reset; }

bool CFTDISerialPort::open() {
  CSmartLock guard(&lock_);
  enableThreads();
  close();
  int index = atoi(name_.c_str());
  std::vector<int> list = deviceList();
  bool listed = false;
  for (int i : list) listed = listed || i == index;
  if (!listed && !list.empty()) index = list[0];
  FT_HANDLE h = nullptr;
  if (!openStandard(index, name_, baud_, dataBits_, stopBits_, parity_, &h, &dtr_)) return false;
  handle_ = h;
  if (resetToLoader_) reset2bootloader(false);
  wakeThreads();
  return true;
}

void CFTDISerialPort::close() {
  interruptRead();  // the receive thread stops waiting on the handle's descriptor
  CSmartLock guard(&lock_);
  queueFailed_ = false;
  if (handle_ != nullptr) {
    FT_Close(handle_);
    handle_ = nullptr;
  }
  CChannel::close();
}

bool CFTDISerialPort::isOpen() {
  CSmartLock guard(&lock_);
  return handle_ != nullptr;
}

FT_STATUS CFTDISerialPort::reset2bootloader(bool longWait) {
  CSmartLock guard(&lock_);
  if (handle_ == nullptr) return FT_INVALID_HANDLE;
  return resetToLoader(Lines{handle_, &dtr_}, longWait);
}

int CFTDISerialPort::write(const void* data, int len) {
  CSmartLock guard(&lock_);
  if (handle_ == nullptr) {
    report(CHANNEL_MSG_ERROR, -1, "ftdi serial port: send data - the device handle is invalid!\n");
    return -1;
  }
  const auto* bytes = static_cast<const uint8_t*>(data);
  int done = 0;
  while (done < len) {
    DWORD written = 0;
    FT_STATUS s = FT_Write(handle_, const_cast<uint8_t*>(bytes + done),
                           static_cast<DWORD>(len - done), &written);
    if (s != FT_OK) {
      print("Failure.  FT_Write returned %d.\n", (int)s);
      break;
    }
    if (written == 0) break;  // the write time-out ran out with nothing taken
    done += static_cast<int>(written);
  }
  return done;
}

int CFTDISerialPort::read(void* buf, int len) {
  int n = readQueued(buf, len);
  if (n != 0) return n;
  int eventFd = -1;
  bool failed;
  {
    CSmartLock guard(&lock_);
    failed = queueFailed_;
    if (handle_ != nullptr && !failed && FT_GetEventFd(handle_, &eventFd) != FT_OK) eventFd = -1;
  }
  if (failed) {
    // A failed device stays "readable": wait for close() instead of asking
    // it again at once.
    waitFdOrWake(-1, POLLIN, interruptFd(), timeout());
  } else if (eventFd >= 0) {
    // Blocks in the kernel until bytes are queued; close() and shutdown()
    // end the wait through the interrupt descriptor (close() interrupts
    // before it closes the handle, so the descriptor is valid when the wait
    // begins; a wait that outlives it ends with a spurious wake-up).
    waitFdOrWake(eventFd, POLLIN, interruptFd(), timeout());
  } else {
    // No descriptor: the queue query itself waited in the kernel for the
    // chip's next packet; this short pause only bounds a backend that
    // returns at once.
    waitFdOrWake(-1, POLLIN, interruptFd(), kIdleReadWaitUs);
  }
  return 0;
}

int CFTDISerialPort::readQueued(void* buf, int len) {
  CSmartLock guard(&lock_);
  if (handle_ == nullptr) {
    if (!inReceivePass()) {
      report(CHANNEL_MSG_WARNING, -1,
             "ftdi serial port: receive data - the device handle is invalid!\n");
    }
    return -1;
  }
  // Only what has arrived: a blocking read here would hold the channel lock
  // (and every write) for the whole read time-out.
  DWORD queued = 0;
  FT_STATUS s = FT_GetQueueStatus(handle_, &queued);
  if (s != FT_OK) {
    if (!queueFailed_) print("Failure.  FT_Read returned %d.\n", (int)s);
    queueFailed_ = true;
    return 0;
  }
  queueFailed_ = false;
  if (queued == 0) return 0;
  DWORD want = queued < static_cast<DWORD>(len) ? queued : static_cast<DWORD>(len);
  memset(buf, 0, static_cast<size_t>(want));
  DWORD got = 0;
  s = FT_Read(handle_, buf, want, &got);
  if (s != FT_OK) {
    print("Failure.  FT_Read returned %d.\n", (int)s);
    return 0;
  }
  if (got > 0 && !receiveFifo_->push(buf, static_cast<int>(got))) {
    report(CHANNEL_MSG_ERROR, -1, "ftdi serial port: receive buffer full, data lost\n");
  }
  return static_cast<int>(got);
}

// ----- device list -----

std::string CFTDISerialPort::groupDevices(const std::vector<std::string>& serials,
                                          std::vector<int>* list) {
  list->clear();
  std::string text;
  int found[4] = {-1, -1, -1, -1};
  for (size_t i = 0; i < serials.size(); ++i) {
    const std::string& serial = serials[i];
    char last = serial.empty() ? '\0' : serial.back();
    if (serial.compare(0, 3, "JYX") != 0 || serial.size() < 4 || last < 'A' || last > 'D') {
      for (int& f : found) f = -1;  // a foreign device splits any bridge
      continue;
    }
    found[last - 'A'] = static_cast<int>(i);
    if (found[0] >= 0 && found[1] >= 0 && found[2] >= 0 && found[3] >= 0) {
      for (int f : found) list->push_back(f);
      if (!text.empty()) text += ' ';
      text += std::to_string(found[0]);
      for (int& f : found) f = -1;
    }
  }
  return text;
}

std::string CFTDISerialPort::listDevices(bool verbose) {
  std::vector<std::vector<char>> storage(kMaxDevices, std::vector<char>(kSerialBufferSize, 0));
  char* buffers[kMaxDevices + 1];
  for (int i = 0; i < kMaxDevices; ++i) buffers[i] = storage[static_cast<size_t>(i)].data();
  buffers[kMaxDevices] = nullptr;
  DWORD count = 0;
  FT_STATUS s = FT_ListDevices(buffers, &count, FT_LIST_ALL | FT_OPEN_BY_SERIAL_NUMBER);
  std::vector<int> list;
  if (s != FT_OK) {
    if (verbose) print("Error: FT_ListDevices(%d)\n", (int)s);
    setDeviceList(list);
    return "";
  }
  if (count > kMaxDevices) count = kMaxDevices;
  if (verbose) print("ftd listDevices num: %d\n", (int)count);
  std::vector<std::string> serials;
  for (DWORD i = 0; i < count; ++i) {
    storage[i][kSerialBufferSize - 1] = '\0';
    serials.emplace_back(storage[i].data());
    if (verbose) print("ftd device name: %s\n", serials.back().c_str());
  }
  std::string text = groupDevices(serials, &list);
  setDeviceList(list);
  DeviceListListener listener;
  {
    std::lock_guard<std::mutex> guard(g_listenerMutex);
    listener = *g_deviceListListener;
  }
  if (listener) listener(list);
  return text;
}

void CFTDISerialPort::setDeviceListListener(DeviceListListener listener) {
  std::lock_guard<std::mutex> guard(g_listenerMutex);
  *g_deviceListListener = std::move(listener);
}

void CFTDISerialPort::setBoardLinesInterface(Interface which) { g_boardLinesInterface = which; }

std::vector<int> CFTDISerialPort::deviceList() {
  std::lock_guard<std::mutex> guard(g_listMutex);
  return *g_deviceList;
}

void CFTDISerialPort::setDeviceList(const std::vector<int>& list) {
  std::lock_guard<std::mutex> guard(g_listMutex);
  *g_deviceList = list;
}

int CFTDISerialPort::interfaceIndex(const std::vector<int>& list, int num, Interface which) {
  if (list.empty()) return 0;
  for (size_t pos = 0; pos < list.size(); ++pos) {
    if (list[pos] != num) continue;
    size_t at = pos / 4 * 4 + static_cast<size_t>(which);
    return at < list.size() ? list[at] : list[0];
  }
  return static_cast<size_t>(which) < list.size() ? list[static_cast<size_t>(which)] : list[0];
}

int CFTDISerialPort::interfaceIndex(int num, Interface which) {
  return interfaceIndex(deviceList(), num, which);
}

// ----- pin sequences -----

void CFTDISerialPort::enableJYXFlash(int num, std::function<void(bool)> done) {
  int port = interfaceIndex(num, static_cast<Interface>(boardLinesInterface()));
  print("enableJYXFlash port: %d\n", port);
  FT_HANDLE h = nullptr;
  bool dtr = false;
  if (!openStandard(port, std::to_string(port), 115200, 8, 0, 0, &h, &dtr)) return done(false);
  FT_STATUS s = resetToLoader(Lines{h, &dtr}, false);
  if (s != FT_OK) {
    print("Failure.  reset2bootloader returned %d.\n", (int)s);
    FT_Close(h);
    return done(false);
  }
  sleepMs(100);
  FT_Close(h);
  print("ftdi: enable jyx firmware flash.\n");
  done(true);
}

void CFTDISerialPort::resetJYX(int num, std::function<void(bool)> done) {
  int port = interfaceIndex(num, static_cast<Interface>(boardLinesInterface()));
  FT_HANDLE h = nullptr;
  FT_STATUS s = FT_Open(port, &h);
  if (s != FT_OK) {
    print("FT_Open(%d) failed, with error %d.\n", port, (int)s);
    printOpenHint();
    return done(false);
  }
  struct Step {
    FT_STATUS (*call)(FT_HANDLE);
    const char* name;
  };
  const Step steps[] = {{FT_ClrDtr, "FT_ClrDtr"},
                        {FT_ClrRts, "FT_ClrRts"},
                        {FT_SetDtr, "FT_SetDtr"},
                        {FT_SetRts, "FT_SetRts"}};
  sleepMs(100);
  for (const Step& step : steps) {
    if ((s = step.call(h)) != FT_OK) {
      print("Failure.  %s returned %d.\n", step.name, (int)s);
      FT_Close(h);
      return done(false);
    }
    sleepMs(100);
  }
  FT_Close(h);
  print("ftdi: reset jyx.\n");
  done(true);
}

void CFTDISerialPort::bitBang(int num, uint8_t mask, uint8_t value,
                              std::function<void(bool)> done) {
  int port = interfaceIndex(num, kInterfaceB);
  FT_HANDLE h = nullptr;
  if (!openPlain(port, &h)) return done(false);
  sleepMs(100);
  FT_STATUS s = FT_SetLatencyTimer(h, 0);
  if (s == FT_OK) {
    sleepMs(10);
    s = FT_SetBitMode(h, mask, FT_BITMODE_ASYNC_BITBANG);
  }
  if (s == FT_OK) s = FT_SetBaudRate(h, 9600);
  if (s != FT_OK) {
    print("Failure.  ftdi init failed, returned %d.\n", (int)s);
    FT_Close(h);
    return done(false);
  }
  DWORD written = 0;
  s = FT_Write(h, &value, 1, &written);
  if (s != FT_OK || written != 1) {
    print("Failure.  FT_Write returned %d.\n", (int)(s != FT_OK ? s : FT_IO_ERROR));
    FT_Close(h);
    return done(false);
  }
  sleepMs(100);
  FT_Close(h);
  done(true);
}

void CFTDISerialPort::acBitBang(int num, std::function<void(bool)> done) {
  bool first = false;
  bitBang(num, 0xFF, 0xFF, [&first](bool ok) { first = ok; });
  sleepMs(100);
  bool second = false;
  bitBang(num, 0xFF, 0xFF, [&second](bool ok) { second = ok; });
  print("ftdi: acBitBang.");
  done(first && second);
}

void CFTDISerialPort::mpsseWrite(int num, uint8_t direction, const uint8_t* values, int count,
                                 int delayMs, std::function<void(bool)> done) {
  int port = interfaceIndex(num, kInterfaceB);
  FT_HANDLE h = nullptr;
  if (!openPlain(port, &h)) return done(false);
  DWORD queued = 0;
  if (FT_GetQueueStatus(h, &queued) == FT_OK) {
    // Stale bytes from an earlier mode, dropped one at a time; bounded by
    // what was queued when we looked.
    for (DWORD i = 0; i < queued; ++i) {
      uint8_t byte;
      DWORD got = 0;
      if (FT_Read(h, &byte, 1, &got) != FT_OK || got != 1) break;
    }
  }
  FT_STATUS s = FT_SetUSBParameters(h, 65536, 65535);
  s |= FT_SetChars(h, 0, 0, 0, 0);
  s |= FT_SetTimeouts(h, 0, 5000);
  s |= FT_SetLatencyTimer(h, 1);
  s |= FT_SetFlowControl(h, FT_FLOW_RTS_CTS, 0, 0);
  s |= FT_SetBitMode(h, 0, FT_BITMODE_MPSSE);
  if (s != FT_OK) {
    print("Error in initializing the MPSSE %d\n", (int)s);
    FT_Close(h);
    return done(false);
  }
  for (int i = 0; i < count; ++i) {
    sleepMs(delayMs);
    uint8_t command[3] = {kMpsseSetLow, values[i], direction};
    DWORD written = 0;
    s = FT_Write(h, command, sizeof(command), &written);
    if (s != FT_OK || written != sizeof(command)) {
      print("Failure.  FT_Write returned %d.\n", (int)(s != FT_OK ? s : FT_IO_ERROR));
      FT_Close(h);
      return done(false);
    }
  }
  sleepMs(100);
  FT_Close(h);
  done(true);
}

uint8_t CFTDISerialPort::mpsseRead(int num, std::function<void(bool)> done) {
  int port = interfaceIndex(num, kInterfaceB);
  FT_HANDLE h = nullptr;
  if (!openPlain(port, &h)) return 0;
  uint8_t command = kMpsseReadLow;
  DWORD written = 0;
  FT_STATUS s = FT_Write(h, &command, 1, &written);
  if (s != FT_OK || written != 1) {
    print("Failure.  FT_Write returned %d.\n", (int)(s != FT_OK ? s : FT_IO_ERROR));
    FT_Close(h);
    return 0;
  }
  sleepMs(100);
  DWORD queued = 0;
  uint8_t buffer[64];
  DWORD got = 0;
  s = FT_GetQueueStatus(h, &queued);
  if (s == FT_OK && queued > 0) {
    s = FT_Read(h, buffer, queued < sizeof(buffer) ? queued : sizeof(buffer), &got);
  }
  if (s != FT_OK || got != 1) {
    print("Error - GPIO cannot be read\n");
    FT_Close(h);
    return 0;
  }
  FT_Close(h);
  done(true);
  return buffer[0];
}

void CFTDISerialPort::enableScan(int num, std::function<void(bool)> done) {
  int portB = interfaceIndex(num, kInterfaceB);
  const uint8_t steps[2] = {kRouteScan, kRouteJtag};
  for (int i = 0; i < 2; ++i) {
    print("enableScan step %d, port B: %d to value: 0x%x\n", i + 1, portB, steps[i]);
    bool ok = false;
    mpsseWrite(num, 0xFF, &steps[i], 1, 20, [&ok](bool r) { ok = r; });
    if (!ok) {
      print("enableScan fail.\n");
      return done(false);
    }
  }
  done(true);
}
