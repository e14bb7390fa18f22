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

TEST(BlockMoverTest, OverlappingMovesKeepEveryBlock) {
  jyxtest::ScopedTempDir dir;
  // 5000 blocks of 512 bytes span three 1 MiB chunks.
  struct Case {
    uint64_t from, to, blocks;
    const char* prefix;
  } cases[] = {{100, 1100, 5000, "move data from the end: "},
               {1100, 100, 5000, "move data from the front: "},
               {0, 7000, 3, "move data from the end: "}};
  for (const Case& c : cases) {
    int fd = makeFile(dir.file("disk"), 6200);
    std::vector<std::string> lines;
    std::string err;
    ASSERT_TRUE(gpt::moveBlocks(
        fd, 512, c.from, c.to, c.blocks, [&](const std::string& l) { lines.push_back(l); }, &err))
        << err;
    for (uint64_t b = 0; b < c.blocks; b += 97) EXPECT_EQ(c.from + b, blockTag(fd, c.to + b));
    EXPECT_EQ(c.from + c.blocks - 1, blockTag(fd, c.to + c.blocks - 1));
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(std::string(c.prefix) + "0%\n", lines.front());
    EXPECT_EQ(std::string(c.prefix) + "100%\n", lines.back());
    close(fd);
  }
}

TEST(BlockMoverTest, ProgressCountsInTens) {
  jyxtest::ScopedTempDir dir;
  int fd = makeFile(dir.file("disk"), 20480 + 100);
  std::vector<std::string> lines;
  std::string err;
  // 10 MiB: one line per chunk, 0% to 100%.
  ASSERT_TRUE(gpt::moveBlocks(
      fd, 512, 100, 0, 20480, [&](const std::string& l) { lines.push_back(l); }, &err));
  ASSERT_EQ(11u, lines.size());
  EXPECT_EQ("move data from the front: 50%\n", lines[5]);
  close(fd);
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
