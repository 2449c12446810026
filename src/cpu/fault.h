// Faults of the emulated machine and the text it prints.
#pragma once

// Prints one line on stdout with printf semantics and ends the process with status 1. Every
// refusal of the interpreter (unimplemented instruction, unmapped address, register without a
// stub) goes through here with its exact text.
[[noreturn, gnu::cold]] void machineFault(const char* format, ...)
    __attribute__((format(printf, 1, 2)));

// Ends the process with status 1 like machineFault, printing nothing: the few forms the hardware
// leaves undefined and the machine rejects without a word.
[[noreturn, gnu::cold]] void machineStopSilently();

// Set by fuzz targets: machineFault then throws MachineFaultUnwind after printing, instead of
// ending the process, so that the fuzzer can go on with its next input.
extern bool faultsUnwind;
struct MachineFaultUnwind {};

// Called first by machineFault, when set: lets a tool that prints from another thread finish
// what it owes before the fault line (archive-extract completes the entries it has read).
extern void (*beforeMachineFault)();

// Text the guest makes the machine print (SYSCALL lines, the quadword-store type message) and
// bytes written to the serial transmit register. Both go to stdout; the tools use
// guestOutputAtLineStart() to know whether the last thing printed ended a line.
void guestPrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));
void guestPutchar(int c);
bool guestOutputAtLineStart();
