// End-to-end tests of the factory functional test: the real jyx --fct-tool
// against the scripted target console of jyx-sim (a pty), with record files
// in a temporary directory. Addresses 127.0.16.x.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "common/serial_port.h"
#include "sim_util.h"
#include "test_util.h"

namespace {

using jyxtest::has;
using jyxtest::inOrder;

const char kBom[] = "\xEF\xBB\xBF";

const char kScript[] =
    "on ver\n"
    "  say FCT target 1.0\x1b]0;pwned\x07\n"
    "  wait 100\n"
    "  say ver OK\n"
    "on-prefix setmac 00:11:22:33:44:55\n"
    "  say MAC OK\n"
    "on-prefix setmac \n"
    "  say MAC BAD $ARGS\n"
    "on volt\n"
    "  say VDD=3.3V\n"
    "  say VOLT DONE\n"
    "on both\n"
    "  say PASS and FAIL\n"
    "on first\n"
    "  say ready, error count 0\n"
    "on second\n"
    "  say done\n"
    "on bad\n"
    "  wait 50\n"
    "  say ERROR here\n"
    "on slow\n"
    "  wait 1000\n"
    "  say slow OK\n";

// Every case of the first file is run in a full run except "off" (no
// "enable"); the second file's entry is disabled.
const char kCases[] =
    "{\"cases\":["
    "{\"name\":\"ver\",\"enable\":true,\"commands\":[{\"cmd\":\"ver\\n\",\"ok_key\":\"ver OK\","
    "\"fail_key\":\"ERROR\",\"timeout\":5000}]},"
    "{\"name\":\"mac\",\"enable\":true,\"commands\":[{\"cmd\":\"setmac $MACADDRESS\\n\","
    "\"ok_key\":\"MAC OK\",\"fail_key\":\"MAC BAD\",\"timeout\":5000}]},"
    "{\"name\":\"volt\",\"enable\":true,\"commands\":[{\"cmd\":\"volt\\n\",\"ok_key\":\"VOLT "
    "DONE\","
    "\"info_key\":\"VDD=\",\"timeout\":5000}]},"
    "{\"name\":\"both\",\"enable\":true,\"commands\":[{\"cmd\":\"both\\n\",\"ok_key\":\"PASS\","
    "\"fail_key\":\"FAIL\",\"timeout\":5000}]},"
    "{\"name\":\"chain\",\"enable\":true,\"commands\":["
    "{\"cmd\":\"first\\n\",\"ok_key\":\"ready\",\"timeout\":5000},"
    "{\"cmd\":\"second\\n\",\"ok_key\":\"done\",\"fail_key\":\"error\",\"timeout\":5000}]},"
    "{\"name\":\"bad\",\"enable\":true,\"commands\":[{\"cmd\":\"bad\\n\",\"ok_key\":\"OK\","
    "\"fail_key\":\"ERROR\",\"timeout\":5000}]},"
    "{\"name\":\"silent\",\"enable\":true,\"commands\":[{\"cmd\":\"nothing\\n\",\"ok_key\":\"OK\","
    "\"timeout\":400}]},"
    "{\"name\":\"off\",\"commands\":[{\"cmd\":\"ver\\n\",\"ok_key\":\"ver OK\"}]}"
    "]}";

const char kOtherCases[] =
    "{\"cases\":[{\"name\":\"skipped\",\"enable\":true,\"commands\":[{\"cmd\":\"ver\\n\"}]},"
    "{\"name\":\"slow\",\"enable\":true,\"commands\":[{\"cmd\":\"slow\\n\",\"ok_key\":\"slow OK\","
    "\"timeout\":1600}]}]}";

const char kHeader[] = "SN,ver,mac,volt,both,chain,bad,silent,off,skipped,slow\n";
// The row of a board whose MAC the target accepts, and of one it refuses.
const char kGoodCells[] = ",通过,通过,通过(3.3V),通过,失败,失败,失败,未测试,未测试,未测试";
const char kBadMacCells[] = ",通过,失败,通过(3.3V),通过,失败,失败,失败,未测试,未测试,未测试";
const char kMac[] = "00:11:22:33:44:55";

class FctTest : public testing::Test {
 protected:
  // Starts jyx-sim on `address` with the console script and writes the
  // configuration that names its pty.
  void startBench(const std::string& address) {
    ASSERT_TRUE(jyxtest::writeFile(dir_.file("console.txt"), kScript));
    tty_ = dir_.file("tty");
    ASSERT_TRUE(sim_.start(
        address, {"--target-console", tty_, "--console-script", dir_.file("console.txt")}))
        << sim_.lastError();
    ASSERT_TRUE(jyxtest::writeFile(dir_.file("cases.json"), kCases));
    ASSERT_TRUE(jyxtest::writeFile(dir_.file("other.json"), kOtherCases));
    ASSERT_TRUE(jyxtest::writeFile(
        dir_.file("config.json"),
        "{\"name\":\"board\",\"mac_address\":true,\"uart\":{\"port\":\"" + tty_ +
            "\",\"baudrate\":115200},\"files\":["
            "{\"name\":\"main\",\"enable\":true,\"config\":\"cases.json\"},"
            "{\"name\":\"other\",\"enable\":false,\"config\":\"other.json\"}]}"));
  }

  std::string fct(std::vector<std::string> args, int* code = nullptr) {
    args.insert(args.begin(), {jyxtest::binPath("jyx"), "--fct-tool"});
    return jyxtest::run(args, code, 60000);
  }

  std::string record() { return jyxtest::readFile(dir_.file("record/record.csv")); }

  jyxtest::ScopedTempDir dir_;
  jyxtest::SimProcess sim_;
  std::string tty_;
};

TEST_F(FctTest, SingleCasesAndRefusedWholeListRunsWriteNoRecord) {
  startBench("127.0.16.1");
  const struct {
    const char* name;
    std::vector<std::string> lines;
  } cases[] = {
      // The target's attempt to retitle the terminal is shown, not obeyed.
      {"ver", {"FCT target 1.0^[]0;pwned^G\r\nver OK\r\n", "\ncase ver 通过\n"}},
      {"nope", {"Invalid case index (99999999 / 10)\ncase nope 失败\n"}},
      // Keys decide as their lines arrive: one line holding the pass and
      // the fail key passes; in "chain", "ready, error count 0" passes the
      // first command, sends the second and fails it before any answer.
      {"both", {"case both 通过\n"}},
      {"chain",
       {"execute(first\n): 通过\npass key: done\nfail key: error\nsecond\n\n"
        "execute(second\n): 失败\n",
        "case chain 失败\n"}},
      {"bad", {"case bad 失败\n"}},
      // An answer that never comes fails by the time-out (400 ms); one 1 s
      // after the command is within a 1.6 s time-out: the clock starts when
      // the command is sent, not when the program started.
      {"silent", {"execute(nothing\n): 失败\ncase silent 失败\n"}},
      {"slow", {"case slow 通过\n"}},
  };
  for (const auto& c : cases) {
    int code = -1;
    auto start = std::chrono::steady_clock::now();
    std::string out = fct({"-u", tty_, "-f", dir_.file("config.json"), "-c", c.name}, &code);
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(0, code) << c.name;
    EXPECT_TRUE(inOrder(out, c.lines)) << c.name;
    if (c.name == std::string("silent")) {
      EXPECT_GE(elapsed, std::chrono::milliseconds(400));
    }
  }
  // A whole-list run refuses what the station would refuse, before any case.
  const struct {
    std::vector<std::string> extra;
    const char* expected;
  } refused[] = {
      // Without a serial number: as the command line always behaved.
      {{"--mac", kMac}, "SN is blank.\ntest all cases: 失败\n"},
      {{"--sn", "S1"}, "GBE MAC is absent.\ntest all cases: 失败\n"},
      {{"--sn", "S1", "--mac", "00:11:2"}, "GBE MAC is wrong.\ntest all cases: 失败\n"},
      {{"--sn", "S/1", "--mac", kMac}, "test all cases: 失败\n"},
  };
  for (const auto& c : refused) {
    std::vector<std::string> args = {"-f", dir_.file("config.json")};
    args.insert(args.end(), c.extra.begin(), c.extra.end());
    std::string out = fct(args);
    EXPECT_TRUE(has(out, c.expected));
    EXPECT_FALSE(has(out, "---ver---")) << "nothing ran";
  }
  // Neither single-case nor refused runs write a record.
  struct stat st;
  EXPECT_NE(0, stat(dir_.file("record").c_str(), &st));
}

TEST_F(FctTest, AWholeListRunKeepsOneRowPerBoardAndReportsAnUnwritableRecord) {
  startBench("127.0.16.4");
  std::string out = fct({"-f", dir_.file("config.json"), "--sn", "S1", "--mac", kMac});
  // Every enabled case, in order; "off" and the disabled file's case never run.
  EXPECT_TRUE(inOrder(out, {"\n---ver---\n", "\n---mac---\n", "\n---volt---\n", "\n---both---\n",
                            "\n---chain---\n", "\n---bad---\n", "\n---silent---\n"}));
  EXPECT_FALSE(has(out, "---off---"));
  EXPECT_FALSE(has(out, "---skipped---"));
  EXPECT_TRUE(
      inOrder(out, {"case volt 通过(3.3V)\n", "\n---SN:S1 End---\ntest all cases: 未测试\n"}));
  EXPECT_EQ(std::string(kBom) + kHeader + "S1" + kGoodCells + "\n", record());
  // The board's log file (empty: no front end supplies a log here).
  EXPECT_EQ("", jyxtest::readFile(dir_.file("record/log/S1.txt")));
  struct stat st;
  EXPECT_EQ(0, stat(dir_.file("record/log/S1.txt").c_str(), &st));

  fct({"-f", dir_.file("config.json"), "--sn", "S2", "--mac", kMac});
  EXPECT_EQ(std::string(kBom) + kHeader + "S1" + kGoodCells + "\nS2" + kGoodCells + "\n", record());
  // S1 again, now with a MAC the target refuses: its row changes in place.
  fct({"-f", dir_.file("config.json"), "--sn", "S1", "--mac", "00-11-22-33-44-66"});
  EXPECT_EQ(std::string(kBom) + kHeader + "S1" + kBadMacCells + "\nS2" + kGoodCells + "\n",
            record());

  // A record that cannot be written is reported and the run ends.
  ASSERT_EQ(0, unlink(dir_.file("record/record.csv").c_str()));
  ASSERT_EQ(0, mkdir(dir_.file("record/record.csv").c_str(), 0755));
  out = fct({"-f", dir_.file("config.json"), "--sn", "S3", "--mac", kMac});
  EXPECT_TRUE(inOrder(out, {"open file (" + dir_.file("record/record.csv") + ") FAIL.\n",
                            "test all cases: 未测试\n"}));
}

// True once the tool has started to replace the record: a new file beside
// it (the temporary one) or a record whose size is no longer the old one.
bool recordWriteStarted(const std::string& directory, off_t oldSize) {
  struct stat st;
  if (stat((directory + "/record.csv").c_str(), &st) != 0 || st.st_size != oldSize) return true;
  DIR* d = opendir(directory.c_str());
  if (d == nullptr) return false;
  bool other = false;
  while (dirent* e = readdir(d)) {
    std::string name = e->d_name;
    if (name != "." && name != ".." && name != "record.csv" && name != "log") other = true;
  }
  closedir(d);
  return other;
}

TEST_F(FctTest, AKilledWriteLeavesTheOldOrTheNewRecordNeverAPart) {
  startBench("127.0.16.7");
  // A record of many boards, so that writing it takes a while.
  std::string old = std::string(kBom) + kHeader;
  for (int i = 0; i < 200000; ++i) old += "OLD" + std::to_string(i) + kGoodCells + "\n";
  const std::string directory = dir_.file("record");
  ASSERT_EQ(0, mkdir(directory.c_str(), 0755));
  const std::string updated = old + "NEW" + kGoodCells + "\n";
  const std::vector<std::string> args = {jyxtest::binPath("jyx"),
                                         "--fct-tool",
                                         "-f",
                                         dir_.file("config.json"),
                                         "--sn",
                                         "NEW",
                                         "--mac",
                                         kMac};
  int killedWhileWriting = 0;
  for (int delayUs : {0, 500, 2000, 5000}) {
    ASSERT_TRUE(jyxtest::writeFile(directory + "/record.csv", old));
    jyxtest::Subprocess p;
    ASSERT_TRUE(p.start(args));
    // The last case's line comes right before the record is written; from
    // then on watch the directory and kill the tool as soon as (or shortly
    // after) the write has begun.
    ASSERT_TRUE(p.waitForOutput("case silent ", 30000)) << p.out();
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    bool started = false;
    while (!started && p.running() && std::chrono::steady_clock::now() < deadline) {
      started = recordWriteStarted(directory, off_t(old.size()));
    }
    if (started && delayUs > 0) usleep(useconds_t(delayUs));
    p.signal(SIGKILL);
    ASSERT_TRUE(p.wait(10000));
    if (started && p.termSignal() == SIGKILL) ++killedWhileWriting;
    std::string now = record();
    EXPECT_TRUE(now == old || now == updated)
        << "killed " << delayUs << " us into the write: " << now.size() << " bytes, old "
        << old.size() << ", new " << updated.size();
  }
  EXPECT_GT(killedWhileWriting, 0) << "no kill met a write in progress";
}

TEST_F(FctTest, ListsPortsAndPrintsHelpAndEndsWithoutAUart) {
  int code = -1;
  EXPECT_EQ(listTtyDevices() + "\n", fct({"-p"}, &code));
  EXPECT_EQ(0, code);

  std::string help = fct({"-h"});
  EXPECT_EQ(0u, help.find("\x1b[1;33m    --fct-tool <options ... >\n\n\x1b[m    options:\n"));
  for (const char* option : {"-u, --uart", "-f, --file", "-l, --list", "-a, --all", "-c, --case",
                             "-p, --list-port", "--sn <serial number>", "--mac <mac address>"}) {
    EXPECT_TRUE(has(help, option)) << option;
  }
  EXPECT_EQ(help, fct({"--bogus"})) << "an unknown option prints the help";
  // -l acts before the configuration is loaded: no case names.
  EXPECT_EQ("", fct({"-l", "-f", dir_.file("config.json")}));

  std::string missing = dir_.file("no-such-tty");
  std::string out = fct({"-u", missing, "-c", "ver"}, &code);
  EXPECT_EQ(0, code);
  EXPECT_TRUE(has(out, "connect to uart, port: " + missing + ", baudrage: 115200\n"));
  EXPECT_FALSE(has(out, "case ver"));
}

}  // namespace
