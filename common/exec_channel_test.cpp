#include "common/exec_channel.h"

#include <gtest/gtest.h>

#include <string>

#include "test_util.h"

namespace {

using jyxtest::popAll;
using jyxtest::RecordingDelegate;

int run(CExecChannel* channel, const std::string& command) {
  return channel->write(command.data(), static_cast<int>(command.size()));
}

TEST(ExecChannelTest, OutputAndErrorArriveInOrderEvenWhenTheCommandFails) {
  RecordingDelegate delegate;
  CExecChannel channel(&delegate);
  EXPECT_TRUE(channel.isOpen());
  // " 2>&1" follows the whole command line, so it covers the one shell.
  std::string command = "sh -c \"printf 'one\\ntwo\\n'; echo three 1>&2; printf 'no newline'\"";
  EXPECT_EQ(static_cast<int>(command.size()), run(&channel, command));
  EXPECT_EQ("one\ntwo\nthree\nno newline", popAll(channel.receiveFifo()));

  command = "ls /nonexistent-jyx-dir";
  EXPECT_EQ(static_cast<int>(command.size()), run(&channel, command));
  std::string out = popAll(channel.receiveFifo());
  EXPECT_NE(std::string::npos, out.find("/nonexistent-jyx-dir")) << out;
  EXPECT_TRUE(delegate.reports().empty());
}

TEST(ExecChannelTest, PrefixLongLinesAndTheCommandEndingAtNul) {
  RecordingDelegate delegate;
  CExecChannel channel(&delegate);
  channel.setPrefix("echo");
  EXPECT_EQ(5, channel.write("hello", 5));
  EXPECT_EQ("hello\n", popAll(channel.receiveFifo()));
  const char withNul[] = "cut\0 ignored";
  EXPECT_EQ(12, channel.write(withNul, 12));
  EXPECT_EQ("cut\n", popAll(channel.receiveFifo()));

  // A line longer than one line read arrives whole, in pieces.
  channel.setPrefix("");
  EXPECT_LT(0, run(&channel, "head -c 3000 /dev/zero | tr '\\0' x"));
  EXPECT_EQ(std::string(3000, 'x'), popAll(channel.receiveFifo()));
}

}  // namespace
