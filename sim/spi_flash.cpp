#include "sim/spi_flash.h"

#include <fcntl.h>
#include <rapidjson/document.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace jyxsim {

namespace {
constexpr uint32_t kBootCrcBytes = 64 * 1024;
const char kFlashFile[] = "/spi_flash.bin";
const char kStatusFile[] = "/spi_status.json";
}  // namespace

const char* CSimSpiFlash::resultName(Result r) {
  switch (r) {
    case Result::kOk:
      return "ok";
    case Result::kOutOfRange:
      return "out_of_range";
    case Result::kProtected:
      return "protected";
    case Result::kLocked:
      return "locked";
    case Result::kBadRequest:
      return "bad_request";
  }
  return "?";
}

CSimSpiFlash::~CSimSpiFlash() { close(); }

void CSimSpiFlash::close() {
  if (mem_) munmap(mem_, size_);
  mem_ = nullptr;
}

bool CSimSpiFlash::open(const Config& config, std::string* err) {
  close();
  if (config.sizeBytes == 0 || config.sizeBytes % (64 * 1024) != 0) {
    *err = "flash size must be a positive multiple of 64 KiB";
    return false;
  }
  size_ = config.sizeBytes;
  jedecId_ = config.jedecId;
  if (jedecId_ == 0) {
    uint32_t log2 = 0;
    while ((1u << (log2 + 1)) <= size_ && log2 < 31) ++log2;
    jedecId_ = 0xEF4000u | log2;
  }
  memcpy(sr_, config.sr, sizeof(sr_));
  stateDir_ = config.stateDir;
  if (stateDir_.empty()) {
    void* p = mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) {
      *err = std::string("cannot allocate the flash: ") + strerror(errno);
      return false;
    }
    mem_ = static_cast<uint8_t*>(p);
    memset(mem_, 0xFF, size_);
    return true;
  }
  mkdir(stateDir_.c_str(), 0755);
  std::string path = stateDir_ + kFlashFile;
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT, 0644);
  if (fd < 0) {
    *err = "cannot open " + path + ": " + strerror(errno);
    return false;
  }
  struct stat st;
  fstat(fd, &st);
  bool fresh = st.st_size == 0;
  if (!fresh && uint64_t(st.st_size) != size_) {
    *err = "existing " + path + " holds " + std::to_string(st.st_size) +
           " bytes, not the flash size " + std::to_string(size_);
    ::close(fd);
    return false;
  }
  if (fresh && ftruncate(fd, size_) != 0) {
    *err = "cannot size " + path + ": " + strerror(errno);
    ::close(fd);
    return false;
  }
  void* p = mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  ::close(fd);
  if (p == MAP_FAILED) {
    *err = "cannot map " + path + ": " + strerror(errno);
    return false;
  }
  mem_ = static_cast<uint8_t*>(p);
  mapped_ = true;
  if (fresh) memset(mem_, 0xFF, size_);
  if (!config.srGiven && !loadStatus(err)) return false;
  return saveStatus() || (*err = "cannot write " + stateDir_ + kStatusFile, false);
}

bool CSimSpiFlash::loadStatus(std::string* err) {
  std::string path = stateDir_ + kStatusFile;
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) return true;  // first run: keep the configured values
  std::string text;
  char buf[512];
  size_t n;
  while ((n = fread(buf, 1, sizeof(buf), f)) > 0) text.append(buf, n);
  fclose(f);
  rapidjson::Document doc;
  doc.Parse(text.c_str());
  if (doc.HasParseError() || !doc.IsObject()) {
    *err = path + " is not a JSON object";
    return false;
  }
  static const char* const kKeys[3] = {"sr1", "sr2", "sr3"};
  for (int i = 0; i < 3; ++i) {
    auto it = doc.FindMember(kKeys[i]);
    if (it != doc.MemberEnd() && it->value.IsUint() && it->value.GetUint() <= 255)
      sr_[i] = uint8_t(it->value.GetUint());
  }
  return true;
}

bool CSimSpiFlash::saveStatus() {
  if (stateDir_.empty()) return true;
  std::string path = stateDir_ + kStatusFile;
  std::string tmp = path + ".tmp";
  FILE* f = fopen(tmp.c_str(), "wb");
  if (!f) return false;
  fprintf(f, "{\"sr1\":%u,\"sr2\":%u,\"sr3\":%u,\"jedec_id\":%u,\"size\":%u}\n", sr_[0], sr_[1],
          sr_[2], jedecId_, size_);
  bool ok = fclose(f) == 0;
  return ok && rename(tmp.c_str(), path.c_str()) == 0;
}

void CSimSpiFlash::protectedRange(uint32_t* start, uint32_t* end) const {
  if (sr_[2] & kSr3Wps) {
    // Individual block locks power up locked; the model has no command to
    // unlock single blocks, so the whole array stays read-only.
    *start = 0;
    *end = size_;
    return;
  }
  uint32_t bp = (sr_[0] >> 2) & 7;
  bool top = !(sr_[0] & kSr1Tb);
  bool sec = sr_[0] & kSr1Sec;
  uint32_t len;
  if (bp == 0) {
    len = 0;
  } else if (bp == 7) {
    len = size_;
  } else if (!sec) {
    len = size_ >> (7 - bp);  // 1/64 of the array for BP=1 up to 1/2 for BP=6
  } else {
    len = bp >= 4 ? 32 * 1024 : (4 * 1024) << (bp - 1);  // 4, 8, 16 or 32 KiB
  }
  if (sr_[1] & kSr2Cmp) {
    len = size_ - len;
    top = !top;
  }
  *start = top ? size_ - len : 0;
  *end = top ? size_ : len;
}

bool CSimSpiFlash::isProtected(uint32_t offset, uint32_t len) const {
  uint32_t s, e;
  protectedRange(&s, &e);
  if (s == e || len == 0) return false;
  uint64_t end = uint64_t(offset) + len;
  return offset < e && end > s;
}

CSimSpiFlash::Result CSimSpiFlash::writeSector(uint32_t index, const uint8_t* data, size_t len) {
  if (index >= sectorCount() || len > kSectorSize) return Result::kOutOfRange;
  uint32_t offset = index * kSectorSize;
  if (isProtected(offset, kSectorSize)) return Result::kProtected;
  uint8_t* p = mem_ + offset;
  memcpy(p, data, len);
  memset(p + len, 0xFF, kSectorSize - len);
  return Result::kOk;
}

CSimSpiFlash::Result CSimSpiFlash::erase(uint32_t offset, uint32_t len) {
  if (uint64_t(offset) + len > size_) return Result::kOutOfRange;
  if (isProtected(offset, len)) return Result::kProtected;
  memset(mem_ + offset, 0xFF, len);
  return Result::kOk;
}

bool CSimSpiFlash::load(uint32_t offset, const uint8_t* data, size_t len) {
  if (uint64_t(offset) + len > size_) return false;
  memcpy(mem_ + offset, data, len);
  return true;
}

CSimSpiFlash::Result CSimSpiFlash::read(uint32_t offset, uint32_t len, uint8_t* out) const {
  if (uint64_t(offset) + len > size_) return Result::kOutOfRange;
  memcpy(out, mem_ + offset, len);
  return Result::kOk;
}

CSimSpiFlash::Result CSimSpiFlash::readRegister(uint8_t opcode, size_t count, uint8_t* out) const {
  if (opcode == kReadJedecId) {
    for (size_t i = 0; i < count; ++i) out[i] = i < 3 ? uint8_t(jedecId_ >> (8 * (2 - i))) : 0;
    return Result::kOk;
  }
  int reg;
  switch (opcode) {
    case kReadSr1:
      reg = 0;
      break;
    case kReadSr2:
      reg = 1;
      break;
    case kReadSr3:
      reg = 2;
      break;
    default:
      return Result::kBadRequest;
  }
  memset(out, sr_[reg], count);
  return Result::kOk;
}

CSimSpiFlash::Result CSimSpiFlash::writeRegister(uint8_t opcode, const uint8_t* data,
                                                 size_t count) {
  if (count == 0) return Result::kBadRequest;
  if (opcode != kWriteSr1 && opcode != kWriteSr2 && opcode != kWriteSr3) return Result::kBadRequest;
  // Status Register Lock holds every register until the next power cycle.
  if (sr_[1] & kSr2Srl) return Result::kLocked;
  auto writeSr2 = [this](uint8_t v) {
    // SUS is read-only; the security-register lock bits are one-time
    // programmable and never clear again.
    sr_[1] = uint8_t((v & ~kSr2Sus) | (sr_[1] & kSr2Lb) | (sr_[1] & kSr2Sus));
  };
  switch (opcode) {
    case kWriteSr1:
      sr_[0] = uint8_t((data[0] & ~(kSr1Busy | kSr1Wel)) | (sr_[0] & (kSr1Busy | kSr1Wel)));
      if (count >= 2) writeSr2(data[1]);
      break;
    case kWriteSr2:
      writeSr2(data[0]);
      break;
    case kWriteSr3:
      sr_[2] = uint8_t(data[0] & kSr3Writable);
      break;
  }
  saveStatus();
  return Result::kOk;
}

uint32_t CSimSpiFlash::bootCrc() const {
  uint32_t n = size_ < kBootCrcBytes ? size_ : kBootCrcBytes;
  return uint32_t(crc32(crc32(0L, Z_NULL, 0), mem_, n));
}

}  // namespace jyxsim
