// End to end: paths and peers that used to hang jyx or jyx-sim (a FIFO, a
// directory or a device given as a file, a configuration server that never
// answers) now end promptly with their reason.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "common/api_manager.h"
#include "sim_util.h"
#include "test_util.h"

namespace {

using jyxtest::has;
using jyxtest::inOrder;

using jyxtest::binPath;
using jyxtest::run;
using jyxtest::ScopedTempDir;
using jyxtest::SimProcess;
using jyxtest::writeFile;

// Runs jyx with `args` and returns its output; *seconds gets the run time.
std::string runJyx(const std::vector<std::string>& args, int* code, double* seconds) {
  std::vector<std::string> argv = {binPath("jyx")};
  argv.insert(argv.end(), args.begin(), args.end());
  double start = CAPIManager::wallClock();
  std::string out = run(argv, code, 60000);
  *seconds = CAPIManager::wallClock() - start;
  return out;
}

TEST(HangE2E, MonitorConfigThatIsNoRegularFileEndsTheRunAndOneOverHttpIsRead) {
  SimProcess sim;
  ASSERT_TRUE(sim.start("127.0.43.10", {"--target-state", "running"})) << sim.lastError();
  ScopedTempDir dir;
  std::string fifo = dir.file("config.fifo");
  ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
  struct Case {
    std::string path;
    const char* reason;
  };
  const Case cases[] = {{"/dev/null", "is not a regular file"},
                        {"/dev/zero", "is not a regular file"},
                        {dir.path(), "is a directory, not a file"},
                        {fifo, "is not a regular file"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    int code = -1;
    double seconds = 0;
    std::string out = runJyx({"-a", "127.0.43.10", "-m", c.path, "-d", "1"}, &code, &seconds);
    EXPECT_EQ(0, code) << out;
    EXPECT_LT(seconds, 15.0);
    EXPECT_TRUE(inOrder(out, {c.path + " " + c.reason + "\n",
                              "power config (" + c.path + ") is empty or cannot be read\n"}));
  }

  // The configuration and its rails file come from a web server through curl.
  writeFile(
      dir.file("config.yaml"),
      "ic-addr: [{addr: 0x10}, {addr: 0x11}]\nconfig:\n  - {title: bench, path: rails.yaml}\n");
  writeFile(dir.file("rails.yaml"),
            "defaults: &d {index: 0}\nrails:\n  - {name: VIN, <<: *d}\n  - {name: V5, index: 1}\n");
  jyxtest::Subprocess server;
  ASSERT_TRUE(server.start({"/usr/bin/python3", "-m", "http.server", "--bind", "127.0.43.12",
                            "8043", "--directory", dir.path()}));
  ASSERT_TRUE(jyxtest::waitUntil(
      [&] {
        int s = jyxtest::rawConnect("127.0.43.12", 8043);
        if (s >= 0) close(s);
        return s >= 0;
      },
      10000));
  int code = -1;
  double seconds = 0;
  std::string out =
      runJyx({"-a", "127.0.43.10", "-m", "http://127.0.43.12:8043/config.yaml", "-d", "3"}, &code,
             &seconds);
  EXPECT_EQ(0, code) << out;
  // The rails (one of them through an alias) are in the table.
  size_t table = out.rfind(
      "\x1b"
      "c");
  ASSERT_NE(std::string::npos, table) << out;
  EXPECT_TRUE(inOrder(out.substr(table), {"VIN", "V5"}));
  EXPECT_FALSE(has(out, "cannot fetch"));
}

TEST(HangE2E, SimulatorRefusesAFlashImageThatIsNoRegularFile) {
  ScopedTempDir dir;
  std::string fifo = dir.file("image.fifo");
  ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
  struct Case {
    std::string path;
    const char* reason;
  };
  const Case cases[] = {{fifo, "is not a regular file"},
                        {dir.path(), "is a directory, not a file"},
                        {"/dev/zero", "is not a regular file"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    int code = -1;
    double start = CAPIManager::wallClock();
    std::string out =
        run({binPath("jyx-sim"), "--bind", "127.0.43.13", "--flash-image", c.path}, &code, 20000);
    EXPECT_LT(CAPIManager::wallClock() - start, 10.0);
    EXPECT_EQ(1, code);
    EXPECT_TRUE(has(out, "jyx-sim: cannot read flash image: " + c.path + " " + c.reason));
  }
}

}  // namespace
