// The GRUB configuration rewrite of the GPT disk tool: points the kernel
// command lines of a grub.cfg at the partitions of a (new) table.
#ifndef JYX_TOOLS_GRUB_CONFIG_H_
#define JYX_TOOLS_GRUB_CONFIG_H_

#include <string>
#include <vector>

namespace gpt {

struct GrubRoot {
  std::string name;  // partition name, looked for inside "menuentry" lines
  std::string guid;  // unique GUID text
};

// Rewrites the lines of a GRUB configuration. Within each "menuentry" block
// the root GUID is that of the candidate with the longest name that the
// menuentry line contains, else defaultRoot. On kernel lines (first word beginning with
// "linux") every word beginning with "resume=" and the word "noresume" are
// removed, and the word beginning with "root=" becomes
// "resume=PARTUUID=<swap> noresume " (when swapGuid is not empty) followed by
// "root=PARTUUID=<root> ". Other lines are kept as they are, so that the
// rewrite can be repeated with the same result.
std::vector<std::string> rewriteGrubLines(const std::vector<std::string>& lines,
                                          const std::string& defaultRoot,
                                          const std::string& swapGuid,
                                          const std::vector<GrubRoot>& roots);

// Splits a text at line feeds (a final line feed ends the last line) and
// joins lines back, each followed by a line feed.
std::vector<std::string> splitLines(const std::string& text);
std::string joinLines(const std::vector<std::string>& lines);

}  // namespace gpt

#endif  // JYX_TOOLS_GRUB_CONFIG_H_
