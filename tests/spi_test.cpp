// End to end: SPI flash programming, checking, reading and the status
// registers, with the real jyx against a real jyx-sim on 127.0.4.x (one
// address per test). The simulated flash lives in the simulator's --state
// directory, so the tests read and corrupt it directly. Each test shares one
// simulator and one flash among several runs of the tool, to keep the suite
// short.
#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <string>
#include <vector>

#include "sim_util.h"
#include "test_util.h"

namespace jyxtest {
namespace {

// 16 bytes in hex, `sep` after every `group` of them: the console's -r dump
// rows (2, " ") and the check's mismatch lines (8, "  ").
std::string hex16(const void* bytes, size_t group, const char* sep) {
  const uint8_t* b = static_cast<const uint8_t*>(bytes);
  std::string s;
  char h[3];
  for (size_t i = 0; i < 16; ++i) {
    snprintf(h, sizeof(h), "%.2x", b[i]);
    s += (i && i % group == 0 ? sep : "") + std::string(h);
  }
  return s;
}

class SpiE2E : public SimE2E {
 protected:
  SpiE2E() { simArgs_ = stateArgs(); }
};

TEST_F(SpiE2E, FlashCheckReadBackAndCorruptAMultiMiBImage) {
  startSim("127.0.4.1");
  // Not a multiple of the 8 KiB sector pair, so the last pair is padded.
  const size_t size = 3 * 1024 * 1024 + 1234;
  std::string image = randomBytes(size, 11);
  std::string path = writeImage("image.bin", image);

  int code = -1;
  std::string out = jyx({"-i", path}, &code);
  EXPECT_EQ(0, code);
  EXPECT_TRUE(inOrder(
      out,
      {"flash SPI data ......\n", "spi file(" + path + "), size:(" + std::to_string(size) + ")\n",
       "flash id num: 0xef4018\n",
       "recieved spi:secSize(4096), secNum(4096), secOffset(15679512) :: real "
       "secNum(770)\n",
       "flashing: [", "SPI flash successfully.\n",
       "SPI file(" + path + ") flash over successfully\n", "\nflashing image(" + path + ") OK\n"}));
  EXPECT_FALSE(has(out, "retry"));

  std::string flash = flashFile();
  ASSERT_EQ(16u << 20, flash.size());
  EXPECT_TRUE(flash.compare(0, size, image) == 0);
  // 770 sectors were written; everything past the image is erased.
  EXPECT_EQ(std::string(flash.size() - size, '\xff'), flash.substr(size));

  out = jyx({"-i", path, "--checkspi"}, &code);
  EXPECT_EQ(0, code);
  EXPECT_TRUE(inOrder(
      out, {"check SPI data ......\n", "checking: [", "\nchecking image(" + path + ") OK\n"}));

  std::string back = dir_.file("back.bin");
  out = jyx({"-r", "0", "-0", std::to_string(size), "-o", back}, &code);
  EXPECT_EQ(0, code);
  EXPECT_TRUE(inOrder(
      out, {"get SPI data ......\n", "reading: [", "\nread spi to file(" + back + ") OK\n"}));
  EXPECT_TRUE(readFile(back) == image);

  const uint8_t* b = reinterpret_cast<const uint8_t*>(image.data());
  out = jyx({"-r", "0x0", "--len", "20"}, &code);
  EXPECT_EQ(0, code);
  uint8_t second[16] = {0};
  memcpy(second, b + 16, 4);  // the rest of the last row is the zeroed spare
  EXPECT_TRUE(inOrder(
      out, {"offset:0, len:20\n\n" + hex16(b, 2, " ") + "\n" + hex16(second, 2, " ") + "\n"}));

  // Unaligned starts, a range across one block boundary and one across two.
  struct Case {
    int offset, length;
  } cases[] = {{4090, 10}, {1, 4096}, {0x1ff7, 8200}, {65536 - 5, 5}};
  for (const Case& c : cases) {
    std::string file = dir_.file("range.bin");
    out = jyx({"-r", std::to_string(c.offset), "-0", std::to_string(c.length), "-o", file}, &code);
    EXPECT_EQ(0, code);
    EXPECT_TRUE(has(out, "read spi to file(" + file + ") OK"));
    EXPECT_TRUE(readFile(file) == image.substr(c.offset, c.length)) << c.offset;
  }
  out = jyx({"-r", "0x1000", "-0", "0"}, &code);
  EXPECT_EQ(0, code);
  EXPECT_EQ("read spi fail\n", out);

  // Flip one byte of block 2 in the mapped flash file (offset 0x2345: line
  // 0x34 of the block, line 0x234 of the image).
  const size_t at = 0x2345;
  FILE* f = fopen(flashPath().c_str(), "r+b");
  ASSERT_NE(nullptr, f);
  fseek(f, static_cast<long>(at), SEEK_SET);
  fputc(static_cast<uint8_t>(image[at]) ^ 0x5A, f);
  fclose(f);
  size_t opsBefore = sim_.ops().size();

  out = jyx({"-i", path, "-Y"}, &code);
  EXPECT_EQ(0, code);
  std::string flashed = image;
  flashed[at] = static_cast<char>(flashed[at] ^ 0x5A);
  std::string want = "00000052--JYX:" + hex16(&flashed[0x2340], 8, "  ") +
                     "\n00000564-FILE:" + hex16(&image[0x2340], 8, "  ") + "\n\n";
  EXPECT_TRUE(inOrder(out, {want, "\nchecking image(" + path + ") fail\n"}));
  EXPECT_EQ(1u, countOf(out, "--JYX:"));
  // The failed check gave the flash lines back: SPI_PRG_EN, then SPI_PRG_SEL to 1.
  std::vector<OpsRecord> ops = sim_.ops();
  std::vector<std::string> gpio;
  for (size_t i = opsBefore; i < ops.size(); ++i) {
    if (ops[i].dir == "rx" && ops[i].cmd == "GPIO_CTRL") {
      gpio.push_back(std::to_string(ops[i].num("gpio")) +
                     ":=" + std::to_string(ops[i].num("level")));
    }
  }
  ASSERT_GE(gpio.size(), 2u);
  EXPECT_EQ("66:=1", gpio[gpio.size() - 2]);
  EXPECT_EQ("67:=1", gpio.back());
}

TEST_F(SpiE2E, ProtectedFlashFailsPastTheRetryLimitUntilUnlockedAndRegistersFollowTheMask) {
  // BP2..BP0 all set: the whole array is protected.
  startSim("127.0.4.3", {"--sr1", "0x1c"});
  std::string path = writeImage("image.bin", randomBytes(10000, 33));

  int code = -1;
  std::string out = jyx({"-y"}, &code);
  EXPECT_EQ(0, code);
  EXPECT_EQ("winbond read registers: 0x1c  0x02  0x60\n", out);

  // Every sector is refused: one retry, then the dump and the failure.
  out = jyx({"-i", path, "--retry", "2"}, &code);
  EXPECT_EQ(0, code);
  EXPECT_TRUE(inOrder(
      out, {"SPI data ACK_FAIL.\n", "SPI flash, retry 1\n", "SPI data ACK_FAIL.\n",
            "data: 00 00 00 00", "SPI data ACK_FAIL.\n", "\nflashing image(" + path + ") fail\n"}));
  EXPECT_EQ(1u, countOf(out, "SPI flash, retry"));
  EXPECT_FALSE(has(out, "successfully"));
  EXPECT_EQ(std::string(16u << 20, '\xff'), flashFile());

  out = jyx({"-z"}, &code);
  EXPECT_EQ(0, code);
  EXPECT_EQ("jyx.data(winbondWriteSPIRegisters): mask(0x3), value(0x00, 0x00, 0x00).\n", out);
  EXPECT_EQ("winbond read registers: 0x00  0x00  0x60\n", jyx({"-y"}));

  out = jyx({"-i", path, "-5", "1"}, &code);
  EXPECT_TRUE(has(out, "\nflashing image(" + path + ") OK\n"));
  EXPECT_TRUE(flashFile().compare(0, 10000, readFile(path)) == 0);

  // Mask 2 writes register 2 only; a bare value writes register 1 only.
  EXPECT_EQ("jyx.data(winbondWriteSPIRegisters): mask(0x2), value(0x00, 0x02, 0x00).\n",
            jyx({"-w", "0x02000200"}));
  EXPECT_EQ("winbond read registers: 0x00  0x02  0x60\n", jyx({"-y"}));
  EXPECT_EQ("jyx.data(winbondWriteSPIRegisters): mask(0x1), value(0x04, 0x00, 0x00).\n",
            jyx({"-w", "4"}));
  EXPECT_EQ("winbond read registers: 0x04  0x02  0x60\n", jyx({"-y"}));
  std::vector<std::string> writes;
  for (const OpsRecord& op : sim_.ops()) {
    if (op.dir == "rx" && op.data == "SPI_REG_DATA" && op.str("direction") == "write") {
      writes.push_back(op.str("register"));
    }
  }
  // -z: registers 1 and 2; -w 0x02000200: register 2; -w 4: register 1.
  EXPECT_EQ(std::vector<std::string>({"0x01", "0x31", "0x31", "0x01"}), writes);
  // The lines went back to the target after every register action.
  std::string status = readFile(sim_.tempPath("state") + "/spi_status.json");
  EXPECT_TRUE(has(status, "\"sr1\":4,\"sr2\":2,\"sr3\":96"));
}

TEST_F(SpiE2E, RejectedSectorsRetryInOrderThenSecureTypesAndLoopFlashing) {
  startSim("127.0.4.4", {"--fail", "SPI_CTRL/SPI_DATA:3,5"});
  std::string path = writeImage("image.bin", randomBytes(40000, 44));
  int code = -1;
  std::string out = jyx({"-i", path}, &code);
  EXPECT_EQ(0, code);
  EXPECT_TRUE(inOrder(out, {"SPI data ACK_FAIL.\n", "SPI flash, retry 1\n", "SPI data ACK_FAIL.\n",
                            "SPI flash, retry 2\n", "SPI flash successfully.\n",
                            "\nflashing image(" + path + ") OK\n"}));
  EXPECT_FALSE(has(out, "retry 3"));
  out = jyx({"-i", path, "-Y"}, &code);
  EXPECT_TRUE(has(out, "\nchecking image(" + path + ") OK\n"));

  // Secure flash types send their fields; the clean-up that leaves
  // programming mode before the flash is not refused.
  size_t opsBefore = sim_.ops().size();
  path = writeImage("secure.bin", randomBytes(9000, 99));
  out = jyx({"-i", path, "-A"}, &code);
  EXPECT_TRUE(inOrder(out, {"spi ctrl: (enable: 1, security: 1, access id: 0xf, eraseID: 0xf\n",
                            "\nflashing image(" + path + ") OK\n"}));
  EXPECT_FALSE(has(out, "ACK_FAIL"));
  out = jyx({"-i", path, "-A", "-Y"}, &code);
  EXPECT_TRUE(inOrder(out, {"spi ctrl: (enable: 1, security: 1, access id: 0xf, eraseID: 0x0\n",
                            "\nchecking image(" + path + ") OK\n"}));
  out = jyx({"-i", path, "-I", "-Y"}, &code);
  EXPECT_TRUE(has(out, "spi ctrl: (enable: 1, security: 1, access id: 0x7, eraseID: 0x0\n"));
  std::vector<OpsRecord> ops = sim_.ops(), ctrl;
  for (size_t i = opsBefore; i < ops.size(); ++i) {
    if (ops[i].dir == "rx" && ops[i].data == "SPI_CTRL_INFO_DATA" && ops[i].num("enable") == 1) {
      ctrl.push_back(ops[i]);
    }
  }
  ASSERT_GE(ctrl.size(), 3u);
  EXPECT_EQ(15, ctrl[0].num("access_id"));
  EXPECT_EQ(15, ctrl[0].num("erase_id"));
  EXPECT_EQ(0, ctrl[1].num("erase_id"));
  EXPECT_EQ(7, ctrl[2].num("access_id"));
  // Every copy the access id selects holds the image.
  std::string flash = flashFile();
  std::string image = readFile(path);
  for (int copy = 0; copy < 4; ++copy) {
    EXPECT_TRUE(flash.compare(copy * (2u << 20), image.size(), image) == 0) << copy;
  }

  // --loop flashes again and again until stopped.
  Subprocess p;
  ASSERT_TRUE(p.start({binPath("jyx"), "-a", address_, "-i", path, "--loop"}));
  ASSERT_TRUE(p.waitForOutput("--loop count: 2\n", 60000)) << p.out();
  p.signal(SIGTERM);
  ASSERT_TRUE(p.wait(10000));
  EXPECT_EQ(15, p.exitCode());
  EXPECT_TRUE(inOrder(p.out(), {"\nflashing image(" + path + ") OK\n", "--loop count: 1\n",
                                "flash SPI data ......\n", "\nflashing image(" + path + ") OK\n",
                                "--loop count: 2\n"}));
}

TEST_F(SpiE2E, ClosedLinkRetriesAfterReconnecting) {
  // Request 12 on the first link is a sector write in the middle of the
  // image (2 GPIO for the hand-back, 2 GPIO and SPI_CTRL for the take-over).
  startSim("127.0.4.6", {"--close-after", "12"});
  std::string path = writeImage("image.bin", randomBytes(100000, 66));
  int code = -1;
  std::string out = jyx({"-i", path}, &code);
  EXPECT_EQ(0, code);
  EXPECT_TRUE(
      inOrder(out, {"network is abnormal or send SPI data time out.\n", "SPI flash, retry 1\n",
                    "SPI flash successfully.\n", "\nflashing image(" + path + ") OK\n"}));
  EXPECT_TRUE(flashFile().compare(0, 100000, readFile(path)) == 0);
}

TEST_F(SpiE2E, SigintDuringFlashExitsWithStatus2AtOnce) {
  // 20 ms per sector: the flash of 1 MiB takes several seconds.
  startSim("127.0.4.8", {"--program-us", "20000"});
  std::string path = writeImage("image.bin", randomBytes(1 << 20, 88));
  Subprocess p;
  ASSERT_TRUE(p.start({binPath("jyx"), "-a", address_, "-i", path}));
  ASSERT_TRUE(p.waitForOutput("flashing: [==", 60000)) << p.out();
  p.signal(SIGINT);
  // Generous for a loaded machine; a flash that ran on would still end with
  // status 0 and its "flashing image(" line, which the checks below reject.
  ASSERT_TRUE(p.wait(10000));
  EXPECT_EQ(2, p.exitCode());
  EXPECT_TRUE(has(p.out(), "exception signal: 2\n"));
  EXPECT_FALSE(has(p.out(), "flashing image("));
}

}  // namespace
}  // namespace jyxtest
