// End to end: the verdict of a run. No "OK" after any failure (a dump that
// could not be written, lines that did not go back to the target), the
// reason on its own line before the fail line, option values refused before
// anything is sent, and --exit-code statuses. The real jyx against a real
// jyx-sim on 127.0.41.x (one address per test).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "sim_util.h"
#include "test_util.h"

namespace jyxtest {
namespace {

class VerdictE2E : public SimE2E {
 protected:
  VerdictE2E() {
    simArgs_ = stateArgs();
    exitCode_ = true;
  }
};

// Values that used to wrap or mean something else are refused before the
// tool connects; --exit-code tells a refused option (2), a failed flow (1)
// and success (0) apart, and without it every run still exits 0.
// -o used to skip a file it could not open, ignore failed writes and print
// "OK" all the same. Now each case names the path and the reason, prints the
// fail line, leaves no file (nor temporary file) behind and exits 1.
TEST_F(VerdictE2E, ExitCodesRefusedValuesAndReadsToAFileThatCannotBeWritten) {
  startSim("127.0.41.1");
  const struct {
    std::vector<std::string> args;
    const char* message;
  } refused[] = {
      {{"-p", "1", "-N", "65602"}, "--setio 65602: "},  // used to set GPIO 66, SPI_PRG_EN
      {{"-X", "zz"}, "--switch-uart zz: "},             // used to select UART 0
      {{"-r", "0", "--len", "0x7fffffff"}, "--len 0x7fffffff: "},
      {{"-r", "0", "--len", "99999999999"}, "--len 99999999999: "},
      {{"-i", "x.bin", "--retry", "0"}, "--retry 0: "},
  };
  for (const auto& r : refused) {
    const std::vector<std::string>& args = r.args;
    int code = -1;
    std::string out = jyx(args, &code);
    EXPECT_EQ(2, code) << out;
    EXPECT_EQ(0u, out.find(r.message)) << out;
    std::vector<std::string> plain = {binPath("jyx"), "-a", address_};
    plain.insert(plain.end(), args.begin(), args.end());
    run(plain, &code);
    EXPECT_EQ(0, code);
  }
  EXPECT_EQ(0u, received("GPIO_CTRL").size());
  EXPECT_EQ(0u, received("SPI_READ").size());

  int code = -1;
  std::string out = jyx({"-M", "22"}, &code);
  EXPECT_EQ(0, code) << out;
  EXPECT_TRUE(has(out, "GPIO_GET 22 is "));
  out = jyx({"-N", "72", "-p", "1"}, &code);
  EXPECT_EQ(0, code) << out;
  EXPECT_TRUE(has(out, "GPIO_SET io(72) to 1.\n"));

  std::string flash = flashFile().substr(0, 0x3000);
  ASSERT_EQ(0x3000u, flash.size());

  std::string readOnly = "/sys/jyx-dump.bin";  // not writable even for root
  if (geteuid() != 0) {
    std::string locked = dir_.file("locked");
    ASSERT_EQ(0, mkdir(locked.c_str(), 0555));
    readOnly = locked + "/dump.bin";
  }
  const struct {
    std::string path;
    std::string reason;
  } cases[] = {
      {"/dev/full", "/dev/full is not a regular file\n"},
      {dir_.file("gone/dump.bin"), "No such file or directory\n"},
      {readOnly, "cannot write " + readOnly + ": "},
  };
  for (const auto& c : cases) {
    out = jyx({"-r", "0", "--len", "0x3000", "-o", c.path}, &code);
    EXPECT_EQ(1, code) << out;
    EXPECT_TRUE(inOrder(out, {c.reason, "read spi fail\n"}));
    EXPECT_FALSE(has(out, "OK"));
    struct stat st;
    if (c.path != "/dev/full") {
      EXPECT_NE(0, stat(c.path.c_str(), &st)) << c.path;
    }
  }
  EXPECT_TRUE(listDir(dir_.path()).size() <= 1u);  // at most "locked"

  // A disk that fills up during the dump: a file-size limit of 8 KiB makes
  // the writes fail part way (SIGXFSZ ignored, as a full disk sends none).
  std::string target = dir_.file("full/dump.bin");
  ASSERT_EQ(0, mkdir(dir_.file("full").c_str(), 0755));
  out = run({"/bin/sh", "-c", "trap '' XFSZ; ulimit -f 16; exec \"$0\" \"$@\"", binPath("jyx"),
             "-a", address_, "-r", "0", "--len", "0x3000", "-o", target, "--exit-code"},
            &code, 60000);
  EXPECT_EQ(1, code) << out;
  EXPECT_TRUE(inOrder(out, {"cannot write " + target + ": File too large", "\nread spi fail\n"}));
  EXPECT_FALSE(has(out, "OK"));
  EXPECT_TRUE(listDir(dir_.file("full")).empty());  // no dump, no temporary file

  // The same dump to a writable place is whole.
  out = jyx({"-r", "0", "--len", "0x3000", "-o", target}, &code);
  EXPECT_EQ(0, code) << out;
  EXPECT_TRUE(has(out, "\nread spi to file(" + target + ") OK\n"));
  EXPECT_EQ(flash, readFile(target));
  EXPECT_EQ(1u, listDir(dir_.file("full")).size());

  // A controller that refuses the set: the fail line and status 1.
  SimProcess refusing;
  ASSERT_TRUE(refusing.start("127.0.41.8", {"--fail", "GPIO_CTRL:1"})) << refusing.lastError();
  address_ = "127.0.41.8";
  out = jyx({"-N", "72", "-p", "1"}, &code);
  EXPECT_EQ(1, code) << out;
  EXPECT_TRUE(has(out, "GPIO_SET io(72) to 1 fail.\n"));

  // Nothing listens on 127.0.41.9: the connect fails.
  address_ = "127.0.41.9";
  out = jyx({"-M", "22"}, &code);
  EXPECT_EQ(1, code) << out;
  EXPECT_TRUE(has(out, "socket connect 127.0.41.9 fail\n"));
}

// Every image problem used to end in the same "flashing image(X) fail" (a
// FIFO hung, an image larger than the flash took five passes). Now the
// reason comes on the line right before it, and nothing is sent for an image
// that cannot fit.
TEST_F(VerdictE2E, ImageAndReadRangeProblemsSayWhyRightBeforeTheFailLine) {
  startSim("127.0.41.2", {"--flash-size", "64K"});
  std::string fifo = dir_.file("fifo.bin");
  ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
  std::string empty = dir_.file("empty.bin");
  ASSERT_TRUE(writeFile(empty, ""));
  std::string big = dir_.file("big.bin");
  ASSERT_TRUE(writeFile(big, randomBytes(100000, 1)));
  const struct {
    std::string path;
    std::string reason;
  } cases[] = {
      {dir_.file("missing.bin"),
       "cannot open " + dir_.file("missing.bin") + ": No such file or directory"},
      {dir_.path(), dir_.path() + " is a directory, not a file"},
      {fifo, fifo + " is not a regular file"},
      {empty, "image " + empty + " is empty"},
      {big, "image " + big + " (100000 bytes) is larger than the flash (65536 bytes)"},
  };
  for (bool check : {false, true}) {
    for (const auto& c : cases) {
      int code = -1;
      std::vector<std::string> args = {"-i", c.path};
      if (check) args.push_back("--checkspi");
      std::string out = jyx(args, &code);
      std::string failLine =
          (check ? "\nchecking image(" : "\nflashing image(") + c.path + ") fail\n";
      EXPECT_EQ(1, code) << out;
      EXPECT_TRUE(has(out, "\n" + c.reason + failLine));
      EXPECT_FALSE(has(out, "SPI flash, retry"));
    }
  }
  for (const OpsRecord& op : sim_.ops()) {
    EXPECT_FALSE(op.dir == "rx" && op.cmd == "SPI_CTRL" && op.data == "SPI_DATA");
  }

  // A read range beyond the flash is refused before the first block.
  int code = -1;
  std::string out = jyx({"-r", "0xF000", "--len", "0x2000"}, &code);
  EXPECT_EQ(1, code) << out;
  EXPECT_TRUE(has(out,
                  "\nthe read range 0xf000 + 8192 bytes ends beyond the flash "
                  "(65536 bytes)\nread spi fail\n"));
  EXPECT_EQ(0u, received("SPI_READ").size());
  out = jyx({"-r", "0xF000", "--len", "0x1000"}, &code);
  EXPECT_EQ(0, code) << out;
  EXPECT_TRUE(has(out, "offset:61440, len:4096\n\n"));
  EXPECT_EQ(1u, received("SPI_READ").size());
}

// The last step of every flow hands SPI_PRG_EN and SPI_PRG_SEL back to the
// target. A refused hand-back used to be ignored and the run said "OK" while
// the target could not boot.
TEST_F(VerdictE2E, RefusedHandBackFailsFlashCheckAndRead) {
  std::string image = randomBytes(20000, 7);
  std::string path = writeImage("image.bin", image);
  // GPIO requests: flash and check first hand the lines back (1, 2), take
  // them (3, 4) and give them back at the end (5, 6); a read only takes
  // (1, 2) and gives back (3, 4).
  const struct {
    std::vector<std::string> args;
    const char* fault;
    std::string failLine;
    const char* line;
  } cases[] = {
      {{"-i", path}, "GPIO_CTRL:5", "\nflashing image(" + path + ") fail\n", "SPI_PRG_EN"},
      {{"-i", path, "--checkspi"},
       "GPIO_CTRL:6",
       "\nchecking image(" + path + ") fail\n",
       "SPI_PRG_SEL"},
      {{"-r", "0", "--len", "32"}, "GPIO_CTRL:3", "\nread spi fail\n", "SPI_PRG_EN"},
  };
  int address = 4;
  for (const auto& c : cases) {
    SimProcess sim;
    std::string where = "127.0.41." + std::to_string(address++);
    // The flash already holds the image, so the check itself passes.
    ASSERT_TRUE(sim.start(
        where, {"--fail", c.fault, "--flash-image", path, "--state", sim.tempPath("state")}))
        << sim.lastError();
    address_ = where;
    int code = -1;
    std::string out = jyx(c.args, &code);
    EXPECT_EQ(1, code) << out;
    std::string reason = std::string("the SPI lines were not handed back to the target (") +
                         c.line + " to 1 fail.): it cannot boot from its flash";
    EXPECT_TRUE(has(out, "\n" + reason + c.failLine));
    EXPECT_FALSE(has(out, " OK\n"));
    EXPECT_FALSE(has(out, "offset:0, len:32"));
    if (c.args.size() == 2) {
      // The sectors were written all the same; only the hand-back failed.
      EXPECT_EQ(0,
                readFile(sim.tempPath("state") + "/spi_flash.bin").compare(0, image.size(), image));
    }
  }
}

// A refused sector (ACK_FAIL on every pass) names its index right before the
// fail line.
TEST_F(VerdictE2E, RefusedSectorIsNamedBeforeTheFailLine) {
  startSim("127.0.41.10", {"--fail", "SPI_CTRL/SPI_DATA:3,5"});
  std::string path = writeImage("image.bin", randomBytes(20000, 3));
  int code = -1;
  // Pass 1 fails at its third sector (2); pass 2 resumes there and fails at
  // its second sector (3).
  std::string out = jyx({"-i", path, "--retry", "2"}, &code);
  EXPECT_EQ(1, code) << out;
  EXPECT_TRUE(has(
      out, "\nthe controller refused sector 3 (ACK_FAIL)\nflashing image(" + path + ") fail\n"));
}

}  // namespace
}  // namespace jyxtest
