#include "cpu/fault.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {
bool atLineStart = true;
}

bool faultsUnwind = false;
void (*beforeMachineFault)() = nullptr;

namespace {
[[noreturn]] void stopMachine() {
  if (faultsUnwind) throw MachineFaultUnwind{};
  std::exit(1);
}
}  // namespace

void machineFault(const char* format, ...) {
  if (beforeMachineFault != nullptr) beforeMachineFault();
  va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
  stopMachine();
}

void machineStopSilently() {
  if (beforeMachineFault != nullptr) beforeMachineFault();
  stopMachine();
}

void guestPrintf(const char* format, ...) {
  char text[256];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  const size_t length = std::strlen(text);
  if (length == 0) {
    return;
  }
  std::fputs(text, stdout);
  atLineStart = text[length - 1] == '\n';
}

void guestPutchar(int c) {
  std::putchar(c);
  atLineStart = static_cast<unsigned char>(c) == '\n';
}

bool guestOutputAtLineStart() { return atLineStart; }
