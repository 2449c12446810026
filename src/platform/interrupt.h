// Console interrupts: SIGINT and SIGTERM, handled one of two ways. The handlers may run on any
// thread.
#pragma once

#include <atomic>
#include <string>

// The work stops in its own time: a signal sets stopRequested() and stopSignal(), and calls it
// interrupts are restarted.
void catchStopSignals();
const std::atomic<bool>& stopRequested();
// The signal that came (0: none).
int stopSignal();

// The work cannot stop in its own time: `handler` runs on the signal (interrupted calls are not
// restarted). A tool's handler ends the process; before that it may call
// removeNameToRemoveOnStop().
void handleStopSignals(void (*handler)(int signal));
// The work has committed its result (a new file renamed into place, a journal complete): a stop
// would now misreport it. From here on a handler installed by handleStopSignals() no longer runs;
// the signals wait and the process ends as the work ends. Without such a handler, nothing changes.
void stopSignalsWaitFromNow();
// SIGINT and SIGTERM no longer come to the calling thread, nor to the threads it starts from
// here on: they go to another thread, whose handlers (a language runtime's, say) then run there and
// never interrupt a call made here. On Windows a console's interrupts come on a thread of their
// own anyway, and nothing changes.
void blockStopSignalsOnThisThread();
// Sends SIGTERM to this process, as another process would (the tests' stand-in for one).
void raiseTerminationSignal();
// The name a handler removes, one at a time.
void setNameToRemoveOnStop(const std::string& path);
void clearNameToRemoveOnStop();
// Removes the name set, if any. Async-signal-safe.
void removeNameToRemoveOnStop();
