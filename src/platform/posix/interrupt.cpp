#include "platform/interrupt.h"

#include <signal.h>
#include <unistd.h>

#include <cstdio>

namespace {

// Atomics, being lock-free, are safe in a handler, which may run on any thread.
std::atomic<bool> stopped{false};
std::atomic<int> signalNumber{0};
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free);

// The name to remove, in a buffer of its own: the handler may not allocate.
char nameToRemove[4096];
std::atomic<bool> nameSet{false};
// Whether a tool's handler, which ends the process, is installed.
std::atomic<bool> handlerEndsProcess{false};

void onStopSignal(int signal) {
  signalNumber.store(signal);
  stopped.store(true);
}

void setHandler(void (*handler)(int), int flags) {
  struct sigaction action {};
  action.sa_handler = handler;
  action.sa_flags = flags;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

}  // namespace

void catchStopSignals() { setHandler(onStopSignal, SA_RESTART); }
const std::atomic<bool>& stopRequested() { return stopped; }
int stopSignal() { return signalNumber.load(); }

void handleStopSignals(void (*handler)(int)) {
  setHandler(handler, 0);
  handlerEndsProcess.store(true);
}

void stopSignalsWaitFromNow() {
  if (handlerEndsProcess.load()) blockStopSignalsOnThisThread();
}

void blockStopSignalsOnThisThread() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
}

void raiseTerminationSignal() { raise(SIGTERM); }

void setNameToRemoveOnStop(const std::string& path) {
  nameSet.store(false);
  std::snprintf(nameToRemove, sizeof nameToRemove, "%s", path.c_str());
  nameSet.store(true);
}

void clearNameToRemoveOnStop() { nameSet.store(false); }

void removeNameToRemoveOnStop() {
  if (nameSet.load()) unlink(nameToRemove);
}
