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

// The process ends at once with status 128 + the signal number, after removing the name given to
// setNameToRemoveOnStop(), if any.
void exitOnStopSignals();
// One name at a time.
void setNameToRemoveOnStop(const std::string& path);
void clearNameToRemoveOnStop();
