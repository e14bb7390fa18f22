// jyx-sim: the virtual JYX bench on loopback. See sim/README.md.
#include <signal.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "common/api_manager.h"
#include "common/file_util.h"
#include "sim/controller.h"
#include "sim/faults.h"
#include "sim/ftdi_bridge.h"
#include "sim/ops_log.h"
#include "sim/options.h"
#include "sim/server.h"
#include "sim/target_console.h"

using namespace jyxsim;

namespace {

// Console output goes through the API manager like every program of the
// project; diagnostics carry the program name.
#define PRINT(...) CAPIManager::instance()->print(__VA_ARGS__)

// Control files are a few lines; anything bigger is not one.
constexpr size_t kMaxControlFileBytes = 1024 * 1024;

// Blocks the signals the server waits for and returns their descriptor;
// -1 after printing why.
int signalDescriptor() {
  sigset_t mask;
  sigemptyset(&mask);
  sigaddset(&mask, SIGTERM);
  sigaddset(&mask, SIGINT);
  sigaddset(&mask, SIGUSR1);
  sigaddset(&mask, SIGHUP);
  sigprocmask(SIG_BLOCK, &mask, nullptr);
  signal(SIGPIPE, SIG_IGN);
  int sigFd = signalfd(-1, &mask, SFD_NONBLOCK | SFD_CLOEXEC);
  if (sigFd < 0) PRINT("jyx-sim: signalfd: %s\n", strerror(errno));
  return sigFd;
}

// Copies --flash-image into the flash; false after printing why.
bool loadFlashImage(const SimOptions& opts, CSimController* controller) {
  if (opts.flashImage.empty()) return true;
  // A FIFO, directory or device is refused (it would block or never end);
  // more than the flash holds is refused before it is read.
  std::string image, why;
  if (!jyx::readRegularFile(opts.flashImage, controller->flash().size(), &image, &why)) {
    PRINT("jyx-sim: cannot read flash image: %s\n", why.c_str());
    return false;
  }
  if (!controller->flash().load(0, reinterpret_cast<const uint8_t*>(image.data()), image.size())) {
    PRINT("jyx-sim: flash image %s is larger than the flash\n", opts.flashImage.c_str());
    return false;
  }
  return true;
}

// Starts the target console when one is asked for; the exit status after
// printing why it cannot, else 0. The console runs on its own thread and
// shares nothing with the controller model.
int startConsole(const SimOptions& opts, CTargetConsole* console) {
  if (!opts.consoleScript.empty() && opts.targetConsole.empty()) {
    PRINT("jyx-sim: --console-script needs --target-console\n");
    return 2;
  }
  if (opts.targetConsole.empty()) return 0;
  ConsoleScript script;
  std::string text, err;
  if (!opts.consoleScript.empty() &&
      (!jyx::readRegularFile(opts.consoleScript, 1u << 20, &text, &err) ||
       !parseConsoleScript(text, &script, &err))) {
    PRINT("jyx-sim: console script %s: %s\n", opts.consoleScript.c_str(), err.c_str());
    return 2;
  }
  if (!console->start(opts.targetConsole, script, &err)) {
    PRINT("jyx-sim: %s\n", err.c_str());
    return 1;
  }
  PRINT("jyx-sim target console: %s -> %s\n", opts.targetConsole.c_str(),
        console->slavePath().c_str());
  return 0;
}

// Serves the FTDI bridge and the USB UART when asked for; `maintenance`
// gets their part of the ready line. False after printing why.
bool startBridge(const SimOptions& opts, CSimServer* server, CSimBridge* bridge,
                 std::string* maintenance) {
  std::string err;
  if (!opts.ftdiSocket.empty()) {
    if (!bridge->listen(opts.ftdiSocket, &err)) {
      PRINT("jyx-sim: %s\n", err.c_str());
      return false;
    }
    *maintenance += ", ftdi " + opts.ftdiSocket;
  }
  if (!opts.usbUart.empty()) {
    if (!bridge->openPty(opts.usbUart, &err)) {
      PRINT("jyx-sim: %s\n", err.c_str());
      return false;
    }
    *maintenance += ", usb-uart " + opts.usbUart;
  }
  if (!maintenance->empty()) server->setBridge(bridge);
  return true;
}

// SIGUSR1: replaces the faults with those of the control file.
void reloadFaults(const SimOptions& opts, CSimFaults* faults, COpsLog* opsLog) {
  std::string text, why;
  if (opts.controlFile.empty()) return;
  if (!jyx::readRegularFile(opts.controlFile, kMaxControlFileBytes, &text, &why)) {
    PRINT("jyx-sim: cannot read control file: %s\n", why.c_str());
    return;
  }
  if (!faults->loadText(text, &why)) {
    PRINT("jyx-sim: control file %s: %s\n", opts.controlFile.c_str(), why.c_str());
    COpsRecord(opsLog, "event").str("event", "faults_reload").str("error", why);
    return;
  }
  COpsRecord(opsLog, "event")
      .str("event", "faults_reload")
      .num("rules", int64_t(faults->rules().size()));
}

}  // namespace

int main(int argc, char** argv) {
  pid_t parent = getppid();
  prctl(PR_SET_PDEATHSIG, SIGTERM);
  if (getppid() != parent) return 1;

  SimOptions opts;
  std::string err;
  if (!parseOptions(argc, argv, &opts, &err)) {
    PRINT("jyx-sim: %s\n", err.c_str());
    return 2;
  }
  if (opts.help) {
    PRINT("%s", helpText());
    return 0;
  }
  int sigFd = signalDescriptor();
  if (sigFd < 0) return 1;

  COpsLog opsLog;
  if (!opts.opsLog.empty() && !opsLog.open(opts.opsLog, &err)) {
    PRINT("jyx-sim: %s\n", err.c_str());
    return 1;
  }
  CSimFaults faults;
  for (const auto& kv : opts.faultOptions) faults.addOption(kv.first, kv.second, &err);

  CSimController controller(opts.controller, &faults, &opsLog);
  if (!controller.init(monoMicros(), &err)) {
    PRINT("jyx-sim: %s\n", err.c_str());
    return 1;
  }
  if (!loadFlashImage(opts, &controller)) return 1;
  CTargetConsole console;
  int status = startConsole(opts, &console);
  if (status != 0) return status;

  CSimServer server(&controller);
  if (!server.listen(opts.bind, opts.packetPort, opts.logPort, &err)) {
    PRINT("jyx-sim: %s\n", err.c_str());
    return 1;
  }
  if (!opts.ethIpGiven) opts.bridge.main.ethIp = opts.bind;
  CSimBridge bridge(opts.bridge, &opsLog);
  std::string maintenance;
  if (!startBridge(opts, &server, &bridge, &maintenance)) return 1;
  CSimFastboot fastboot(opts.fastboot, &opsLog);
  if (!fastboot.init(&err) ||
      !server.listenFastboot(opts.bind, opts.fastbootPort, &fastboot, &err)) {
    PRINT("jyx-sim: %s\n", err.c_str());
    return 1;
  }
  fastboot.setBootHandler([&controller] { controller.target().bootFromFastboot(monoMicros()); });
  PRINT("jyx-sim ready: packets %s:%d, log %s:%d, fastboot %s:%d%s\n", opts.bind.c_str(),
        opts.packetPort, opts.bind.c_str(), opts.logPort, opts.bind.c_str(), opts.fastbootPort,
        maintenance.c_str());

  server.run(sigFd, [&] { reloadFaults(opts, &faults, &opsLog); });
  console.stop();
  COpsRecord(&opsLog, "event").str("event", "exit");
  close(sigFd);
  return 0;
}
