// SPECIAL (primary opcode 0): register arithmetic, shifts, HI/LO/SA moves, conditional moves,
// multiply and divide, jumps through a register, SYSCALL and BREAK. Only the lower 64 bits of the
// general registers are read or written.
#include <cstdint>

#include "cpu/fault.h"
#include "cpu/step.h"

namespace {

// A register jump runs its delay slot first; JALR then links, and only then is rs read, so a
// JALR whose rd equals rs jumps to its own return address.
[[gnu::noinline]] void jumpRegister(uint32_t op, bool link) {
  stepInstruction();
  if (link) {
    gprLower(rd(op)) = signExtend32(machine.PC);
  }
  machine.PC = static_cast<uint32_t>(gprLower(rs(op)));
}

[[gnu::noinline]] void syscall() {
  const auto service = static_cast<int32_t>(gprLower(3));  // v1 names the service
  guestPrintf("SYSCALL[%d]\n", service);
  if (service == 122) {
    gprLower(2) = 255;
    return;
  }
  if (service == 117) {
    guestPrintf("PRINT!\n");
  }
  machine.cop0[13] = 0x20;                          // Cause: ExcCode 8, system call
  machine.cop0[14] = signExtend32(machine.PC - 4);  // EPC: the SYSCALL itself
  machine.PC = 0;
}

[[gnu::noinline]] void breakToHostService(uint32_t op) {
  const uint32_t code = (op >> 6) & 0xFFFFF;
  const HostService service =
      code < kHostServiceCount ? machine.hostServices[code].service : nullptr;
  if (service == nullptr) {
    machineFault("No host service registered for BREAK %X\n", code);
  }
  service();
  machine.PC = static_cast<uint32_t>(gprLower(31));
}

// 32-bit signed division as the hardware leaves it, including the cases the quotient cannot
// express: x / 0 gives LO = -1 (x >= 0) or 1 (x < 0) and HI = x; INT32_MIN / -1 gives
// LO = INT32_MIN and HI = 0.
[[gnu::noinline]] void divide(int32_t dividend, int32_t divisor) {
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

[[gnu::noinline]] void divideUnsigned(uint32_t dividend, uint32_t divisor) {
  const uint32_t quotient = divisor == 0 ? 0xFFFFFFFF : dividend / divisor;
  const uint32_t remainder = divisor == 0 ? dividend : dividend % divisor;
  machine.LO.lower = signExtend32(quotient);
  machine.HI.lower = signExtend32(remainder);
}

}  // namespace

void executeSpecial(uint32_t op) {
  const uint64_t s = gprLower(rs(op));
  const uint64_t t = gprLower(rt(op));
  const auto s32 = static_cast<uint32_t>(s);
  const auto t32 = static_cast<uint32_t>(t);
  uint64_t& d = gprLower(rd(op));
  const uint32_t shift = sa(op);
  switch (funct(op)) {
    case 0: d = signExtend32(t32 << shift); return;  // SLL
    case 1: break;
    case 2: d = signExtend32(t32 >> shift); return;  // SRL
    case 3:
      d = signExtend32(static_cast<uint32_t>(static_cast<int32_t>(t32) >> shift));
      return;                                           // SRA
    case 4: d = signExtend32(t32 << (s & 31)); return;  // SLLV
    case 5: break;
    case 6: d = signExtend32(t32 >> (s & 31)); return;  // SRLV
    case 7:
      d = signExtend32(static_cast<uint32_t>(static_cast<int32_t>(t32) >> (s & 31)));
      return;                                 // SRAV
    case 8: jumpRegister(op, false); return;  // JR
    case 9: jumpRegister(op, true); return;   // JALR
    case 10:
      if (t == 0) d = s;
      return;  // MOVZ
    case 11:
      if (t != 0) d = s;
      return;                                 // MOVN
    case 12: syscall(); return;               // SYSCALL
    case 13: breakToHostService(op); return;  // BREAK
    case 14: break;
    case 15: return;                        // SYNC
    case 16: d = machine.HI.lower; return;  // MFHI
    case 17: machine.HI.lower = s; return;  // MTHI
    case 18: d = machine.LO.lower; return;  // MFLO
    case 19: machine.LO.lower = s; return;  // MTLO
    case 20: d = t << (s & 63); return;     // DSLLV
    case 21: break;
    case 22: break;                                                                   // DSRLV
    case 23: d = static_cast<uint64_t>(static_cast<int64_t>(t) >> (s & 63)); return;  // DSRAV
    case 24: {  // MULT: the R5900 also writes LO to rd
      const int64_t product =
          static_cast<int64_t>(static_cast<int32_t>(s32)) * static_cast<int32_t>(t32);
      machine.LO.lower = signExtend32(static_cast<uint32_t>(product));
      machine.HI.lower = signExtend32(static_cast<uint32_t>(static_cast<uint64_t>(product) >> 32));
      d = machine.LO.lower;
      return;
    }
    case 25: break;                                                                 // MULTU
    case 26: divide(static_cast<int32_t>(s32), static_cast<int32_t>(t32)); return;  // DIV
    case 27: divideUnsigned(s32, t32); return;                                      // DIVU
    case 28:
    case 29:
    case 30:
    case 31: break;
    case 32:                                       // ADD: no overflow trap, exactly ADDU
    case 33: d = signExtend32(s32 + t32); return;  // ADDU
    case 34:                                       // SUB: exactly SUBU
    case 35: d = signExtend32(s32 - t32); return;  // SUBU
    case 36: d = s & t; return;                    // AND
    case 37: d = s | t; return;                    // OR
    case 38: d = s ^ t; return;                    // XOR
    case 39: d = ~(s | t); return;                 // NOR
    case 40: d = machine.SA; return;               // MFSA
    case 41: machine.SA = s32; return;             // MTSA
    case 42: d = static_cast<int64_t>(s) < static_cast<int64_t>(t) ? 1 : 0; return;  // SLT
    case 43: d = s < t ? 1 : 0; return;                                              // SLTU
    case 44: break;                                                                  // DADD
    case 45: d = s + t; return;                                                      // DADDU
    case 46: break;                                                                  // DSUB
    case 47: d = s - t; return;                                                      // DSUBU
    case 48:
    case 49:
    case 50:
    case 51:
    case 52:
    case 53:
    case 54:
    case 55: break;                   // traps
    case 56: d = t << shift; return;  // DSLL
    case 57: break;
    case 58: d = t >> shift; return;         // DSRL
    case 59: break;                          // DSRA
    case 60: d = t << (shift + 32); return;  // DSLL32
    case 61: break;
    case 62: d = t >> (shift + 32); return;                                               // DSRL32
    case 63: d = static_cast<uint64_t>(static_cast<int64_t>(t) >> (shift + 32)); return;  // DSRA32
    default: break;
  }
  machineFault("Unknown special opcode %X!\n", funct(op));
}

void executeRegimm(uint32_t op) {
  const auto s = static_cast<int64_t>(gprLower(rs(op)));
  switch (rt(op)) {
    case 0x00:
      if (s < 0) takeBranch(op);
      return;  // BLTZ
    case 0x01:
      if (s >= 0) takeBranch(op);
      return;   // BGEZ
    case 0x02:  // BLTZL
      if (s < 0)
        takeBranch(op);
      else
        skipDelaySlot();
      return;
    case 0x03:  // BGEZL
      if (s >= 0)
        takeBranch(op);
      else
        skipDelaySlot();
      return;
    case 0x19:  // MTSAH: a halfword shift amount, 16 bits per step
      machine.SA = ((static_cast<uint32_t>(s) ^ imm16(op)) & 3) * 16;
      return;
    default: break;
  }
  machineFault("Unknown REGIMM opcode %X!\n", op & 0x1F0000);
}
