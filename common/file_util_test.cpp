#include "common/file_util.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

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

// What a signal that ends the process removes: the temporary files of
// unfinished saves and the scratch files listed by their users, nothing
// committed and nothing taken off the list.
TEST(FileUtil, TrackedFilesAreRemovedOnlyWhileListed) {
  jyxtest::ScopedTempDir scratch;
  std::string err, out;
  std::string saved = scratch.file("saved"), open = scratch.file("open");
  jyx::CAtomicFile done, pending;
  ASSERT_TRUE(done.open(saved, &err) && done.write(std::string("kept"), &err) && done.commit(&err));
  ASSERT_TRUE(pending.open(open, &err) && pending.write(std::string("half"), &err)) << err;
  ASSERT_TRUE(jyxtest::writeFile(scratch.file("listed"), "x"));
  ASSERT_TRUE(jyxtest::writeFile(scratch.file("released"), "x"));
  jyx::CRemoveOnSignal listed(scratch.file("listed")), released(scratch.file("released"));
  released.release();
  EXPECT_EQ(4u, jyxtest::listDir(scratch.path()).size());

  jyx::removeTrackedFiles();
  EXPECT_EQ(std::vector<std::string>({"released", "saved"}), jyxtest::listDir(scratch.path()));
  ASSERT_TRUE(jyx::readRegularFile(saved, 100, &out, &err));
  EXPECT_EQ("kept", out);
  // A full list leaves further paths off rather than failing.
  std::vector<std::unique_ptr<jyx::CRemoveOnSignal>> many;
  for (int i = 0; i <= jyx::CRemoveOnSignal::kMaxTrackedFiles; ++i)
    many.emplace_back(new jyx::CRemoveOnSignal(scratch.file(std::to_string(i))));
  EXPECT_FALSE(many.back()->tracked());
}

}  // namespace
