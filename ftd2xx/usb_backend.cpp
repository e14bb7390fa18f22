// D2XX backend for real FTDI bridges through libftdi1. Each interface of a
// multi-interface chip is its own device index, in interface order, named
// by the chip's serial number plus the interface letter, as D2XX does.
//
// libftdi has no receive-queue query, so the device keeps a small receive
// queue of its own: FT_GetQueueStatus polls the chip once (the latency
// timer bounds how long that takes) and reports what is queued.
#include <ftdi.h>
#include <libusb.h>

#include <chrono>
#include <deque>
#include <mutex>

#include "ftd2xx/backend.h"

namespace ftd2xx {
namespace {

constexpr int kFtdiVendor = 0x0403;

// Interfaces of a chip, by USB product id.
int interfaceCount(uint16_t product) {
  switch (product) {
    case 0x6011:
      return 4;  // FT4232H
    case 0x6010:
      return 2;  // FT2232C/D/H
    default:
      return 1;
  }
}

struct Entry {
  libusb_device* dev;
  int interfaceIndex;
  std::string serial;
};

// Enumerates every interface of every FTDI chip. The libusb devices are
// referenced until `release` is called.
FT_STATUS enumerate(ftdi_context* ctx, std::vector<Entry>* entries, ftdi_device_list** list) {
  int found = ftdi_usb_find_all(ctx, list, kFtdiVendor, 0);
  if (found < 0) return FT_IO_ERROR;
  for (ftdi_device_list* d = *list; d != nullptr; d = d->next) {
    libusb_device_descriptor desc{};
    if (libusb_get_device_descriptor(d->dev, &desc) != 0) continue;
    char serial[64] = {0};
    if (ftdi_usb_get_strings(ctx, d->dev, nullptr, 0, nullptr, 0, serial, sizeof(serial)) < 0) {
      serial[0] = '\0';
    }
    int n = interfaceCount(desc.idProduct);
    for (int i = 0; i < n; ++i) {
      std::string name = serial;
      if (n > 1) name += static_cast<char>('A' + i);
      entries->push_back({d->dev, i, name});
    }
  }
  return FT_OK;
}

FT_STATUS status(int rc) { return rc < 0 ? FT_IO_ERROR : FT_OK; }

class UsbDevice : public Device {
 public:
  explicit UsbDevice(ftdi_context* ctx) : ctx_(ctx) {}
  ~UsbDevice() override {
    ftdi_usb_close(ctx_);
    ftdi_free(ctx_);
  }

  FT_STATUS setBaudRate(DWORD baud) override {
    std::lock_guard<std::mutex> guard(mutex_);
    if (ftdi_set_baudrate(ctx_, static_cast<int>(baud)) < 0) return FT_INVALID_BAUD_RATE;
    return FT_OK;
  }
  FT_STATUS setDataCharacteristics(UCHAR bits, UCHAR stop, UCHAR parity) override {
    std::lock_guard<std::mutex> guard(mutex_);
    if ((bits != 7 && bits != 8) || stop > 2 || parity > 4) return FT_INVALID_PARAMETER;
    return status(ftdi_set_line_property(ctx_, static_cast<ftdi_bits_type>(bits),
                                         static_cast<ftdi_stopbits_type>(stop),
                                         static_cast<ftdi_parity_type>(parity)));
  }
  FT_STATUS setFlowControl(USHORT flow, UCHAR xon, UCHAR xoff) override {
    std::lock_guard<std::mutex> guard(mutex_);
    // D2XX and the chip's request use the same flow-control bits.
    return status(ftdi_setflowctrl(ctx_, flow));
  }
  FT_STATUS setTimeouts(DWORD readMs, DWORD writeMs) override {
    std::lock_guard<std::mutex> guard(mutex_);
    ctx_->usb_read_timeout = static_cast<int>(readMs > 0 ? readMs : kDefaultWaitMs);
    ctx_->usb_write_timeout = static_cast<int>(writeMs > 0 ? writeMs : kDefaultWaitMs);
    return FT_OK;
  }
  FT_STATUS setChars(UCHAR event, UCHAR eventOn, UCHAR error, UCHAR errorOn) override {
    std::lock_guard<std::mutex> guard(mutex_);
    if (ftdi_set_event_char(ctx_, event, eventOn) < 0) return FT_IO_ERROR;
    return status(ftdi_set_error_char(ctx_, error, errorOn));
  }
  FT_STATUS setUsbParameters(DWORD in, DWORD out) override {
    std::lock_guard<std::mutex> guard(mutex_);
    if (ftdi_read_data_set_chunksize(ctx_, in) < 0) return FT_IO_ERROR;
    return status(ftdi_write_data_set_chunksize(ctx_, out));
  }
  FT_STATUS setLatencyTimer(UCHAR ms) override {
    std::lock_guard<std::mutex> guard(mutex_);
    // The chip takes 1-255 ms; D2XX callers pass 0 for "as low as it goes".
    return status(ftdi_set_latency_timer(ctx_, ms == 0 ? 1 : ms));
  }
  FT_STATUS setDtr(bool level) override {
    std::lock_guard<std::mutex> guard(mutex_);
    return status(ftdi_setdtr(ctx_, level ? 1 : 0));
  }
  FT_STATUS setRts(bool level) override {
    std::lock_guard<std::mutex> guard(mutex_);
    return status(ftdi_setrts(ctx_, level ? 1 : 0));
  }
  FT_STATUS setBitMode(UCHAR mask, UCHAR mode) override {
    std::lock_guard<std::mutex> guard(mutex_);
    return status(ftdi_set_bitmode(ctx_, mask, mode));
  }
  FT_STATUS queueStatus(DWORD* bytes) override {
    std::lock_guard<std::mutex> guard(mutex_);
    if (!poll()) return FT_IO_ERROR;
    *bytes = static_cast<DWORD>(rx_.size());
    return FT_OK;
  }
  FT_STATUS read(void* buffer, DWORD n, DWORD* got) override {
    std::lock_guard<std::mutex> guard(mutex_);
    auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(ctx_->usb_read_timeout);
    while (rx_.size() < n && std::chrono::steady_clock::now() < deadline) {
      if (!poll()) return FT_IO_ERROR;
    }
    DWORD take = rx_.size() < n ? static_cast<DWORD>(rx_.size()) : n;
    auto* out = static_cast<uint8_t*>(buffer);
    for (DWORD i = 0; i < take; ++i) out[i] = rx_[i];
    rx_.erase(rx_.begin(), rx_.begin() + take);
    *got = take;
    return FT_OK;
  }
  FT_STATUS write(const void* buffer, DWORD n, DWORD* written) override {
    std::lock_guard<std::mutex> guard(mutex_);
    int rc = ftdi_write_data(ctx_, static_cast<const unsigned char*>(buffer), static_cast<int>(n));
    if (rc < 0) return FT_IO_ERROR;
    *written = static_cast<DWORD>(rc);
    return FT_OK;
  }

 private:
  // One bulk read from the chip into the queue.
  bool poll() {
    unsigned char buf[4096];
    int rc = ftdi_read_data(ctx_, buf, sizeof(buf));
    if (rc < 0) return false;
    rx_.insert(rx_.end(), buf, buf + rc);
    return true;
  }

  std::mutex mutex_;
  ftdi_context* ctx_;
  std::deque<uint8_t> rx_;
};

class UsbBackend : public Backend {
 public:
  FT_STATUS list(std::vector<std::string>* serials) override {
    ftdi_context* ctx = ftdi_new();
    if (ctx == nullptr) return FT_INSUFFICIENT_RESOURCES;
    ftdi_device_list* list = nullptr;
    std::vector<Entry> entries;
    FT_STATUS result = enumerate(ctx, &entries, &list);
    serials->clear();
    for (const Entry& e : entries) serials->push_back(e.serial);
    ftdi_list_free(&list);
    ftdi_free(ctx);
    return result;
  }

  FT_STATUS open(int index, std::unique_ptr<Device>* device) override {
    ftdi_context* ctx = ftdi_new();
    if (ctx == nullptr) return FT_INSUFFICIENT_RESOURCES;
    ftdi_device_list* list = nullptr;
    std::vector<Entry> entries;
    FT_STATUS result = enumerate(ctx, &entries, &list);
    if (result == FT_OK && (index < 0 || static_cast<size_t>(index) >= entries.size())) {
      result = FT_DEVICE_NOT_FOUND;
    }
    if (result == FT_OK) {
      const Entry& e = entries[static_cast<size_t>(index)];
      if (ftdi_set_interface(ctx, static_cast<ftdi_interface>(INTERFACE_A + e.interfaceIndex)) <
              0 ||
          ftdi_usb_open_dev(ctx, e.dev) < 0) {
        result = FT_DEVICE_NOT_OPENED;
      }
    }
    ftdi_list_free(&list);
    if (result != FT_OK) {
      ftdi_free(ctx);
      return result;
    }
    ctx->usb_read_timeout = kDefaultWaitMs;
    ctx->usb_write_timeout = kDefaultWaitMs;
    *device = std::make_unique<UsbDevice>(ctx);
    return FT_OK;
  }
};

}  // namespace

std::unique_ptr<Backend> makeUsbBackend() { return std::make_unique<UsbBackend>(); }

}  // namespace ftd2xx
