#include "tools/grub_config.h"

#include <sstream>

namespace gpt {

namespace {

std::vector<std::string> words(const std::string& line) {
  std::vector<std::string> out;
  std::istringstream in(line);
  std::string w;
  while (in >> w) out.push_back(w);
  return out;
}

bool startsWith(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

// The line with its kernel arguments rewritten; the indentation is kept.
std::string rewriteKernelLine(const std::string& line, const std::string& root,
                              const std::string& swap) {
  size_t indent = line.find_first_not_of(" \t");
  std::string out = line.substr(0, indent);
  bool first = true;
  bool replaced = false;
  for (const std::string& w : words(line)) {
    if (startsWith(w, "resume=") || w == "noresume") continue;
    if (!first && out.back() != ' ') out += ' ';
    first = false;
    if (startsWith(w, "root=") && !replaced) {
      if (!swap.empty()) out += "resume=PARTUUID=" + swap + " noresume ";
      out += "root=PARTUUID=" + root + " ";
      replaced = true;
    } else if (!startsWith(w, "root=")) {
      out += w;
    }
  }
  return out;
}

}  // namespace

std::vector<std::string> rewriteGrubLines(const std::vector<std::string>& lines,
                                          const std::string& defaultRoot,
                                          const std::string& swapGuid,
                                          const std::vector<GrubRoot>& roots) {
  std::vector<std::string> out;
  std::string root = defaultRoot;
  for (const std::string& line : lines) {
    std::vector<std::string> w = words(line);
    if (!w.empty() && w[0] == "menuentry") {
      // The longest contained name wins: a line naming "root_b" also
      // contains "root".
      root = defaultRoot;
      size_t best = 0;
      for (const GrubRoot& r : roots) {
        if (r.name.size() > best && line.find(r.name) != std::string::npos) {
          root = r.guid;
          best = r.name.size();
        }
      }
    }
    bool kernel = !w.empty() && startsWith(w[0], "linux");
    bool hasRoot = false;
    for (const std::string& x : w) hasRoot = hasRoot || startsWith(x, "root=");
    out.push_back(kernel && hasRoot ? rewriteKernelLine(line, root, swapGuid) : line);
  }
  return out;
}

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t nl = text.find('\n', pos);
    if (nl == std::string::npos) nl = text.size();
    lines.push_back(text.substr(pos, nl - pos));
    pos = nl + 1;
  }
  return lines;
}

std::string joinLines(const std::vector<std::string>& lines) {
  std::string out;
  for (const std::string& l : lines) out += l + "\n";
  return out;
}

}  // namespace gpt
