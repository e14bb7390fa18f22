// The controller object's side of the six feature managers (log, device
// control, power, serial, fastboot, FCT). Every reference from CJYX to a
// feature manager lives in this file.
#include "jyx/data_manager.h"
#include "jyx/jyx.h"
#include "jyx/log_manager.h"
#include "jyx/maintenance/serial_manager.h"
#include "jyx/power_manager.h"

void CJYX::startFeatureManagers() {
  CJYXLogManager::instance()->start();
  CJYXDataManager::instance()->start();
  CJYXPowerManager::instance()->start();
  CJYXSerialManager::instance()->start();
}

void CJYX::stopFeatureManagers() {
  CJYXSerialManager::instance()->stop();
  CJYXPowerManager::instance()->stop();
  CJYXDataManager::instance()->stop();
  CJYXLogManager::instance()->stop();
}

void CJYX::connectManagers() {
  disconnectManagers();
  setManagersHost();
  // Blocking TCP connects on the main thread; each either opens its channel
  // or reports the failure through the manager's onMessage.
  CJYXLogManager::instance()->connect();
  CJYXDataManager::instance()->connect();
  if (isDataManagerConnected()) setWantConnected(true);
}

void CJYX::disconnectManagers() {
  CJYXDataManager* data = CJYXDataManager::instance();
  CJYXLogManager* log = CJYXLogManager::instance();
  if (!data->isConnected()) return;
  // Leave the controller with forwarding off; the reply is not awaited.
  if (log->uartLogEnabled()) log->enableLog(0, PackageCallback());
  log->disconnect();
  data->disconnect();
}

bool CJYX::isDataManagerConnected() { return CJYXDataManager::instance()->isConnected(); }

void CJYX::setManagersHost() {
  CJYXLogManager::instance()->setAddress(ip().c_str(), 0);
  CJYXDataManager::instance()->setAddress(ip().c_str(), 0);
}

int CJYX::setSerialGeneration(int generation) {
  CJYXSerialManager::instance()->setMainInterface(generation == 1 ? 1 : 2);
  return generation;
}
