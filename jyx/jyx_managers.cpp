// The controller object's side of the six feature managers (log, device
// control, power, serial, fastboot, FCT). Every reference from CJYX to a
// feature manager lives in this file.
//
// Until the managers are built this file holds the minimal behaviour of a
// program without them: nothing to start or stop, no link to open. The
// device-control and power work fills these bodies in.
#include "jyx/jyx.h"

void CJYX::startFeatureManagers() {}

void CJYX::stopFeatureManagers() {}

void CJYX::connectManagers() {
  disconnectManagers();
  if (isDataManagerConnected()) setWantConnected(true);
}

void CJYX::disconnectManagers() {}

bool CJYX::isDataManagerConnected() { return false; }

void CJYX::setManagersHost() {}

int CJYX::setSerialGeneration(int generation) { return generation; }
