#include "sim/fastboot_target.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/byte_order.h"
#include "sim/ops_log.h"

namespace jyxsim {

namespace {

// The GPT layout as the target reads it, written from the UEFI
// specification rather than taken from the tool's GPT code: the target is
// the independent check of the tables the tool sends, so an offset mistake
// in either one shows up as a refused flash instead of being made twice.
namespace gpt {
constexpr char kHeaderSignature[8] = {'E', 'F', 'I', ' ', 'P', 'A', 'R', 'T'};
constexpr uint32_t kHeaderMinSize = 92;
// Header fields.
constexpr size_t kHdrSize = 12;          // u32
constexpr size_t kHdrCrc = 16;           // u32, CRC-32 of the header with this field 0
constexpr size_t kHdrMyLba = 24;         // u64
constexpr size_t kHdrAlternateLba = 32;  // u64
constexpr size_t kHdrEntryLba = 72;      // u64
constexpr size_t kHdrEntryCount = 80;    // u32
constexpr size_t kHdrEntrySize = 84;     // u32
constexpr size_t kHdrEntryCrc = 88;      // u32
// Partition entry fields.
constexpr size_t kEntFirstLba = 32;  // u64
constexpr size_t kEntLastLba = 40;   // u64, inclusive
constexpr size_t kEntName = 56;      // UTF-16LE
constexpr size_t kEntNameUnits = 36;
}  // namespace gpt

// Blocks of a GPT copy's entry array: 128 entries of 128 bytes.
constexpr uint64_t kEntryArrayBytes = 16384;
// Sparse image magic: such images need unsparsing the target does not do.
constexpr uint32_t kSparseMagic = 0xed26ff3a;

void appendMessage(const std::string& text, std::string* out) {
  uint8_t header[8];
  uint64_t n = text.size();
  for (int i = 7; i >= 0; --i) {
    header[i] = uint8_t(n);
    n >>= 8;
  }
  out->append(reinterpret_cast<const char*>(header), 8);
  out->append(text);
}

uint32_t crc(const uint8_t* p, size_t n) {
  return uint32_t(crc32(crc32(0L, Z_NULL, 0), p, uInt(n)));
}

std::string entryName(const uint8_t* e) {
  std::string name;
  for (size_t i = 0; i < gpt::kEntNameUnits; ++i) {
    uint16_t u = jyx::decodeFixed16(e + gpt::kEntName + 2 * i);
    if (u == 0) break;
    // Partition names of this target are ASCII; anything else cannot match.
    name += u < 0x80 ? char(u) : '?';
  }
  return name;
}

}  // namespace

CSimFastboot::CSimFastboot(const Config& config, COpsLog* opsLog) : config_(config), ops_(opsLog) {}

CSimFastboot::~CSimFastboot() {
  if (fd_ >= 0) close(fd_);
  if (memory_ != nullptr) munmap(memory_, size_t(config_.diskBytes));
}

bool CSimFastboot::init(std::string* err) {
  if (config_.blockSize != 512 && config_.blockSize != 4096) {
    *err = "NVMe block size must be 512 or 4096";
    return false;
  }
  if (config_.diskBytes < 1024 * uint64_t(config_.blockSize) ||
      config_.diskBytes % config_.blockSize != 0) {
    *err = "NVMe size must be a multiple of the block size and at least 1024 blocks";
    return false;
  }
  if (config_.stateDir.empty()) {
    // Anonymous pages read as zeros and take memory only once written, so
    // an idle simulator stays small whatever the disk size.
    void* p = mmap(nullptr, size_t(config_.diskBytes), PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p == MAP_FAILED) {
      *err = std::string("cannot map the NVMe disk: ") + strerror(errno);
      return false;
    }
    memory_ = static_cast<uint8_t*>(p);
    return true;
  }
  mkdir(config_.stateDir.c_str(), 0755);
  std::string path = config_.stateDir + kDiskFile;
  fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  struct stat st;
  if (fd_ < 0 || fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode) ||
      ftruncate(fd_, off_t(config_.diskBytes)) != 0) {
    *err = "cannot use " + path + ": " + strerror(errno);
    return false;
  }
  return true;
}

void CSimFastboot::reset() {
  phase_ = Phase::kHandshake;
  pending_.clear();
  messageLength_ = 0;
  downloading_ = false;
  downloadLeft_ = 0;
}

bool CSimFastboot::readDisk(uint64_t offset, void* buf, size_t n) const {
  if (offset > config_.diskBytes || n > config_.diskBytes - offset) return false;
  if (fd_ < 0) {
    memcpy(buf, memory_ + offset, n);
    return true;
  }
  return pread(fd_, buf, n, off_t(offset)) == ssize_t(n);
}

bool CSimFastboot::writeDisk(uint64_t offset, const void* buf, size_t n) {
  if (offset > config_.diskBytes || n > config_.diskBytes - offset) return false;
  if (fd_ < 0) {
    memcpy(memory_ + offset, buf, n);
    return true;
  }
  return pwrite(fd_, buf, n, off_t(offset)) == ssize_t(n);
}

bool CSimFastboot::fillDisk(uint64_t offset, uint64_t n, uint8_t value) {
  std::vector<uint8_t> block(1 << 20, value);
  while (n > 0) {
    size_t piece = n < block.size() ? size_t(n) : block.size();
    if (!writeDisk(offset, block.data(), piece)) return false;
    offset += piece;
    n -= piece;
  }
  return true;
}

bool CSimFastboot::feed(const uint8_t* data, size_t n, std::string* out) {
  pending_.append(reinterpret_cast<const char*>(data), n);
  for (;;) {
    if (phase_ == Phase::kHandshake) {
      if (pending_.size() < 4) return true;
      if (pending_[0] != 'F' || pending_[1] != 'B' || !isdigit(uint8_t(pending_[2])) ||
          !isdigit(uint8_t(pending_[3]))) {
        COpsRecord(ops_, "fastboot").str("event", "bad_handshake");
        return false;
      }
      out->append("FB01");
      pending_.erase(0, 4);
      phase_ = Phase::kHeader;
    } else if (phase_ == Phase::kHeader) {
      if (pending_.size() < 8) return true;
      uint64_t length = 0;
      for (int i = 0; i < 8; ++i) length = (length << 8) | uint8_t(pending_[size_t(i)]);
      // A data message may not run past the announced download; a command
      // is short text.
      uint64_t limit = downloading_ ? downloadLeft_ : kMaxCommand;
      if (length == 0 || length > limit) {
        COpsRecord(ops_, "fastboot")
            .str("event", "bad_length")
            .unum("length", length)
            .unum("limit", limit);
        return false;
      }
      messageLength_ = length;
      pending_.erase(0, 8);
      phase_ = Phase::kPayload;
    } else {
      if (pending_.size() < messageLength_) return true;
      std::string payload = pending_.substr(0, size_t(messageLength_));
      pending_.erase(0, size_t(messageLength_));
      phase_ = Phase::kHeader;
      handleMessage(payload, out);
    }
  }
}

void CSimFastboot::handleMessage(const std::string& payload, std::string* out) {
  if (!downloading_) {
    handleCommand(payload, out);
    return;
  }
  download_.append(payload);
  downloadLeft_ -= uint32_t(payload.size());
  if (downloadLeft_ == 0) {
    downloading_ = false;
    COpsRecord(ops_, "fastboot").str("event", "downloaded").unum("bytes", download_.size());
    appendMessage("OKAY", out);
  }
}

std::string CSimFastboot::getvar(const std::string& name, bool* ok) const {
  *ok = true;
  char text[64];
  if (name == "block-size" || name == "logical-block-size") {
    return std::to_string(config_.blockSize);
  }
  if (name == "backdoor") return config_.backdoor ? "yes" : "no";
  if (name == "max-download-size") {
    snprintf(text, sizeof(text), "0x%08x", config_.maxDownload);
    return text;
  }
  if (name == "product") return "jyx-sim";
  if (name == "version") return "0.4";
  if (name == "serialno") return "JYXSIM0001";
  if (name == "secure") return "no";
  if (name.compare(0, 9, "has-slot:") == 0 || name.compare(0, 11, "is-logical:") == 0) {
    return "no";
  }
  if (name.compare(0, 15, "partition-size:") == 0) {
    uint64_t offset = 0, length = 0;
    if (name.size() == 19 && name.compare(15, 4, "gpt") == 0) {
      length = 34 * uint64_t(config_.blockSize);
    } else if (!partitionRange(name.substr(15), &offset, &length)) {
      *ok = false;
      return "no such partition";
    }
    snprintf(text, sizeof(text), "0x%016llx", static_cast<unsigned long long>(length));
    return text;
  }
  *ok = false;
  return "unknown variable";
}

void CSimFastboot::handleCommand(const std::string& cmd, std::string* out) {
  std::string reply;
  std::string arg;
  if (cmd.compare(0, 7, "getvar:") == 0) {
    bool ok = false;
    std::string value = getvar(cmd.substr(7), &ok);
    reply = (ok ? "OKAY" : "FAIL") + value;
  } else if (cmd.compare(0, 9, "download:") == 0) {
    arg = cmd.substr(9);
    reply = startDownload(arg);
  } else if (cmd.compare(0, 6, "flash:") == 0) {
    arg = cmd.substr(6);
    reply = flash(arg);
  } else if (cmd.compare(0, 6, "erase:") == 0) {
    arg = cmd.substr(6);
    uint64_t offset = 0, length = 0;
    if (!partitionRange(arg, &offset, &length)) {
      reply = "FAILpartition does not exist";
    } else if (config_.backdoor) {
      reply = "FAILerase is not supported in ddr mode";
    } else {
      reply = fillDisk(offset, length, 0) ? "OKAY" : "FAILdisk write failed";
    }
  } else if (cmd == "oem qelboot" || cmd == "reboot" || cmd == "continue") {
    reply = "OKAY";
  } else {
    reply = "FAILunknown command";
  }
  COpsRecord rec(ops_, "fastboot");
  rec.str("cmd", cmd).str("reply", reply);
  if (!arg.empty()) rec.str("arg", arg);
  if (cmd.compare(0, 6, "flash:") == 0) rec.unum("bytes", download_.size());
  rec.done();
  appendMessage(reply, out);
  if (reply == "OKAY" && (cmd == "oem qelboot" || cmd == "reboot" || cmd == "continue") && boot_) {
    boot_();
  }
}

std::string CSimFastboot::startDownload(const std::string& arg) {
  char* end = nullptr;
  unsigned long size = arg.size() == 8 ? strtoul(arg.c_str(), &end, 16) : 0;
  if (end == nullptr || *end != '\0' || size == 0 || size > config_.maxDownload) {
    return "FAILdownload size refused";
  }
  char text[16];
  snprintf(text, sizeof(text), "DATA%08lx", size);
  download_.clear();
  downloading_ = true;
  downloadLeft_ = uint32_t(size);
  return text;
}

std::string CSimFastboot::flash(const std::string& arg) {
  uint64_t offset = 0, length = 0;
  std::string why;
  if (download_.empty()) return "FAILno image downloaded";
  if (download_.size() >= 4 &&
      jyx::decodeFixed32(reinterpret_cast<const uint8_t*>(download_.data())) == kSparseMagic) {
    return "FAILsparse images are not supported";
  }
  if (arg == "gpt") return flashGpt(&why) ? "OKAY" : "FAIL" + why;
  if (!partitionRange(arg, &offset, &length)) return "FAILpartition does not exist";
  if (download_.size() > length) return "FAILimage is larger than the partition";
  if (!writeDisk(offset, download_.data(), download_.size())) return "FAILdisk write failed";
  return "OKAY";
}

bool CSimFastboot::flashGpt(std::string* why) {
  const uint64_t bs = config_.blockSize;
  const uint64_t entryBlocks = kEntryArrayBytes / bs;
  const uint64_t primaryBytes = (2 + entryBlocks) * bs;
  if (download_.size() < primaryBytes) {
    *why = "GPT image smaller than a primary table";
    return false;
  }
  std::vector<uint8_t> table(download_.begin(), download_.begin() + long(primaryBytes));
  uint8_t* hdr = table.data() + bs;
  uint32_t hdrSize = jyx::decodeFixed32(hdr + gpt::kHdrSize);
  if (memcmp(hdr, gpt::kHeaderSignature, 8) != 0 || hdrSize < gpt::kHeaderMinSize || hdrSize > bs) {
    *why = "no GPT header at block 1 for this block size";
    return false;
  }
  uint32_t hdrCrc = jyx::decodeFixed32(hdr + gpt::kHdrCrc);
  jyx::encodeFixed32(hdr + gpt::kHdrCrc, 0);
  if (crc(hdr, hdrSize) != hdrCrc) {
    *why = "GPT header checksum wrong";
    return false;
  }
  jyx::encodeFixed32(hdr + gpt::kHdrCrc, hdrCrc);
  const uint64_t lastLba = config_.diskBytes / bs - 1;
  uint32_t count = jyx::decodeFixed32(hdr + gpt::kHdrEntryCount);
  uint32_t entrySize = jyx::decodeFixed32(hdr + gpt::kHdrEntrySize);
  if (jyx::decodeFixed64(hdr + gpt::kHdrMyLba) != 1 ||
      jyx::decodeFixed64(hdr + gpt::kHdrAlternateLba) != lastLba ||
      jyx::decodeFixed64(hdr + gpt::kHdrEntryLba) != 2 ||
      uint64_t(count) * entrySize != kEntryArrayBytes) {
    *why = "GPT was made for another disk (this one has " + std::to_string(lastLba + 1) +
           " blocks of " + std::to_string(bs) + " bytes)";
    return false;
  }
  if (crc(table.data() + 2 * bs, kEntryArrayBytes) != jyx::decodeFixed32(hdr + gpt::kHdrEntryCrc)) {
    *why = "GPT entry array checksum wrong";
    return false;
  }
  // The backup: the same entries just before the last block, and a header
  // in the last block that points back at the primary one.
  std::vector<uint8_t> backup(hdr, hdr + bs);
  uint64_t backupEntries = lastLba - entryBlocks;
  jyx::encodeFixed64(backup.data() + gpt::kHdrMyLba, lastLba);
  jyx::encodeFixed64(backup.data() + gpt::kHdrAlternateLba, 1);
  jyx::encodeFixed64(backup.data() + gpt::kHdrEntryLba, backupEntries);
  jyx::encodeFixed32(backup.data() + gpt::kHdrCrc, 0);
  jyx::encodeFixed32(backup.data() + gpt::kHdrCrc, crc(backup.data(), hdrSize));
  if (!writeDisk(0, table.data(), table.size()) ||
      !writeDisk(backupEntries * bs, table.data() + 2 * bs, kEntryArrayBytes) ||
      !writeDisk(lastLba * bs, backup.data(), backup.size())) {
    *why = "disk write failed";
    return false;
  }
  return true;
}

bool CSimFastboot::partitionRange(const std::string& name, uint64_t* offset,
                                  uint64_t* length) const {
  const uint64_t bs = config_.blockSize;
  std::vector<uint8_t> hdr(bs);
  if (!readDisk(bs, hdr.data(), bs) || memcmp(hdr.data(), gpt::kHeaderSignature, 8) != 0) {
    return false;
  }
  uint32_t count = jyx::decodeFixed32(hdr.data() + gpt::kHdrEntryCount);
  uint32_t entrySize = jyx::decodeFixed32(hdr.data() + gpt::kHdrEntrySize);
  uint64_t entryLba = jyx::decodeFixed64(hdr.data() + gpt::kHdrEntryLba);
  if (entrySize < 128 || uint64_t(count) * entrySize > kEntryArrayBytes) return false;
  std::vector<uint8_t> entries(size_t(count) * entrySize);
  if (entryLba > config_.diskBytes / bs ||
      !readDisk(entryLba * bs, entries.data(), entries.size())) {
    return false;
  }
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t* e = entries.data() + size_t(i) * entrySize;
    uint64_t first = jyx::decodeFixed64(e + gpt::kEntFirstLba);
    uint64_t last = jyx::decodeFixed64(e + gpt::kEntLastLba);
    bool used = false;
    for (size_t k = 0; k < 16; ++k) used = used || e[k] != 0;
    if (!used || entryName(e) != name) continue;
    if (first > last || last >= config_.diskBytes / bs) return false;
    *offset = first * bs;
    *length = (last - first + 1) * bs;
    return true;
  }
  return false;
}

}  // namespace jyxsim
