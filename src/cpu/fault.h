// Faults of the emulated machine and the text it prints.
#pragma once

#include <cstddef>
#include <string>

namespace r5900 {

// A refusal of the emulated machine (unimplemented instruction, unmapped address, register
// without a stub). The machine cannot go on; the tool that runs it catches this at its top,
// finishes what it has in flight, prints `line` on stdout and exits with status 1.
struct MachineFault {
  std::string line;  // exactly what the machine prints, newline included; empty when silent
  bool silent;       // the few forms the hardware leaves undefined stop it without a word
};

// Formats the refusal's line with printf semantics and throws it as a MachineFault. Every refusal
// of the interpreter goes through here with its exact text.
[[noreturn, gnu::cold]] void machineFault(const char* format, ...)
    __attribute__((format(printf, 1, 2)));

// Throws a silent MachineFault: the machine stops and prints nothing.
[[noreturn, gnu::cold]] void machineStopSilently();

// Text the guest makes the machine print (SYSCALL lines, the quadword-store type message) and
// bytes written to the serial transmit register. Both go to the guest output below; the tools use
// guestOutputAtLineStart() to know whether the last thing printed ended a line.
void guestPrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));
void guestPutchar(int c);
bool guestOutputAtLineStart();

// Where what the guest prints goes: each piece as it is printed (a line, one serial byte). The
// machine is one per process, and so is this; a front end sets it before it runs guest code (the
// tools and the Python module: C's stdout, in order with what they print there themselves).
// Until one is set, or after nullptr, the text goes nowhere (guestOutputAtLineStart() still
// follows it).
using GuestOutput = void (*)(const char* bytes, size_t size);
void setGuestOutput(GuestOutput output);

}  // namespace r5900
