// Serial side of the controller console: controller commands over the
// MCU serial line (-c) and the UART scan (-Z). The serial manager is not
// part of this build yet, so no port ever opens.
#include "common/api_manager.h"
#include "main/qel_console_jyx.h"

void CQelConsoleJYX::serialCommandFlow() {
  CAPIManager::instance()->print("open the serial fail\n");
  finish();
}

void CQelConsoleJYX::scan_uart_and_disable(std::string devices, unsigned long position) {
  CAPIManager* api = CAPIManager::instance();
  while (position < devices.size()) {
    size_t blank = devices.find(' ', position);
    size_t end = blank == std::string::npos ? devices.size() : blank;
    std::string name = devices.substr(position, end - position);
    position = blank == std::string::npos ? devices.size() : blank + 1;
    if (!name.empty()) api->print("open the serial(%s) fail\n", name.c_str());
  }
  finish();
}
