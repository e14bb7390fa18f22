// SPI flash flows of the controller console: flashing, checking and reading
// the target's boot flash through the device-control manager, which this
// build does not have yet.
#include "common/api_manager.h"
#include "main/qel_console_jyx.h"

namespace {
void unavailable(CQelConsoleJYX* console) {
  CAPIManager::instance()->print("SPI flash is not available in this build\n");
  console->finish();
}
}  // namespace

void CQelConsoleJYX::start_flash() { unavailable(this); }
void CQelConsoleJYX::start_check_spi() { unavailable(this); }
void CQelConsoleJYX::start_read_spi() { unavailable(this); }
void CQelConsoleJYX::runSpiRegisterOp() { unavailable(this); }
