// Serial side of the controller console: controller commands over the
// MCU serial line (-c, or no -a) and the UART scan (-Z). The serial
// manager is not part of this build, so both say so and finish instead of
// reporting a port that failed to open.
#include "common/api_manager.h"
#include "main/qel_console_jyx.h"

void CQelConsoleJYX::serialCommandFlow() {
  CAPIManager::instance()->print(
      "controller commands over the serial line are not available in this build\n");
  fail();
}

void CQelConsoleJYX::scan_uart_and_disable(std::string devices, unsigned long position) {
  CAPIManager::instance()->print("the UART scan is not available in this build\n");
  fail();
}
