// The controller console's network flow: connect to the controller and run
// the action the options chose.
//
// Without the device-control manager there is no controller link: the flow
// reports the failed connection and ends.
#include "common/api_manager.h"
#include "jyx/jyx.h"
#include "main/qel_console_jyx.h"

void CQelConsoleJYX::networkFlow() {
  CAPIManager* api = CAPIManager::instance();
  if (address_.empty()) {
    api->print("ip address must exist\n");
    markFinished();
    return;
  }
  CJYX* jyx = CJYX::instance();
  jyx->setIp(address_);
  jyx->connectManagers();
  if (!jyx->isDataManagerConnected()) {
    api->print("socket connect %s fail\n", address_.c_str());
    finish();
    return;
  }
  finish();
}
