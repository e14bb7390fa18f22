#include "main/qel_console_flash_tool.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "jyx/jyx.h"

namespace {

// Parses `words` (after the selector) and keeps the printed text; the
// controller object's finished flag is put back afterwards.
struct Parsed {
  explicit Parsed(std::vector<std::string> words) : words_(std::move(words)) {
    words_.insert(words_.begin(), "jyx");
    for (auto& w : words_) argv_.push_back(&w[0]);
    argv_.push_back(nullptr);
    testing::internal::CaptureStdout();
    console = std::make_unique<CQelConsoleFlashTool>(static_cast<int>(words_.size()), argv_.data());
    out = testing::internal::GetCapturedStdout();
    finished = CJYX::instance()->isFinished();
    CJYX::instance()->setFinished(false);
  }
  std::vector<std::string> words_;
  std::vector<char*> argv_;
  std::unique_ptr<CQelConsoleFlashTool> console;
  std::string out;
  bool finished = false;
};

TEST(FlashToolOptionsTest, EveryOptionAndTheLastModeWins) {
  Parsed p({"-c", "getvar all", "-f", "cfg.json", "-d", "gpt.img", "-p", "boot", "-o", "-s", "--ip",
            "127.0.0.9"});
  EXPECT_EQ("getvar all", p.console->cmd());
  EXPECT_EQ("cfg.json", p.console->file());
  EXPECT_EQ("gpt.img", p.console->dump());
  EXPECT_EQ("boot", p.console->partition());
  EXPECT_TRUE(p.console->oem());
  EXPECT_TRUE(p.console->blockSize());
  EXPECT_EQ("127.0.0.9", p.console->address());
  EXPECT_EQ("", p.out);
  EXPECT_FALSE(p.finished);

  const std::vector<std::pair<std::vector<std::string>, int>> modes = {
      {{}, 0},
      {{"-b"}, 1},
      {{"--nvme"}, 2},
      {{"-m"}, 3},
      {{"-m", "-a"}, 0},
      {{"-a", "-n", "--bootloader"}, 1},
      {{"--make-gpt", "-x", "--unknown"}, 3},
  };
  for (const auto& m : modes) {
    Parsed q(m.first);
    EXPECT_EQ(m.second, q.console->mode()) << m.first.size();
    EXPECT_EQ("", q.out);
  }
}

TEST(FlashToolOptionsTest, HelpStopsTheParseAndFinishes) {
  Parsed p({"-b", "--help", "-c", "devices"});
  EXPECT_EQ(CQelConsoleFlashTool::helpText(), p.out);
  EXPECT_EQ(0u, p.out.find("\x1b[1;33m    --flash-tool <options ... >\n\n\x1b[m    options:\n"));
  EXPECT_NE(std::string::npos,
            p.out.find("        -s, --block-size               get the block size of the gpt "
                       "image\n"));
  EXPECT_EQ(std::string::npos, p.out.find("-p,"));
  EXPECT_EQ("", p.console->cmd());
  EXPECT_EQ(1, p.console->mode());
  EXPECT_TRUE(p.console->helpShown());
  EXPECT_TRUE(p.finished);
  // run() starts nothing after the help.
  testing::internal::CaptureStdout();
  p.console->run();
  EXPECT_EQ("", testing::internal::GetCapturedStdout());
}

}  // namespace
