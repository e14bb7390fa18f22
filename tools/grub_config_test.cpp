#include "tools/grub_config.h"

#include <gtest/gtest.h>

using namespace gpt;

TEST(GrubConfigTest, KernelLinesGetTheRootOfTheirMenuEntry) {
  const std::vector<GrubRoot> roots = {{"root", "rrrr"}, {"root_a", "aaaa"}, {"root_b", "bbbb"}};
  struct Case {
    const char* what;
    std::vector<std::string> in;
    std::string swap;
    std::vector<std::string> out;
  };
  const std::vector<Case> cases = {
      {"default root, swap added",
       {"menuentry 'Linux' {", "  linux /Image root=/dev/sda2 ro quiet", "}"},
       "ssss",
       {"menuentry 'Linux' {",
        "  linux /Image resume=PARTUUID=ssss noresume root=PARTUUID=dddd ro quiet", "}"}},
      {"entry named after a root partition, old resume removed, no swap",
       {"menuentry 'Linux root_b' {",
        "\tlinux /Image resume=PARTUUID=x noresume root=PARTUUID=y ro"},
       "",
       {"menuentry 'Linux root_b' {", "\tlinux /Image root=PARTUUID=bbbb ro"}},
      {"root at the end of the line; set root is left alone",
       {"set root='hd0,gpt1'", "menuentry 'x root_a' {", "linux /Image ro root=PARTUUID=old"},
       "",
       {"set root='hd0,gpt1'", "menuentry 'x root_a' {", "linux /Image ro root=PARTUUID=aaaa "}},
      {"no root= word: unchanged", {"linux /Image ro"}, "ssss", {"linux /Image ro"}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> once = rewriteGrubLines(c.in, "dddd", c.swap, roots);
    EXPECT_EQ(c.out, once) << c.what;
    EXPECT_EQ(once, rewriteGrubLines(once, "dddd", c.swap, roots)) << c.what << " (again)";
  }
}

TEST(GrubConfigTest, LinesSplitAndJoin) {
  EXPECT_EQ((std::vector<std::string>{"a", "", "b"}), splitLines("a\n\nb\n"));
  EXPECT_EQ((std::vector<std::string>{"a", "b"}), splitLines("a\nb"));
  EXPECT_EQ("a\n\nb\n", joinLines(splitLines("a\n\nb\n")));
}
