// A scripted channel for unit tests of the controller managers: records every
// write (one entry per call), reports isOpen as the test sets it and never
// reads from a device. Bytes a test wants "received" go straight into
// receiveFifo().
#ifndef JYX_TESTS_FAKE_CHANNEL_H_
#define JYX_TESTS_FAKE_CHANNEL_H_

#include <atomic>
#include <cstdint>
#include <vector>

#include "common/channel.h"
#include "common/lock.h"

namespace jyxtest {

class FakeChannel : public CChannel {
 public:
  // 1 MiB FIFOs are plenty for unit tests.
  explicit FakeChannel(CChannelDelegate* delegate, bool open = true)
      : CChannel(delegate, 1 << 20), open_(open) {}
  ~FakeChannel() override { shutdown(); }

  bool open() override {
    ++opens;
    open_ = openSucceeds;
    return open_;
  }
  void close() override {
    if (open_) ++closes;
    open_ = false;
    CChannel::close();
  }
  bool isOpen() override { return open_; }
  void setOpen(bool open) { open_ = open; }
  int write(const void* data, int len) override {
    CSmartLock guard(&writesLock_);
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    writes.emplace_back(bytes, bytes + len);
    return len;
  }
  int read(void* buf, int len) override { return 0; }

  size_t writeCount() {
    CSmartLock guard(&writesLock_);
    return writes.size();
  }
  std::vector<uint8_t> writeAt(size_t i) {
    CSmartLock guard(&writesLock_);
    return writes.at(i);
  }

  bool openSucceeds = true;
  int opens = 0;
  int closes = 0;

 private:
  std::atomic<bool> open_;
  CLock writesLock_;
  std::vector<std::vector<uint8_t>> writes;
};

}  // namespace jyxtest

#endif  // JYX_TESTS_FAKE_CHANNEL_H_
