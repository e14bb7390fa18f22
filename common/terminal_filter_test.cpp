// CTerminalFilter: colours pass, every other control or escape sequence is
// shown, and the result does not depend on where the stream was cut.
#include "common/terminal_filter.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Case {
  const char* name;
  std::string in;
  std::string out;
};

const std::vector<Case>& cases() {
  static const std::vector<Case> kCases = {
      {"plain text and formats", "count %d of %s 100%\r\n", "count %d of %s 100%\r\n"},
      {"tab and lone carriage return", "a\tb\rc\n", "a\tb\rc\n"},
      {"colour kept", "\x1b[1;33mWARN\x1b[m ok\x1b[0m\n", "\x1b[1;33mWARN\x1b[m ok\x1b[0m\n"},
      {"true colour with colons", "\x1b[38:2:255:0:0mred", "\x1b[38:2:255:0:0mred"},
      {"window title (OSC, BEL)", "\x1b]0;pwned\x07", "^[]0;pwned^G"},
      {"OSC ended by ST", "\x1b]2;x\x1b\\y", "^[]2;x^[\\y"},
      {"clear screen and home", "\x1b[2J\x1b[H", "^[[2J^[[H"},
      {"alternate screen", "\x1b[?1049h", "^[[?1049h"},
      {"private marker before m", "\x1b[?25m", "^[[?25m"},
      {"intermediate before m", "\x1b[1 m", "^[[1 m"},
      {"full reset",
       "\x1b"
       "cX",
       "^[cX"},
      {"DCS", "\x1bP1$qm\x1b\\", "^[P1$qm^[\\"},
      {"charset switch", "\x1b(0q", "^[(0q"},
      {"C0 controls and DEL",
       std::string("a\0b\x07"
                   "c\x08"
                   "d\x7f"
                   "e\x0c",
                   10),
       "a^@b^Gc^Hd^?e^L"},
      {"C1 CSI in UTF-8",
       "\xc2\x9b"
       "2J",
       "\\x9b2J"},
      {"raw C1 byte",
       "\x9b"
       "31m",
       "\\x9b31m"},
      {"raw C1 after ASCII ends a UTF-8 char",
       "\xe2"
       "a\x9d",
       "\xe2"
       "a\\x9d"},
      {"UTF-8 text kept",
       "45\xc2\xb0"
       "C \xe2\x94\x82 \xf0\x9f\x98\x80 \xe2\x80\x9c",
       "45\xc2\xb0"
       "C \xe2\x94\x82 \xf0\x9f\x98\x80 \xe2\x80\x9c"},
      {"lone C2 before ASCII",
       "\xc2"
       "A",
       "\xc2"
       "A"},
      {"sequence broken by a line end", "\x1b[31\nX", "^[[31\nX"},
      {"sequence broken by ESC", "\x1b[3\x1b[32mG", "^[[3\x1b[32mG"},
      {"ESC ESC", "\x1b\x1b[m", "^[\x1b[m"},
      {"overlong CSI", "\x1b[" + std::string(70, '1') + "m", "^[[" + std::string(70, '1') + "m"},
      {"ESC at the end", "abc\x1b", "abc^["},
      {"CSI at the end", "abc\x1b[1;3", "abc^[[1;3"},
      {"C2 at the end", "abc\xc2", "abc\xc2"},
  };
  return kCases;
}

// Whole input, then finish() for whatever is still held.
std::string filtered(const std::vector<std::string>& chunks) {
  CTerminalFilter f;
  std::string out;
  for (const std::string& chunk : chunks) f.filter(chunk, &out);
  f.finish(&out);
  return out;
}

TEST(TerminalFilterTest, Table) {
  for (const Case& c : cases()) EXPECT_EQ(c.out, filtered({c.in})) << c.name;
}

TEST(TerminalFilterTest, AnyCutGivesTheSameText) {
  for (const Case& c : cases()) {
    for (size_t cut = 1; cut < c.in.size(); ++cut) {
      EXPECT_EQ(c.out, filtered({c.in.substr(0, cut), c.in.substr(cut)}))
          << c.name << ", cut at " << cut;
    }
    std::vector<std::string> bytes;
    for (char ch : c.in) bytes.emplace_back(1, ch);
    EXPECT_EQ(c.out, filtered(bytes)) << c.name << ", byte by byte";
  }
}

TEST(TerminalFilterTest, UnfinishedSequenceWaitsForTheNextChunk) {
  CTerminalFilter f;
  std::string out;
  f.filter("boot \x1b[1;3", &out);
  EXPECT_EQ("boot ", out);
  EXPECT_EQ(5u, f.held());
  f.filter("2mOK", &out);
  EXPECT_EQ("boot \x1b[1;32mOK", out);
  EXPECT_EQ(0u, f.held());
}

TEST(TerminalFilterTest, HeldBytesStayBounded) {
  CTerminalFilter f;
  std::string out;
  std::string endless = "\x1b[" + std::string(10000, ';');
  f.filter(endless, &out);
  EXPECT_LE(f.held(), CTerminalFilter::kMaxHeld);
  EXPECT_EQ(0u, out.find("^[["));
}

TEST(TerminalFilterTest, NoEscapeOtherThanColourSurvives) {
  // Every byte value after ESC '[' and after ESC: only the SGR final 'm'
  // may leave a raw ESC in the output.
  for (int b = 0; b < 256; ++b) {
    for (const char* prefix : {"\x1b", "\x1b[", "\x1b[1", "\xc2"}) {
      std::string in = std::string(prefix) + char(b) + "z";
      std::string out = filtered({in});
      size_t esc = out.find('\x1b');
      if (esc != std::string::npos) {
        EXPECT_EQ(std::string(prefix).substr(0, 2), "\x1b[") << b;
        EXPECT_EQ('m', b) << "prefix " << prefix[1] << ", byte " << b;
      }
      // No C1 control leaves in UTF-8 form.
      for (size_t i = 0; i + 1 < out.size(); ++i) {
        bool c1 = out[i] == '\xc2' && static_cast<unsigned char>(out[i + 1]) >= 0x80 &&
                  static_cast<unsigned char>(out[i + 1]) <= 0x9f;
        EXPECT_FALSE(c1) << "byte " << b;
      }
    }
  }
}

}  // namespace
