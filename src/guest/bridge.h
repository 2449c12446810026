// The seam between the host and the guest lookup routines: the set-up of the emulated machine
// with the guest code image and an archive index, and the calls into the routines.
#pragma once

#include <cstdint>

#include "archive/format.h"

// Where the set-up places things in guest memory (all in the directly mapped low RAM window).
constexpr uint32_t kGuestIndexAddress = 0x019C0000;
constexpr uint32_t kGuestSectorBaseAddress = 0x004FDCA0;
constexpr uint32_t kGuestIndexPointerAddress = 0x004FDCA8;
constexpr uint32_t kGuestStackPointer = 0x10000;

// A guest routine: its first instruction and its `jr ra`, where the call stops.
struct GuestRoutine {
  uint32_t entry;
  uint32_t returnAddress;
};
constexpr GuestRoutine kQueryEntryStoredLength{0x003F7B38, 0x003F7BF0};
constexpr GuestRoutine kQueryEntryLength{0x003F7BF8, 0x003F7CAC};
constexpr GuestRoutine kQueryEntrySector{0x003F7CB8, 0x003F7E14};
constexpr GuestRoutine kQueryEntryIsPlain{0x003F7E20, 0x003F7EA4};

// A call that has not reached its return address after this many steps stops the machine: a
// routine that never returns must not hang the tool.
constexpr uint64_t kGuestCallStepLimit = 10000000;

// Top-level steps run by all guest calls so far (a taken branch and its delay slot are one step).
extern uint64_t guestCallSteps;

// A guest program that could be attached to the process: its bytes and a table of ELF32 program
// headers (32 bytes each). Nothing attaches one in this tool, so copyProgramToMemory loads
// nothing; the fields exist so that the loader can be exercised.
struct AttachedProgram {
  const uint8_t* image;
  uint32_t imageSize;
  const uint8_t* programHeaders;
  int16_t headerCount;
};
extern AttachedProgram attachedProgram;

// Sets the machine up for the lookups: allocates guest memory if it has none yet, places the
// guest code image, the attached program, the kArchiveIndexSize bytes of `index` and the two
// control words. Returns false when there is no memory for the guest.
bool initMachine(const uint8_t* index);
// Copies the loadable segments of the attached program into RAM; returns how many it loaded.
int copyProgramToMemory();

// Runs the routine on the machine initMachine set up and returns the low word of v0. Throws
// r5900::MachineFault when the machine refuses something or the routine does not return.
int32_t callGuestRoutine(const GuestRoutine& routine, int32_t category, int32_t entry);

int32_t queryEntrySector(int32_t category, int32_t entry);
int32_t queryEntryIsPlain(int32_t category, int32_t entry);
int32_t queryEntryLength(int32_t category, int32_t entry);
int32_t queryEntryStoredLength(int32_t category, int32_t entry);
