#include "cpu/fault.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace {
bool atLineStart = true;
}

void machineFault(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
  std::exit(1);
}

void guestPrintf(const char* format, ...) {
  char text[256];
  va_list args;
  va_start(args, format);
  const int length = std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (length <= 0) {
    return;
  }
  std::fputs(text, stdout);
  const int last =
      length < static_cast<int>(sizeof text) ? length - 1 : static_cast<int>(sizeof text) - 2;
  atLineStart = text[last] == '\n';
}

void guestPutchar(int c) {
  std::putchar(c);
  atLineStart = static_cast<unsigned char>(c) == '\n';
}

bool guestOutputAtLineStart() { return atLineStart; }
