#include "jyx/protocol/string_parser.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

class Lines : public CStringParserDelegate {
 public:
  void onString(const char* text) override { lines.emplace_back(text); }
  std::vector<std::string> lines;
};

class StringParserTest : public testing::Test {
 protected:
  StringParserTest() : fifo_(256), parser_(&lines_, &fifo_) {}

  void push(const std::string& s) { ASSERT_TRUE(fifo_.push(s.data(), static_cast<int>(s.size()))); }

  Lines lines_;
  CFifo fifo_;
  CStringParser parser_;
};

TEST_F(StringParserTest, TwoLinesInOneUpdate) {
  push("first line\nsecond\r\n\n");
  parser_.onUpdate(0.0);
  EXPECT_EQ((std::vector<std::string>{"first line\n", "second\r\n", "\n"}), lines_.lines);
  EXPECT_EQ(0, fifo_.size());
}

TEST_F(StringParserTest, PartialLineWaitsThenFlushDeliversIt) {
  push("done\npart");
  parser_.onUpdate(0.0);
  parser_.onUpdate(0.0);
  EXPECT_EQ(std::vector<std::string>{"done\n"}, lines_.lines);
  EXPECT_EQ(4, fifo_.size());
  push("ial\nprompt> ");
  parser_.onUpdate(0.0);
  parser_.flush();
  EXPECT_EQ((std::vector<std::string>{"done\n", "partial\n", "prompt> "}), lines_.lines);
  EXPECT_EQ(0, fifo_.size());
  parser_.flush();  // empty FIFO: nothing
  EXPECT_EQ(3u, lines_.lines.size());
}

TEST_F(StringParserTest, LineLimitReportsEmptyTextAndKeepsBytes) {
  parser_.setLineLimit(8);
  push("12345678");  // exactly at the limit: nothing
  parser_.onUpdate(0.0);
  EXPECT_TRUE(lines_.lines.empty());
  push("9");
  parser_.onUpdate(0.0);
  EXPECT_EQ(std::vector<std::string>{""}, lines_.lines);
  EXPECT_EQ(9, fifo_.size());
  push("\n");  // once the newline arrives the whole line goes out
  parser_.onUpdate(0.0);
  EXPECT_EQ((std::vector<std::string>{"", "123456789\n"}), lines_.lines);
}

TEST_F(StringParserTest, LinesWrappingAroundTheFifoEnd) {
  // A partial line always stays behind, so the read position keeps moving
  // and lines straddle the end of the 256-byte ring.
  push("tail0-");
  std::vector<std::string> expected;
  for (int round = 1; round <= 12; ++round) {
    std::string body(40 + round, static_cast<char>('a' + round));
    push(body + "\ntail" + std::to_string(round) + "-");
    expected.push_back("tail" + std::to_string(round - 1) + "-" + body + "\n");
    parser_.onUpdate(0.0);
  }
  EXPECT_EQ(expected, lines_.lines);
}

}  // namespace
