#include "tools/console_tool.h"

#include <gtest/gtest.h>

#include <utility>

namespace {

class RecordingTool : public CConsoleTool {
 public:
  std::vector<std::pair<std::string, std::string>> seen;
  bool split(std::vector<const char*> args) {
    args.insert(args.begin(), "gpt");
    return splitArguments(int(args.size()), const_cast<char**>(args.data()));
  }
  bool run(const std::string& cmd, int timeout, std::vector<std::string>* lines, int* status) {
    return runCommand(cmd, false, timeout, lines, status);
  }

 protected:
  bool onArgument(const std::string& key, const std::string& value) override {
    seen.emplace_back(key, value);
    return key != "--stop";
  }
};

}  // namespace

TEST(ConsoleToolTest, SplitterPairsKeysWithValues) {
  RecordingTool t;
  EXPECT_TRUE(t.split({"-f", "disk.img", "--fix", "-s", "512", "loose", "--dump"}));
  const std::vector<std::pair<std::string, std::string>> expect = {
      {"-f", "disk.img"}, {"--fix", ""}, {"-s", "512"}, {"", "loose"}, {"--dump", ""}};
  EXPECT_EQ(expect, t.seen);
  RecordingTool s;
  EXPECT_FALSE(s.split({"--stop", "x", "-f", "y"}));
  EXPECT_EQ(1u, s.seen.size());
}

TEST(ConsoleToolTest, NothingFromOutsideReachesTheShellUnquoted) {
  EXPECT_EQ("'disk.img'", shellQuote("disk.img"));
  EXPECT_EQ("'a'\\''b; rm -rf $HOME'", shellQuote("a'b; rm -rf $HOME"));
  EXPECT_EQ("timeout -k 5 60 sh -c 'partprobe '\\''/dev/sdb'\\'' 2>&1' 2>&1",
            timedCommandLine("partprobe " + shellQuote("/dev/sdb"), 60));
  // The quoted text comes back from the shell byte for byte.
  RecordingTool t;
  std::vector<std::string> lines;
  int status = -1;
  const std::string nasty = "x'y\"$(echo z)`id` ;|&";
  ASSERT_TRUE(t.run("printf '%s\\n' " + shellQuote(nasty), 10, &lines, &status));
  EXPECT_EQ(0, status);
  ASSERT_EQ(1u, lines.size());
  EXPECT_EQ(nasty, lines[0]);
}

TEST(ConsoleToolTest, CommandsAreStoppedAtTheirTimeOut) {
  RecordingTool t;
  int status = -1;
  std::vector<std::string> lines;
  ASSERT_TRUE(t.run("echo start; sleep 30", 1, &lines, &status));
  EXPECT_EQ(124, status);
  EXPECT_EQ(std::vector<std::string>{"start"}, lines);
}

TEST(ConsoleToolTest, OutputIsCutIntoKeptLines) {
  std::string longLine(2000, 'a');
  std::vector<std::string> lines = splitCommandOutput("one  \t\n\n  \ntwo\n" + longLine + "\n");
  ASSERT_EQ(4u, lines.size());
  EXPECT_EQ("one", lines[0]);
  EXPECT_EQ("two", lines[1]);
  EXPECT_EQ(1022u, lines[2].size());
  EXPECT_EQ(978u, lines[3].size());
}
