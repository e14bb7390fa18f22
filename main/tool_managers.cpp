#include "main/tool_managers.h"

#include <utility>

#include "fastboot/fastboot_manager.h"
#include "fcttool/fct_tool_manager.h"
#include "jyx/jyx.h"
#include "jyx/maintenance/serial_manager.h"

namespace jyx {

void attachToolManagers(CJYX* controller) {
  CJYX::ToolManagers tools;
  tools.start = [] {
    CFastbootManager* fastboot = CFastbootManager::instance();
    // The boot-loader plan finds the controller's address over its MCU
    // console.
    fastboot->setAddressLookup([](CFastbootManager::AddressReply reply) {
      CJYXSerialManager::instance()->getIP(std::move(reply));
    });
    fastboot->start();
    CFCTToolManager::instance()->start();
  };
  tools.stop = [] {
    CFCTToolManager::instance()->stop();
    CFastbootManager::instance()->stop();
  };
  controller->setToolManagers(std::move(tools));
}

}  // namespace jyx
