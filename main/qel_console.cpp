#include "main/qel_console.h"

#include <string>

#include "common/api_manager.h"

bool g_keepRunning = false;

void CQelConsole::progressBar(const char* label, int percent) {
  // The bar is 50 characters wide: one '=' per 2 %.
  constexpr int kBarWidth = 50;
  int filled = percent > 0 ? percent / 2 : 0;
  std::string bar(static_cast<size_t>(filled), '=');
  if (filled < kBarWidth) bar.append(static_cast<size_t>(kBarWidth - filled), ' ');
  CAPIManager::instance()->print("\r\x1b[?25l%s [%s] (%d%%)\x1b[?25h",
                                 label != nullptr ? label : "", bar.c_str(), percent);
}
