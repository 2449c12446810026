#include "platform/process.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <thread>

#include "platform/posix/internal.h"

unsigned coreCount() {
  const unsigned allowed = coresAllowed();
  const unsigned online = std::thread::hardware_concurrency();
  if (allowed > 0) return online > 0 ? std::min(allowed, online) : allowed;
  return online > 0 ? online : 1;
}

void* mapPages(size_t size) {
  void* pages = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return pages == MAP_FAILED ? nullptr : pages;
}

void unmapPages(void* pages, size_t size) { munmap(pages, size); }

uint32_t userId() { return getuid(); }
uint32_t groupId() { return getgid(); }

bool isTerminal(StandardStream stream) {
  return isatty(stream == StandardStream::Output ? STDOUT_FILENO : STDERR_FILENO) != 0;
}

// The terminals of POSIX systems take them.
bool enableTerminalEscapes(StandardStream) { return true; }

bool writeError(const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(STDERR_FILENO, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// SIGPIPE ends the process before the write returns; where it is ignored, the failure is the
// caller's to report.
void endIfStdoutClosed() {}

bool ownsConsoleAlone() { return false; }
void waitForKey() {}

ProgramArguments::ProgramArguments(int&, char**&) {}
