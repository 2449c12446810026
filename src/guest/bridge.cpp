#include "guest/bridge.h"

#include <cassert>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "cpu/bus.h"
#include "cpu/fault.h"
#include "cpu/machine_state.h"
#include "cpu/step.h"
#include "guest/guest_image.h"

using r5900::allocateGuestMemory;
using r5900::executeAt;
using r5900::kRamSize;
using r5900::loadLittle;
using r5900::machine;
using r5900::machineFault;
using r5900::storeLittle;

uint64_t guestCallSteps = 0;
AttachedProgram attachedProgram = {};

namespace {

// ELF32 program header fields (little-endian words).
constexpr uint32_t kProgramHeaderSize = 32;
constexpr uint32_t kLoadableSegment = 1;  // p_type PT_LOAD

uint32_t headerWord(const uint8_t* header, uint32_t offset) {
  return loadLittle<uint32_t>(header + offset);
}

}  // namespace

int copyProgramToMemory() {
  // The console's loader formats these texts into a small buffer and never prints them.
  char text[108];
  std::snprintf(text, sizeof text, "Init:Copy Program To Memory: ");
  int loaded = 0;
  const AttachedProgram& program = attachedProgram;
  if (program.image != nullptr && program.programHeaders != nullptr) {
    for (int i = 0; i < program.headerCount; ++i) {
      const uint8_t* header = program.programHeaders + static_cast<size_t>(i) * kProgramHeaderSize;
      if (headerWord(header, 0) != kLoadableSegment) {
        continue;
      }
      const uint32_t fileOffset = headerWord(header, 4);
      const uint32_t physicalAddress = headerWord(header, 12);
      const uint32_t fileSize = headerWord(header, 16);
      // A segment that does not lie inside the image and inside RAM is not loaded.
      const bool inImage =
          fileOffset <= program.imageSize && fileSize <= program.imageSize - fileOffset;
      const bool inRam = physicalAddress < kRamSize && fileSize <= kRamSize - physicalAddress;
      if (!inImage || !inRam) {
        continue;
      }
      std::memcpy(machine.ramBase + physicalAddress, program.image + fileOffset, fileSize);
      ++loaded;
    }
  }
  std::snprintf(text, sizeof text, "Init:Copy Program To Memory : Done ( %d sections Loaded )",
                loaded);
  return loaded;
}

bool initMachine(const uint8_t* index) {
  if (!allocateGuestMemory()) {
    return false;
  }
  std::memcpy(machine.ramBase + kGuestCodeAddress, kGuestCodeImage, kGuestCodeImageSize);
  copyProgramToMemory();
  std::memcpy(machine.ramBase + kGuestIndexAddress, index, kArchiveIndexSize);
  storeLittle(machine.ramBase + kGuestSectorBaseAddress, kDataBaseSector);
  storeLittle(machine.ramBase + kGuestIndexPointerAddress, kGuestIndexAddress);
  return true;
}

int32_t callGuestRoutine(const GuestRoutine& routine, int32_t category, int32_t entry) {
  assert(machine.ramBase != nullptr && "initMachine comes first");
  machine.GPR[4].lower = static_cast<uint64_t>(int64_t{category});  // a0
  machine.GPR[5].lower = static_cast<uint64_t>(int64_t{entry});     // a1
  machine.GPR[29].lower = kGuestStackPointer;                       // sp
  // One step at a time as stepInstruction takes them, with the PC kept in a local between steps
  // (executeAt is the step on an explicit PC); machine.PC holds the return address afterwards.
  // The return instruction and its delay slot never run: the call ends when the PC reaches it,
  // tested after every step, so at least one instruction runs.
  uint32_t pc = routine.entry;
  uint64_t steps = 0;
  do {
    if (steps == kGuestCallStepLimit) {
      machineFault("Guest routine at %X did not return within %" PRIu64 " steps\n", routine.entry,
                   kGuestCallStepLimit);
    }
    machine.GPR[0].lower = 0;
    pc = executeAt(pc);
    ++steps;
  } while (pc != routine.returnAddress);
  machine.PC = pc;
  guestCallSteps += steps;
  return static_cast<int32_t>(machine.GPR[2].lower);  // v0
}

int32_t queryEntrySector(int32_t category, int32_t entry) {
  return callGuestRoutine(kQueryEntrySector, category, entry);
}
int32_t queryEntryIsPlain(int32_t category, int32_t entry) {
  return callGuestRoutine(kQueryEntryIsPlain, category, entry);
}
int32_t queryEntryLength(int32_t category, int32_t entry) {
  return callGuestRoutine(kQueryEntryLength, category, entry);
}
int32_t queryEntryStoredLength(int32_t category, int32_t entry) {
  return callGuestRoutine(kQueryEntryStoredLength, category, entry);
}
