// The controller object's side of the feature managers of this layer (log,
// device control, power, serial). Every reference from CJYX to a feature
// manager lives in this file, and so does the wiring: the process-wide
// managers are made here and handed what they depend on (the controller
// object's services, the device-control manager) once, at construction. The
// managers themselves include neither the controller object nor each other
// in a circle. The tool managers above this layer (fastboot, FCT) are
// started and stopped through the functions the front end hands in with
// setToolManagers, so that jyx/ includes nothing of fastboot/ or fcttool/.
#include <utility>

#include "jyx/device/data_manager.h"
#include "jyx/device/log_manager.h"
#include "jyx/jyx.h"
#include "jyx/maintenance/serial_manager.h"
#include "jyx/power/power_manager.h"

namespace {

// The log and device-control managers are made together, log first (the
// order in which the controller object starts them, and so the order of
// their updates in the pump), and never destroyed. The device-control
// manager reports each acknowledged forwarding state to the log manager.
struct LinkManagers {
  CJYXLogManager* log;
  CJYXDataManager* data;
};

const LinkManagers& linkManagers() {
  static const LinkManagers managers = [] {
    CJYX* jyx = CJYX::instance();
    LinkManagers made{};
    made.log = new CJYXLogManager(jyx, nullptr, "127.0.0.1", CJYXLogManager::kDefaultPort, true);
    made.data = new CJYXDataManager(jyx, "127.0.0.1", CJYXDataManager::kDefaultPort, true);
    made.log->setDataManager(made.data);
    CJYXLogManager* log = made.log;
    made.data->setUartForwardingHandler([log](uint8_t on) { log->setUartLogEnabled(on); });
    return made;
  }();
  return managers;
}

}  // namespace

CJYXLogManager* CJYXLogManager::instance() { return linkManagers().log; }

CJYXDataManager* CJYXDataManager::instance() { return linkManagers().data; }

CJYXPowerManager* CJYXPowerManager::instance() {
  static CJYXPowerManager* manager =
      new CJYXPowerManager(CJYX::instance(), CJYXDataManager::instance(), true);
  return manager;
}

CJYXSerialManager* CJYXSerialManager::instance() {
  static CJYXSerialManager* manager = new CJYXSerialManager(CJYX::instance(), true);
  return manager;
}

void CJYX::setToolManagers(ToolManagers tools) { toolManagers_ = std::move(tools); }

void CJYX::startFeatureManagers() {
  CJYXLogManager::instance()->start();
  CJYXDataManager::instance()->start();
  CJYXPowerManager::instance()->start();
  CJYXSerialManager::instance()->start();
  if (toolManagers_.start) toolManagers_.start();
}

void CJYX::stopFeatureManagers() {
  if (toolManagers_.stop) toolManagers_.stop();
  CJYXSerialManager::instance()->stop();
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

int CJYX::setSerialGeneration(int generation) {
  CJYXSerialManager::instance()->setMainInterface(generation == 1 ? 1 : 2);
  return generation;
}
