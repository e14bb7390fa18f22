// The tool managers above the controller layer (the flash tool's fastboot
// manager and the FCT tool's manager) join the controller object's start
// and stop here, in the front end that links every layer: jyx/ starts them
// through the functions it is handed and never includes fastboot/ or
// fcttool/.
#ifndef JYX_MAIN_TOOL_MANAGERS_H_
#define JYX_MAIN_TOOL_MANAGERS_H_

class CJYX;

namespace jyx {

// Hands `controller` the start and stop of the fastboot and FCT managers:
// start() then runs them after the serial manager (fastboot, then FCT) and
// stop() before it (FCT, then fastboot). Neither manager is created before
// the first start(). Main thread, once, before the first start().
void attachToolManagers(CJYX* controller);

}  // namespace jyx

#endif  // JYX_MAIN_TOOL_MANAGERS_H_
