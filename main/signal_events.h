// Turns the signals that end a run (SIGINT, SIGTERM, SIGHUP) into events of
// the main loop. The handler only records the signal and writes one byte to
// a self-pipe; the main loop waits on that pipe instead of sleeping, takes
// the signal and does the real work (messages, saving, exit) on the main
// thread, where allocation, stdio and locks are safe.
//
// Two modes:
// - immediate (after install, before the main loop takes over): nothing can
//   be lost yet, so the handler writes "exception signal: N\n" with write(2)
//   and ends the process with _exit(N), both async-signal-safe;
// - deferred (while the main loop runs): the handler records. A second
//   signal is recorded too and interrupts nothing; a third ends the process
//   at once with the same line and _exit (the user insists).
//
// SIGPIPE gets a handler that only notes it: a write to a closed peer then
// fails with EPIPE like any other channel error instead of killing the
// process, and, unlike SIG_IGN, the disposition is reset to the default in
// child processes started with exec (curl, shells), which expect it.
#ifndef JYX_MAIN_SIGNAL_EVENTS_H_
#define JYX_MAIN_SIGNAL_EVENTS_H_

#include <string>

namespace jyx {

// Creates the self-pipe (once) and installs the handlers in immediate mode.
// False with *err when the pipe or a handler cannot be set up.
bool installSignalHandlers(std::string* err);

// Switches between immediate (false) and deferred (true) handling.
void setSignalsDeferred(bool deferred);

// Waits up to timeoutMs for a signal, or until `otherFd` (when not -1)
// becomes readable, and returns the first signal recorded since the
// handlers were installed and not yet taken, or 0. Drains the self-pipe but
// not otherFd. The main loop passes its wake-up descriptor and the time to
// its next deadline; 0 only looks. Main thread only.
int waitForSignal(int timeoutMs, int otherFd = -1);
// Takes a signal that has come (its number, or 0) without a system call
// when none has; the pipe is drained by the next waitForSignal.
int takeSignal();

// Signals received in deferred mode so far (the third one ends the process).
int deferredSignalCount();

// Whether a write has met a closed pipe or socket since the handlers were
// installed. With SIGPIPE no longer fatal, the main loop uses this together
// with ferror(stdout) to end a run whose output reader has gone (`jyx ... |
// head`), which would otherwise stream into the void for ever.
bool brokenPipeSeen();

// Test support: default dispositions back, counters cleared, mode immediate.
void resetSignalHandlersForTest();

// "exception signal: N\n" into buf (at least 32 bytes) without stdio or
// allocation; returns the length. Used by the handler itself.
int formatSignalLine(int signalNumber, char* buf, int size);

}  // namespace jyx

#endif  // JYX_MAIN_SIGNAL_EVENTS_H_
