#include "jyx/device/spi_image.h"

#include <cstdio>
#include <cstring>

#include "common/file_util.h"

SPISecurity spiSecurityForFlashType(const std::string& flashType) {
  SPISecurity s;
  uint16_t id = 0;
  if (flashType == "2M*3") {
    id = 7;
  } else if (flashType == "2M*4") {
    id = 15;
  } else if (flashType == "2M*8") {
    id = 255;
  }
  if (id != 0) {
    s.mode = 1;
    s.accessId = id;
    s.eraseId = id;
  }
  return s;
}

uint32_t spiFlashSectorCount(uint32_t imageSize) {
  // Two 4 KiB sectors per started 8 KiB; computed in 64 bits so that sizes
  // near 4 GiB do not wrap.
  uint64_t count = 2 * ((static_cast<uint64_t>(imageSize) + 8191) / 8192);
  return count < 2 ? 2 : static_cast<uint32_t>(count);
}

uint32_t spiCheckBlockCount(uint32_t imageSize) {
  return static_cast<uint32_t>((static_cast<uint64_t>(imageSize) + kSPIBlockSize - 1) /
                               kSPIBlockSize);
}

int spiPercent(uint64_t index, uint64_t count) {
  if (count == 0) return 0;
  return static_cast<int>(index * 100 / count);
}

void spiFillSector(const uint8_t* image, uint32_t imageSize, uint32_t index, uint32_t sectorSize,
                   uint8_t* out) {
  memset(out, 0xFF, sectorSize);
  uint64_t start = static_cast<uint64_t>(index) * sectorSize;
  if (image == nullptr || start >= imageSize) return;
  uint64_t n = imageSize - start;
  if (n > sectorSize) n = sectorSize;
  memcpy(out, image + start, static_cast<size_t>(n));
}

bool spiLoadImage(const std::string& path, std::vector<uint8_t>* buffer, uint32_t* size,
                  std::string* err) {
  *size = 0;
  std::string why;
  // readRegularFile refuses directories, FIFOs and devices before opening
  // them, so a wrong path can neither block nor fill memory.
  if (!jyx::readRegularFile(path, kSPIMaxImageSize, buffer, &why)) {
    if (err) *err = why;
    return false;
  }
  *size = static_cast<uint32_t>(buffer->size());
  return true;
}

SPIReadRange spiReadRange(uint32_t offset, uint32_t size) {
  SPIReadRange r;
  r.firstBlock = offset / kSPIBlockSize;
  uint64_t span =
      static_cast<uint64_t>(offset) - static_cast<uint64_t>(r.firstBlock) * kSPIBlockSize + size;
  r.endBlock = r.firstBlock + static_cast<uint32_t>((span + kSPIBlockSize - 1) / kSPIBlockSize);
  return r;
}

SPIBlockShare spiBlockShare(uint32_t block, uint32_t dataLen, uint32_t offset, uint32_t size) {
  SPIBlockShare share;
  uint64_t blockStart = static_cast<uint64_t>(block) * kSPIBlockSize;
  uint64_t blockEnd = blockStart + (dataLen < kSPIBlockSize ? dataLen : kSPIBlockSize);
  uint64_t rangeStart = offset;
  uint64_t rangeEnd = rangeStart + size;
  uint64_t from = blockStart > rangeStart ? blockStart : rangeStart;
  uint64_t to = blockEnd < rangeEnd ? blockEnd : rangeEnd;
  if (from >= to) return share;
  share.inBlock = static_cast<uint32_t>(from - blockStart);
  share.inRange = static_cast<uint32_t>(from - rangeStart);
  share.len = static_cast<uint32_t>(to - from);
  return share;
}

uint32_t spiCopyBlockOverlap(uint32_t block, const uint8_t* data, uint32_t dataLen, uint32_t offset,
                             uint32_t size, uint8_t* dest) {
  SPIBlockShare share = spiBlockShare(block, dataLen, offset, size);
  if (share.len > 0) memcpy(dest + share.inRange, data + share.inBlock, share.len);
  return share.len;
}

uint64_t spiFlashSizeFromJedecId(const uint8_t id[3]) {
  // Byte 2 is the capacity as a power of two (0x18: 16 MiB) on the common
  // NOR families; anything outside 64 KiB .. 4 GiB is some other encoding.
  uint8_t capacity = id[2];
  if (capacity < 0x10 || capacity > 0x20) return 0;
  return uint64_t{1} << capacity;
}

namespace {

const char kMismatchFlashFormat[] =
    "%.8d--JYX:%.2x%.2x%.2x%.2x%.2x%.2x%.2x%.2x  %.2x%.2x%.2x%.2x%.2x%.2x%.2x%.2x\n";
const char kMismatchFileFormat[] =
    "%.8d-FILE:%.2x%.2x%.2x%.2x%.2x%.2x%.2x%.2x  %.2x%.2x%.2x%.2x%.2x%.2x%.2x%.2x\n\n";

void appendLine(std::string* out, const char* format, int number, const uint8_t* b) {
  char line[96];
  int n = snprintf(line, sizeof(line), format, number, b[0], b[1], b[2], b[3], b[4], b[5], b[6],
                   b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
  if (n > 0) out->append(line, static_cast<size_t>(n) < sizeof(line) ? n : sizeof(line) - 1);
}

}  // namespace

bool spiFormatMismatch(const uint8_t* flash, const uint8_t* file, uint32_t len,
                       uint32_t blockOffset, std::string* out) {
  bool differs = false;
  for (uint32_t i = 0; i < len; i += 16) {
    uint32_t n = len - i < 16 ? len - i : 16;
    if (memcmp(flash + i, file + i, n) == 0) continue;
    differs = true;
    uint8_t fileLine[16];
    memset(fileLine, 0xFF, sizeof(fileLine));
    memcpy(fileLine, file + i, n);
    appendLine(out, kMismatchFlashFormat, static_cast<int>(i / 16), flash + i);
    appendLine(out, kMismatchFileFormat,
               static_cast<int>((static_cast<uint64_t>(blockOffset) + i) / 16), fileLine);
  }
  return differs;
}

std::string spiHexRow(const uint8_t* b) {
  char line[48];
  int n = snprintf(line, sizeof(line),
                   "%.2x%.2x %.2x%.2x %.2x%.2x %.2x%.2x %.2x%.2x %.2x%.2x %.2x%.2x %.2x%.2x", b[0],
                   b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13],
                   b[14], b[15]);
  return std::string(line, n > 0 ? static_cast<size_t>(n) : 0);
}

std::string spiDataDump(const uint8_t* bytes, uint32_t n) {
  static const char kHex[] = "0123456789abcdef";
  std::string text = "data:";
  text.reserve(5 + 3 * static_cast<size_t>(n) + 1);
  for (uint32_t i = 0; i < n; ++i) {
    text += ' ';
    text += kHex[bytes[i] >> 4];
    text += kHex[bytes[i] & 0x0F];
  }
  text += '\n';
  return text;
}

int spiParseNumber(const char* text) {
  if (text == nullptr) return 0;
  if (strncmp(text, "0x", 2) == 0) {
    unsigned int v = 0;
    if (sscanf(text, "0x%x", &v) != 1) return 0;
    return static_cast<int>(v);
  }
  int v = 0;
  if (sscanf(text, "%d", &v) != 1) return 0;
  return v;
}

SPIRegisterWrite spiSplitRegisterWrite(uint32_t value) {
  SPIRegisterWrite w;
  w.mask = static_cast<uint8_t>(value >> 24);
  for (int i = 0; i < 3; ++i) {
    w.values[i] = static_cast<uint8_t>(value >> (8 * i));
    if (w.values[i] != 0) w.mask |= static_cast<uint8_t>(1u << i);
  }
  if (w.mask == 0) w.mask = 1;
  return w;
}
