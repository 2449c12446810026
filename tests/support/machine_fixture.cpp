#include "support/machine_fixture.h"

#include <cstdio>
#include <cstring>

#include "cpu/step.h"
#include "support/assembler.h"

using r5900::allocateGuestMemory;
using r5900::hostPointerOrNull;
using r5900::kRamSize;
using r5900::kScratchpadSize;
using r5900::machine;
using r5900::MachineFault;
using r5900::storeLittle;

void MachineTest::SetUp() {
  ASSERT_TRUE(allocateGuestMemory());
  uint8_t* ramBase = machine.ramBase;
  uint8_t* scratchpadBase = machine.scratchpadBase;
  std::memset(&machine, 0, sizeof machine);
  machine.ramBase = ramBase;
  machine.scratchpadBase = scratchpadBase;
  std::memset(ramBase, 0, kRamSize);
  std::memset(scratchpadBase, 0, kScratchpadSize);
}

uint32_t MachineTest::loadAsm(const std::string& source, uint32_t address) {
  const std::vector<uint8_t> bytes = assemble(source);
  uint8_t* p = hostPointerOrNull(address, static_cast<uint32_t>(bytes.size()));
  EXPECT_NE(p, nullptr) << "test code does not fit at " << std::hex << address;
  if (p != nullptr) std::memcpy(p, bytes.data(), bytes.size());
  return address + static_cast<uint32_t>(bytes.size());
}

uint64_t MachineTest::runUntil(uint32_t pc, uint32_t until, uint64_t maxSteps) {
  machine.PC = pc;
  uint64_t steps = 0;
  do {
    if (steps == maxSteps) {
      ADD_FAILURE() << "PC did not reach " << std::hex << until << " (PC " << machine.PC << ")";
      return steps;
    }
    step();
    ++steps;
  } while (machine.PC != until);
  return steps;
}

uint64_t MachineTest::runAsm(const std::string& source) {
  const uint32_t end = loadAsm(source);
  return runUntil(kCodeAddress, end);
}

void MachineTest::expectRefused(const std::string& source, const std::string& line) {
  SCOPED_TRACE(source);
  loadAsm(source);
  machine.PC = kCodeAddress;
  if (line.empty()) {
    EXPECT_EQ(guestOutputOf([] { step(); }), "");
  } else {
    expectFault([] { step(); }, line);
  }
}

// The word goes straight into RAM: no assembler is needed for a word it would refuse anyway.
void MachineTest::expectRefusedWord(uint32_t word, const std::string& line) {
  SCOPED_TRACE(printed("word %08X", word));
  storeLittle(ram(kCodeAddress), word);
  machine.PC = kCodeAddress;
  expectFault([] { step(); }, line);
}

void MachineTest::expectUppersKept() {
  for (uint32_t i = 0; i < 32; ++i) EXPECT_EQ(upper(i), kUpperSentinel + i) << "register " << i;
}

void expectFault(const std::function<void()>& body, const std::string& line) {
  std::string fault = "(no fault)";
  bool silent = false;
  const std::string out = guestOutputOf([&] {
    try {
      body();
    } catch (const MachineFault& f) {
      fault = f.line;
      silent = f.silent;
    }
  });
  EXPECT_EQ(out, "");
  EXPECT_EQ(fault, line);
  EXPECT_EQ(silent, line.empty());
}

namespace {
std::string* caught = nullptr;
}  // namespace

std::string guestOutputOf(const std::function<void()>& body) {
  std::string out;
  caught = &out;
  r5900::setGuestOutput([](const char* bytes, size_t size) { caught->append(bytes, size); });
  struct Unset {
    ~Unset() { r5900::setGuestOutput(nullptr); }
  } unset;
  body();
  return out;
}

std::string printed(const char* format, uint32_t value) {
  char text[128];
  std::snprintf(text, sizeof text, format, value);
  return text;
}
