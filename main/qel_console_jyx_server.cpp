// The controller console's side of the bench server: --serve runs it, and
// every network run first looks for one serving its address (client mode,
// unless --no-server), so that several runs can share one controller.
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "common/api_manager.h"
#include "common/loop_wake.h"
#include "jyx/device/data_manager.h"
#include "jyx/device/log_manager.h"
#include "jyx/jyx.h"
#include "jyx/server/bench_server.h"
#include "jyx/server/server_link_channel.h"
#include "jyx/server/server_protocol.h"
#include "main/qel_console_jyx.h"

namespace {

// Longest wait at the end of a served run for the hand-back of the flash
// lines to be acknowledged.
constexpr double kHandBackWaitSeconds = 3.0;

}  // namespace

bool CQelConsoleJYX::useServerIfRunning() {
  if (noServer_) return false;
  std::string path, why;
  if (!jyx::server::socketPath(address_, &path, &why)) return false;
  int probe = jyx::server::connectSocket(path);
  if (probe < 0) return false;
  ::close(probe);
  CJYXDataManager* data = CJYXDataManager::instance();
  CJYXLogManager* log = CJYXLogManager::instance();
  data->setChannel(new CServerLinkChannel(data, path, CServerLinkChannel::kPackets));
  log->setChannel(new CServerLinkChannel(log, path, CServerLinkChannel::kLog));
  return true;
}

void CQelConsoleJYX::serveFlow() {
  CAPIManager* api = CAPIManager::instance();
  std::string path, why;
  if (address_.empty()) {
    refuse("--serve", "without -a", "give the controller address to serve with -a");
    return;
  }
  if (!jyx::server::socketPath(address_, &path, &why)) {
    refuse("--serve", address_.c_str(), why.c_str());
    return;
  }
  if (!jyx::server::prepareSocketDirectory(path.substr(0, path.rfind('/')), &why)) {
    api->print("%s\n", why.c_str());
    api->print("jyx server: FAIL\n");
    fail();
    return;
  }
  CJYX* jyx = CJYX::instance();
  jyx->setIp(address_);
  CJYXDataManager* data = CJYXDataManager::instance();
  // The server's loop waits on the controller link itself (one wake-up per
  // reply instead of two); set before the first connect.
  data->readOnMainThread();
  jyx->connectManagers();
  // A controller that is not there yet is retried by the server.
  if (!data->isConnected()) api->print("socket connect %s fail\n", address_.c_str());
  server_ = new CJYXBenchServer(data, CJYXLogManager::instance(),
                                [] { CJYX::instance()->connectManagers(); });
  if (!server_->listen(path, &why)) {
    api->print("%s\n", why.c_str());
    api->print("jyx server: FAIL\n");
    delete server_;
    server_ = nullptr;
    fail();
    return;
  }
  api->print("jyx server: serving %s on %s\n", address_.c_str(), path.c_str());
  // Until a signal ends the run.
  g_keepRunning = true;
}

int CQelConsoleJYX::loopWaitFd() const { return server_ ? server_->waitFd() : -1; }

int CQelConsoleJYX::loopSpinUs(double now) const { return server_ ? server_->spinUs(now) : 0; }

void CQelConsoleJYX::stopServer() {
  if (server_ == nullptr) return;
  CAPIManager* api = CAPIManager::instance();
  server_->startHandBack();
  // The loop no longer runs: pump it here, bounded, until the hand-back
  // has its answers.
  double deadline = CAPIManager::wallClock() + kHandBackWaitSeconds;
  // The server's descriptor covers the wake-up and the controller link.
  const int waitFd = server_->waitFd();
  while (server_->handBackPending()) {
    double left = deadline - CAPIManager::wallClock();
    if (left <= 0) {
      api->print("jyx server: the flash lines were not handed back in time\n");
      break;
    }
    jyx::clearMainLoopWake();
    api->update();
    if (!server_->handBackPending()) break;
    int ms = std::min(api->idleWaitMs(), static_cast<int>(left * 1000) + 1);
    if (waitFd >= 0) {
      pollfd fd = {waitFd, POLLIN, 0};
      poll(&fd, 1, ms);
    }
  }
  server_->close();
  delete server_;
  server_ = nullptr;
}
