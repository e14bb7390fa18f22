// Entry point of jyx: picks the front end from the first argument, runs it
// from the main loop until it reports that it is finished, then stops the
// feature managers.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "common/api_data.h"
#include "common/api_manager.h"
#include "common/fd_wait.h"
#include "common/file_util.h"
#include "common/loop_wake.h"
#include "jyx/jyx.h"
#include "main/qel_console.h"
#include "main/qel_console_fct_tool.h"
#include "main/qel_console_flash_tool.h"
#include "main/qel_console_jyx.h"
#include "main/signal_events.h"
#include "main/tool_managers.h"
#include "tools/gpt.h"

namespace {

// The reply to every host event and the argument of the final stop call;
// created during static initialisation and never freed.
APIDATA* const g_emptyData = new APIDATA();

// The front end; stopped when a signal ends the run.
CQelConsole* g_console = nullptr;

// Main thread: the orderly end of a run that a signal interrupted. The
// front end saves what must not be lost; further signals meanwhile are only
// recorded (see signal_events.h). The exit skips static destructors, as the
// pool threads are still running.
[[noreturn]] void endOnSignal(int n) {
  CAPIManager::instance()->print("exception signal: %d\n", n);
  if (g_console != nullptr) g_console->stop();
  fflush(stdout);
  // What stop() saved is committed; what is still half-written (an
  // unfinished flash dump, a GPT scratch file) is removed.
  jyx::removeTrackedFiles();
  _exit(n);
}

// No host is attached to this program: every event is answered at once
// with the empty record.
int onHostEvent(int id, const char* name, APIDATA* data, HostDone done) {
  if (done) return done(id, g_emptyData);
  return 0;
}

// Removes argv[1]: argc shrinks by one and the rest moves left.
void shift(int* argc, char** argv) {
  for (int i = 1; i + 1 < *argc; ++i) argv[i] = argv[i + 1];
  --*argc;
  argv[*argc] = nullptr;
}

// The release-tool dispatcher. "--gpt" runs the GPT disk tool, whose whole
// job happens inside its construction. The console toolbox's switches are
// not part of this build and are ignored. Every case returns 0.
int releaseTool(int argc, char** argv) {
  if (argc > 1 && strcmp(argv[1], "--gpt") == 0) {
    shift(&argc, argv);
    CGPT gpt(argc, argv);
    return 0;
  }
  return 0;
}

// The console the first argument names; the default is the jyx console.
CQelConsole* makeConsole(int argc, char** argv) {
  if (strcmp(argv[1], "--flash-tool") == 0) {
    shift(&argc, argv);
    return new CQelConsoleFlashTool(argc, argv);
  }
  if (strcmp(argv[1], "--fct-tool") == 0) {
    shift(&argc, argv);
    return new CQelConsoleFctTool(argc, argv);
  }
  if (strcmp(argv[1], "--jyx") == 0) {
    shift(&argc, argv);
    return new CQelConsoleJYX(argc, argv);
  }
  return new CQelConsoleJYX(argc, argv);
}

// Until here a signal ends the process at once: no flow has produced
// anything to save before the loop pumps its first reply. From here on
// the loop takes signals itself.
//
// Between pumps the loop blocks until there is something to do: a wake-up
// from another thread (received bytes, a finished task or send, a new
// delayed call), a signal, or the next deadline (idleWaitMs). The wake-up
// is cleared before the pump, so one that comes during the pump makes the
// next wait return at once.
void runMainLoop(CJYX* jyx, CAPIManager* api, CQelConsole* console) {
  jyx::setSignalsDeferred(true);
  const int wakeFd = jyx::mainLoopWakeFd();
  while (!(jyx->isFinished() && !g_keepRunning)) {
    jyx::clearMainLoopWake();
    api->update();
    if (int n = jyx::takeSignal()) endOnSignal(n);
    // The reader of the output has gone (a closed pipe): end as the
    // default SIGPIPE would have, but with the run's data saved.
    if (jyx::brokenPipeSeen() && ferror(stdout)) endOnSignal(SIGPIPE);
    console->update();
    if (jyx->isFinished() && !g_keepRunning) break;
    int waitMs = api->idleWaitMs(console->nextDeadline(api->time()));
    // A front end that watches descriptors of its own (the bench server)
    // gives one that also carries the loop's wake-up.
    const int consoleFd = console->loopWaitFd();
    // Something came while the loop polled: pump again without the wait
    // (a signal is taken at the top of the next pass all the same).
    int spinUs = consoleFd >= 0 ? console->loopSpinUs(api->time()) : 0;
    if (spinUs > 0 && spinUntilReadable(consoleFd, spinUs)) continue;
    if (int n = jyx::waitForSignal(waitMs, consoleFd >= 0 ? consoleFd : wakeFd)) endOnSignal(n);
  }
  // A signal that came during the last pass still ends the run with its
  // number.
  if (int n = jyx::waitForSignal(0)) endOnSignal(n);
  jyx::setSignalsDeferred(false);
}

}  // namespace

int main(int argc, char** argv) {
  std::string signalError;
  if (!jyx::installSignalHandlers(&signalError)) {
    fprintf(stderr, "jyx: cannot handle signals: %s\n", signalError.c_str());
    return 1;
  }

  if (argc > 1 && strcmp(argv[1], "--release-tool") == 0) {
    shift(&argc, argv);
    return releaseTool(argc, argv);
  }

  CJYX* jyx = CJYX::instance();
  jyx::attachToolManagers(jyx);
  char* slash = strrchr(argv[0], '/');
  if (slash != nullptr) {
    *slash = '\0';
    jyx->setAppPath(argv[0]);
  }
  jyx->setPathSeparator("/");

  static char helpOption[] = "-h";
  char* helpArgv[] = {argv[0], helpOption, nullptr};
  if (argc < 2) {
    argv = helpArgv;
    argc = 2;
  }

  CQelConsole* console = makeConsole(argc, argv);
  g_console = console;

  CAPIManager* api = CAPIManager::instance();
  api->init("{\"operatingSystem\":\"linux\",\"docPath\":\"./tmp\"}", onHostEvent);
  jyx->start();
  console->run();
  runMainLoop(jyx, api, console);

  api->onInvoke(static_cast<int>(api->nextCallId()), "jyx:stop", g_emptyData,
                [](int, APIDATA*) { return 0; });
  g_console = nullptr;
  int status = console->exitStatus();
  delete console;
  return status;
}
