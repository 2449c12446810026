#include "platform/process.h"

#include <unistd.h>

#include <algorithm>
#include <thread>

#include "platform/posix/internal.h"

unsigned coreCount() {
  const unsigned allowed = coresAllowed();
  const unsigned online = std::thread::hardware_concurrency();
  if (allowed > 0) return online > 0 ? std::min(allowed, online) : allowed;
  return online > 0 ? online : 1;
}

bool isTerminal(StandardStream stream) {
  return isatty(stream == StandardStream::Output ? STDOUT_FILENO : STDERR_FILENO) != 0;
}

// The terminals of POSIX systems take them.
bool enableTerminalEscapes(StandardStream) { return true; }

ProgramArguments::ProgramArguments(int&, char**&) {}
