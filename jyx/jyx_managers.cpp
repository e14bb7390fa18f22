// The controller object's side of the six feature managers (log, device
// control, power, serial, fastboot, FCT). Every reference from CJYX to a
// feature manager lives in this file.
#include "fastboot/fastboot_manager.h"
#include "fcttool/fct_tool_manager.h"
#include "jyx/data_manager.h"
#include "jyx/jyx.h"
#include "jyx/log_manager.h"
#include "jyx/power_manager.h"

void CJYX::startFeatureManagers() {
  CJYXLogManager::instance()->start();
  CJYXDataManager::instance()->start();
  CJYXPowerManager::instance()->start();
  CFastbootManager::instance()->start();
  CFCTToolManager::instance()->start();
}

void CJYX::stopFeatureManagers() {
  CFCTToolManager::instance()->stop();
  CFastbootManager::instance()->stop();
  CJYXPowerManager::instance()->stop();
  CJYXDataManager::instance()->stop();
  CJYXLogManager::instance()->stop();
}

void CJYX::connectManagers() {
  CJYXLogManager* log = CJYXLogManager::instance();
  // Forwarding and sampling that were on when the link went: the controller
  // at the other end may have restarted and forgotten both, so they are
  // requested again once the link is back.
  bool forwarding = log->uartLogEnabled() != 0;
  disconnectManagers();
  setManagersHost();
  // Blocking TCP connects on the main thread; each either opens its channel
  // or reports the failure through the manager's onMessage.
  log->connect();
  CJYXDataManager::instance()->connect();
  if (!isDataManagerConnected()) return;
  setWantConnected(true);
  // A log link that refused now is still wanted when forwarding was on.
  logLinkWanted_ = log->isConnected() || forwarding;
  if (forwarding) log->restoreForwarding();
  CJYXPowerManager::instance()->resumeSampling();
}

void CJYX::keepLogConnected() {
  CJYXLogManager* log = CJYXLogManager::instance();
  if (!logLinkWanted_ || !isDataManagerConnected() || log->isConnected()) return;
  log->connect();
  if (log->isConnected() && log->uartLogEnabled()) log->restoreForwarding();
}

void CJYX::disconnectManagers() {
  CJYXDataManager* data = CJYXDataManager::instance();
  CJYXLogManager* log = CJYXLogManager::instance();
  logLinkWanted_ = false;
  if (!data->isConnected()) return;
  // Leave the controller with forwarding off; the reply is not awaited, and
  // a later connect does not turn it back on.
  if (log->uartLogEnabled()) {
    log->enableLog(0, PackageCallback());
    log->setUartLogEnabled(0);
  }
  log->disconnect();
  data->disconnect();
}

bool CJYX::isDataManagerConnected() { return CJYXDataManager::instance()->isConnected(); }

void CJYX::setManagersHost() {
  CJYXLogManager::instance()->setAddress(ip().c_str(), 0);
  CJYXDataManager::instance()->setAddress(ip().c_str(), 0);
}

int CJYX::setSerialGeneration(int generation) { return generation; }
