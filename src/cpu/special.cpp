// SPECIAL (primary opcode 0): register arithmetic, shifts, HI/LO/SA moves, conditional moves,
// multiply and divide, jumps through a register, SYSCALL and BREAK. Only the lower 64 bits of the
// general registers are read or written.
#include <cstdint>

#include "cpu/fault.h"
#include "cpu/step.h"

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
  const uint32_t code = (op >> 6) & 0xFFFFF;
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

}  // namespace

// The SPECIAL map by funct, every slot listed; the instruction step calls through it directly.
// clang-format off
constexpr InstructionHandler kSpecialTable[64] = {
  // 0-7:   SLL, -, SRL, SRA, SLLV, -, SRLV, SRAV
  sll,     refused, srl,     sra,     sllv,    refused,            srlv,    srav,
  // 8-15:  JR, JALR, MOVZ, MOVN, SYSCALL, BREAK, -, SYNC
  jr,      jalr,    movz,    movn,    syscall, breakToHostService, refused, sync,
  // 16-23: MFHI, MTHI, MFLO, MTLO, DSLLV, -, DSRLV (refused), DSRAV
  mfhi,    mthi,    mflo,    mtlo,    dsllv,   refused,            refused, dsrav,
  // 24-31: MULT, MULTU (refused), DIV, DIVU, -, -, -, -
  mult,    refused, div,     divu,    refused, refused,            refused, refused,
  // 32-39: ADD, ADDU, SUB, SUBU, AND, OR, XOR, NOR
  addu,    addu,    subu,    subu,    andOp,   orOp,               xorOp,   nor,
  // 40-47: MFSA, MTSA, SLT, SLTU, DADD (refused), DADDU, DSUB (refused), DSUBU
  mfsa,    mtsa,    slt,     sltu,    refused, daddu,              refused, dsubu,
  // 48-55: the trap instructions, all refused
  refused, refused, refused, refused, refused, refused,            refused, refused,
  // 56-63: DSLL, -, DSRL, DSRA (refused), DSLL32, -, DSRL32, DSRA32
  dsll,    refused, dsrl,    refused, dsll32,  refused,            dsrl32,  dsra32,
};
// clang-format on
static_assert(kSpecialTable[0x00] == sll && kSpecialTable[0x06] == srlv &&
              kSpecialTable[0x08] == jr && kSpecialTable[0x0C] == syscall &&
              kSpecialTable[0x18] == mult && kSpecialTable[0x21] == addu &&
              kSpecialTable[0x2D] == daddu && kSpecialTable[0x3B] == refused &&
              kSpecialTable[0x3F] == dsra32);

uint32_t executeSpecial(uint32_t op, uint32_t pc) { return kSpecialTable[funct(op)](op, pc); }

uint32_t executeRegimm(uint32_t op, uint32_t pc) {
  const auto s = static_cast<int64_t>(gprLower(rs(op)));
  switch (rt(op)) {
    case 0x00:  // BLTZ
      return branch(op, pc, s < 0, false);
    case 0x01:  // BGEZ
      return branch(op, pc, s >= 0, false);
    case 0x02:  // BLTZL
      return branch(op, pc, s < 0, true);
    case 0x03:  // BGEZL
      return branch(op, pc, s >= 0, true);
    case 0x19:  // MTSAH: a halfword shift amount, 16 bits per step
      machine.SA = ((static_cast<uint32_t>(s) ^ imm16(op)) & 3) * 16;
      return pc;
    default: break;
  }
  machineFault("Unknown REGIMM opcode %X!\n", op & 0x1F0000);
}
