#include "fastboot/fastboot_manager.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "common/api_manager.h"
#include "common/exec_channel.h"
#include "jyx/device/data_manager.h"
#include "jyx/jyx.h"
#include "test_util.h"

namespace {

using jyxtest::ScopedTempDir;

// A fastboot stand-in: the block-size query answers after 300 lines, its
// summary without a line end; the backdoor query relays a bootloader line
// that would retitle the terminal; anything else lists its arguments.
const char kFakeFastboot[] =
    "#!/bin/sh\n"
    "case \"$*\" in\n"
    "'getvar block-size')\n"
    "  i=0; while [ $i -lt 300 ]; do echo \"INFO line $i\"; i=$((i+1)); done\n"
    "  echo 'block-size: 4096'; printf 'Finished. Total time: 0.001s';;\n"
    "'getvar backdoor') printf '(bootloader) \\033]0;x\\007up\\n'; echo 'backdoor: yes';\n"
    "  echo 'Finished. Total time: 0.001s';;\n"
    "*) echo \"args $#\"; for a in \"$@\"; do printf '[%s]\\n' \"$a\"; done;;\n"
    "esac\n";

class FastbootManagerTest : public testing::Test {
 protected:
  void SetUp() override {
    fake_ = dir_.file("fastboot");
    ASSERT_TRUE(jyxtest::writeFile(fake_, kFakeFastboot));
    ASSERT_EQ(0, chmod(fake_.c_str(), 0755));
    m_.reset(new CFastbootManager(CJYX::instance(), CJYXDataManager::instance(), false));
    m_->channel()->setPrefix(CFastbootManager::commandPrefix(fake_));
  }

  // Runs one command and pumps until its completion; the printed text is
  // returned, with "<done:0|1>" where the completion ran.
  std::string run(const std::string& command) {
    bool finished = false;
    testing::internal::CaptureStdout();
    m_->execute(command, [&](bool ok) {
      CAPIManager::instance()->print("<done:%d>", ok ? 1 : 0);
      EXPECT_FALSE(finished) << "completion called twice";
      finished = true;
    });
    EXPECT_TRUE(jyxtest::waitUntil(
        [&] {
          CAPIManager::instance()->update();
          return finished;
        },
        20000));
    // Later pumps must not call it again.
    for (int i = 0; i < 5; ++i) CAPIManager::instance()->update();
    return testing::internal::GetCapturedStdout();
  }

  // Loads `json` from a file in the temporary directory.
  std::string load(const std::string& json) {
    std::string path = dir_.file("config.json");
    EXPECT_TRUE(jyxtest::writeFile(path, json));
    m_->setConfigFile(path);
    testing::internal::CaptureStdout();
    m_->loadConfig();
    return testing::internal::GetCapturedStdout();
  }

  ScopedTempDir dir_;
  std::string fake_;
  std::unique_ptr<CFastbootManager> m_;
};

TEST_F(FastbootManagerTest, CompletionComesAfterTheLastOutputLine) {
  std::string out = run("getvar block-size");
  EXPECT_EQ(0u, out.find("getvar block-size\nINFO line 0\n")) << out;
  // The unterminated summary is passed on before the completion runs, and
  // the completion sees the size the output set.
  EXPECT_NE(std::string::npos, out.find("INFO line 299\nblock-size: 4096\n"
                                        "Finished. Total time: 0.001s<done:1>"))
      << out;
  EXPECT_EQ("4096", m_->sectorSize());
  EXPECT_EQ("getvar block-size", m_->currentCommand());
}

TEST_F(FastbootManagerTest, QueriesReadTheirAnswerInTheCompletion) {
  std::string size;
  bool ddr = false;
  int calls = 0;
  testing::internal::CaptureStdout();
  m_->fetchSectorSize([&](const char* s) {
    size = s;
    m_->fetchBackdoorMode([&](bool b) {
      ddr = b;
      ++calls;
    });
  });
  EXPECT_TRUE(jyxtest::waitUntil(
      [&] {
        CAPIManager::instance()->update();
        return calls > 0;
      },
      20000));
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(std::string::npos, out.find("(bootloader) ^[]0;x^Gup\n")) << out;
  EXPECT_EQ("4096", size);
  // The summary line after "backdoor: yes" leaves the flag set.
  EXPECT_TRUE(ddr);
  EXPECT_TRUE(m_->isBackdoor());
}

TEST_F(FastbootManagerTest, QuotedTextIsOneArgumentAndAMissingProgramStillCompletes) {
  const std::string label = "x'y;z$(touch PWNED)\n`id`";
  std::string out =
      run("flash " + fastboot::shellQuote(label) + " " + fastboot::shellQuote(dir_.file("a b")));
  EXPECT_NE(std::string::npos,
            out.find("args 3\n[flash]\n[" + label + "]\n[" + dir_.file("a b") + "]\n<done:1>"))
      << out;
  struct stat st;
  EXPECT_NE(0, stat("PWNED", &st));

  m_->channel()->setPrefix(CFastbootManager::commandPrefix(dir_.file("absent")));
  out = run("devices");
  // The shell's complaint is printed; the exit status plays no part.
  EXPECT_NE(std::string::npos, out.find("absent")) << out;
  EXPECT_NE(std::string::npos, out.find("<done:1>")) << out;
}

TEST_F(FastbootManagerTest, BusyGuardAndWatchdog) {
  testing::internal::CaptureStdout();
  EXPECT_FALSE(m_->checkBusy());
  double start = m_->lastActivity();
  EXPECT_EQ(CFastbootManager::kIdleWatchdog, m_->watchdogSeconds());
  m_->markBusy(true);
  EXPECT_TRUE(m_->checkBusy());
  EXPECT_EQ("System is busy, try again after a moment.\n", testing::internal::GetCapturedStdout());
  m_->onUpdate(start + 4.9);
  EXPECT_TRUE(m_->isBusy());
  m_->onUpdate(start + 5.1);
  EXPECT_FALSE(m_->isBusy());

  // A plan raises the idle time to 120 s.
  testing::internal::CaptureStdout();
  m_->markBusy(true);
  bool result = true;
  m_->doFlashNor([&](bool ok) { result = ok; });
  EXPECT_EQ("flashNor - no config.\n", testing::internal::GetCapturedStdout());
  EXPECT_FALSE(result);
  EXPECT_EQ(CFastbootManager::kPlanWatchdog, m_->watchdogSeconds());
  double t = m_->lastActivity();
  m_->onUpdate(t + 119);
  EXPECT_TRUE(m_->isBusy());
  m_->onUpdate(t + 121);
  EXPECT_FALSE(m_->isBusy());
}

TEST_F(FastbootManagerTest, ConfigurationLoadsRelativeToItsDirectory) {
  std::string out = load(
      R"({"settings":{"platform":"linux"},"flash_nor":{"label":"bootloader","name":"bl.bin"},
          "partitions":[{"label":"boot","name":"b.img","ab":true,"erase":1}]})");
  EXPECT_EQ("GPT platform: linux\n", out);
  ASSERT_EQ(3u, m_->flashList().size());
  EXPECT_EQ(dir_.file("bl.bin"), m_->flashList()[0].name);
  EXPECT_EQ(dir_.file("b.img"), m_->flashList()[2].nameEx);
  EXPECT_EQ((std::vector<std::string>{"boot_a", "boot_b"}), m_->eraseList());
  EXPECT_EQ("linux", m_->platform());

  // A refused file says why and leaves nothing from the earlier one.
  out = load(R"({"partitions":[{"name":"x.img"}]})");
  EXPECT_NE(std::string::npos, out.find("refused: partition 0 has no \"label\"")) << out;
  EXPECT_TRUE(m_->flashList().empty());
  EXPECT_TRUE(m_->eraseList().empty());

  out = load("");
  EXPECT_NE(std::string::npos, out.find("is empty")) << out;
}

TEST_F(FastbootManagerTest, ToolDirectoryFollowsTheConfigurationPath) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"plain.json", ""},
      {"/srv/flash/plan.json", "/srv/flash/"},
      {"rel/dir/plan.json", "rel/dir/"},
      {"/plan.json", "KEPT/"},
  };
  for (const auto& c : cases) {
    m_->setToolDir("KEPT/");
    m_->setConfigFile(c.first);
    testing::internal::CaptureStdout();
    m_->loadConfig();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(c.second, m_->toolDir()) << c.first;
  }
}

TEST_F(FastbootManagerTest, StepsWithNothingToDoRunNoCommand) {
  load(R"({"flash_nor":{"label":"loader","name":"l"},"gpt":{"label":"gpt"},
           "partitions":[{"label":"a","erase":true},{"label":"b"}]})");
  testing::internal::CaptureStdout();
  std::vector<bool> results;
  // Partitions without an image are skipped.
  m_->setFlashIndex(2);
  m_->flashNVME([&](bool ok) { results.push_back(ok); });
  // In DDR mode nothing is erased.
  m_->setBackdoor(true);
  m_->erasePartition([&](bool ok) { results.push_back(ok); });
  // Entry 0 is not the boot loader.
  m_->flashNor([&](bool ok) { results.push_back(ok); });
  EXPECT_EQ("flashNor - no bootloader config.\n", testing::internal::GetCapturedStdout());
  EXPECT_EQ((std::vector<bool>{true, true, false}), results);
  EXPECT_EQ("", m_->currentCommand());
  EXPECT_EQ(4u, m_->flashIndex());
}

TEST_F(FastbootManagerTest, NorPlanNeedsAUsableAddress) {
  load(R"({"flash_nor":{"label":"bootloader","name":"l"}})");
  const std::vector<const char*> answers = {nullptr, "", "1.2.3.4"};
  for (const char* answer : answers) {
    m_->setAddressLookup([answer](CFastbootManager::AddressReply reply) { reply(answer); });
    testing::internal::CaptureStdout();
    bool result = true;
    m_->flashNor([&](bool ok) { result = ok; });
    EXPECT_EQ("flashNor - getIP fail.\n", testing::internal::GetCapturedStdout())
        << (answer ? answer : "null");
    EXPECT_FALSE(result);
  }
}

}  // namespace
