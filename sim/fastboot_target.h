// CSimFastboot: the target's fastboot service over TCP, as a boot loader in
// fastboot mode offers it, writing into the target's NVMe disk.
//
// Transport (the fastboot TCP protocol): the client opens with "FB01", the
// target answers "FB01"; afterwards every message in both directions is an
// 8-byte big-endian length followed by that many bytes. Commands are text
// ("getvar:block-size", "download:%08x", "flash:NAME", "erase:NAME",
// "oem qelboot"); answers are "OKAY…", "FAIL…", "INFO…" or "DATA%08x".
//
// The disk: `--state DIR` keeps it in DIR/nvme.img (so `sgdisk -v` can check
// it), otherwise it lives in memory. "flash:gpt" writes the primary GPT at
// the start of the disk and builds the backup GPT at its end, refusing a
// table made for another disk size or block size; any other name is
// flashed into the range that partition has in the GPT on the disk.
//
// Single-threaded: the simulator's event loop calls everything.
#ifndef JYX_SIM_FASTBOOT_TARGET_H_
#define JYX_SIM_FASTBOOT_TARGET_H_

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace jyxsim {

class COpsLog;

class CSimFastboot {
 public:
  struct Config {
    std::string stateDir;              // empty: the disk lives in memory
    uint64_t diskBytes = 64ull << 20;  // NVMe capacity
    uint32_t blockSize = 512;          // logical block size, 512 or 4096
    bool backdoor = false;             // the target runs from DDR ("backdoor" mode)
    uint32_t maxDownload = 64u << 20;  // largest download accepted
  };
  // The largest command the target reads; longer ones close the link.
  static constexpr uint32_t kMaxCommand = 4096;
  static constexpr const char* kDiskFile = "/nvme.img";

  CSimFastboot(const Config& config, COpsLog* opsLog);
  ~CSimFastboot();
  CSimFastboot(const CSimFastboot&) = delete;
  CSimFastboot& operator=(const CSimFastboot&) = delete;

  // Creates or opens the disk (the file is sized to diskBytes). False with
  // *err when the file cannot be made.
  bool init(std::string* err);
  // Called when the target leaves fastboot mode on "oem qelboot" (or
  // "reboot"/"continue"), after the answer has been queued.
  void setBootHandler(std::function<void()> handler) { boot_ = std::move(handler); }

  // A new client: the handshake is expected again, a download in progress
  // is dropped.
  void reset();
  // Bytes from the client; answers are appended to *out. False when the
  // link must be closed (bad handshake, oversized or malformed message).
  bool feed(const uint8_t* data, size_t n, std::string* out);

  // Disk access for tests and the GPT lookups.
  bool readDisk(uint64_t offset, void* buf, size_t n) const;
  uint64_t diskBytes() const { return config_.diskBytes; }
  // The byte range of the partition called `name` in the primary GPT on
  // the disk; false when there is no valid GPT or no such partition.
  bool partitionRange(const std::string& name, uint64_t* offset, uint64_t* length) const;

 private:
  enum class Phase { kHandshake, kHeader, kPayload };

  void handleMessage(const std::string& payload, std::string* out);
  void handleCommand(const std::string& cmd, std::string* out);
  std::string getvar(const std::string& name, bool* ok) const;
  // The replies to "download:SIZE" (which starts the data phase) and to
  // "flash:PARTITION".
  std::string startDownload(const std::string& arg);
  std::string flash(const std::string& arg);
  bool flashGpt(std::string* why);
  bool writeDisk(uint64_t offset, const void* buf, size_t n);
  bool fillDisk(uint64_t offset, uint64_t n, uint8_t value);

  Config config_;
  COpsLog* ops_;
  std::function<void()> boot_;
  int fd_ = -1;
  uint8_t* memory_ = nullptr;  // the disk without --state (an anonymous mapping)
  Phase phase_ = Phase::kHandshake;
  std::string pending_;  // bytes of the message being assembled
  uint64_t messageLength_ = 0;
  bool downloading_ = false;
  uint32_t downloadLeft_ = 0;
  std::string download_;  // the last completed or running download
};

}  // namespace jyxsim

#endif  // JYX_SIM_FASTBOOT_TARGET_H_
