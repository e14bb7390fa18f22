#include "common/file_util.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/string_format.h"
#include "test_util.h"

namespace {

TEST(FileUtil, ReadRefusesWhatIsNotARegularFileOfReasonableSize) {
  jyxtest::ScopedTempDir scratch;
  const std::string& dir = scratch.path();
  std::string fifo = dir + "/fifo";
  ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
  std::string big = dir + "/big";
  std::string tenBytes(10, 'x'), err;
  ASSERT_TRUE(jyx::writeFileAtomic(big, tenBytes, &err)) << err;
  std::string out;
  for (const char* path : {"/dev/null", "/dev/zero", "/nonexistent/x", fifo.c_str(), dir.c_str()}) {
    err.clear();
    EXPECT_FALSE(jyx::readRegularFile(path, 1 << 20, &out, &err)) << path;
    EXPECT_NE(std::string::npos, err.find(path)) << err;
  }
  EXPECT_FALSE(jyx::readRegularFile(big, 9, &out, &err));
  EXPECT_NE(std::string::npos, err.find("too large")) << err;
  ASSERT_TRUE(jyx::readRegularFile(big, 10, &out, &err)) << err;
  EXPECT_EQ(tenBytes, out);
}

TEST(FileUtil, FailedWriteLeavesTheOldFileAndNoTemporary) {
  jyxtest::ScopedTempDir scratch;
  const std::string& dir = scratch.path();
  std::string path = dir + "/keep";
  std::string err, out;
  ASSERT_TRUE(jyx::writeFileAtomic(path, std::string("old"), &err)) << err;

  jyx::CAtomicFile file;
  ASSERT_TRUE(file.open(path, &err)) << err;
  ASSERT_TRUE(file.write(std::string("half"), &err));
  file.abort();  // an interrupted save
  ASSERT_TRUE(jyx::readRegularFile(path, 100, &out, &err));
  EXPECT_EQ("old", out);

  // /dev/full is not a regular file: refused before anything is written.
  EXPECT_FALSE(jyx::writeFileAtomic("/dev/full", std::string("x"), &err));
  // A read-only directory cannot take the temporary file.
  if (geteuid() != 0) {
    chmod(dir.c_str(), 0500);
    EXPECT_FALSE(jyx::writeFileAtomic(path, std::string("new"), &err));
    chmod(dir.c_str(), 0700);
  }
  EXPECT_FALSE(jyx::writeFileAtomic(dir + "/gone/x", std::string("new"), &err));
  EXPECT_NE(std::string::npos, err.find("gone")) << err;

  ASSERT_TRUE(jyx::writeFileAtomic(path, std::string("new"), &err)) << err;
  ASSERT_TRUE(jyx::readRegularFile(path, 100, &out, &err));
  EXPECT_EQ("new", out);
  EXPECT_EQ("", jyx::stringFormat("%s", ""));
  EXPECT_EQ(300u, jyx::stringFormat("%300s", "x").size());
  EXPECT_EQ(std::vector<std::string>({"keep"}), jyxtest::listDir(dir)) << "a temporary was left";
}

}  // namespace
