#include "tools/gpt_table.h"

#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstring>

#include "common/byte_order.h"
#include "common/string_format.h"

namespace gpt {

using jyx::decodeFixed16;
using jyx::decodeFixed32;
using jyx::decodeFixed64;
using jyx::encodeFixed16;
using jyx::encodeFixed32;
using jyx::encodeFixed64;
using jyx::stringFormat;

uint32_t crc32(const uint8_t* data, size_t len) {
  uLong crc = ::crc32(0L, Z_NULL, 0);
  // zlib takes a uInt length per call.
  while (len > 0) {
    uInt n = len > UINT_MAX ? UINT_MAX : uInt(len);
    crc = ::crc32(crc, data, n);
    data += n;
    len -= n;
  }
  return uint32_t(crc);
}

std::string guidToText(const uint8_t* g) {
  return stringFormat("%.2x%.2x%.2x%.2x-%.2x%.2x-%.2x%.2x-%.2x%.2x-%.2x%.2x%.2x%.2x%.2x%.2x", g[3],
                      g[2], g[1], g[0], g[5], g[4], g[7], g[6], g[8], g[9], g[10], g[11], g[12],
                      g[13], g[14], g[15]);
}

bool guidFromText(const std::string& text, uint8_t* guid) {
  // Byte index of each pair of hex digits, in text order.
  static const int order[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
  if (text.size() != 36) return false;
  uint8_t out[16];
  size_t pos = 0;
  for (int k = 0; k < 16; ++k) {
    if (pos == 8 || pos == 13 || pos == 18 || pos == 23) {
      if (text[pos] != '-') return false;
      ++pos;
    }
    int v = 0;
    for (int d = 0; d < 2; ++d, ++pos) {
      char c = text[pos];
      int x = (c >= '0' && c <= '9')   ? c - '0'
              : (c >= 'a' && c <= 'f') ? c - 'a' + 10
              : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                       : -1;
      if (x < 0) return false;
      v = v * 16 + x;
    }
    out[order[k]] = static_cast<uint8_t>(v);
  }
  memcpy(guid, out, sizeof(out));
  return true;
}

std::string entryName(const uint8_t* entry) {
  // 117 bytes: the name buffer of 120 less room for a two-byte unit and NUL.
  const size_t kMaxBytes = 117;
  std::string out;
  for (size_t i = 0; i < kEntNameUnits && out.size() < kMaxBytes; ++i) {
    uint16_t c = decodeFixed16(entry + kEntName + 2 * i);
    if (c == 0) break;
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else {
      out += static_cast<char>(0xC0 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

void setEntryName(uint8_t* entry, const std::string& text) {
  for (size_t i = 0; i < kEntNameUnits; ++i) {
    uint16_t c = i < text.size() ? static_cast<uint8_t>(text[i]) : 0;
    encodeFixed16(entry + kEntName + 2 * i, c);
  }
}

bool isEmptyEntry(const uint8_t* entry) {
  unsigned sum = 0;
  for (size_t i = 0; i < kGuidSize; ++i) sum += entry[kEntTypeGuid + i];
  return sum == 0;
}

void setEndingChs(uint8_t* record, uint64_t lba) {
  if (lba < kChsLimitLba) {
    uint64_t cyl = lba / 16065;
    record[kMbrRecLastChs] = static_cast<uint8_t>(lba / 63 - cyl * 255);
    record[kMbrRecLastChs + 1] = static_cast<uint8_t>((((cyl >> 8) & 3) * 64) | (lba % 63));
    record[kMbrRecLastChs + 2] = static_cast<uint8_t>(cyl & 255);
  } else {
    record[kMbrRecLastChs] = 255;
    record[kMbrRecLastChs + 1] = 255;
    record[kMbrRecLastChs + 2] = 255;
  }
}

uint64_t entryFirst(const uint8_t* entry) { return decodeFixed64(entry + kEntFirstLba); }
uint64_t entryLast(const uint8_t* entry) { return decodeFixed64(entry + kEntLastLba); }
void setEntryRange(uint8_t* entry, uint64_t first, uint64_t last) {
  encodeFixed64(entry + kEntFirstLba, first);
  encodeFixed64(entry + kEntLastLba, last);
}
std::string entryTypeText(const uint8_t* entry) { return guidToText(entry + kEntTypeGuid); }
std::string entryGuidText(const uint8_t* entry) { return guidToText(entry + kEntUniqueGuid); }

std::vector<Move> planMoves(const std::vector<PlanPart>& parts) {
  std::vector<Move> moves;
  for (const PlanPart& p : parts) {
    if (p.oldFirst != 0 && p.first < p.oldFirst)
      moves.push_back({p.slot, p.oldFirst, p.first, std::min(p.oldBlocks, p.blocks)});
  }
  for (auto it = parts.rbegin(); it != parts.rend(); ++it) {
    if (it->oldFirst != 0 && it->first > it->oldFirst)
      moves.push_back({it->slot, it->oldFirst, it->first, std::min(it->oldBlocks, it->blocks)});
  }
  return moves;
}

bool planExpand(std::vector<PlanPart>* parts, const std::vector<int64_t>& grow, uint64_t usableEnd,
                uint64_t* need) {
  if (parts->empty()) return true;
  uint64_t end = (*parts)[0].first;
  size_t autos = 0;
  for (size_t i = 0; i < parts->size(); ++i) {
    PlanPart& p = (*parts)[i];
    int64_t g = i < grow.size() ? grow[i] : 0;
    if (g < 0) {
      ++autos;
    } else {
      // Sizes come from a checked table and options below 2^43 blocks; the
      // sum is kept from wrapping all the same.
      if (p.blocks > UINT64_MAX / 4 - uint64_t(g)) {
        *need = UINT64_MAX;
        return false;
      }
      p.blocks += uint64_t(g);
    }
    if (end > UINT64_MAX / 4 - p.blocks) {
      *need = UINT64_MAX;
      return false;
    }
    end += p.blocks;
  }
  if (end > usableEnd) {
    *need = end;
    return false;
  }
  uint64_t share = autos ? (usableEnd - end) / autos : 0;
  uint64_t next = (*parts)[0].first;
  for (size_t i = 0; i < parts->size(); ++i) {
    PlanPart& p = (*parts)[i];
    if (i < grow.size() && grow[i] < 0) p.blocks += share;
    p.first = next;
    next += p.blocks;
  }
  *need = next;
  return true;
}

CGptTable::CGptTable(uint32_t blockSize) : blockSize_(blockSize), image_(kImageBufferSize, 0) {}

size_t CGptTable::entryCount() const {
  return std::min<size_t>(headerField32(kHdrEntryCount), kMaxEntries);
}

uint64_t CGptTable::headerField64(size_t offset) const { return decodeFixed64(header() + offset); }
uint32_t CGptTable::headerField32(size_t offset) const { return decodeFixed32(header() + offset); }
uint64_t CGptTable::alternateLba() const { return headerField64(kHdrAlternateLba); }

bool CGptTable::load(const uint8_t* data, size_t len, std::string* messages) {
  std::fill(image_.begin(), image_.end(), 0);
  len = std::min(len, kImageBufferSize);
  if (len < 2 * size_t(blockSize_)) {
    *messages += stringFormat("[gpt]image is too short: %zu bytes < %u\n", len, 2 * blockSize_);
    return false;
  }
  memcpy(image_.data(), data, len);
  return checkMbr(messages) && checkHeader(messages) && loadEntryArray(len, messages) &&
         checkPartitions(messages);
}

bool CGptTable::checkMbr(std::string* messages) {
  uint16_t sig = decodeFixed16(mbr() + kMbrSignatureOffset);
  if (sig != kMbrSignature) {
    *messages += stringFormat("[mbr]signature: 0x%x is not 0x%x\n", sig, kMbrSignature);
    return false;
  }
  for (size_t i = 0; i < kMbrRecordCount; ++i) {
    const uint8_t* rec = mbr() + kMbrRecords + i * kMbrRecordSize;
    uint8_t type = rec[kMbrRecType];
    if (type == 0) continue;
    if (type != kMbrProtectiveType) {
      *messages +=
          stringFormat("[mbr]os type[%d]: 0x%x is not 0x%x\n", int(i), type, kMbrProtectiveType);
      return false;
    }
    uint32_t start = decodeFixed32(rec + kMbrRecFirstLba);
    if (start != 1) {
      *messages += stringFormat("[mbr]start lba[%d]: %d is not %d\n", int(i), int(start), 1);
      return false;
    }
  }
  return true;
}

bool CGptTable::checkHeader(std::string* messages) {
  // The size is checked before the CRC is computed over it.
  uint8_t* hdr = header();
  uint32_t hsize = decodeFixed32(hdr + kHdrSize);
  if (hsize > blockSize_) {
    *messages += stringFormat("[gpt]header size is too large: %u > %u\n", hsize, blockSize_);
    return false;
  }
  if (hsize < kHeaderMinSize) {
    *messages += stringFormat("[gpt]header size is too small: %u > %u\n", hsize, kHeaderMinSize);
    return false;
  }
  uint32_t stored = decodeFixed32(hdr + kHdrCrc);
  encodeFixed32(hdr + kHdrCrc, 0);
  uint32_t computed = crc32(hdr, hsize);
  encodeFixed32(hdr + kHdrCrc, stored);
  if (computed != stored) {
    *messages += stringFormat("[gpt]header crc is wrong: %x != %x\n", computed, stored);
    return false;
  }
  uint64_t signature = decodeFixed64(hdr + kHdrSignature);
  uint64_t expected = decodeFixed64(reinterpret_cast<const uint8_t*>(kHeaderSignature));
  if (signature != expected) {
    *messages += stringFormat("[gpt]signature is wrong: %lld != %lld\n", (long long)signature,
                              (long long)expected);
    return false;
  }
  uint64_t myLba = decodeFixed64(hdr + kHdrMyLba);
  if (myLba >= 2) {
    *messages += stringFormat("[gpt]my_lba incorrect: %lld != %lld\n", (long long)myLba, 1LL);
    return false;
  }
  return true;
}

bool CGptTable::loadEntryArray(size_t len, std::string* messages) {
  // The array must lie inside the bytes read and inside one array.
  uint8_t* hdr = header();
  uint64_t arrayLba = decodeFixed64(hdr + kHdrEntryLba);
  uint32_t count = decodeFixed32(hdr + kHdrEntryCount);
  uint32_t esize = decodeFixed32(hdr + kHdrEntrySize);
  uint64_t arrayBytes = uint64_t(count) * esize;
  if (count > kMaxEntries || arrayBytes > kEntryArrayBytes) {
    *messages += stringFormat("[gpt]entry array is too large: %u x %u > %zu\n", count, esize,
                              kEntryArrayBytes);
    return false;
  }
  if (arrayLba < 2 || arrayLba > len / blockSize_ ||
      arrayLba * blockSize_ + arrayBytes > uint64_t(len)) {
    *messages += stringFormat("[gpt]entry array lba %llu lies outside the %zu bytes read\n",
                              (unsigned long long)arrayLba, len);
    return false;
  }
  const uint8_t* array = image_.data() + arrayLba * blockSize_;
  uint32_t arrayCrc = crc32(array, size_t(arrayBytes));
  uint32_t storedArrayCrc = decodeFixed32(hdr + kHdrEntryCrc);
  if (arrayCrc != storedArrayCrc) {
    *messages +=
        stringFormat("[gpt]entry array crc is wrong: %x != %x\n", arrayCrc, storedArrayCrc);
    return false;
  }
  // The rest of the tool keeps the primary array at block 2.
  size_t span = std::min<size_t>(kEntryArrayBytes, len - size_t(arrayLba) * blockSize_);
  std::vector<uint8_t> copy(kEntryArrayBytes, 0);
  memcpy(copy.data(), array, span);
  memcpy(entry(0), copy.data(), kEntryArrayBytes);
  encodeFixed64(hdr + kHdrEntryLba, 2);

  // The disk's extent must hold the table at both ends.
  uint64_t alternate = alternateLba();
  if (alternate < 2 * arrayBlocks() + 3 || alternate > UINT64_MAX / kEntryArrayBytes) {
    *messages += stringFormat("[gpt]backup lba %llu is invalid\n", (unsigned long long)alternate);
    return false;
  }
  return true;
}

bool CGptTable::checkPartitions(std::string* messages) const {
  const uint64_t alternate = alternateLba();
  int partitions = 0;
  for (size_t i = 0; i < entryCount(); ++i) {
    const uint8_t* e = entry(i);
    if (isEmptyEntry(e)) continue;
    uint64_t first = entryFirst(e), last = entryLast(e);
    if (first < 1 || last < first || last >= alternate) {
      *messages += stringFormat("[gpt]partition %d lba is invalid: [%llu ~ %llu]\n", int(i) + 1,
                                (unsigned long long)first, (unsigned long long)last);
      return false;
    }
    ++partitions;
  }
  if (partitions < 2) {
    *messages += stringFormat("the partition count(%d) must be larger then 1\n", partitions);
    return false;
  }
  return true;
}

void CGptTable::updateCrcs() {
  uint64_t e = arrayBlocks();
  uint8_t* primary = header();
  uint8_t* backup = backupHeader();
  uint32_t hsize = std::min(decodeFixed32(primary + kHdrSize), blockSize_);
  uint64_t arrayBytes = std::min<uint64_t>(
      uint64_t(decodeFixed32(primary + kHdrEntryCount)) * decodeFixed32(primary + kHdrEntrySize),
      kEntryArrayBytes);
  memcpy(backupEntry(0), entry(0), kEntryArrayBytes);
  (void)e;
  uint32_t arrayCrc = crc32(entry(0), size_t(arrayBytes));
  encodeFixed32(primary + kHdrEntryCrc, arrayCrc);
  encodeFixed32(backup + kHdrEntryCrc, arrayCrc);
  for (uint8_t* h : {backup, primary}) {
    encodeFixed32(h + kHdrCrc, 0);
    encodeFixed32(h + kHdrCrc, crc32(h, hsize));
  }
}

void CGptTable::rebuild(uint64_t totalBlocks) {
  const uint64_t e = arrayBlocks();
  uint8_t* rec = mbr() + kMbrRecords;
  uint64_t last = totalBlocks - 1;
  encodeFixed32(rec + kMbrRecSectors, last > 0xFFFFFFFFu ? 0xFFFFFFFFu : uint32_t(last));
  setEndingChs(rec, last);

  uint8_t* primary = header();
  encodeFixed64(primary + kHdrMyLba, 1);
  encodeFixed64(primary + kHdrAlternateLba, totalBlocks - 1);
  encodeFixed64(primary + kHdrFirstUsableLba, e + 2);
  encodeFixed64(primary + kHdrLastUsableLba, totalBlocks - e - 2);
  encodeFixed64(primary + kHdrEntryLba, 2);
  uint8_t* backup = backupHeader();
  memcpy(backup, primary, blockSize_);
  encodeFixed64(backup + kHdrMyLba, totalBlocks - 1);
  encodeFixed64(backup + kHdrAlternateLba, 1);
  encodeFixed64(backup + kHdrEntryLba, totalBlocks - e - 1);
  updateCrcs();
}

int CGptTable::findEntry(const std::string& name) const {
  for (size_t i = 0; i < entryCount(); ++i)
    if (!isEmptyEntry(entry(i)) && entryName(entry(i)) == name) return int(i);
  return -1;
}

int CGptTable::lastEntry() const {
  int last = -1;
  for (size_t i = 0; i < entryCount(); ++i)
    if (!isEmptyEntry(entry(i))) last = int(i);
  return last;
}

int CGptTable::partitionCount() const {
  int n = 0;
  for (size_t i = 0; i < entryCount(); ++i)
    if (!isEmptyEntry(entry(i))) ++n;
  return n;
}

std::string CGptTable::dump(const std::string& nameFilter) const {
  const uint8_t* h = header();
  auto ll = [](uint64_t v) { return (long long)v; };
  std::string out = "------------------------------\n";
  out += stringFormat("[gpt]        current lba: %lld\n", ll(decodeFixed64(h + kHdrMyLba)));
  out += stringFormat("[gpt]         backup lba: %lld\n", ll(decodeFixed64(h + kHdrAlternateLba)));
  out +=
      stringFormat("[gpt]   firse usable lba: %lld\n", ll(decodeFixed64(h + kHdrFirstUsableLba)));
  out += stringFormat("[gpt]    last usable lba: %lld\n", ll(decodeFixed64(h + kHdrLastUsableLba)));
  out += stringFormat("[gpt]          disk guid: %s\n", guidToText(h + kHdrDiskGuid).c_str());
  out += stringFormat("[gpt]partition entry lba: %lld\n", ll(decodeFixed64(h + kHdrEntryLba)));
  out += stringFormat("[gpt]   count of entries: %lld\n", ll(decodeFixed32(h + kHdrEntryCount)));
  out += stringFormat("[gpt]      size of entry: %lld\n", ll(decodeFixed32(h + kHdrEntrySize)));
  out += "------------------------------\n";
  for (size_t i = 0; i < entryCount(); ++i) {
    const uint8_t* e = entry(i);
    if (isEmptyEntry(e)) continue;
    std::string name = entryName(e);
    if (!nameFilter.empty() && name != nameFilter) continue;
    int n = int(i) + 1;
    uint64_t first = entryFirst(e), last = entryLast(e);
    out += stringFormat("[PART %.2d]           name: %s\n", n, name.c_str());
    out += stringFormat("[PART %.2d]      type guid: %s\n", n, entryTypeText(e).c_str());
    out += stringFormat("[PART %.2d]      part guid: %s\n", n, entryGuidText(e).c_str());
    out += stringFormat("[PART %.2d]            lba: [%lld ~ %lld]\n", n, ll(first), ll(last));
    out += stringFormat("[PART %.2d]           size: %lld KiB\n", n,
                        ll((last - first + 1) * blockSize_ / 1024));
  }
  return out;
}

}  // namespace gpt
