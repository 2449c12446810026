// Ctrl-C, Ctrl-Break and the console closing, as SIGINT and SIGTERM are on POSIX. Windows runs
// a console handler on a thread of its own; returning TRUE keeps the process alive.
#include "platform/interrupt.h"

#include <csignal>

#include "platform/windows/internal.h"

namespace {

std::atomic<bool> stopped{false};
std::atomic<int> signalNumber{0};
std::atomic<bool> handlerEndsProcess{false};
std::atomic<bool> waitFromNow{false};
void (*toolHandler)(int) = nullptr;

// The name to remove, wide and in a buffer of its own, set before it is needed.
wchar_t nameToRemove[32768];
std::atomic<bool> nameSet{false};

int signalFor(DWORD event) {
  return event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT ? SIGINT : SIGTERM;
}

void stop(int signal) {
  if (handlerEndsProcess.load()) {
    // Past the commit point the signal waits for the process to end on its own.
    while (waitFromNow.load()) Sleep(INFINITE);
    toolHandler(signal);
    return;
  }
  signalNumber.store(signal);
  stopped.store(true);
}

BOOL WINAPI onConsoleEvent(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) {
    return FALSE;
  }
  stop(signalFor(event));
  return TRUE;
}

void install() {
  static std::atomic<bool> installed{false};
  if (!installed.exchange(true)) SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

}  // namespace

void catchStopSignals() { install(); }
const std::atomic<bool>& stopRequested() { return stopped; }
int stopSignal() { return signalNumber.load(); }

void handleStopSignals(void (*handler)(int)) {
  toolHandler = handler;
  handlerEndsProcess.store(true);
  install();
}

void stopSignalsWaitFromNow() {
  if (handlerEndsProcess.load()) waitFromNow.store(true);
}

void blockStopSignalsOnThisThread() {}

// As a signal raised by the process itself: past the commit point it waits, and the process ends
// as the work ends (here: nothing happens, rather than this thread waiting for ever).
void raiseTerminationSignal() {
  if (handlerEndsProcess.load() && waitFromNow.load()) return;
  stop(SIGTERM);
}

void setNameToRemoveOnStop(const std::string& path) {
  nameSet.store(false);
  const std::wstring w = systemPath(path);
  const size_t n = std::min(w.size(), std::size(nameToRemove) - 1);
  w.copy(nameToRemove, n);
  nameToRemove[n] = L'\0';
  nameSet.store(true);
}

void clearNameToRemoveOnStop() { nameSet.store(false); }

void removeNameToRemoveOnStop() {
  if (nameSet.load()) DeleteFileW(nameToRemove);
}
