// Power monitoring of the controller console: sampling through the power
// manager, the periodic table redraw and saving on stop. The power manager
// is not part of this build yet.
#include "common/api_manager.h"
#include "main/qel_console_jyx.h"

void CQelConsoleJYX::start_monitor() {
  CAPIManager::instance()->print("power monitoring is not available in this build\n");
  finish();
}

void CQelConsoleJYX::updateMonitor(double now) {}

void CQelConsoleJYX::stopMonitor() {}

void CQelConsoleJYX::redrawMonitorTable() {}
