// CQelConsole: the base of the command-line front ends, and the terminal
// conventions they share (ANSI colours, the one-line progress bar).
#ifndef JYX_MAIN_QEL_CONSOLE_H_
#define JYX_MAIN_QEL_CONSOLE_H_

#include "common/updater.h"

// Set by a front end whose work must go on after the controller object is
// marked finished (power monitoring, -x); cleared when it finishes. The main
// loop runs while the controller object is not finished or this is set.
extern bool g_keepRunning;

// ANSI sequences of the console output.
#define QEL_YELLOW "\x1b[1;33m"
#define QEL_GREEN "\x1b[0;32;32m"
#define QEL_BLUE "\x1b[0;32;34m"
#define QEL_NORMAL "\x1b[m"
#define QEL_RESET_SCREEN \
  "\x1b"                 \
  "c"

class CQelConsole {
 public:
  CQelConsole() = default;
  CQelConsole(const CQelConsole&) = delete;
  CQelConsole& operator=(const CQelConsole&) = delete;
  // Virtual so that main can release any front end through the base.
  virtual ~CQelConsole() = default;

  // Called once by main after the API manager is initialised.
  virtual void run() = 0;
  // Called on every pass of the main loop, after the pump.
  virtual void update() = 0;
  // After update() at pump time `now`: when update() must run again if
  // nothing wakes the loop before (CUpdater's convention; the default is
  // the housekeeping interval).
  virtual double nextDeadline(double now) { return now + CUpdater::kHousekeepingSeconds; }
  // Called on the main thread when a signal ends the run, right before the
  // process exits with the signal number.
  virtual void stop() {}
  // A descriptor the main loop waits on instead of its wake-up descriptor
  // (it must include that one); -1 for the wake-up descriptor alone.
  virtual int loopWaitFd() const { return -1; }
  // Microseconds the loop polls loopWaitFd() without sleeping before it
  // blocks: non-zero while the front end expects its next event within
  // about that time (0: block at once).
  virtual int loopSpinUs(double /*now*/) const { return 0; }
  // The status main returns once the loop has ended: 0 unless the front end
  // was asked to tell failures apart (--exit-code).
  virtual int exitStatus() const { return 0; }

  // One progress line without a line end, so that the next call overwrites
  // it: "\r", cursor hidden, the label, percent/2 '=' padded with blanks to
  // 50 characters (longer above 100 %), the percentage, cursor shown.
  static void progressBar(const char* label, int percent);
};

#endif  // JYX_MAIN_QEL_CONSOLE_H_
