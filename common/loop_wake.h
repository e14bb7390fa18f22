// The main loop's wake-up. The main loop blocks on one descriptor (plus the
// signal pipe) until some other thread has work for it: bytes queued by a
// channel's receive thread, a task finished, a delayed call added. Any
// thread calls wakeMainLoop(); the main loop drains the descriptor at the
// start of each pump, so a wake that arrives during a pump makes the next
// wait return at once and nothing is lost between the pump and the wait.
#ifndef JYX_COMMON_LOOP_WAKE_H_
#define JYX_COMMON_LOOP_WAKE_H_

namespace jyx {

// The eventfd the main loop polls for POLLIN; created on first use, never
// closed. -1 when the system refused to create it (the loop then falls back
// to its bounded idle wait).
int mainLoopWakeFd();

// Makes mainLoopWakeFd() readable. Any thread; never blocks, allocates or
// locks, so it is safe from a signal handler as well.
void wakeMainLoop();

// Empties the descriptor (no system call when no wake is outstanding).
// Main thread, at the start of a pump.
void clearMainLoopWake();

// Wake-ups requested so far (for tests and benchmarks).
unsigned long mainLoopWakeCount();

}  // namespace jyx

#endif  // JYX_COMMON_LOOP_WAKE_H_
