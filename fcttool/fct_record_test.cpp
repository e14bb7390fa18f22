#include "fcttool/fct_record.h"

#include <gtest/gtest.h>

namespace fct {
namespace {

TEST(FctMacTest, AcceptsPairsRunTogetherOrSeparated) {
  const struct {
    const char* mac;
    bool valid;
  } cases[] = {
      {"00:11:22:33:44:55", true},
      {"001122334455", true},
      {"aa-BB", true},
      {"a0:B1-c2d3", true},  // separators may vary and be left out
      {"ab", true},
      {"ab:", true},     // one separator after the last pair is skipped
      {"abc", false},    // three digits: the last pair is incomplete
      {"0g:11", false},  // a letter beyond F
      {"00:1G", false},
      {"00::11", false},  // only one separator between pairs
      {":00", false},
      {"00 11", false},
  };
  for (const auto& c : cases) EXPECT_EQ(c.valid, isValidMac(c.mac)) << c.mac;
}

TEST(FctPortsTest, SortsByTrailingNumberNotByText) {
  EXPECT_EQ((std::vector<std::string>{"/dev/ttyUSB2", "/dev/ttyUSB9", "/dev/ttyUSB10"}),
            sortPorts("/dev/ttyUSB10 /dev/ttyUSB2 /dev/ttyUSB9"));
  // No trailing digits counts as 0; equal numbers keep the listed order.
  EXPECT_EQ((std::vector<std::string>{"/dev/ttyX", "/dev/ttyA1", "/dev/ttyB1"}),
            sortPorts("/dev/ttyA1 /dev/ttyX /dev/ttyB1"));
  EXPECT_EQ(std::vector<std::string>{"none"}, sortPorts(""));
  EXPECT_EQ(std::vector<std::string>{"none"}, sortPorts("  "));
  EXPECT_EQ(UINT64_MAX, trailingNumber("tty99999999999999999999999999"));
}

TEST(FctRecordTest, RowReplacesTheFirstOccurrenceToItsLineEnd) {
  const std::string header = "SN,a,b\n";
  const struct {
    const char* what;
    std::string text;
    std::string serial;
    std::string expected;
  } cases[] = {
      {"new serial appends", header + "S1,x,y\n", "S2", header + "S1,x,y\nS2,ROW\n"},
      {"known serial replaced in place", header + "S1,x,y\nS2,x,y\nS3,x,y\n", "S2",
       header + "S1,x,y\nS2,ROW\nS3,x,y\n"},
      // The plain search finds the text inside another board's serial
      // number and replaces from there to the end of that line.
      {"inside an earlier serial", header + "XS1Y,x,y\nS1,x,y\n", "S1",
       header + "XS1,ROW\nS1,x,y\n"},
      {"inside a cell", header + "A,S9,y\nS9,x,y\n", "S9", header + "A,S9,ROW\nS9,x,y\n"},
      {"in the header", header + "S1,x,y\n", "a", "SN,a,ROW\nS1,x,y\n"},
      {"no line end after it", header + "S1,x,y", "S1", header + "S1,x,y"},
  };
  for (const auto& c : cases) {
    std::string row = c.serial + ",ROW";
    EXPECT_EQ(c.expected, mergeRecordRow(c.text, c.serial, row)) << c.what;
  }
}

TEST(FctRecordTest, CellsCarryStatusAndInfoAndCannotBreakTheLine) {
  EXPECT_EQ("通过(3.3V)", recordCell(kPass, "(3.3V)"));
  EXPECT_EQ(kNotTested, recordCell(kNotTested, ""));
  EXPECT_EQ("\"通过(1,2)\"", recordCell(kPass, "(1,2)"));
  EXPECT_EQ("\"失败(say \"\"hi\"\")\"", recordCell(kFail, "(say \"hi\")"));
}

TEST(FctRecordTest, SerialNumbersThatWouldBreakARowOrAPathAreRefused) {
  EXPECT_TRUE(isValidSerialNumber("SN-0001_A"));
  for (const char* bad : {"", ".", "..", "a,b", "a\"b", "a/b", "a\\b", "a\nb", "a\rb"}) {
    EXPECT_FALSE(isValidSerialNumber(bad)) << bad;
  }
}

}  // namespace
}  // namespace fct
