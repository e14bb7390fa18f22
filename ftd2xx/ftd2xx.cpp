#include "ftd2xx/ftd2xx.h"

#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <string>

#include "ftd2xx/backend.h"
#include "ftd2xx/bridge_protocol.h"

namespace {

// Live handles: a handle that was never returned by FT_Open, or was closed
// already, is refused with FT_INVALID_HANDLE instead of being dereferenced.
std::mutex g_handlesMutex;
std::set<ftd2xx::Device*>* g_handles = new std::set<ftd2xx::Device*>();

// The backend the environment names now: the simulated bridge at
// $JYX_FTDI_SIM, else USB. Backends are created once per socket path (and
// once for USB) and live as long as the process, since open handles refer
// to them.
ftd2xx::Backend* backend() {
  static std::mutex mutex;
  static auto* backends = new std::map<std::string, ftd2xx::Backend*>();
  const char* sim = getenv(ftbridge::kSocketEnv);
  std::string key = sim != nullptr ? sim : "";
  std::lock_guard<std::mutex> guard(mutex);
  ftd2xx::Backend*& chosen = (*backends)[key];
  if (chosen == nullptr) {
    chosen =
        key.empty() ? ftd2xx::makeUsbBackend().release() : ftd2xx::makeSimBackend(key).release();
  }
  return chosen;
}

// The device of a live handle, or null. Devices are only deleted by
// FT_Close, which a caller must not race with other calls on that handle.
ftd2xx::Device* device(FT_HANDLE handle) {
  std::lock_guard<std::mutex> guard(g_handlesMutex);
  auto* d = static_cast<ftd2xx::Device*>(handle);
  return g_handles->count(d) != 0 ? d : nullptr;
}

}  // namespace

#define FT_DEVICE_OR_FAIL(h)       \
  ftd2xx::Device* dev = device(h); \
  if (dev == nullptr) return FT_INVALID_HANDLE

FT_STATUS FT_ListDevices(PVOID pArg1, PVOID pArg2, DWORD Flags) {
  std::vector<std::string> serials;
  if (Flags & FT_LIST_NUMBER_ONLY) {
    if (pArg1 == nullptr) return FT_INVALID_PARAMETER;
    FT_STATUS status = backend()->list(&serials);
    if (status != FT_OK) return status;
    *static_cast<DWORD*>(pArg1) = static_cast<DWORD>(serials.size());
    return FT_OK;
  }
  if (!(Flags & FT_LIST_ALL) || !(Flags & FT_OPEN_BY_SERIAL_NUMBER) || pArg1 == nullptr ||
      pArg2 == nullptr) {
    return FT_INVALID_PARAMETER;
  }
  FT_STATUS status = backend()->list(&serials);
  if (status != FT_OK) return status;
  char** buffers = static_cast<char**>(pArg1);
  DWORD written = 0;
  for (const std::string& serial : serials) {
    if (buffers[written] == nullptr) break;
    size_t n =
        serial.size() < FT_SERIAL_NUMBER_SIZE - 1 ? serial.size() : FT_SERIAL_NUMBER_SIZE - 1;
    memcpy(buffers[written], serial.data(), n);
    buffers[written][n] = '\0';
    ++written;
  }
  *static_cast<DWORD*>(pArg2) = written;
  return FT_OK;
}

FT_STATUS FT_Open(int deviceNumber, FT_HANDLE* pHandle) {
  if (pHandle == nullptr) return FT_INVALID_PARAMETER;
  *pHandle = nullptr;
  if (deviceNumber < 0) return FT_DEVICE_NOT_FOUND;
  std::unique_ptr<ftd2xx::Device> opened;
  FT_STATUS status = backend()->open(deviceNumber, &opened);
  if (status != FT_OK) return status;
  std::lock_guard<std::mutex> guard(g_handlesMutex);
  ftd2xx::Device* d = opened.release();
  g_handles->insert(d);
  *pHandle = d;
  return FT_OK;
}

FT_STATUS FT_Close(FT_HANDLE ftHandle) {
  ftd2xx::Device* d;
  {
    std::lock_guard<std::mutex> guard(g_handlesMutex);
    d = static_cast<ftd2xx::Device*>(ftHandle);
    if (g_handles->erase(d) == 0) return FT_INVALID_HANDLE;
  }
  delete d;
  return FT_OK;
}

FT_STATUS FT_SetBaudRate(FT_HANDLE h, DWORD BaudRate) {
  FT_DEVICE_OR_FAIL(h);
  return dev->setBaudRate(BaudRate);
}

FT_STATUS FT_SetDataCharacteristics(FT_HANDLE h, UCHAR WordLength, UCHAR StopBits, UCHAR Parity) {
  FT_DEVICE_OR_FAIL(h);
  return dev->setDataCharacteristics(WordLength, StopBits, Parity);
}

FT_STATUS FT_SetFlowControl(FT_HANDLE h, USHORT FlowControl, UCHAR XonChar, UCHAR XoffChar) {
  FT_DEVICE_OR_FAIL(h);
  return dev->setFlowControl(FlowControl, XonChar, XoffChar);
}

FT_STATUS FT_SetTimeouts(FT_HANDLE h, DWORD ReadTimeout, DWORD WriteTimeout) {
  FT_DEVICE_OR_FAIL(h);
  return dev->setTimeouts(ReadTimeout, WriteTimeout);
}

FT_STATUS FT_SetChars(FT_HANDLE h, UCHAR EventChar, UCHAR EventCharEnabled, UCHAR ErrorChar,
                      UCHAR ErrorCharEnabled) {
  FT_DEVICE_OR_FAIL(h);
  return dev->setChars(EventChar, EventCharEnabled, ErrorChar, ErrorCharEnabled);
}

FT_STATUS FT_SetUSBParameters(FT_HANDLE h, DWORD InTransferSize, DWORD OutTransferSize) {
  FT_DEVICE_OR_FAIL(h);
  return dev->setUsbParameters(InTransferSize, OutTransferSize);
}

FT_STATUS FT_SetLatencyTimer(FT_HANDLE h, UCHAR Latency) {
  FT_DEVICE_OR_FAIL(h);
  return dev->setLatencyTimer(Latency);
}

FT_STATUS FT_SetDtr(FT_HANDLE h) {
  FT_DEVICE_OR_FAIL(h);
  return dev->setDtr(true);
}

FT_STATUS FT_ClrDtr(FT_HANDLE h) {
  FT_DEVICE_OR_FAIL(h);
  return dev->setDtr(false);
}

FT_STATUS FT_SetRts(FT_HANDLE h) {
  FT_DEVICE_OR_FAIL(h);
  return dev->setRts(true);
}

FT_STATUS FT_ClrRts(FT_HANDLE h) {
  FT_DEVICE_OR_FAIL(h);
  return dev->setRts(false);
}

FT_STATUS FT_SetBitMode(FT_HANDLE h, UCHAR Mask, UCHAR Mode) {
  FT_DEVICE_OR_FAIL(h);
  return dev->setBitMode(Mask, Mode);
}

FT_STATUS FT_GetQueueStatus(FT_HANDLE h, DWORD* RxBytes) {
  FT_DEVICE_OR_FAIL(h);
  if (RxBytes == nullptr) return FT_INVALID_PARAMETER;
  return dev->queueStatus(RxBytes);
}

FT_STATUS FT_Read(FT_HANDLE h, LPVOID Buffer, DWORD BytesToRead, LPDWORD BytesReturned) {
  FT_DEVICE_OR_FAIL(h);
  if (BytesReturned == nullptr || (Buffer == nullptr && BytesToRead > 0)) {
    return FT_INVALID_PARAMETER;
  }
  *BytesReturned = 0;
  return dev->read(Buffer, BytesToRead, BytesReturned);
}

FT_STATUS FT_Write(FT_HANDLE h, LPVOID Buffer, DWORD BytesToWrite, LPDWORD BytesWritten) {
  FT_DEVICE_OR_FAIL(h);
  if (BytesWritten == nullptr || (Buffer == nullptr && BytesToWrite > 0)) {
    return FT_INVALID_PARAMETER;
  }
  *BytesWritten = 0;
  return dev->write(Buffer, BytesToWrite, BytesWritten);
}

FT_STATUS FT_GetEventFd(FT_HANDLE h, int* fd) {
  FT_DEVICE_OR_FAIL(h);
  if (fd == nullptr) return FT_INVALID_PARAMETER;
  *fd = dev->eventFd();
  return *fd >= 0 ? FT_OK : FT_NOT_SUPPORTED;
}
