// Pure arithmetic and text formatting behind the SPI flash flows of
// CJYXDataManager: image loading, sector and block math, the security fields
// of each flash type, read-range overlap, the check mismatch dump and the
// status-register write split. Nothing here touches a channel, so all of it
// is unit-tested directly.
#ifndef JYX_JYX_DEVICE_SPI_IMAGE_H_
#define JYX_JYX_DEVICE_SPI_IMAGE_H_

#include <cstdint>
#include <string>
#include <vector>

// Bytes per block of a check or read request, and the sector size the flash
// sector count assumes whatever the controller reports.
constexpr uint32_t kSPIBlockSize = 4096;
// Largest range the "jyx.data:spi_read" tasks accept (10 MiB).
constexpr int kSPIMaxTaskReadSize = 0xA00000;

// Security fields sent with the programming-mode request.
struct SPISecurity {
  uint8_t mode = 0;       // 1 when a multi-copy layout is in use
  uint16_t accessId = 0;  // which copies a write reaches
  uint16_t eraseId = 0;   // which copies an erase reaches (sent in write mode only)
};

// "2M*3", "2M*4" and "2M*8" select the multi-copy layouts; any other text
// (normally "Normal") is a plain flash with all fields 0.
SPISecurity spiSecurityForFlashType(const std::string& flashType);

// Sectors a flash pass writes: two per started 8 KiB of image, at least 2.
uint32_t spiFlashSectorCount(uint32_t imageSize);
// 4 KiB blocks a check compares: one per started 4 KiB of image.
uint32_t spiCheckBlockCount(uint32_t imageSize);
// index * 100 / count without overflow; 0 when count is 0.
int spiPercent(uint64_t index, uint64_t count);

// Fills `out` (sectorSize bytes) with 0xFF and copies the image bytes of
// sector `index` over it, never reading past imageSize.
void spiFillSector(const uint8_t* image, uint32_t imageSize, uint32_t index, uint32_t sectorSize,
                   uint8_t* out);

// The largest flash the controller can describe: its programming-mode
// acknowledge counts at most 65535 sectors of 4096 bytes. No image beyond
// it can fit, so none is read into memory.
constexpr uint32_t kSPIMaxImageSize = 65535u * kSPIBlockSize;

// Reads the whole file at `path` into *buffer, whose capacity only ever
// grows, and stores its length in *size. False when the path is not a
// regular file, cannot be read or is larger than kSPIMaxImageSize; *size is
// then 0 and *err (when given) says why in one line. An empty file returns
// true with *size 0.
bool spiLoadImage(const std::string& path, std::vector<uint8_t>* buffer, uint32_t* size,
                  std::string* err = nullptr);

// Blocks [firstBlock, endBlock) cover the flash range [offset, offset + size).
// The offset is the flash address as an unsigned 32-bit value.
struct SPIReadRange {
  uint32_t firstBlock = 0;
  uint32_t endBlock = 0;
};
SPIReadRange spiReadRange(uint32_t offset, uint32_t size);

// The part of block `block` (dataLen bytes of it received) inside
// [offset, offset + size): where it starts in the block and in the range, and
// its length (0 when the block lies outside).
struct SPIBlockShare {
  uint32_t inBlock = 0;
  uint32_t inRange = 0;
  uint32_t len = 0;
};
SPIBlockShare spiBlockShare(uint32_t block, uint32_t dataLen, uint32_t offset, uint32_t size);

// Flash size in bytes from the three JEDEC id bytes (manufacturer, type,
// capacity); 0 when the capacity byte is not a power-of-two size code.
uint64_t spiFlashSizeFromJedecId(const uint8_t id[3]);

// Copies the part of block `block` (its bytes in data[0, dataLen)) that lies
// inside [offset, offset + size) to dest + (its address - offset). Returns
// the bytes copied; bytes beyond dataLen are not copied.
uint32_t spiCopyBlockOverlap(uint32_t block, const uint8_t* data, uint32_t dataLen, uint32_t offset,
                             uint32_t size, uint8_t* dest);

// Compares `len` (at most kSPIBlockSize) bytes of a checked block: `flash`
// holds the flash bytes (at least len rounded up to 16), `file` the image
// bytes of the block (exactly len valid). For every 16-byte line that
// differs within the image it appends the flash line ("%.8d--JYX:" with the
// line number inside the block) and the file line ("%.8d-FILE:" with the line
// number inside the image, then an empty line). Image bytes past len print
// as ff, the erased value the flash holds there. True when any line differs.
bool spiFormatMismatch(const uint8_t* flash, const uint8_t* file, uint32_t len,
                       uint32_t blockOffset, std::string* out);

// "%.2x%.2x %.2x%.2x ..." for 16 bytes, eight pairs, no line end.
std::string spiHexRow(const uint8_t* bytes);
// "data:" followed by " %.2x" per byte and "\n".
std::string spiDataDump(const uint8_t* bytes, uint32_t n);

// Number text of the read-range settings: "0x" selects "0x%x", otherwise
// "%d"; text that does not parse gives 0.
int spiParseNumber(const char* text);

// A status-register write request split up: values for registers 1-3 and
// the mask (bit 0 = register 1, bit 1 = register 2, bit 2 = register 3).
// Every non-zero value forces its mask bit; an empty mask becomes 1.
struct SPIRegisterWrite {
  uint8_t values[3] = {0, 0, 0};
  uint8_t mask = 0;
};
SPIRegisterWrite spiSplitRegisterWrite(uint32_t value);

#endif  // JYX_JYX_DEVICE_SPI_IMAGE_H_
