// A fixture that gives every test a zeroed machine and zeroed guest memory, and runs guest code
// the way the guest call bridge does.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>

#include "cpu/fault.h"
#include "cpu/step.h"

class MachineTest : public ::testing::Test {
 protected:
  void SetUp() override;

  // Where test code is placed unless a test says otherwise.
  static constexpr uint32_t kCodeAddress = 0x00100000;
  // Bits 127..64 of register i start as kUpperSentinel + i, for the tests to see that only the
  // instructions that own them write them.
  static constexpr uint64_t kUpperSentinel = 0x5A5A5A5A00000000;

  // Assembles `source` and places it at `address`; returns the address after the last byte.
  static uint32_t loadAsm(const std::string& source, uint32_t address = kCodeAddress);

  // One top-level step, with register 0 cleared first, as the bridge does.
  static void step() {
    r5900::machine.GPR[0].lower = 0;
    r5900::stepInstruction();
  }
  // Steps from `pc` until PC == `until`, at most `maxSteps` steps; returns the number.
  static uint64_t runUntil(uint32_t pc, uint32_t until, uint64_t maxSteps = 100000);
  // Assembles `source` at kCodeAddress and runs it until PC reaches the end of the code.
  static uint64_t runAsm(const std::string& source);
  // Steps `source` (or the word `word`) once at kCodeAddress: the machine must refuse it with
  // exactly `line`, or, for an empty line, print nothing and go on.
  static void expectRefused(const std::string& source, const std::string& line);
  static void expectRefusedWord(uint32_t word, const std::string& line);

  static void setUppers() {
    for (uint32_t i = 0; i < 32; ++i) upper(i) = kUpperSentinel + i;
  }
  static void expectUppersKept();

  static uint64_t& reg(uint32_t index) { return r5900::machine.GPR[index].lower; }
  static uint64_t& upper(uint32_t index) { return r5900::machine.GPR[index].upper; }
  static uint8_t* ram(uint32_t offset) { return r5900::machine.ramBase + offset; }
  static uint32_t ramWord(uint32_t offset) { return r5900::loadLittle<uint32_t>(ram(offset)); }
};

// Runs `body`, which must stop the machine with a fault whose line is exactly `line` (empty: the
// silent stop) after the guest printed nothing else.
void expectFault(const std::function<void()>& body, const std::string& line);
// What the guest printed while `body` ran (SYSCALL lines, the serial port), caught by the guest
// output, which is unset again after it.
std::string guestOutputOf(const std::function<void()>& body);
std::string printed(const char* format, uint32_t value);
