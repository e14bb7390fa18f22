// Layout constants of the GUID partition table as the GPT disk tool loads,
// edits and saves it. Every multi-byte field is little-endian (see
// common/byte_order.h); tools/gpt_format.md describes the layout in full.
#ifndef JYX_TOOLS_GPT_FORMAT_H_
#define JYX_TOOLS_GPT_FORMAT_H_

#include <cstddef>
#include <cstdint>

namespace gpt {

// The tool reads at most this much of the start of a disk, and copies
// partition data in chunks of the same size.
constexpr size_t kImageBufferSize = 1048576;
constexpr size_t kChunkSize = kImageBufferSize;

// Bytes of one partition entry array; E = kEntryArrayBytes / blockSize blocks.
constexpr size_t kEntryArrayBytes = 16384;
// Entries are always stepped at this size, whatever the header says.
constexpr size_t kEntryStep = 128;
constexpr size_t kMaxEntries = kEntryArrayBytes / kEntryStep;

constexpr uint32_t kMinBlockSize = 512;
// Above this the entry array would be less than one block (E = 0).
constexpr uint32_t kMaxBlockSize = 16384;

// Protective MBR (block 0).
constexpr size_t kMbrBootCode = 0;
constexpr size_t kMbrRecords = 446;
constexpr size_t kMbrRecordSize = 16;
constexpr size_t kMbrRecordCount = 4;
constexpr size_t kMbrSignatureOffset = 510;
constexpr uint16_t kMbrSignature = 0xAA55;
// Within one 16-byte record.
constexpr size_t kMbrRecStatus = 0;
constexpr size_t kMbrRecFirstChs = 1;
constexpr size_t kMbrRecType = 4;
constexpr size_t kMbrRecLastChs = 5;
constexpr size_t kMbrRecFirstLba = 8;
constexpr size_t kMbrRecSectors = 12;
constexpr uint8_t kMbrProtectiveType = 0xEE;
// Ending CHS values are computed only below this LBA (1024 cylinders of
// 255 heads x 63 sectors would overflow the 10-bit cylinder field above).
constexpr uint64_t kChsLimitLba = 4096576;

// GPT header (block 1 and the last block).
constexpr char kHeaderSignature[8] = {'E', 'F', 'I', ' ', 'P', 'A', 'R', 'T'};
constexpr size_t kHdrSignature = 0;
constexpr size_t kHdrRevision = 8;
constexpr size_t kHdrSize = 12;
constexpr size_t kHdrCrc = 16;
constexpr size_t kHdrMyLba = 24;
constexpr size_t kHdrAlternateLba = 32;
constexpr size_t kHdrFirstUsableLba = 40;
constexpr size_t kHdrLastUsableLba = 48;
constexpr size_t kHdrDiskGuid = 56;
constexpr size_t kHdrEntryLba = 72;
constexpr size_t kHdrEntryCount = 80;
constexpr size_t kHdrEntrySize = 84;
constexpr size_t kHdrEntryCrc = 88;
constexpr uint32_t kHeaderMinSize = 92;
constexpr uint32_t kRevision = 0x10000;

// Partition entry.
constexpr size_t kEntTypeGuid = 0;
constexpr size_t kEntUniqueGuid = 16;
constexpr size_t kEntFirstLba = 32;
constexpr size_t kEntLastLba = 40;
constexpr size_t kEntAttributes = 48;
constexpr size_t kEntName = 56;
constexpr size_t kEntNameUnits = 36;
constexpr size_t kGuidSize = 16;

// Partition type GUIDs in text form.
constexpr const char* kTypeEfiSystem = "c12a7328-f81f-11d2-ba4b-00a0c93ec93b";
constexpr const char* kTypeLinuxSwap = "0657fd6d-a4ab-43c4-84e5-0933c84b4f4f";
constexpr const char* kTypeLinuxRootArm64 = "b921b045-1df0-41c3-af44-4c6f280d3fae";
constexpr const char* kTypeBasicData = "ebd0a0a2-b9e5-4433-87c0-68b6b72699c7";
constexpr const char* kTypeLinuxData = "0fc63daf-8483-4772-8e79-3d69d8477de4";
// Unique GUID of every swap partition the tool inserts.
constexpr const char* kSwapUniqueGuid = "fe1d0e7f-2292-dfb3-16ae-53a68ee613b6";

constexpr uint64_t kGiB = 1ull << 30;
constexpr uint64_t kMiB = 1ull << 20;

}  // namespace gpt

#endif  // JYX_TOOLS_GPT_FORMAT_H_
