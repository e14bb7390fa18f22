#include "tools/block_mover.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "test_util.h"

namespace {

// A file of `blocks` 512-byte blocks where every 4-byte word holds its own
// block number, so a misplaced block shows.
int makeFile(const std::string& path, uint32_t blocks) {
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
  std::vector<uint32_t> data(size_t(blocks) * 128);
  for (size_t i = 0; i < data.size(); ++i) data[i] = uint32_t(i / 128);
  EXPECT_EQ(ssize_t(data.size() * 4), pwrite(fd, data.data(), data.size() * 4, 0));
  return fd;
}

uint32_t blockTag(int fd, uint64_t block) {
  uint32_t v = 0xFFFFFFFF;
  EXPECT_EQ(4, pread(fd, &v, 4, off_t(block * 512 + 508)));
  return v;
}

}  // namespace

TEST(BlockMoverTest, OverlappingMovesKeepEveryBlockAndCountProgressInTens) {
  jyxtest::ScopedTempDir dir;
  // 5000 blocks of 512 bytes span three 1 MiB chunks, 20480 span ten; the
  // file holds 20580.
  struct Case {
    uint64_t from, to, blocks;
    const char* prefix;
    std::vector<int> percents;
  } cases[] = {
      {100, 1100, 5000, "move data from the end: ", {0, 40, 80, 100}},
      {1100, 100, 5000, "move data from the front: ", {0, 40, 80, 100}},
      {0, 21000, 3, "move data from the end: ", {0, 100}},  // past the end of the file
      {100, 0, 20480, "move data from the front: ", {0, 10, 20, 30, 40, 50, 60, 70, 80, 90, 100}}};
  for (const Case& c : cases) {
    int fd = makeFile(dir.file("disk"), 20580);
    std::string lines, expected;
    std::string err;
    ASSERT_TRUE(gpt::moveBlocks(
        fd, 512, c.from, c.to, c.blocks, [&](const std::string& l) { lines += l; }, &err))
        << err;
    for (uint64_t b = 0; b < c.blocks; b += 97) EXPECT_EQ(c.from + b, blockTag(fd, c.to + b));
    EXPECT_EQ(c.from + c.blocks - 1, blockTag(fd, c.to + c.blocks - 1));
    for (int p : c.percents) expected += c.prefix + std::to_string(p) + "%\n";
    EXPECT_EQ(expected, lines);
    close(fd);
  }
}

TEST(BlockMoverTest, ASourcePastTheEndFails) {
  jyxtest::ScopedTempDir dir;
  int fd = makeFile(dir.file("disk"), 10);
  std::string err;
  EXPECT_FALSE(gpt::moveBlocks(
      fd, 512, 5, 20, 10, [](const std::string&) {}, &err));
  EXPECT_NE(std::string::npos, err.find("passes the end of the file"));
  EXPECT_FALSE(gpt::moveBlocks(
      fd, 512, 1ull << 60, 0, 1, [](const std::string&) {}, &err));
  close(fd);
}
