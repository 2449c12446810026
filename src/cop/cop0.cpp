// System control coprocessor (primary opcode 0x10): moves between the general registers and the
// COP0 register file, and the CO operations guest code issues around exceptions. The registers
// are plain 64-bit storage with no TLB, interrupt or timer behind them; only Count (9) reads,
// Status (12) under EI and DI, and EPC (14) under ERET have a role.
#include <cstdint>

#include "cpu/fault.h"
#include "cpu/step.h"

namespace r5900 {

namespace {

using GroupHandler = void (*)(uint32_t op);

constexpr uint32_t kCount = 9;
constexpr uint32_t kStatus = 12;
constexpr uint32_t kEpc = 14;
constexpr uint64_t kStatusInterruptEnable = 0x10000;  // Status bit 16, EIE

// MF0 and MT0 take bits 10..0 as zero; anything there (a select field among others) is refused.
constexpr uint32_t kMoveMustBeZero = 0x7FF;

// Count is read from its own counter, which nothing advances; a write goes to file entry 9, which
// nothing reads back.
void mf0(uint32_t op) {
  if ((op & kMoveMustBeZero) != 0) {
    machineFault("Unhandled MF0 opcode %X\n", op & kMoveMustBeZero);
  }
  gprLower(rt(op)) = rd(op) == kCount ? machine.count : machine.cop0[rd(op)];
}
void mt0(uint32_t op) {
  if ((op & kMoveMustBeZero) != 0) {
    machineFault("Unhandled MT0 opcode %X\n", op & kMoveMustBeZero);
  }
  machine.cop0[rd(op)] = gprLower(rt(op));
}

void tlbwi(uint32_t /*op*/) {}
// No delay slot and no exception level to clear: the next fetch is at EPC.
void eret(uint32_t /*op*/) { machine.PC = static_cast<uint32_t>(machine.cop0[kEpc]); }
void ei(uint32_t /*op*/) { machine.cop0[kStatus] |= kStatusInterruptEnable; }
// DI keeps only the low word of Status, less bit 16: the high word is cleared.
void di(uint32_t /*op*/) {
  machine.cop0[kStatus] = static_cast<uint32_t>(machine.cop0[kStatus]) & ~kStatusInterruptEnable;
}

[[noreturn]] void refusedCo(uint32_t op) { machineFault("Unhandled CO opcode %X\n", funct(op)); }
[[noreturn]] void refused(uint32_t op) {
  machineFault("Unknown COP0 subOpcode %X\n", op & 0x03E00000);
}

// The CO map, by funct. TLBR, TLBWR and TLBP are refused.
constexpr Opcode<GroupHandler> kCoList[] = {
    {0x02, tlbwi, "tlbwi"},
    {0x18, eret, "eret"},
    {0x38, ei, "ei"},
    {0x39, di, "di"},
};
constexpr auto kCoTable = dispatchTable<64>(kCoList, refusedCo);

void co(uint32_t op) { kCoTable[funct(op)](op); }
OpcodeName coName(uint32_t op) { return opcodeName(kCoList, funct(op), op); }

// The COP0 map, by rs. Only rs = 16 is CO: 17..31 are refused, not taken as CO; so is BC0.
constexpr Opcode<GroupHandler> kCop0List[] = {
    {0, mf0, "mfc0", Operands::kCop0Move},
    {4, mt0, "mtc0", Operands::kCop0Move},
    subMap(16, co, coName),
};
constexpr auto kCop0Table = dispatchTable<32>(kCop0List, refused);

}  // namespace

void executeCop0(uint32_t op) { kCop0Table[rs(op)](op); }
// MF0 and MT0 with anything in bits 10..0 are refused by their handlers, and have no name either.
OpcodeName cop0Name(uint32_t op) {
  const OpcodeName name = opcodeName(kCop0List, rs(op), op);
  return name.operands == Operands::kCop0Move && (op & kMoveMustBeZero) != 0 ? OpcodeName{} : name;
}

}  // namespace r5900
