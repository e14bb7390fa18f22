// Keeps the manual pages, the help texts and the bash completion in step
// with the option tables the parsers really use: every option a front end
// accepts must be documented in each of them, and every option the pages
// document must be accepted. The lists come from the code, so an option
// added on any branch fails here until it is documented.
#include <getopt.h>
#include <gtest/gtest.h>
#include <stdio.h>

#include <cctype>
#include <cstring>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "common/file_util.h"
#include "jyx/jyx.h"
#include "main/qel_console_fct_tool.h"
#include "main/qel_console_flash_tool.h"
#include "main/qel_console_jyx.h"
#include "sim/options.h"
#include "test_util.h"

namespace {

std::string readSource(const std::string& relative) {
  std::string text, err;
  EXPECT_TRUE(
      jyx::readRegularFile(std::string(JYX_SOURCE_DIR) + "/" + relative, 1 << 20, &text, &err))
      << err;
  return text;
}

// The page's text with roff's escaped hyphens ("\-") made plain.
std::string plainPage(const std::string& relative) {
  return std::regex_replace(readSource(relative), std::regex(R"(\\-)"), "-");
}

// The part of `text` from the line starting with `from` up to the line
// starting with `to` (or the end).
std::string section(const std::string& text, const std::string& from, const std::string& to) {
  size_t a = text.find("\n" + from);
  EXPECT_NE(std::string::npos, a) << from;
  if (a == std::string::npos) return std::string();
  size_t b = to.empty() ? std::string::npos : text.find("\n" + to, a + 1);
  return text.substr(a, b == std::string::npos ? std::string::npos : b - a);
}

bool isOptionChar(char c) { return isalnum(static_cast<unsigned char>(c)) || c == '-'; }

// True when `option` ("-x" or "--name") occurs in `text` as a whole word:
// not preceded or followed by a letter, digit or hyphen.
bool hasOption(const std::string& text, const std::string& option) {
  for (size_t at = text.find(option); at != std::string::npos; at = text.find(option, at + 1)) {
    bool startOk = at == 0 || !isOptionChar(text[at - 1]);
    size_t end = at + option.size();
    bool endOk = end >= text.size() || !isOptionChar(text[end]);
    if (startOk && endOk) return true;
  }
  return false;
}

// Every "--name" word in `text`, apart from the front-end switches that
// the descriptions name.
std::set<std::string> longOptionsIn(const std::string& text) {
  static const std::set<std::string> kFrontEnds = {"--jyx", "--fct-tool", "--release-tool", "--gpt",
                                                   "--flash-tool"};
  std::set<std::string> found;
  for (size_t at = text.find("--"); at != std::string::npos; at = text.find("--", at + 2)) {
    if (at > 0 && isOptionChar(text[at - 1])) continue;
    size_t end = at + 2;
    while (end < text.size() && isOptionChar(text[end])) ++end;
    std::string word = text.substr(at, end - at);
    if (end > at + 2 && kFrontEnds.count(word) == 0) found.insert(word);
    at = end - 2;
  }
  return found;
}

struct Options {
  std::vector<std::string> all;  // every spelling, "-x" and "--name"
  std::set<std::string> longs;   // "--name"
};

// The options of a getopt table: every short letter of the short string
// and every long name.
Options fromTables(const char* shorts, const option* longs) {
  Options o;
  for (const char* p = shorts; *p != '\0'; ++p) {
    if (*p != ':') o.all.push_back(std::string("-") + *p);
  }
  for (const option* l = longs; l->name != nullptr; ++l) {
    o.all.push_back(std::string("--") + l->name);
    o.longs.insert(std::string("--") + l->name);
  }
  return o;
}

std::string consoleHelp() {
  char program[] = "jyx", help[] = "-h";
  char* argv[] = {program, help, nullptr};
  testing::internal::CaptureStdout();
  CQelConsoleJYX console(2, argv);
  std::string out = testing::internal::GetCapturedStdout();
  CJYX::instance()->setFinished(false);
  g_keepRunning = false;
  return out;
}

// One front end: every option of its getopt tables is in its section of
// doc/jyx.1, its help (but for `notInHelp`) and its completion list, and
// nothing documented or completed is refused by the parser.
void checkFrontEnd(const char* name, const Options& o, const std::string& help,
                   const char* pageSection, const char* completionFrom, const char* completionTo,
                   const std::set<std::string>& notInHelp) {
  SCOPED_TRACE(name);
  std::string page = section(plainPage("doc/jyx.1"), pageSection, ".SH ");
  std::string completion = section(readSource("completion/jyx.bash"), completionFrom, completionTo);
  for (const std::string& opt : o.all) {
    EXPECT_TRUE(hasOption(page, opt)) << opt << " is not in doc/jyx.1";
    if (notInHelp.count(opt) == 0) {
      EXPECT_TRUE(hasOption(help, opt)) << opt << " is not in help";
    }
    EXPECT_TRUE(hasOption(completion, opt)) << opt << " is not in the completion";
  }
  for (const std::string& opt : longOptionsIn(page)) {
    EXPECT_EQ(1u, o.longs.count(opt)) << opt << " is documented but not accepted";
  }
  for (const std::string& opt : longOptionsIn(completion)) {
    EXPECT_EQ(1u, o.longs.count(opt)) << opt << " is completed but not accepted";
  }
}

TEST(OptionDocs, FrontEndOptionsAreInPageHelpAndCompletion) {
  Options console = fromTables(CQelConsoleJYX::shortOptions(), CQelConsoleJYX::longOptions());
  ASSERT_GT(console.all.size(), 60u);
  // The console help's fixed text spells the long form of -d "--duraiton";
  // its short form is checked instead.
  checkFrontEnd("console", console, consoleHelp(), ".SH CONTROLLER CONSOLE OPTIONS",
                "_jyx_console_opts=", "_jyx_fct_opts=", {"--duration"});
  // The flash tool's help keeps its established text, which has never
  // listed -p; the page and the completion do.
  checkFrontEnd(
      "flash tool",
      fromTables(CQelConsoleFlashTool::shortOptions(), CQelConsoleFlashTool::longOptions()),
      CQelConsoleFlashTool::helpText(), ".SH FLASH TOOL OPTIONS",
      "_jyx_flash_opts=", "_jyx_frontends=", {"-p", "--partition"});
  checkFrontEnd("fct tool",
                fromTables(CQelConsoleFctTool::shortOptions(), CQelConsoleFctTool::longOptions()),
                CQelConsoleFctTool::helpText(), ".SH FCT TOOL OPTIONS",
                "_jyx_fct_opts=", "_jyx_gpt_opts=", {});
}

// jyx-sim parses by name without a table; its help is the list, and the
// parser must accept every name the help lists.
TEST(OptionDocs, SimOptionsAreAcceptedAndInPageAndCompletion) {
  std::set<std::string> listed = longOptionsIn(jyxsim::helpText());
  ASSERT_GT(listed.size(), 30u);
  std::string page = plainPage("doc/jyx-sim.1");
  std::string completion =
      section(readSource("completion/jyx.bash"), "_jyx_sim_opts=", "_jyx_sim()");
  for (const std::string& opt : listed) {
    EXPECT_TRUE(hasOption(page, opt)) << opt << " is not in doc/jyx-sim.1";
    EXPECT_TRUE(hasOption(completion, opt)) << opt << " is not in the completion";
    std::string arg = opt, value = "1";
    std::vector<char*> argv = {const_cast<char*>("jyx-sim"), &arg[0], &value[0]};
    jyxsim::SimOptions parsed;
    std::string err;
    parsed.help = false;
    jyxsim::parseOptions(static_cast<int>(argv.size()), argv.data(), &parsed, &err);
    EXPECT_EQ(std::string::npos, err.find("unknown option")) << opt << ": " << err;
  }
  std::string options = section(page, ".SH OPTIONS", ".SH FILES");
  for (const std::string& opt : longOptionsIn(options)) {
    EXPECT_EQ(1u, listed.count(opt)) << opt << " is documented but not in jyx-sim --help";
  }
}

// The completion script run by bash itself: the words on the line, the
// index of the word being completed, and what the reply must hold.
struct CompletionCase {
  const char* function;
  std::vector<std::string> words;
  std::vector<std::string> expected;  // each must be in the reply
  std::vector<std::string> absent;    // none may be
};

std::string shellQuote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

// Runs the completion function for `words` (the last one is being
// completed) in a bash subshell started in `dir`; the reply, one per line.
// The function's own status is not looked at: bash ignores it too.
std::vector<std::string> complete(const CompletionCase& c, const std::string& dir) {
  std::string words;
  for (const auto& w : c.words) words += shellQuote(w) + " ";
  std::string script = "cd " + shellQuote(dir) + " && source " +
                       shellQuote(std::string(JYX_SOURCE_DIR) + "/completion/jyx.bash") +
                       " && COMP_WORDS=(" + words +
                       ") && COMP_CWORD=" + std::to_string(c.words.size() - 1) + " && { " +
                       c.function + "; } ; printf '%s\\n' \"${COMPREPLY[@]}\"";
  std::string command = "timeout 10 bash --norc --noprofile -c " + shellQuote(script);
  FILE* pipe = popen(command.c_str(), "r");
  EXPECT_NE(nullptr, pipe);
  std::vector<std::string> reply;
  if (pipe == nullptr) return reply;
  char line[512];
  while (fgets(line, sizeof line, pipe) != nullptr) {
    std::string s(line);
    if (!s.empty() && s.back() == '\n') s.pop_back();
    if (!s.empty()) reply.push_back(s);
  }
  EXPECT_EQ(0, pclose(pipe)) << command;
  return reply;
}

TEST(OptionDocs, CompletionAnswersInBash) {
  // A scratch directory with files of each kind the completion filters.
  jyxtest::ScopedTempDir dir;
  for (const char* name : {"rails.yaml", "power.json", "image.bin", "notes.txt"}) {
    ASSERT_TRUE(jyxtest::writeFile(dir.file(name), "x\n"));
  }
  const CompletionCase cases[] = {
      {"_jyx", {"jyx", "-X", ""}, {"0", "1", "2", "3", "0xffffffff"}, {"4"}},
      {"_jyx", {"jyx", "--switch-uart", "0x"}, {"0xffffffff"}, {"0"}},
      {"_jyx", {"jyx", "--power-o"}, {"--power-on", "--power-off"}, {"--power-reset"}},
      {"_jyx", {"jyx", "--ch"}, {"--checkspi"}, {}},
      {"_jyx", {"jyx", "--"}, {"--fct-tool", "--release-tool", "--exit-code"}, {}},
      {"_jyx", {"jyx", "-a", "127.0.0.5", "--f"}, {}, {"--fct-tool"}},
      {"_jyx", {"jyx", "-i", "im"}, {"image.bin"}, {}},
      {"_jyx", {"jyx", "-m", ""}, {"rails.yaml", "power.json", "0x"}, {"image.bin", "notes.txt"}},
      {"_jyx", {"jyx", "-c", "2"}, {"20", "21", "22", "23", "24", "25"}, {"02"}},
      {"_jyx", {"jyx", "--setio", "7"}, {"70", "79"}, {"64"}},
      {"_jyx", {"jyx", "--fct-tool", "--s"}, {"--sn"}, {}},
      {"_jyx", {"jyx", "--fct-tool", "-f", ""}, {"power.json"}, {"rails.yaml"}},
      {"_jyx", {"jyx", "--release-tool", ""}, {"--gpt"}, {}},
      {"_jyx", {"jyx", "--release-tool", "--gpt", "--ex"}, {"--extract", "--expand-"}, {}},
      {"_jyx_sim", {"jyx-sim", "--target-state", ""}, {"off", "on", "running", "fastboot"}, {}},
      {"_jyx_sim", {"jyx-sim", "--era"}, {"--erase-us"}, {}},
      {"_jyx_sim", {"jyx-sim", "--flash-image", "im"}, {"image.bin"}, {}},
  };
  for (const auto& c : cases) {
    std::string line;
    for (const auto& w : c.words) line += w + " ";
    std::vector<std::string> reply = complete(c, dir.path());
    std::set<std::string> got(reply.begin(), reply.end());
    for (const auto& want : c.expected) EXPECT_EQ(1u, got.count(want)) << line << "-> " << want;
    for (const auto& not_ : c.absent)
      EXPECT_EQ(0u, got.count(not_)) << line << "must not give " << not_;
  }
}

}  // namespace
