// End to end: -i with --changed-only against jyx-sim (127.0.58.x). Only the
// sectors that differ reach the flash (the simulator's ops log shows every
// sector write), the result is verified, and refusals and failures say why.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "sim_util.h"
#include "test_util.h"

namespace jyxtest {
namespace {

// The sectors written (SPI_CTRL/SPI_DATA requests) in ops[from...].
std::set<int64_t> writtenSectors(const std::vector<OpsRecord>& ops, size_t from) {
  std::set<int64_t> sectors;
  for (size_t i = from; i < ops.size(); ++i) {
    const OpsRecord& r = ops[i];
    if (r.dir == "rx" && r.cmd == "SPI_CTRL" && r.data == "SPI_DATA")
      sectors.insert(r.num("sector"));
  }
  return sectors;
}

size_t countReads(const std::vector<OpsRecord>& ops, size_t from) {
  size_t n = 0;
  for (size_t i = from; i < ops.size(); ++i) n += ops[i].dir == "rx" && ops[i].cmd == "SPI_READ";
  return n;
}

class ChangedOnlyE2E : public SimE2E {
 protected:
  ChangedOnlyE2E() {
    simArgs_ = stateArgs();
    exitCode_ = true;
  }
};

TEST_F(ChangedOnlyE2E, RefusedCombinationsSendNothingUntouchedSectorsGetNoWrite) {
  startSim("127.0.58.1");
  const size_t size = 1024 * 1024;  // 256 sectors
  std::string a = randomBytes(size, 5);
  std::string pathA = writeImage("a.bin", a);
  const struct {
    std::vector<std::string> args;
    std::string line;
  } refused[] = {
      {{"--changed-only"}, "--changed-only without -i: give it with -i <image>"},
      {{"-i", pathA, "--changed-only", "--checkspi"}, "--changed-only with --checkspi: give it"},
      {{"-i", pathA, "--changed-only", "-B"}, "--changed-only 2M*8: a security layout erases"},
  };
  int code = -1;
  for (const auto& c : refused) {
    std::string out = jyx(c.args, &code);
    EXPECT_EQ(2, code) << out;
    EXPECT_TRUE(has(out, c.line));
  }
  for (const OpsRecord& r : sim_.ops()) EXPECT_NE("rx", r.dir) << r.cmd;

  std::string out = jyx({"-i", pathA}, &code);
  ASSERT_EQ(0, code) << out;

  // Three sectors change, one of them only in its last byte.
  std::string b = a;
  b[3 * 4096 + 17] ^= 0x5A;
  b[100 * 4096 + 4095] ^= 0x01;
  for (size_t i = 200 * 4096; i < 201 * 4096; ++i) b[i] = '\xff';
  std::string pathB = writeImage("b.bin", b);
  size_t before = sim_.ops().size();
  out = jyx({"-i", pathB, "--changed-only"}, &code);
  EXPECT_EQ(0, code) << out;
  EXPECT_TRUE(inOrder(out, {"changed-only: 253 of 256 sectors unchanged and skipped, 3 written\n",
                            "\nchecking image(" + pathB + ") OK\n"}));
  std::vector<OpsRecord> ops = sim_.ops();
  EXPECT_EQ((std::set<int64_t>{3, 100, 200}), writtenSectors(ops, before));
  // Each sector read once before writing, and once more by the check.
  EXPECT_EQ(256u + 256u, countReads(ops, before));
  EXPECT_TRUE(flashFile().compare(0, size, b) == 0);

  // Nothing changed: nothing written, still verified.
  before = ops.size();
  out = jyx({"-i", pathB, "--changed-only"}, &code);
  EXPECT_EQ(0, code) << out;
  EXPECT_TRUE(has(out, "changed-only: 256 of 256 sectors unchanged and skipped, 0 written\n"));
  EXPECT_TRUE(writtenSectors(sim_.ops(), before).empty());
}

TEST_F(ChangedOnlyE2E, RefusedReadFailsAndGivesTheLinesBack) {
  // The fifth sector read of the run is refused.
  startSim("127.0.58.2", {"--fail", "SPI_READ:5"});
  std::string a = randomBytes(64 * 1024, 6);
  int code = -1;
  std::string out = jyx({"-i", writeImage("a.bin", a), "--changed-only"}, &code);
  EXPECT_EQ(1, code) << out;
  size_t reason = out.find("the controller refused reading sector 4 (ACK_FAIL)\n");
  size_t failLine = out.find("flashing image(" + dir_.file("a.bin") + ") fail\n");
  ASSERT_NE(std::string::npos, reason) << out;
  ASSERT_NE(std::string::npos, failLine) << out;
  EXPECT_LT(reason, failLine);
  EXPECT_FALSE(has(out, " OK\n"));
  // The sectors before it were written, the flash lines went back (the
  // last GPIO requests set SPI_PRG_EN, then SPI_PRG_SEL to 1).
  std::vector<OpsRecord> ops = sim_.ops();
  EXPECT_EQ((std::set<int64_t>{0, 1, 2, 3}), writtenSectors(ops, 0));
  std::vector<std::pair<int64_t, int64_t>> gpio;
  for (const OpsRecord& r : ops) {
    if (r.dir == "rx" && r.cmd == "GPIO_CTRL") gpio.push_back({r.num("gpio"), r.num("level")});
  }
  ASSERT_GE(gpio.size(), 2u);
  EXPECT_EQ((std::pair<int64_t, int64_t>{66, 1}), gpio[gpio.size() - 2]);
  EXPECT_EQ((std::pair<int64_t, int64_t>{67, 1}), gpio.back());
}

}  // namespace
}  // namespace jyxtest
