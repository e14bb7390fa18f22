#include "tools/gpt_table.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "common/byte_order.h"

using namespace gpt;

namespace {

struct Part {
  const char* name;
  const char* type;
  uint64_t first;
  uint64_t last;
};

// A valid table of `total` blocks made the way the tool's create does.
std::vector<uint8_t> makeImage(uint32_t bs, uint64_t total, const std::vector<Part>& parts) {
  CGptTable t(bs);
  uint8_t* rec = t.mbr() + kMbrRecords;
  rec[kMbrRecType] = kMbrProtectiveType;
  jyx::encodeFixed32(rec + kMbrRecFirstLba, 1);
  jyx::encodeFixed16(t.mbr() + kMbrSignatureOffset, kMbrSignature);
  memcpy(t.header(), kHeaderSignature, 8);
  jyx::encodeFixed32(t.header() + kHdrSize, 92);
  jyx::encodeFixed32(t.header() + kHdrEntryCount, 128);
  jyx::encodeFixed32(t.header() + kHdrEntrySize, 128);
  for (size_t i = 0; i < parts.size(); ++i) {
    guidFromText(parts[i].type, t.entry(i) + kEntTypeGuid);
    guidFromText("01234567-89ab-cdef-0123-456789abcdef", t.entry(i) + kEntUniqueGuid);
    t.entry(i)[kEntUniqueGuid] = uint8_t(i);
    setEntryName(t.entry(i), parts[i].name);
    setEntryRange(t.entry(i), parts[i].first, parts[i].last);
  }
  t.rebuild(total);
  return std::vector<uint8_t>(t.image(), t.image() + t.imageBytes());
}

const std::vector<Part> kTwo = {{"boot", kTypeEfiSystem, 40, 99},
                                {"root", kTypeLinuxRootArm64, 100, 199}};

// Re-seals the primary header after a field was changed on purpose.
void sealHeader(std::vector<uint8_t>* img, uint32_t bs) {
  uint8_t* h = img->data() + bs;
  jyx::encodeFixed32(h + kHdrCrc, 0);
  jyx::encodeFixed32(h + kHdrCrc, crc32(h, jyx::decodeFixed32(h + kHdrSize)));
}
void sealArray(std::vector<uint8_t>* img, uint32_t bs) {
  uint8_t* h = img->data() + bs;
  uint32_t n = jyx::decodeFixed32(h + kHdrEntryCount) * jyx::decodeFixed32(h + kHdrEntrySize);
  jyx::encodeFixed32(h + kHdrEntryCrc, crc32(img->data() + 2 * bs, n));
  sealHeader(img, bs);
}

}  // namespace

TEST(GptTableTest, Crc32MatchesTheIeeeCheckValue) {
  EXPECT_EQ(0xCBF43926u, crc32(reinterpret_cast<const uint8_t*>("123456789"), 9));
  EXPECT_EQ(0u, crc32(nullptr, 0));
}

TEST(GptTableTest, GuidTextRoundTripsInMixedEndianForm) {
  uint8_t g[16];
  ASSERT_TRUE(guidFromText("C12A7328-F81F-11D2-BA4B-00A0C93EC93B", g));
  const uint8_t expect[16] = {0x28, 0x73, 0x2a, 0xc1, 0x1f, 0xf8, 0xd2, 0x11,
                              0xba, 0x4b, 0x00, 0xa0, 0xc9, 0x3e, 0xc9, 0x3b};
  EXPECT_EQ(0, memcmp(expect, g, 16));
  EXPECT_EQ(kTypeEfiSystem, guidToText(g));
  for (const char* bad :
       {"", "c12a7328f81f11d2ba4b00a0c93ec93b", "c12a7328-f81f-11d2-ba4b-00a0c93ec93",
        "c12a7328-f81f-11d2-ba4b-00a0c93ec93g", "c12a7328_f81f-11d2-ba4b-00a0c93ec93b"})
    EXPECT_FALSE(guidFromText(bad, g)) << bad;
}

TEST(GptTableTest, NamesConvertUnitByUnit) {
  uint8_t e[128] = {};
  setEntryName(e, "root");
  EXPECT_EQ("root", entryName(e));
  jyx::encodeFixed16(e + kEntName + 2, 0x00E9);  // 'r', U+00E9, 'o', 't'
  EXPECT_EQ(std::string("r\xC3\xA9ot"), entryName(e));
  std::string longName(40, 'x');
  setEntryName(e, longName);
  EXPECT_EQ(std::string(36, 'x'), entryName(e));
  for (int i = 0; i < 36; ++i) jyx::encodeFixed16(e + kEntName + 2 * i, 0x7FF);
  EXPECT_EQ(72u, entryName(e).size());  // 36 units, under the 117-byte cap
}

TEST(GptTableTest, EndingChsFollowsTheLba) {
  struct {
    uint64_t lba;
    uint8_t head, sector, cyl;
  } cases[] = {{0x1FFFF, 40, 31, 8}, {62, 0, 62, 0},           {3213064, 1, 1, 200},
               {4096575, 0, 0, 255}, {4096576, 255, 255, 255}, {1ull << 40, 255, 255, 255}};
  for (const auto& c : cases) {
    uint8_t rec[16] = {};
    setEndingChs(rec, c.lba);
    EXPECT_EQ(c.head, rec[kMbrRecLastChs]) << c.lba;
    EXPECT_EQ(c.sector, rec[kMbrRecLastChs + 1]) << c.lba;
    EXPECT_EQ(c.cyl, rec[kMbrRecLastChs + 2]) << c.lba;
  }
}

TEST(GptTableTest, RebuildPlacesBothTablesForEveryBlockSize) {
  for (uint32_t bs : {512u, 4096u}) {
    uint64_t e = 16384 / bs;
    std::vector<uint8_t> img = makeImage(bs, 1000, kTwo);
    CGptTable t(bs);
    std::string msg;
    ASSERT_TRUE(t.load(img.data(), img.size(), &msg)) << msg;
    EXPECT_EQ(999u, t.alternateLba());
    EXPECT_EQ(e + 2, t.headerField64(kHdrFirstUsableLba));
    EXPECT_EQ(1000 - e - 2, t.headerField64(kHdrLastUsableLba));
    const uint8_t* b = t.backupHeader();
    EXPECT_EQ(999u, jyx::decodeFixed64(b + kHdrMyLba));
    EXPECT_EQ(1u, jyx::decodeFixed64(b + kHdrAlternateLba));
    EXPECT_EQ(1000 - e - 1, jyx::decodeFixed64(b + kHdrEntryLba));
    EXPECT_EQ(999u, jyx::decodeFixed32(t.mbr() + kMbrRecords + kMbrRecSectors));
    EXPECT_EQ(2, t.partitionCount());
    EXPECT_EQ(1, t.findEntry("root"));
    EXPECT_EQ(-1, t.findEntry("swap"));
  }
}

// Damage done to a valid image of 512-byte blocks before it is loaded.
using Damage = std::function<void(std::vector<uint8_t>*)>;
Damage setByte(size_t at, uint8_t value) {
  return [=](std::vector<uint8_t>* i) { (*i)[at] = value; };
}
Damage flipByte(size_t at) {
  return [=](std::vector<uint8_t>* i) { (*i)[at] ^= 1; };
}
// A primary header field of `width` bytes set to `value`, the header
// re-sealed when `seal`.
Damage header(size_t field, uint64_t value, int width, bool seal = true) {
  return [=](std::vector<uint8_t>* i) {
    uint8_t* h = i->data() + 512;
    if (width == 1) h[field] = uint8_t(value);
    if (width == 4) jyx::encodeFixed32(h + field, uint32_t(value));
    if (width == 8) jyx::encodeFixed64(h + field, value);
    if (seal) sealHeader(i, 512);
  };
}

// Every corruption is refused with its own message and without a crash.
TEST(GptTableTest, LoadRefusesDamagedTables) {
  const struct {
    const char* what;
    Damage damage;
    const char* message;
  } cases[] = {
      {"mbr signature", setByte(510, 0), "[mbr]signature: 0xaa00 is not 0xaa55\n"},
      {"mbr type", setByte(446 + 16 + 4, 0x83), "[mbr]os type[1]: 0x83 is not 0xee\n"},
      {"mbr start lba 2", setByte(446 + 8, 2), "[mbr]start lba[0]: 2 is not 1\n"},
      {"header crc", flipByte(512 + 60), "[gpt]header crc is wrong"},
      {"signature", header(0, 'X', 1), "[gpt]signature is wrong"},
      {"header too large", header(kHdrSize, 513, 4, false),
       "[gpt]header size is too large: 513 > 512\n"},
      {"header too small", header(kHdrSize, 91, 4, false),
       "[gpt]header size is too small: 91 > 92\n"},
      {"my lba", header(kHdrMyLba, 7, 8), "[gpt]my_lba incorrect: 7 != 1\n"},
      {"array crc", flipByte(1024 + 200), "[gpt]entry array crc is wrong"},
      {"huge count", header(kHdrEntryCount, 0xFFFFFFFF, 4), "[gpt]entry array is too large"},
      {"array past the data", header(kHdrEntryLba, 1ull << 60, 8), "[gpt]entry array lba"},
      {"backup lba inside the table", header(kHdrAlternateLba, 10, 8),
       "[gpt]backup lba 10 is invalid\n"},
      {"reversed partition",
       [](std::vector<uint8_t>* i) {
         setEntryRange(i->data() + 1024, 99, 40);
         sealArray(i, 512);
       },
       "[gpt]partition 1 lba is invalid: [99 ~ 40]\n"},
      {"single partition",
       [](std::vector<uint8_t>* i) {
         memset(i->data() + 1024 + 128, 0, 128);
         sealArray(i, 512);
       },
       "the partition count(1) must be larger then 1\n"},
      {"truncated", [](std::vector<uint8_t>* i) { i->resize(700); }, "[gpt]image is too short"},
  };
  for (const auto& c : cases) {
    std::vector<uint8_t> img = makeImage(512, 1000, kTwo);
    c.damage(&img);
    CGptTable t(512);
    std::string msg;
    EXPECT_FALSE(t.load(img.data(), img.size(), &msg)) << c.what;
    EXPECT_EQ(0u, msg.find(c.message)) << c.what << ": " << msg;
  }
}

TEST(GptTableTest, EntriesAreSteppedAt128BytesWhateverTheEntrySize) {
  std::vector<uint8_t> img = makeImage(512, 1000, kTwo);
  jyx::encodeFixed32(img.data() + 512 + kHdrEntryCount, 64);
  jyx::encodeFixed32(img.data() + 512 + kHdrEntrySize, 256);
  sealArray(&img, 512);
  CGptTable t(512);
  std::string msg;
  ASSERT_TRUE(t.load(img.data(), img.size(), &msg)) << msg;
  EXPECT_EQ(0, t.findEntry("boot"));
  EXPECT_EQ(1, t.findEntry("root"));
  EXPECT_NE(std::string::npos, t.dump("").find("[PART 02]           name: root\n"));
}

TEST(GptTableTest, EveryFlippedByteIsLoadedOrRefusedWithAMessage) {
  std::vector<uint8_t> good = makeImage(512, 1000, kTwo);
  for (size_t pos = 0; pos < 3 * 512; pos += 7) {
    std::vector<uint8_t> img = good;
    img[pos] ^= 0x5A;
    CGptTable t(512);
    std::string msg;
    if (!t.load(img.data(), img.size(), &msg)) {
      EXPECT_FALSE(msg.empty()) << pos;
    }
  }
}

TEST(GptTableTest, ExpandSharesTheFreeBlocksBetweenAutoPartitions) {
  // 11 free blocks, two auto partitions: 5 each, the odd block stays free.
  std::vector<PlanPart> parts = {{0, 10, 10, 10, 10}, {1, 20, 10, 20, 10}, {2, 30, 10, 30, 10}};
  uint64_t need = 0;
  ASSERT_TRUE(planExpand(&parts, {-1, 0, -1}, 51, &need));
  EXPECT_EQ(15u, parts[0].blocks);
  EXPECT_EQ(25u, parts[1].first);
  EXPECT_EQ(35u, parts[2].first);
  EXPECT_EQ(15u, parts[2].blocks);
  EXPECT_EQ(50u, need);

  std::vector<PlanPart> tight = {{0, 10, 10, 10, 10}, {1, 20, 10, 20, 10}};
  EXPECT_FALSE(planExpand(&tight, {0, 12}, 40, &need));
  EXPECT_EQ(42u, need);
}

TEST(GptTableTest, MovesNeverReadWhatAnEarlierMoveOverwrote) {
  // Partition 0 grows (1 moves on), partition 2 loses its swap neighbour
  // (it moves back): the backward move goes first, then back to front.
  std::vector<PlanPart> parts = {
      {0, 10, 10, 10, 20}, {1, 20, 10, 30, 10}, {3, 50, 10, 40, 10}, {4, 60, 5, 50, 5}};
  std::vector<Move> moves = planMoves(parts);
  ASSERT_EQ(3u, moves.size());
  EXPECT_EQ(3u, moves[0].slot);
  EXPECT_EQ(4u, moves[1].slot);
  EXPECT_EQ(1u, moves[2].slot);
  // A new partition (old start 0) has nothing to move; a shrunk one moves
  // only what still fits.
  std::vector<Move> none = planMoves({{0, 0, 0, 10, 10}, {1, 30, 10, 20, 4}});
  ASSERT_EQ(1u, none.size());
  EXPECT_EQ(4u, none[0].blocks);
}
