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
void setRd(uint32_t op, uint64_t value) { gprLower(rd(op)) = value; }
uint32_t arithmeticShift32(uint32_t value, uint64_t amount) {
  return static_cast<uint32_t>(static_cast<int32_t>(value) >> amount);
}
uint64_t arithmeticShift64(uint64_t value, uint64_t amount) {
  return static_cast<uint64_t>(static_cast<int64_t>(value) >> amount);
}

// MULT: the signed 64-bit product of the low words; LO and HI get its halves, sign-extended, and
// the R5900 also writes the new LO to rd.
void multiply(uint32_t op) {
  const int64_t product =
      int64_t{static_cast<int32_t>(s32(op))} * int64_t{static_cast<int32_t>(t32(op))};
  machine.LO.lower = signExtend32(static_cast<uint32_t>(product));
  machine.HI.lower = signExtend32(static_cast<uint32_t>(static_cast<uint64_t>(product) >> 32));
  setRd(op, machine.LO.lower);
}

// A register jump runs its delay slot first; JALR then links, and only then is rs read, so a
// JALR whose rd equals rs jumps to its own return address.
[[gnu::noinline]] uint32_t jumpRegister(uint32_t op, uint32_t pc, bool link) {
  const uint32_t afterSlot = executeAt(pc);
  if (link) {
    gprLower(rd(op)) = signExtend32(afterSlot);
  }
  return static_cast<uint32_t>(gprLower(rs(op)));
}

[[gnu::noinline]] uint32_t syscall(uint32_t pc) {
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

[[gnu::noinline]] uint32_t breakToHostService(uint32_t op, uint32_t pc) {
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

// 32-bit signed division as the hardware leaves it, including the cases the quotient cannot
// express: x / 0 gives LO = -1 (x >= 0) or 1 (x < 0) and HI = x; INT32_MIN / -1 gives
// LO = INT32_MIN and HI = 0.
void divide(int32_t dividend, int32_t divisor) {
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
}

void divideUnsigned(uint32_t dividend, uint32_t divisor) {
  const uint32_t quotient = divisor == 0 ? 0xFFFFFFFF : dividend / divisor;
  const uint32_t remainder = divisor == 0 ? dividend : dividend % divisor;
  machine.LO.lower = signExtend32(quotient);
  machine.HI.lower = signExtend32(remainder);
}

}  // namespace

// Operands are read inside each case, after the dispatch, so that no value stays live across it.
uint32_t executeSpecial(uint32_t op, uint32_t pc) {
  switch (funct(op)) {
    case 0:  // SLL
      setRd(op, signExtend32(t32(op) << sa(op)));
      return pc;
    case 1: break;
    case 2:  // SRL
      setRd(op, signExtend32(t32(op) >> sa(op)));
      return pc;
    case 3:  // SRA
      setRd(op, signExtend32(arithmeticShift32(t32(op), sa(op))));
      return pc;
    case 4:  // SLLV: only bits 4..0 of rs count
      setRd(op, signExtend32(t32(op) << (s64(op) & 31)));
      return pc;
    case 5: break;
    case 6:  // SRLV
      setRd(op, signExtend32(t32(op) >> (s64(op) & 31)));
      return pc;
    case 7:  // SRAV
      setRd(op, signExtend32(arithmeticShift32(t32(op), s64(op) & 31)));
      return pc;
    case 8:  // JR
      return jumpRegister(op, pc, false);
    case 9:  // JALR
      return jumpRegister(op, pc, true);
    case 10:  // MOVZ
      if (t64(op) == 0) setRd(op, s64(op));
      return pc;
    case 11:  // MOVN
      if (t64(op) != 0) setRd(op, s64(op));
      return pc;
    case 12:  // SYSCALL
      return syscall(pc);
    case 13:  // BREAK
      return breakToHostService(op, pc);
    case 14: break;
    case 15:  // SYNC
      return pc;
    case 16:  // MFHI
      setRd(op, machine.HI.lower);
      return pc;
    case 17:  // MTHI
      machine.HI.lower = s64(op);
      return pc;
    case 18:  // MFLO
      setRd(op, machine.LO.lower);
      return pc;
    case 19:  // MTLO
      machine.LO.lower = s64(op);
      return pc;
    case 20:  // DSLLV: bits 5..0 of rs count
      setRd(op, t64(op) << (s64(op) & 63));
      return pc;
    case 21: break;
    case 22: break;  // DSRLV
    case 23:         // DSRAV
      setRd(op, arithmeticShift64(t64(op), s64(op) & 63));
      return pc;
    case 24:  // MULT
      multiply(op);
      return pc;
    case 25: break;  // MULTU
    case 26:         // DIV
      divide(static_cast<int32_t>(s32(op)), static_cast<int32_t>(t32(op)));
      return pc;
    case 27:  // DIVU
      divideUnsigned(s32(op), t32(op));
      return pc;
    case 28: break;
    case 29: break;
    case 30: break;
    case 31: break;
    case 32:  // ADD: no overflow trap here, exactly ADDU
    case 33:  // ADDU
      setRd(op, signExtend32(s32(op) + t32(op)));
      return pc;
    case 34:  // SUB: exactly SUBU
    case 35:  // SUBU
      setRd(op, signExtend32(s32(op) - t32(op)));
      return pc;
    case 36:  // AND
      setRd(op, s64(op) & t64(op));
      return pc;
    case 37:  // OR
      setRd(op, s64(op) | t64(op));
      return pc;
    case 38:  // XOR
      setRd(op, s64(op) ^ t64(op));
      return pc;
    case 39:  // NOR
      setRd(op, ~(s64(op) | t64(op)));
      return pc;
    case 40:  // MFSA
      setRd(op, machine.SA);
      return pc;
    case 41:  // MTSA
      machine.SA = s32(op);
      return pc;
    case 42:  // SLT
      setRd(op, static_cast<int64_t>(s64(op)) < static_cast<int64_t>(t64(op)) ? 1 : 0);
      return pc;
    case 43:  // SLTU
      setRd(op, s64(op) < t64(op) ? 1 : 0);
      return pc;
    case 44: break;  // DADD
    case 45:         // DADDU
      setRd(op, s64(op) + t64(op));
      return pc;
    case 46: break;  // DSUB
    case 47:         // DSUBU
      setRd(op, s64(op) - t64(op));
      return pc;
    case 48: break;  // TGE
    case 49: break;  // TGEU
    case 50: break;  // TLT
    case 51: break;  // TLTU
    case 52: break;  // TEQ
    case 53: break;
    case 54: break;  // TNE
    case 55: break;
    case 56:  // DSLL
      setRd(op, t64(op) << sa(op));
      return pc;
    case 57: break;
    case 58:  // DSRL
      setRd(op, t64(op) >> sa(op));
      return pc;
    case 59: break;  // DSRA
    case 60:         // DSLL32
      setRd(op, t64(op) << (sa(op) + 32));
      return pc;
    case 61: break;
    case 62:  // DSRL32
      setRd(op, t64(op) >> (sa(op) + 32));
      return pc;
    case 63:  // DSRA32
      setRd(op, arithmeticShift64(t64(op), sa(op) + 32));
      return pc;
    default: break;
  }
  machineFault("Unknown special opcode %X!\n", funct(op));
}

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
