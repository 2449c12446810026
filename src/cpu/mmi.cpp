// Multimedia instructions (primary opcode 28): the moves to and from HI1 and LO1 (bits 127..64 of
// HI and LO), MULT1, and ten parallel operations of the sub-groups MMI0 to MMI3. Everything else
// in the group is refused.
//
// Lanes are named by bit position, as the manual does: word i is bits 32i+31..32i, whatever the
// order in which Reg128 stores its halves. Every operation copies its sources before it writes
// rd, so rd may name rs or rt.
#include <algorithm>
#include <cstdint>

#include "cpu/fault.h"
#include "cpu/step.h"

namespace r5900 {

namespace {

using GroupHandler = void (*)(uint32_t op);

// Lane i of width sizeof(Lane) bytes: the lanes of bits 63..0 are in `lower`, the rest in `upper`.
template <typename Lane>
constexpr unsigned kLanesPerHalf = 8 / sizeof(Lane);

template <typename Lane>
constexpr unsigned laneShift(unsigned i) {
  return (i % kLanesPerHalf<Lane>)*8 * sizeof(Lane);
}

template <typename Lane>
Lane lane(const Reg128& r, unsigned i) {
  const uint64_t half = i < kLanesPerHalf<Lane> ? r.lower : r.upper;
  return static_cast<Lane>(half >> laneShift<Lane>(i));
}

template <typename Lane>
void setLane(Reg128& r, unsigned i, Lane value) {
  uint64_t& half = i < kLanesPerHalf<Lane> ? r.lower : r.upper;
  const uint64_t mask = uint64_t{static_cast<Lane>(~Lane{0})} << laneShift<Lane>(i);
  half = (half & ~mask) | (uint64_t{value} << laneShift<Lane>(i));
}

uint32_t word(const Reg128& r, unsigned i) { return lane<uint32_t>(r, i); }

// Copies of rs and rt, taken before anything is written.
struct Sources {
  Reg128 s;
  Reg128 t;
};
Sources sources(uint32_t op) { return {machine.GPR[rs(op)], machine.GPR[rt(op)]}; }
void setRd(uint32_t op, const Reg128& value) { machine.GPR[rd(op)] = value; }

Reg128 fromWords(uint32_t w0, uint32_t w1, uint32_t w2, uint32_t w3) {
  return Reg128{uint64_t{w3} << 32 | w2, uint64_t{w1} << 32 | w0};
}

// HI1 and LO1 are the upper halves of HI and LO; only bits 63..0 of the GPR move.
void mfhi1(uint32_t op) { gprLower(rd(op)) = machine.HI.upper; }
void mthi1(uint32_t op) { machine.HI.upper = gprLower(rs(op)); }
void mflo1(uint32_t op) { gprLower(rd(op)) = machine.LO.upper; }
void mtlo1(uint32_t op) { machine.LO.upper = gprLower(rs(op)); }

// MULT of the upper pipeline: as MULT, into LO1 and HI1.
void mult1(uint32_t op) {
  const auto a = static_cast<int32_t>(gprLower(rs(op)));
  const auto b = static_cast<int32_t>(gprLower(rt(op)));
  const auto product = static_cast<uint64_t>(int64_t{a} * int64_t{b});
  machine.LO.upper = signExtend32(static_cast<uint32_t>(product));
  machine.HI.upper = signExtend32(static_cast<uint32_t>(product >> 32));
  gprLower(rd(op)) = machine.LO.upper;
}

// MMI0.
void psubb(uint32_t op) {
  const auto [s, t] = sources(op);
  Reg128 d{};
  for (unsigned i = 0; i < 16; ++i) {
    setLane<uint8_t>(d, i, static_cast<uint8_t>(lane<uint8_t>(s, i) - lane<uint8_t>(t, i)));
  }
  setRd(op, d);
}
void pextlw(uint32_t op) {
  const auto [s, t] = sources(op);
  setRd(op, fromWords(word(t, 0), word(s, 0), word(t, 1), word(s, 1)));
}

// MMI1.
void padduw(uint32_t op) {
  const auto [s, t] = sources(op);
  Reg128 d{};
  for (unsigned i = 0; i < 4; ++i) {
    const uint64_t sum = uint64_t{word(s, i)} + word(t, i);
    setLane<uint32_t>(d, i, static_cast<uint32_t>(std::min<uint64_t>(sum, 0xFFFFFFFF)));
  }
  setRd(op, d);
}
void pextuw(uint32_t op) {
  const auto [s, t] = sources(op);
  setRd(op, fromWords(word(t, 2), word(s, 2), word(t, 3), word(s, 3)));
}

// MMI2.
void pcpyld(uint32_t op) {
  const auto [s, t] = sources(op);
  setRd(op, Reg128{s.lower, t.lower});
}
void pand(uint32_t op) {
  const auto [s, t] = sources(op);
  setRd(op, Reg128{s.upper & t.upper, s.lower & t.lower});
}

// MMI3.
void pcpyud(uint32_t op) {
  const auto [s, t] = sources(op);
  setRd(op, Reg128{t.upper, s.upper});
}
void por(uint32_t op) {
  const auto [s, t] = sources(op);
  setRd(op, Reg128{s.upper | t.upper, s.lower | t.lower});
}
void pnor(uint32_t op) {
  const auto [s, t] = sources(op);
  setRd(op, Reg128{~(s.upper | t.upper), ~(s.lower | t.lower)});
}
// Halfword 0 of rt into halfwords 0..3, halfword 4 into halfwords 4..7.
void pcpyh(uint32_t op) {
  const Reg128 t = machine.GPR[rt(op)];
  Reg128 d{};
  for (unsigned i = 0; i < 8; ++i) {
    setLane<uint16_t>(d, i, lane<uint16_t>(t, i < 4 ? 0 : 4));
  }
  setRd(op, d);
}

// The sub-groups print the sub-function where it sits, bits 10..6 of the instruction.
[[noreturn]] void refusedMmi(uint32_t op) { machineFault("Unknown MMI opcode %X!\n", funct(op)); }
[[noreturn]] void refusedMmi0(uint32_t op) {
  machineFault("Unknown MMI0 opcode %X!\n", op & 0x7C0);
}
[[noreturn]] void refusedMmi1(uint32_t op) {
  machineFault("Unknown MMI1 opcode %X!\n", op & 0x7C0);
}
[[noreturn]] void refusedMmi2(uint32_t op) {
  machineFault("Unknown MMI2 opcode %X!\n", op & 0x7C0);
}
[[noreturn]] void refusedMmi3(uint32_t op) {
  machineFault("Unknown MMI3 opcode %X!\n", op & 0x7C0);
}

constexpr uint32_t subFunction(uint32_t op) { return (op >> 6) & 31; }

// The four sub-group maps, by bits 10..6.
constexpr Opcode<GroupHandler> kMmi0List[] = {
    {9, psubb, "psubb", Operands::kRdRsRt},
    {18, pextlw, "pextlw", Operands::kRdRsRt},
};
constexpr Opcode<GroupHandler> kMmi1List[] = {
    {16, padduw, "padduw", Operands::kRdRsRt},
    {18, pextuw, "pextuw", Operands::kRdRsRt},
};
constexpr Opcode<GroupHandler> kMmi2List[] = {
    {14, pcpyld, "pcpyld", Operands::kRdRsRt},
    {18, pand, "pand", Operands::kRdRsRt},
};
constexpr Opcode<GroupHandler> kMmi3List[] = {
    {14, pcpyud, "pcpyud", Operands::kRdRsRt},
    {18, por, "por", Operands::kRdRsRt},
    {19, pnor, "pnor", Operands::kRdRsRt},
    {27, pcpyh, "pcpyh", Operands::kRdRt},
};
constexpr auto kMmi0Table = dispatchTable<32>(kMmi0List, refusedMmi0);
constexpr auto kMmi1Table = dispatchTable<32>(kMmi1List, refusedMmi1);
constexpr auto kMmi2Table = dispatchTable<32>(kMmi2List, refusedMmi2);
constexpr auto kMmi3Table = dispatchTable<32>(kMmi3List, refusedMmi3);

void executeMmi0(uint32_t op) { kMmi0Table[subFunction(op)](op); }
void executeMmi1(uint32_t op) { kMmi1Table[subFunction(op)](op); }
void executeMmi2(uint32_t op) { kMmi2Table[subFunction(op)](op); }
void executeMmi3(uint32_t op) { kMmi3Table[subFunction(op)](op); }
OpcodeName mmi0Name(uint32_t op) { return opcodeName(kMmi0List, subFunction(op), op); }
OpcodeName mmi1Name(uint32_t op) { return opcodeName(kMmi1List, subFunction(op), op); }
OpcodeName mmi2Name(uint32_t op) { return opcodeName(kMmi2List, subFunction(op), op); }
OpcodeName mmi3Name(uint32_t op) { return opcodeName(kMmi3List, subFunction(op), op); }

// The MMI map, by funct.
constexpr Opcode<GroupHandler> kMmiList[] = {
    subMap(8, executeMmi0, mmi0Name),          subMap(9, executeMmi2, mmi2Name),
    {16, mfhi1, "mfhi1", Operands::kRd},       {17, mthi1, "mthi1", Operands::kRs},
    {18, mflo1, "mflo1", Operands::kRd},       {19, mtlo1, "mtlo1", Operands::kRs},
    {24, mult1, "mult1", Operands::kMultiply}, subMap(40, executeMmi1, mmi1Name),
    subMap(41, executeMmi3, mmi3Name),
};
constexpr auto kMmiTable = dispatchTable<64>(kMmiList, refusedMmi);

}  // namespace

void executeMmi(uint32_t op) { kMmiTable[funct(op)](op); }
OpcodeName mmiName(uint32_t op) { return opcodeName(kMmiList, funct(op), op); }

}  // namespace r5900
