#include "sim/target_console.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "test_util.h"

namespace jyxsim {
namespace {

const char kScript[] =
    "# a comment\n"
    "on ver\n"
    "  say FCT target 1.0\n"
    "  wait 150\n"
    "  say ver OK\n"
    "on-prefix setmac \n"
    "  say mac $ARGS from $CMD\n"
    "  say-raw prompt> \n"
    "on-any\n"
    "  say $CMD: command not found\n";

TEST(ConsoleScriptTest, RulesAnswerInOrderWithTheirPauses) {
  ConsoleScript script;
  std::string err;
  ASSERT_TRUE(parseConsoleScript(kScript, &script, &err)) << err;
  auto ver = consoleAnswer(script, "ver");
  ASSERT_EQ(2u, ver.size());
  EXPECT_EQ(0u, ver[0].first);
  EXPECT_EQ("FCT target 1.0\r\n", ver[0].second);
  EXPECT_EQ(150u, ver[1].first);
  auto mac = consoleAnswer(script, "setmac 00:11");
  ASSERT_EQ(2u, mac.size());
  EXPECT_EQ("mac 00:11 from setmac 00:11\r\n", mac[0].second);
  EXPECT_EQ("prompt> ", mac[1].second);
  auto other = consoleAnswer(script, "vers");  // exact rules need the whole command
  ASSERT_EQ(1u, other.size());
  EXPECT_EQ("vers: command not found\r\n", other[0].second);

  ConsoleScript silent;
  ASSERT_TRUE(parseConsoleScript("on a\n  say b\n", &silent, &err));
  EXPECT_TRUE(consoleAnswer(silent, "c").empty()) << "no rule: silence";
}

TEST(ConsoleScriptTest, MistakesNameTheirLine) {
  const struct {
    const char* text;
    const char* error;
  } cases[] = {
      {"say x\n", "line 1: say before the first rule"},
      {"on a\n  wait soon\n", "line 2: wait takes 0 to 3600000 ms"},
      {"on a\n\n  wait 3600001\n", "line 3: wait takes 0 to 3600000 ms"},
      {"on\n", "line 1: on needs a text"},
      {"echo maybe\n", "line 1: echo takes on or off"},
      {"reply x\n", "line 1: unknown word 'reply'"},
  };
  for (const auto& c : cases) {
    ConsoleScript script;
    std::string err;
    EXPECT_FALSE(parseConsoleScript(c.text, &script, &err)) << c.text;
    EXPECT_EQ(c.error, err);
  }
}

TEST(TargetConsoleTest, AnswersCommandLinesOnThePtyAndCleansUp) {
  jyxtest::ScopedTempDir dir;
  std::string link = dir.file("tty");
  ConsoleScript script;
  std::string err;
  ASSERT_TRUE(parseConsoleScript(std::string("echo on\n") + kScript, &script, &err)) << err;
  {
    CTargetConsole console;
    ASSERT_TRUE(console.start(link, script, &err)) << err;
    int fd = open(link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    // A command longer than any shell takes is dropped whole (the catch-all
    // rule would otherwise answer it).
    std::string overlong(5000, 'a');
    overlong += "\n";
    size_t sent = 0;
    ASSERT_TRUE(jyxtest::waitUntil([&] {
      ssize_t n = write(fd, overlong.data() + sent, overlong.size() - sent);
      if (n > 0) sent += size_t(n);
      return sent == overlong.size();
    }));
    // Two commands in one write, split by different line ends.
    ASSERT_EQ(8, write(fd, "ver\rxyz\n", 8));
    std::string got;
    auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(jyxtest::waitUntil([&] {
      char buf[256];
      ssize_t n = read(fd, buf, sizeof(buf));
      if (n > 0) got.append(buf, size_t(n));
      return got.find("xyz: command not found\r\n") != std::string::npos;
    }));
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ("ver\r\nFCT target 1.0\r\nver OK\r\nxyz\r\nxyz: command not found\r\n", got);
    EXPECT_GE(elapsed, std::chrono::milliseconds(150)) << "the pause comes before \"ver OK\"";
    close(fd);
  }
  struct stat st;
  EXPECT_NE(0, lstat(link.c_str(), &st)) << "the symlink is removed at stop";
}

TEST(TargetConsoleTest, NeverReplacesAFileThatIsNotASymlink) {
  jyxtest::ScopedTempDir dir;
  ASSERT_TRUE(jyxtest::writeFile(dir.file("keep"), "data"));
  CTargetConsole console;
  std::string err;
  EXPECT_FALSE(console.start(dir.file("keep"), ConsoleScript(), &err));
  EXPECT_NE(err.find("is not a symlink"), std::string::npos) << err;
  EXPECT_EQ("data", jyxtest::readFile(dir.file("keep")));
}

}  // namespace
}  // namespace jyxsim
