#include "fcttool/fct_tool_manager.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "common/api_data.h"
#include "common/api_manager.h"
#include "common/serial_port.h"
#include "fcttool/fct_record.h"
#include "jyx/jyx.h"
#include "test_util.h"

namespace {

using jyxtest::ScopedTempDir;

// The manager with a clock the test sets.
class TestManager : public CFCTToolManager {
 public:
  TestManager() : CFCTToolManager(CJYX::instance(), false) {}
  double now = 1000.0;

 protected:
  double clockNow() override { return now; }
};

// A manager whose UART is the slave side of a pty; the test plays the
// target on the master side.
class FctManagerTest : public testing::Test {
 protected:
  void SetUp() override {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(master_, 0);
    ASSERT_EQ(0, grantpt(master_));
    ASSERT_EQ(0, unlockpt(master_));
    m_.reset(new TestManager());
    m_->setPort(ptsname(master_));
    testing::internal::CaptureStdout();
    m_->openUart();
    testing::internal::GetCapturedStdout();
    ASSERT_TRUE(m_->isUartOpen());
  }
  void TearDown() override {
    m_.reset();
    if (master_ >= 0) close(master_);
  }

  // Writes the configuration and one case file holding `cases` (a JSON
  // array text), then loads it.
  void load(const std::string& cases, const std::string& extra = "") {
    ASSERT_TRUE(jyxtest::writeFile(dir_.file("cases.json"), "{\"cases\":" + cases + "}"));
    ASSERT_TRUE(jyxtest::writeFile(
        dir_.file("config.json"),
        "{\"name\":\"board\"," + extra +
            "\"files\":[{\"name\":\"g\",\"enable\":true,\"config\":\"cases.json\"}]}"));
    m_->setConfigFile(dir_.file("config.json"));
    testing::internal::CaptureStdout();
    bool loaded = m_->loadConfig();
    testing::internal::GetCapturedStdout();
    ASSERT_TRUE(loaded);
  }
  // Loads one enabled case `name` whose commands are `commands` (JSON objects).
  void loadCase(const std::string& name, const std::string& commands,
                const std::string& extra = "") {
    load("[{\"name\":\"" + name + "\",\"enable\":true,\"commands\":[" + commands + "]}]", extra);
  }

  // Everything the manager wrote to the UART within timeoutMs.
  std::string readTarget(size_t atLeast, int timeoutMs = 5000) {
    std::string got;
    jyxtest::waitUntil(
        [&] {
          char buf[4096];
          ssize_t n = read(master_, buf, sizeof(buf));
          if (n > 0) got.append(buf, size_t(n));
          return got.size() >= atLeast;
        },
        timeoutMs);
    return got;
  }

  // Runs the case by name as the command line does; the verdict lands in
  // result_.
  void runCase(const std::string& name) {
    m_->setRunning(true);
    m_->setCommandIndex(0);
    m_->setCaseIndex(m_->findCase(name));
    m_->testCase([this](const char* r) { result_ = r; });
  }

  ScopedTempDir dir_;
  int master_ = -1;
  std::unique_ptr<TestManager> m_;
  std::string result_;
};

TEST_F(FctManagerTest, LoadTakesEnabledCasesColoursAndCommandDefaults) {
  ASSERT_TRUE(jyxtest::writeFile(dir_.file("a.json"), R"({"cases":[{"name":"on","enable":true,
      "commands":[{"cmd":"x\n","ok_key":"OK","timeout":1500,"manual_scale":2.5}]},
      {"name":"no-enable"}]})"));
  ASSERT_TRUE(jyxtest::writeFile(dir_.file("b.json"),
                                 "\xEF\xBB\xBF"
                                 R"({"cases":[{"name":"file-off","enable":true}]})"));
  ASSERT_TRUE(jyxtest::writeFile(dir_.file("config.json"), R"({"name":"T","mac_address":true,
      "uart":{"port":"/dev/ttyUSB7","baudrate":9600},
      "files":[{"name":"A","enable":true,"config":"a.json"},
      {"name":"B","enable":false,"config":"b.json"},
      {"name":"C","enable":true,"config":"missing.json"}]})"));
  m_->setConfigFile(dir_.file("config.json"));
  testing::internal::CaptureStdout();
  EXPECT_TRUE(m_->loadConfig());
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("open file (" + dir_.file("missing.json") + ") FAIL.\n"), std::string::npos);

  EXPECT_EQ(dir_.path() + "/", m_->configDir());
  EXPECT_EQ("T", m_->title());
  EXPECT_TRUE(m_->macRequired());
  EXPECT_EQ("/dev/ttyUSB7", m_->port());
  EXPECT_EQ(9600u, m_->baudRate());
  const std::vector<CFCTCase>& cases = m_->cases();
  ASSERT_EQ(3u, cases.size());
  EXPECT_EQ(3, m_->caseIndex());
  EXPECT_TRUE(cases[0].enable);
  EXPECT_FALSE(cases[1].enable) << "a case without \"enable\" is off";
  EXPECT_FALSE(cases[2].enable) << "a disabled file disables its cases";
  EXPECT_EQ("0x3FFFE0B2", cases[0].color);
  EXPECT_EQ("0x3FBA68C8", cases[2].color);
  EXPECT_EQ("B", cases[2].group);
  for (const CFCTCase& c : cases) EXPECT_EQ(fct::kNotTested, c.status);
  ASSERT_EQ(1u, cases[0].commands.size());
  const CFCTCommand& c = cases[0].commands[0];
  EXPECT_EQ(1500, c.timeout);
  EXPECT_EQ(2.5f, c.manualScale);
  EXPECT_EQ(99999999, c.delay);
  EXPECT_EQ("", c.failKey);
  EXPECT_EQ(0, m_->findCase("on"));
  EXPECT_EQ(CFCTToolManager::kNoCase, m_->findCase("nope"));
}

TEST_F(FctManagerTest, AConfigurationThatIsAFifoIsRefusedWithoutBlocking) {
  ASSERT_EQ(0, mkfifo(dir_.file("fifo").c_str(), 0600));
  m_->setConfigFile(dir_.file("fifo"));
  testing::internal::CaptureStdout();
  EXPECT_FALSE(m_->loadConfig());
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("open file (" + dir_.file("fifo") + ") FAIL.\n"), std::string::npos) << out;
  EXPECT_TRUE(m_->cases().empty());
  EXPECT_EQ("", m_->configFile());
}

TEST_F(FctManagerTest, TheLineThatPassedACommandIsMatchedAgainstTheNextFailKey) {
  loadCase("c", R"({"cmd":"one\n","ok_key":"ready","fail_key":"x"},
                  {"cmd":"two\n","ok_key":"done","fail_key":"error"})");
  testing::internal::CaptureStdout();
  runCase("c");
  m_->onString("ready, last error 0\n");
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ("one\ntwo\n", readTarget(8)) << "the second command went out from the same line";
  EXPECT_EQ(fct::kFail, result_) << out;
  EXPECT_EQ(1, m_->commandIndex());
}

TEST_F(FctManagerTest, InformationIsTheRestOfTheLineWithoutItsLineEnd) {
  loadCase("v", R"({"cmd":"v\n","ok_key":"DONE","info_key":"VDD="})");
  m_->setSerialNumber("SN1");
  testing::internal::CaptureStdout();
  ASSERT_TRUE(m_->startFullRun([this](const char* r) { result_ = r; }));
  m_->onString("VDD=3.3V\x1b[2J\r\n");
  m_->onString("DONE\n");
  std::string out = testing::internal::GetCapturedStdout();
  // Kept as sent; on the terminal the clear-screen sequence is shown.
  EXPECT_NE(out.find("case v 通过(3.3V^[[2J)\n"), std::string::npos) << out;
  EXPECT_EQ("(3.3V\x1b[2J)", m_->cases()[0].info);
  std::string record = jyxtest::readFile(dir_.file("record/record.csv"));
  EXPECT_EQ("\xEF\xBB\xBFSN,v\nSN1,通过(3.3V\x1b[2J)\n", record);
  EXPECT_FALSE(m_->running());
  EXPECT_FALSE(m_->busy());
}

TEST_F(FctManagerTest, TimeOutFailsTheCommandOnceItsTimeHasPassed) {
  loadCase("t", R"({"cmd":"t\n","ok_key":"OK","timeout":1000})");
  testing::internal::CaptureStdout();
  runCase("t");
  m_->onUpdate(m_->now + 0.9);
  EXPECT_EQ("", result_);
  m_->onUpdate(m_->now + 1.1);
  EXPECT_EQ(fct::kFail, result_);
  result_.clear();
  m_->onUpdate(m_->now + 1.1);  // the second call of the same pump does nothing
  m_->onString("OK\n");         // nor does a late answer
  testing::internal::GetCapturedStdout();
  EXPECT_EQ("", result_);
}

TEST_F(FctManagerTest, TheDialogDelayRestartsTheTimeOutClock) {
  loadCase("m", R"({"cmd":"m\n","manual_confirm":"LED on?","delay":2000,"timeout":3000})");
  testing::internal::CaptureStdout();
  runCase("m");
  double t0 = m_->now;
  m_->onUpdate(t0 + 2.1);  // the dialog is shown; the time-out counts from here
  m_->onUpdate(t0 + 3.5);
  EXPECT_EQ("", result_) << "3.5 s after sending, but only 1.4 s after the dialog";
  m_->onUpdate(t0 + 5.2);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(fct::kFail, result_) << "no operator answers on the command line";
}

TEST_F(FctManagerTest, TheMacAddressReplacesItsPlaceholderWhenRequired) {
  loadCase("mac", R"({"cmd":"setmac $MACADDRESS\n","ok_key":"OK"})", "\"mac_address\":true,");
  m_->setMacAddress("00:11:22:33:44:55");
  testing::internal::CaptureStdout();
  runCase("mac");
  testing::internal::GetCapturedStdout();
  EXPECT_EQ("setmac 00:11:22:33:44:55\n", readTarget(25));
}

TEST_F(FctManagerTest, ReadinessNamesWhatIsMissing) {
  load("[]", "\"mac_address\":true,");
  const struct {
    std::string serial, mac;
    bool closeUart;
    std::string expected;
  } cases[] = {
      {"", "001122334455", false, "SN is absent.\n"},
      {"S", "", false, "GBE MAC is absent.\n"},
      {"S", "00:1G", false, "GBE MAC is wrong.\n"},
      {"S", "00-11", true, "uart channel is not valid.\n"},
  };
  for (const auto& c : cases) {
    m_->setSerialNumber(c.serial);
    m_->setMacAddress(c.mac);
    if (c.closeUart) m_->closeUart();
    testing::internal::CaptureStdout();
    EXPECT_FALSE(m_->checkReady());
    EXPECT_EQ(c.expected, testing::internal::GetCapturedStdout());
  }
}

TEST_F(FctManagerTest, ARunOfAKnownSerialReplacesItsRowAndANewOneAppends) {
  load(R"([{"name":"a","enable":true,"commands":[{"cmd":"a\n","ok_key":"OK","fail_key":"NG"}]},
           {"name":"b"}])");
  auto fullRun = [&](const std::string& serial, const char* answer) {
    m_->setSerialNumber(serial);
    testing::internal::CaptureStdout();
    ASSERT_TRUE(m_->startFullRun(nullptr));
    m_->onString(answer);
    testing::internal::GetCapturedStdout();
  };
  fullRun("S1", "OK\n");
  fullRun("S2", "NG\n");
  fullRun("S1", "NG\n");
  EXPECT_EQ("\xEF\xBB\xBFSN,a,b\nS1,失败,未测试\nS2,失败,未测试\n",
            jyxtest::readFile(dir_.file("record/record.csv")));
}

TEST_F(FctManagerTest, ARecordThatCannotBeReadIsNeverReplaced) {
  load("[]");
  ASSERT_EQ(0, mkdir(dir_.file("record").c_str(), 0755));
  ASSERT_EQ(0, mkdir(dir_.file("record/record.csv").c_str(), 0755));
  m_->setSerialNumber("S1");
  testing::internal::CaptureStdout();
  m_->processResult();
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("open file (" + dir_.file("record/record.csv") + ") FAIL.\n"),
            std::string::npos)
      << out;
  struct stat st;
  ASSERT_EQ(0, stat(dir_.file("record/record.csv").c_str(), &st));
  EXPECT_TRUE(S_ISDIR(st.st_mode));
}

TEST_F(FctManagerTest, AStoppedRunReportsForceStopped) {
  loadCase("c", R"({"cmd":"c\n"})");
  m_->setRunning(false);
  m_->setCaseIndex(0);
  m_->setCommandIndex(0);
  testing::internal::CaptureStdout();
  m_->testCase([this](const char* r) { result_ = r; });
  EXPECT_EQ("Force Stopped!!!\n", testing::internal::GetCapturedStdout());
  EXPECT_EQ(fct::kFail, result_);
}

// A line holding both keys passes; the ok key is looked for first.
TEST_F(FctManagerTest, LinesFromTheUartReachTheMatcherWholeThroughTheParser) {
  loadCase("c", R"({"cmd":"t\n","ok_key":"PASS","fail_key":"FAIL"})");
  testing::internal::CaptureStdout();
  runCase("c");
  EXPECT_EQ("t\n", readTarget(2));
  // One line in two pieces: the matcher sees it whole.
  ASSERT_EQ(6, write(master_, "FAIL .", 6));
  ASSERT_EQ(10, write(master_, ".. PASS\r\n", 10));
  EXPECT_TRUE(jyxtest::waitUntil([&] {
    m_->parser()->onUpdate(0);
    return !result_.empty();
  }));
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(fct::kPass, result_);
  EXPECT_NE(out.find("FAIL ... PASS"), std::string::npos) << out;
}

}  // namespace

namespace {

void invoke(const std::string& name, const std::string& args) {
  APIDATA data;
  data.append(args.c_str(), nullptr, 0);
  CAPIManager* api = CAPIManager::instance();
  api->dispatchTask(api->createTask(0, name, &data, nullptr));
}

TEST(FctTaskTest, FrontEndTasksReachTheProcessWideManager) {
  CFCTToolManager* m = CFCTToolManager::instance();
  ScopedTempDir dir;
  ASSERT_TRUE(jyxtest::writeFile(dir.file("c.json"), R"({"cases":[{"name":"x"}]})"));
  ASSERT_TRUE(jyxtest::writeFile(dir.file("config.json"), R"({"name":"Line 3",
      "files":[{"name":"g","enable":true,"config":"c.json"}]})"));
  m->setConfigFile(dir.file("config.json"));
  testing::internal::CaptureStdout();
  invoke("fct_tool:refresh", "");
  invoke("fct_tool:scan_code", "{\"value\":\"SN42\"}");
  invoke("fct_tool:gmac", "{\"value\":\"0011\"}");
  invoke("fct_tool:uart_baud", "{\"value\":\"0x1C200\"}");
  invoke("fct_tool:enable_case", "{\"tag\":\"x\",\"value\":true}");
  invoke("fct_tool:command_content", "{\"value\":\"uname\\n\"}");
  invoke("fct_tool:select_uart", "{\"value\":\"none\"}");
  invoke("fct_tool:open", "");
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ("SN42", m->serialNumber());
  EXPECT_EQ("0011", m->macAddress());
  EXPECT_EQ(115200u, m->baudRate());
  ASSERT_EQ(1u, m->cases().size());
  EXPECT_TRUE(m->cases()[0].enable);
  EXPECT_EQ("uname\n", m->command());
  EXPECT_FALSE(m->isUartOpen()) << "\"none\" is never opened";
  EXPECT_FALSE(m->busy());
  EXPECT_EQ("{\"title\":\"FCT v.2025.08.11\", \"sub_title\":\"Line 3\"}", m->name());

  invoke("fct_tool:uart_baud", "{\"value\":\"0\"}");
  EXPECT_EQ(1500000u, m->baudRate()) << "a rate below 1 becomes 1500000";

  // A busy manager refuses front-end edits.
  m->setBusy(true);
  testing::internal::CaptureStdout();
  invoke("fct_tool:command_content", "{\"value\":\"ls\\n\"}");
  invoke("fct_tool:scan_code", "{\"value\":\"SN43\"}");
  EXPECT_EQ("System is busy, try again after a moment.\n", testing::internal::GetCapturedStdout());
  EXPECT_EQ("uname\n", m->command());
  EXPECT_EQ("SN42", m->serialNumber());
  m->setBusy(false);

  m->setRunning(true);
  invoke("fct_tool:stop", "");
  EXPECT_FALSE(m->running());
  EXPECT_EQ(1, m->caseIndex());

  m->setSerialNumber("");
  m->setMacAddress("");
  m->setConfigFile("");
  m->setBaudRate(115200);
}

}  // namespace
