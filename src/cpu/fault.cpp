#include "cpu/fault.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace r5900 {

namespace {
bool atLineStart = true;
GuestOutput output = nullptr;
}  // namespace

void setGuestOutput(GuestOutput to) { output = to; }

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
  if (output != nullptr) output(text, length);
  atLineStart = text[length - 1] == '\n';
}

void guestPutchar(int c) {
  const char byte = static_cast<char>(c);
  if (output != nullptr) output(&byte, 1);
  atLineStart = static_cast<unsigned char>(c) == '\n';
}

bool guestOutputAtLineStart() { return atLineStart; }

}  // namespace r5900
