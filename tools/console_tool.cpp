#include "tools/console_tool.h"

#include <sys/wait.h>

#include <cstdarg>
#include <cstdio>

#include "common/api_manager.h"
#include "common/string_format.h"

std::string shellQuote(const std::string& text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'')
      out += "'\\''";
    else
      out += c;
  }
  return out + "'";
}

std::string timedCommandLine(const std::string& command, int timeoutSeconds) {
  return jyx::stringFormat("timeout -k 5 %d sh -c %s 2>&1", timeoutSeconds,
                           shellQuote(command + " 2>&1").c_str());
}

std::vector<std::string> splitCommandOutput(const std::string& raw) {
  // 1022 characters: a 1024-byte line buffer less the line feed and NUL.
  const size_t kMaxLine = 1022;
  std::vector<std::string> lines;
  size_t pos = 0;
  while (pos < raw.size()) {
    size_t nl = raw.find('\n', pos);
    size_t end = nl == std::string::npos ? raw.size() : nl;
    size_t len = std::min(end - pos, kMaxLine);
    std::string line = raw.substr(pos, len);
    pos += len;
    if (pos == end && nl != std::string::npos) ++pos;  // the line feed itself
    while (!line.empty() && (line.back() == ' ' || line.back() == '\t' || line.back() == '\n' ||
                             line.back() == '\r'))
      line.pop_back();
    if (!line.empty()) lines.push_back(line);
  }
  return lines;
}

bool CConsoleTool::splitArguments(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (!arg.empty() && arg[0] == '-') {
      if (i + 1 < argc && argv[i + 1][0] != '-') {
        if (!onArgument(arg, argv[i + 1])) return false;
        ++i;
      } else if (!onArgument(arg, "")) {
        return false;
      }
    } else if (!onArgument("", arg)) {
      return false;
    }
  }
  return true;
}

bool CConsoleTool::runCommand(const std::string& command, bool show, int timeoutSeconds,
                              std::vector<std::string>* lines, int* status) {
  std::string line = timedCommandLine(command, timeoutSeconds);
  fflush(stdout);
  FILE* f = popen(line.c_str(), "r");
  if (f == nullptr) {
    print("%s FAIL(perr:0x%x, f:0x%x)\n", command.c_str(), 0u, 0u);
    return false;
  }
  std::string raw;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof(buf), f)) > 0) {
    // Output beyond 16 MiB is dropped rather than held: no command read
    // here says anything useful that late.
    if (raw.size() < (16u << 20)) raw.append(buf, n);
  }
  int rc = pclose(f);
  std::vector<std::string> kept = splitCommandOutput(raw);
  if (show)
    for (const std::string& l : kept) print("%s\n", l.c_str());
  if (lines) *lines = kept;
  if (rc == -1 || !WIFEXITED(rc)) {
    print("%s did not exit normally\n", command.c_str());
    return false;
  }
  int code = WEXITSTATUS(rc);
  if (status) *status = code;
  if (code == 124) print("%s timed out after %d s\n", command.c_str(), timeoutSeconds);
  return true;
}

bool CConsoleTool::runChecked(const std::string& command, int timeoutSeconds) {
  int status = -1;
  if (!runCommand(command, true, timeoutSeconds, nullptr, &status)) return false;
  if (status != 0) {
    print("%s exited with status %d\n", command.c_str(), status);
    return false;
  }
  return true;
}

std::string CConsoleTool::query(const std::string& command) {
  std::vector<std::string> lines;
  int status = 0;
  if (!runCommand(command, false, kQuickTimeout, &lines, &status) || lines.empty()) return "";
  return lines[0];
}

void CConsoleTool::print(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = jyx::stringFormatV(format, args);
  va_end(args);
  CAPIManager::instance()->print("%s", text.c_str());
}
