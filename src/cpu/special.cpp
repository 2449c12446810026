// SPECIAL (primary opcode 0): register arithmetic, shifts, HI/LO/SA moves, conditional moves,
// multiply and divide, jumps through a register, SYSCALL and BREAK. Only the lower 64 bits of the
// general registers are read or written.
#include <cstdint>

#include "cpu/fault.h"
#include "cpu/step.h"

namespace r5900 {

namespace {

uint64_t s64(uint32_t op) { return gprLower(rs(op)); }
uint64_t t64(uint32_t op) { return gprLower(rt(op)); }
uint32_t s32(uint32_t op) { return static_cast<uint32_t>(gprLower(rs(op))); }
uint32_t t32(uint32_t op) { return static_cast<uint32_t>(gprLower(rt(op))); }
// Writes rd and hands back the address of the next instruction.
uint32_t setRd(uint32_t op, uint32_t pc, uint64_t value) {
  gprLower(rd(op)) = value;
  return pc;
}
uint32_t arithmeticShift32(uint32_t value, uint64_t amount) {
  return static_cast<uint32_t>(static_cast<int32_t>(value) >> amount);
}
uint64_t arithmeticShift64(uint64_t value, uint64_t amount) {
  return static_cast<uint64_t>(static_cast<int64_t>(value) >> amount);
}

// Shifts of the low word give a 32-bit result, sign-extended; the variable forms use bits 4..0
// of rs, the doubleword forms bits 5..0.
uint32_t sll(uint32_t op, uint32_t pc) { return setRd(op, pc, signExtend32(t32(op) << sa(op))); }
uint32_t srl(uint32_t op, uint32_t pc) { return setRd(op, pc, signExtend32(t32(op) >> sa(op))); }
uint32_t sra(uint32_t op, uint32_t pc) {
  return setRd(op, pc, signExtend32(arithmeticShift32(t32(op), sa(op))));
}
uint32_t sllv(uint32_t op, uint32_t pc) {
  return setRd(op, pc, signExtend32(t32(op) << (s64(op) & 31)));
}
uint32_t srlv(uint32_t op, uint32_t pc) {
  return setRd(op, pc, signExtend32(t32(op) >> (s64(op) & 31)));
}
uint32_t srav(uint32_t op, uint32_t pc) {
  return setRd(op, pc, signExtend32(arithmeticShift32(t32(op), s64(op) & 31)));
}
uint32_t dsllv(uint32_t op, uint32_t pc) { return setRd(op, pc, t64(op) << (s64(op) & 63)); }
uint32_t dsrav(uint32_t op, uint32_t pc) {
  return setRd(op, pc, arithmeticShift64(t64(op), s64(op) & 63));
}
uint32_t dsll(uint32_t op, uint32_t pc) { return setRd(op, pc, t64(op) << sa(op)); }
uint32_t dsrl(uint32_t op, uint32_t pc) { return setRd(op, pc, t64(op) >> sa(op)); }
uint32_t dsll32(uint32_t op, uint32_t pc) { return setRd(op, pc, t64(op) << (sa(op) + 32)); }
uint32_t dsrl32(uint32_t op, uint32_t pc) { return setRd(op, pc, t64(op) >> (sa(op) + 32)); }
uint32_t dsra32(uint32_t op, uint32_t pc) {
  return setRd(op, pc, arithmeticShift64(t64(op), sa(op) + 32));
}

// A register jump runs its delay slot first; JALR then links, and only then is rs read, so a
// JALR whose rd equals rs jumps to its own return address.
uint32_t jr(uint32_t op, uint32_t pc) {
  executeDelaySlot(pc);
  return s32(op);
}
uint32_t jalr(uint32_t op, uint32_t pc) {
  gprLower(rd(op)) = signExtend32(executeDelaySlot(pc));
  return s32(op);
}

uint32_t movz(uint32_t op, uint32_t pc) { return t64(op) == 0 ? setRd(op, pc, s64(op)) : pc; }
uint32_t movn(uint32_t op, uint32_t pc) { return t64(op) != 0 ? setRd(op, pc, s64(op)) : pc; }

uint32_t syscall(uint32_t /*op*/, uint32_t pc) {
  const auto service = static_cast<int32_t>(gprLower(3));  // v1 names the service
  guestPrintf("SYSCALL[%d]\n", service);
  if (service == 122) {
    gprLower(2) = 255;
    return pc;
  }
  if (service == 117) {
    guestPrintf("PRINT!\n");
  }
  machine.cop0[13] = 0x20;                  // Cause: ExcCode 8, system call
  machine.cop0[14] = signExtend32(pc - 4);  // EPC: the SYSCALL itself
  return 0;                                 // the exception vector of this machine
}

// BREAK n calls host service n (the 20-bit code in bits 25..6), then returns to the guest's ra.
uint32_t breakToHostService(uint32_t op, uint32_t pc) {
  const uint32_t code = code20(op);
  const HostService service =
      code < kHostServiceCount ? machine.hostServices[code].service : nullptr;
  if (service == nullptr) {
    machineFault("No host service registered for BREAK %X\n", code);
  }
  machine.PC = pc;  // a service sees the whole machine state
  service();
  return static_cast<uint32_t>(gprLower(31));
}

uint32_t sync(uint32_t /*op*/, uint32_t pc) { return pc; }

uint32_t mfhi(uint32_t op, uint32_t pc) { return setRd(op, pc, machine.HI.lower); }
uint32_t mflo(uint32_t op, uint32_t pc) { return setRd(op, pc, machine.LO.lower); }
uint32_t mthi(uint32_t op, uint32_t pc) {
  machine.HI.lower = s64(op);
  return pc;
}
uint32_t mtlo(uint32_t op, uint32_t pc) {
  machine.LO.lower = s64(op);
  return pc;
}
uint32_t mfsa(uint32_t op, uint32_t pc) { return setRd(op, pc, machine.SA); }
uint32_t mtsa(uint32_t op, uint32_t pc) {
  machine.SA = s32(op);
  return pc;
}

// MULT: the signed 64-bit product of the low words; LO and HI get its halves, sign-extended, and
// the R5900 also writes the new LO to rd.
uint32_t mult(uint32_t op, uint32_t pc) {
  const int64_t product =
      int64_t{static_cast<int32_t>(s32(op))} * int64_t{static_cast<int32_t>(t32(op))};
  machine.LO.lower = signExtend32(static_cast<uint32_t>(product));
  machine.HI.lower = signExtend32(static_cast<uint32_t>(static_cast<uint64_t>(product) >> 32));
  return setRd(op, pc, machine.LO.lower);
}

// 32-bit signed division as the hardware leaves it, including the cases the quotient cannot
// express: x / 0 gives LO = -1 (x >= 0) or 1 (x < 0) and HI = x; INT32_MIN / -1 gives
// LO = INT32_MIN and HI = 0.
uint32_t div(uint32_t op, uint32_t pc) {
  const auto dividend = static_cast<int32_t>(s32(op));
  const auto divisor = static_cast<int32_t>(t32(op));
  int32_t quotient = 0;
  int32_t remainder = 0;
  if (divisor == 0) {
    quotient = dividend >= 0 ? -1 : 1;
    remainder = dividend;
  } else if (dividend == INT32_MIN && divisor == -1) {
    quotient = INT32_MIN;
    remainder = 0;
  } else {
    quotient = dividend / divisor;
    remainder = dividend % divisor;
  }
  machine.LO.lower = signExtend32(static_cast<uint32_t>(quotient));
  machine.HI.lower = signExtend32(static_cast<uint32_t>(remainder));
  return pc;
}
// x / 0 gives LO = 0xFFFFFFFF and HI = x.
uint32_t divu(uint32_t op, uint32_t pc) {
  const uint32_t dividend = s32(op);
  const uint32_t divisor = t32(op);
  machine.LO.lower = signExtend32(divisor == 0 ? 0xFFFFFFFF : dividend / divisor);
  machine.HI.lower = signExtend32(divisor == 0 ? dividend : dividend % divisor);
  return pc;
}

// ADD and SUB have no overflow trap here: they are exactly ADDU and SUBU.
uint32_t addu(uint32_t op, uint32_t pc) { return setRd(op, pc, signExtend32(s32(op) + t32(op))); }
uint32_t subu(uint32_t op, uint32_t pc) { return setRd(op, pc, signExtend32(s32(op) - t32(op))); }
uint32_t daddu(uint32_t op, uint32_t pc) { return setRd(op, pc, s64(op) + t64(op)); }
uint32_t dsubu(uint32_t op, uint32_t pc) { return setRd(op, pc, s64(op) - t64(op)); }
uint32_t andOp(uint32_t op, uint32_t pc) { return setRd(op, pc, s64(op) & t64(op)); }
uint32_t orOp(uint32_t op, uint32_t pc) { return setRd(op, pc, s64(op) | t64(op)); }
uint32_t xorOp(uint32_t op, uint32_t pc) { return setRd(op, pc, s64(op) ^ t64(op)); }
uint32_t nor(uint32_t op, uint32_t pc) { return setRd(op, pc, ~(s64(op) | t64(op))); }
uint32_t slt(uint32_t op, uint32_t pc) {
  return setRd(op, pc, static_cast<int64_t>(s64(op)) < static_cast<int64_t>(t64(op)) ? 1 : 0);
}
uint32_t sltu(uint32_t op, uint32_t pc) { return setRd(op, pc, s64(op) < t64(op) ? 1 : 0); }

[[noreturn]] uint32_t refused(uint32_t op, uint32_t /*pc*/) {
  machineFault("Unknown special opcode %X!\n", funct(op));
}

// REGIMM (primary opcode 1), by rt: branches on the sign of rs, and MTSAH.
int64_t rsValue(uint32_t op) { return static_cast<int64_t>(gprLower(rs(op))); }
uint32_t bltz(uint32_t op, uint32_t pc) { return branch(op, pc, rsValue(op) < 0, false); }
uint32_t bgez(uint32_t op, uint32_t pc) { return branch(op, pc, rsValue(op) >= 0, false); }
uint32_t bltzl(uint32_t op, uint32_t pc) { return branch(op, pc, rsValue(op) < 0, true); }
uint32_t bgezl(uint32_t op, uint32_t pc) { return branch(op, pc, rsValue(op) >= 0, true); }
// MTSAH: a halfword shift amount, 16 bits per step.
uint32_t mtsah(uint32_t op, uint32_t pc) {
  machine.SA = ((static_cast<uint32_t>(rsValue(op)) ^ imm16(op)) & 3) * 16;
  return pc;
}
[[noreturn]] uint32_t refusedRegimm(uint32_t op, uint32_t /*pc*/) {
  machineFault("Unknown REGIMM opcode %X!\n", op & 0x1F0000);
}

// The SPECIAL map, by funct. ADD and SUB take ADDU's and SUBU's handlers (no overflow trap);
// DSRLV, MULTU, DADD, DSUB, DSRA and the traps are not listed, so they are refused.
constexpr Opcode<InstructionHandler> kSpecialList[] = {
    {0x00, sll, "sll", Operands::kRdRtSa},
    {0x02, srl, "srl", Operands::kRdRtSa},
    {0x03, sra, "sra", Operands::kRdRtSa},
    {0x04, sllv, "sllv", Operands::kRdRtRs},
    {0x06, srlv, "srlv", Operands::kRdRtRs},
    {0x07, srav, "srav", Operands::kRdRtRs},
    {0x08, jr, "jr", Operands::kRs},
    {0x09, jalr, "jalr", Operands::kJalr},
    {0x0A, movz, "movz", Operands::kRdRsRt},
    {0x0B, movn, "movn", Operands::kRdRsRt},
    {0x0C, syscall, "syscall", Operands::kSyscall},
    {0x0D, breakToHostService, "break", Operands::kBreak},
    {0x0F, sync, "sync", Operands::kSync},
    {0x10, mfhi, "mfhi", Operands::kRd},
    {0x11, mthi, "mthi", Operands::kRs},
    {0x12, mflo, "mflo", Operands::kRd},
    {0x13, mtlo, "mtlo", Operands::kRs},
    {0x14, dsllv, "dsllv", Operands::kRdRtRs},
    {0x17, dsrav, "dsrav", Operands::kRdRtRs},
    {0x18, mult, "mult", Operands::kMultiply},
    {0x1A, div, "div", Operands::kRdRsRt},
    {0x1B, divu, "divu", Operands::kRdRsRt},
    {0x20, addu, "add", Operands::kRdRsRt},
    {0x21, addu, "addu", Operands::kRdRsRt},
    {0x22, subu, "sub", Operands::kRdRsRt},
    {0x23, subu, "subu", Operands::kRdRsRt},
    {0x24, andOp, "and", Operands::kRdRsRt},
    {0x25, orOp, "or", Operands::kRdRsRt},
    {0x26, xorOp, "xor", Operands::kRdRsRt},
    {0x27, nor, "nor", Operands::kRdRsRt},
    {0x28, mfsa, "mfsa", Operands::kRd},
    {0x29, mtsa, "mtsa", Operands::kRs},
    {0x2A, slt, "slt", Operands::kRdRsRt},
    {0x2B, sltu, "sltu", Operands::kRdRsRt},
    {0x2D, daddu, "daddu", Operands::kRdRsRt},
    {0x2F, dsubu, "dsubu", Operands::kRdRsRt},
    {0x38, dsll, "dsll", Operands::kRdRtSa},
    {0x3A, dsrl, "dsrl", Operands::kRdRtSa},
    {0x3C, dsll32, "dsll32", Operands::kRdRtSa},
    {0x3E, dsrl32, "dsrl32", Operands::kRdRtSa},
    {0x3F, dsra32, "dsra32", Operands::kRdRtSa},
};

// MTSAH is the only REGIMM instruction that is no branch; BLTZAL and the traps are refused.
constexpr Opcode<InstructionHandler> kRegimmList[] = {
    {0x00, bltz, "bltz", Operands::kRsBranch},   {0x01, bgez, "bgez", Operands::kRsBranch},
    {0x02, bltzl, "bltzl", Operands::kRsBranch}, {0x03, bgezl, "bgezl", Operands::kRsBranch},
    {0x19, mtsah, "mtsah", Operands::kRsSigned},
};
constexpr auto kRegimmTable = dispatchTable<32>(kRegimmList, refusedRegimm);

}  // namespace

// The instruction step calls through the SPECIAL map directly.
constexpr std::array<InstructionHandler, 64> kSpecialTable =
    dispatchTable<64>(kSpecialList, refused);

uint32_t executeSpecial(uint32_t op, uint32_t pc) { return kSpecialTable[funct(op)](op, pc); }
uint32_t executeRegimm(uint32_t op, uint32_t pc) { return kRegimmTable[rt(op)](op, pc); }

OpcodeName specialName(uint32_t op) { return opcodeName(kSpecialList, funct(op), op); }
OpcodeName regimmName(uint32_t op) { return opcodeName(kRegimmList, rt(op), op); }

}  // namespace r5900
