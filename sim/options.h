// Command-line options of jyx-sim.
#ifndef JYX_SIM_OPTIONS_H_
#define JYX_SIM_OPTIONS_H_

#include <string>
#include <vector>

#include "sim/controller.h"
#include "sim/fastboot_target.h"
#include "sim/faults.h"
#include "sim/ftdi_bridge.h"

namespace jyxsim {

struct SimOptions {
  std::string bind = "127.0.0.1";
  int packetPort = 3334;
  int logPort = 3333;
  std::string opsLog;
  std::string stateDir;
  std::string controlFile;
  std::string flashImage;     // loaded at offset 0 before anything runs
  std::string targetConsole;  // symlink to the target console's pty; empty: none
  std::string consoleScript;  // the target console's answers
  CSimController::Config controller;
  // The target's fastboot service, reachable while it is in fastboot mode.
  int fastbootPort = 5554;
  CSimFastboot::Config fastboot;
  // Fault options in command-line order, replayed into CSimFaults (and
  // kept so a control-file reload can start from them).
  std::vector<std::pair<std::string, std::string>> faultOptions;
  bool help = false;
  // Controller maintenance: the simulated FTDI bridge (served only with
  // ftdiSocket) and the pty standing in for a USB tty (usbUart).
  std::string ftdiSocket;
  std::string usbUart;
  CSimBridge::Config bridge;
  bool ethIpGiven = false;  // otherwise the Ethernet address is the bind address
};

// Parses argv; false with *err on a bad option. "--help" sets help.
bool parseOptions(int argc, char** argv, SimOptions* out, std::string* err);
// The --help text.
const char* helpText();

}  // namespace jyxsim

#endif  // JYX_SIM_OPTIONS_H_
