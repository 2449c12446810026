#include "cpu/fault.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace r5900 {

namespace {
bool atLineStart = true;
}

void machineFault(const char* format, ...) {
  char text[256];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  throw MachineFault{text, false};
}

void machineStopSilently() { throw MachineFault{"", true}; }

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

}  // namespace r5900
