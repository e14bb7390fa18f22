// CSimSpiFlash: a Winbond W25Q-style SPI NOR flash — erased bytes 0xFF,
// 4096-byte sectors, a JEDEC identification value and status registers 1-3
// with block protection. Contents live in memory or, with a state
// directory, in "spi_flash.bin" (mapped shared, so another process sees
// every write at once) with the status registers in "spi_status.json".
#ifndef JYX_SIM_SPI_FLASH_H_
#define JYX_SIM_SPI_FLASH_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace jyxsim {

class CSimSpiFlash {
 public:
  static constexpr uint32_t kSectorSize = 4096;

  // Status register bits used by the protection table.
  static constexpr uint8_t kSr1Busy = 0x01, kSr1Wel = 0x02, kSr1Bp0 = 0x04, kSr1Bp1 = 0x08,
                           kSr1Bp2 = 0x10, kSr1Tb = 0x20, kSr1Sec = 0x40, kSr1Srp = 0x80;
  static constexpr uint8_t kSr2Srl = 0x01, kSr2Qe = 0x02, kSr2Lb = 0x38, kSr2Cmp = 0x40,
                           kSr2Sus = 0x80;
  static constexpr uint8_t kSr3Wps = 0x04, kSr3Writable = 0x64;

  // Winbond opcodes accepted by readRegister / writeRegister.
  enum Opcode : uint8_t {
    kReadSr1 = 0x05,
    kWriteSr1 = 0x01,
    kReadSr2 = 0x35,
    kWriteSr2 = 0x31,
    kReadSr3 = 0x15,
    kWriteSr3 = 0x11,
    kReadJedecId = 0x9F,
  };

  struct Config {
    uint32_t sizeBytes = 16u << 20;
    uint32_t jedecId = 0;  // 0: Winbond 0xEF40 with the capacity byte of sizeBytes
    uint8_t sr[3] = {0x00, 0x02, 0x60};
    bool srGiven = false;  // the values above win over a stored state
    std::string stateDir;  // empty: contents in memory only
  };

  enum class Result { kOk, kOutOfRange, kProtected, kLocked, kBadRequest };
  static const char* resultName(Result r);

  CSimSpiFlash() = default;
  ~CSimSpiFlash();
  CSimSpiFlash(const CSimSpiFlash&) = delete;
  CSimSpiFlash& operator=(const CSimSpiFlash&) = delete;

  // False with *err set when the size is not a positive multiple of 64 KiB
  // or the state files cannot be used.
  bool open(const Config& config, std::string* err);

  uint32_t size() const { return size_; }
  uint32_t sectorCount() const { return size_ / kSectorSize; }
  uint32_t jedecId() const { return jedecId_; }
  const uint8_t* bytes() const { return mem_; }

  // Erases and programs one 4096-byte sector with `data` (len bytes; the
  // rest of the sector stays 0xFF). Refused when any byte of the sector is
  // protected.
  Result writeSector(uint32_t index, const uint8_t* data, size_t len);
  // Sets [offset, offset+len) to 0xFF; refused when protected.
  Result erase(uint32_t offset, uint32_t len);
  // Writes raw bytes regardless of protection (preloading an image);
  // false when they do not fit.
  bool load(uint32_t offset, const uint8_t* data, size_t len);
  // Copies [offset, offset+len) into out; kOutOfRange beyond the end.
  Result read(uint32_t offset, uint32_t len, uint8_t* out) const;

  // count bytes of a register read (the value repeats, as the chip streams
  // it while the clock runs). kBadRequest for an unknown opcode.
  Result readRegister(uint8_t opcode, size_t count, uint8_t* out) const;
  // Write opcode with count data bytes (0x01 takes SR1 and optionally SR2).
  Result writeRegister(uint8_t opcode, const uint8_t* data, size_t count);
  uint8_t sr(int n) const { return sr_[n - 1]; }

  // The protected byte range [*start, *end); start == end when none.
  void protectedRange(uint32_t* start, uint32_t* end) const;
  bool isProtected(uint32_t offset, uint32_t len) const;

  // zlib CRC-32 of the first 64 KiB (what the boot text reports).
  uint32_t bootCrc() const;

 private:
  bool saveStatus();
  bool loadStatus(std::string* err);
  void close();

  uint8_t* mem_ = nullptr;
  uint32_t size_ = 0;
  uint32_t jedecId_ = 0;
  uint8_t sr_[3] = {0, 0, 0};
  std::string stateDir_;
  bool mapped_ = false;
};

}  // namespace jyxsim

#endif  // JYX_SIM_SPI_FLASH_H_
