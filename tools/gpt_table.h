// CGptTable: the in-memory GPT image of the GPT disk tool, and the pure
// helpers around it (CRC-32, GUID text, entry names, layout planning).
//
// The image is the byte layout the tool loads, edits and saves, with
// E = 16384 / blockSize entry-array blocks:
//   block 0            protective MBR
//   block 1            primary header
//   blocks 2 .. E+1    primary entry array
//   blocks E+2 .. 2E+1 backup entry array
//   block 2E+2         backup header
// Nothing here touches files or prints; failures come back as the tool's own
// message lines (each ending in "\n") for the caller to print.
#ifndef JYX_TOOLS_GPT_TABLE_H_
#define JYX_TOOLS_GPT_TABLE_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/gpt_format.h"

namespace gpt {

// IEEE 802.3 CRC-32 (reflected 0xEDB88320, initial all ones, complemented).
uint32_t crc32(const uint8_t* data, size_t len);

// The mixed-endian text form "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx".
std::string guidToText(const uint8_t* guid);
// Parses the same form (either case) into 16 bytes; false on any other text.
bool guidFromText(const std::string& text, uint8_t* guid);

// Entry name (36 UTF-16LE units at entry + kEntName) as text: units from 0x80
// upward become two bytes, stopping at a zero unit, after 36 units or once
// 117 bytes are written.
std::string entryName(const uint8_t* entry);
// Writes each byte of text into one unit (at most 36), zeroing the rest.
void setEntryName(uint8_t* entry, const std::string& text);
bool isEmptyEntry(const uint8_t* entry);

// Sets the ending CHS bytes of an MBR record from an LBA.
void setEndingChs(uint8_t* record, uint64_t lba);

// One partition of a layout plan (expand, apply).
struct PlanPart {
  size_t slot = 0;        // entry index
  uint64_t oldFirst = 0;  // 0 when the partition is new (no data to move)
  uint64_t oldBlocks = 0;
  uint64_t first = 0;
  uint64_t blocks = 0;
};

// One data move of a plan: copy `blocks` blocks from block `from` to `to`.
struct Move {
  size_t slot;
  uint64_t from;
  uint64_t to;
  uint64_t blocks;
};

// The moves that carry every partition whose start changed to its new place
// without any copy reading blocks an earlier copy already overwrote:
// partitions moving towards the start go first (front to back), then the
// ones moving towards the end (back to front). Each copies the smaller of its
// old and new block counts. `parts` must be ordered by start, new and old
// ranges each non-overlapping.
std::vector<Move> planMoves(const std::vector<PlanPart>& parts);

// Grow and pack for expand. `parts` holds the partitions in table order with
// their current ranges; grow[i] is the number of blocks to add, or -1 for a
// share of the free remainder. Partitions are packed from the first one's
// start; the end of the last may not pass usableEnd (exclusive). On failure
// *need is the end the layout would need.
bool planExpand(std::vector<PlanPart>* parts, const std::vector<int64_t>& grow, uint64_t usableEnd,
                uint64_t* need);

class CGptTable {
 public:
  // blockSize must lie in [512, 16384] and be a multiple of 512.
  explicit CGptTable(uint32_t blockSize);

  // Takes the first bytes of a disk (at most 1 MiB are used) and checks the
  // MBR, the primary header and its entry array. On success the image holds
  // the table with the primary array at block 2. On failure *messages holds
  // the reasons and the table must not be used.
  bool load(const uint8_t* data, size_t len, std::string* messages);

  // Rewrites MBR record 0, both headers, the backup array and every CRC for
  // a disk of totalBlocks blocks. The caller guarantees totalBlocks >= 2E+4.
  void rebuild(uint64_t totalBlocks);
  // Recomputes the CRCs of both arrays and headers (after editing entries
  // in place).
  void updateCrcs();

  // The text of the dump operation; nameFilter limits it to one partition.
  std::string dump(const std::string& nameFilter) const;

  uint32_t blockSize() const { return blockSize_; }
  uint64_t arrayBlocks() const { return blockSize_ ? kEntryArrayBytes / blockSize_ : 0; }
  // Bytes of the saved image: 2E+3 blocks.
  size_t imageBytes() const { return (2 * arrayBlocks() + 3) * blockSize_; }
  uint8_t* image() { return image_.data(); }
  const uint8_t* image() const { return image_.data(); }
  uint8_t* mbr() { return image_.data(); }
  uint8_t* header() { return image_.data() + blockSize_; }
  const uint8_t* header() const { return image_.data() + blockSize_; }
  uint8_t* backupHeader() { return image_.data() + (2 * arrayBlocks() + 2) * blockSize_; }
  // Entries of the primary and backup arrays at 128-byte steps.
  uint8_t* entry(size_t i) { return image_.data() + 2 * blockSize_ + i * kEntryStep; }
  const uint8_t* entry(size_t i) const { return image_.data() + 2 * blockSize_ + i * kEntryStep; }
  uint8_t* backupEntry(size_t i) {
    return image_.data() + (arrayBlocks() + 2) * blockSize_ + i * kEntryStep;
  }
  // Entries walked: the header's count, never more than fit in the array.
  size_t entryCount() const;
  // Index of the first non-empty entry whose name is `name`, or -1.
  int findEntry(const std::string& name) const;
  // Index of the last non-empty entry, or -1.
  int lastEntry() const;
  int partitionCount() const;
  uint64_t alternateLba() const;
  uint64_t headerField64(size_t offset) const;
  uint32_t headerField32(size_t offset) const;

 private:
  // The steps of load, in order; each appends its reason to *messages and
  // returns false at the first fault it finds.
  bool checkMbr(std::string* messages);     // protective MBR records
  bool checkHeader(std::string* messages);  // size, CRC, signature, own LBA
  // Bounds and CRC of the entry array, which is then kept at block 2; the
  // backup LBA must leave room for the table at both ends.
  bool loadEntryArray(size_t len, std::string* messages);
  bool checkPartitions(std::string* messages) const;  // ranges; at least two

  uint32_t blockSize_;
  std::vector<uint8_t> image_;
};

// First and last LBA of an entry.
uint64_t entryFirst(const uint8_t* entry);
uint64_t entryLast(const uint8_t* entry);
void setEntryRange(uint8_t* entry, uint64_t first, uint64_t last);
std::string entryTypeText(const uint8_t* entry);
std::string entryGuidText(const uint8_t* entry);

}  // namespace gpt

#endif  // JYX_TOOLS_GPT_TABLE_H_
