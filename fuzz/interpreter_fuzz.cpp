// Fuzz target: the interpreter on a random machine state and a few random instruction words. The
// input holds up to kCodeWords instruction words (placed in RAM at kCodeAddress), then the bytes
// of the registers (general purpose, HI/LO, FPU, COP0, vector unit), then micro memory. The machine
// runs at most kMaxSteps steps from kCodeAddress. A refusal of the emulated machine is a normal
// outcome (faults unwind here); a sanitizer report, a crash or a hang is not.
//
// Guest stores may change RAM anywhere and only the code page is reset between inputs (clearing
// 32 MiB each time would slow the fuzzer a hundredfold), so an input that reads RAM it did not
// write may behave differently after other inputs.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "cpu/fault.h"
#include "cpu/machine_state.h"
#include "cpu/step.h"

using r5900::allocateGuestMemory;
using r5900::machine;
using r5900::MachineFault;
using r5900::MachineState;
using r5900::stepInstruction;

namespace {

constexpr uint32_t kCodeAddress = 0x00100000;
constexpr size_t kCodeWords = 16;
constexpr int kMaxSteps = 64;

// Consumes up to sizeof(field) bytes from the input into `field`.
struct Reader {
  const uint8_t* data;
  size_t left;
  template <typename T>
  void fill(T& field) {
    const size_t n = std::min(sizeof field, left);
    std::memcpy(&field, data, n);
    data += n;
    left -= n;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (machine.ramBase == nullptr && !allocateGuestMemory()) return 0;
  // A fresh machine: registers and coprocessor state zero, memory bases and host services kept.
  uint8_t* const ram = machine.ramBase;
  uint8_t* const scratchpad = machine.scratchpadBase;
  machine = MachineState{};
  machine.ramBase = ram;
  machine.scratchpadBase = scratchpad;
  std::memset(ram + kCodeAddress, 0, 4096);

  Reader in{data, size};
  uint32_t code[kCodeWords] = {};
  in.fill(code);
  std::memcpy(ram + kCodeAddress, code, sizeof code);
  in.fill(machine.GPR);
  in.fill(machine.HI);
  in.fill(machine.LO);
  in.fill(machine.SA);
  in.fill(machine.FPR);
  in.fill(machine.fcc);
  machine.fcc &= 1;
  in.fill(machine.cop0);
  in.fill(machine.VF);
  in.fill(machine.VI);
  in.fill(machine.ACC);
  in.fill(machine.Q);
  in.fill(machine.mac);
  in.fill(machine.microMemory);
  in.fill(machine.vuDataMemory);

  machine.PC = kCodeAddress;
  try {
    for (int i = 0; i < kMaxSteps; ++i) {
      machine.GPR[0].lower = 0;
      stepInstruction();
    }
  } catch (const MachineFault&) {
  }
  return 0;
}
