// Guest instructions per second through stepInstruction, on a loop that mixes ALU, load/store and
// branch instructions the way the lookup routines do.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "cpu/machine_state.h"
#include "cpu/step.h"

namespace {

using r5900::allocateGuestMemory;
using r5900::machine;
using r5900::stepInstruction;

constexpr uint32_t kCodeAddress = 0x00100000;
constexpr uint32_t kDataAddress = 0x00200000;

// Small encoders for the loop below (the benchmark needs no cross assembler).
constexpr uint32_t special(uint32_t rs, uint32_t rt, uint32_t rd, uint32_t sa, uint32_t funct) {
  return (rs << 21) | (rt << 16) | (rd << 11) | (sa << 6) | funct;
}
constexpr uint32_t immediate(uint32_t op, uint32_t rs, uint32_t rt, uint32_t imm) {
  return (op << 26) | (rs << 21) | (rt << 16) | (imm & 0xFFFF);
}

// Register numbers (o32 names).
constexpr uint32_t v0 = 2, a0 = 4, a1 = 5, t0 = 8, t1 = 9, t2 = 10, t3 = 11;

// for (a1 = count; a1 != 0; --a1) { t0 = data[a1 & 63]; v0 += t0 ^ (a1 << 2); data[..] = v0; }
const std::vector<uint32_t> kLoop = {
    immediate(0x0C, a1, t1, 63),      // loop: andi  t1, a1, 63
    special(0, t1, t1, 2, 0x00),      //       sll   t1, t1, 2
    special(a0, t1, t1, 0, 0x21),     //       addu  t1, a0, t1
    immediate(0x23, t1, t0, 0),       //       lw    t0, 0(t1)
    special(0, a1, t2, 2, 0x00),      //       sll   t2, a1, 2
    special(t0, t2, t3, 0, 0x26),     //       xor   t3, t0, t2
    special(v0, t3, v0, 0, 0x2D),     //       daddu v0, v0, t3
    immediate(0x2B, t1, v0, 0),       //       sw    v0, 0(t1)
    special(t0, v0, t2, 0, 0x2A),     //       slt   t2, t0, v0
    special(t3, t2, t3, 0, 0x0B),     //       movn  t3, t3, t2
    immediate(0x09, a1, a1, 0xFFFF),  //       addiu a1, a1, -1
    immediate(0x05, a1, 0, 0xFFF4),   //       bne   a1, zero, loop
    immediate(0x24, t1, t3, 1),       //       lbu   t3, 1(t1)   (delay slot)
    0,                                //       nop: the stop address
};
constexpr uint64_t kIterations = 100000;
constexpr uint64_t kInstructionsPerIteration = 13;  // the not-taken exit runs the slot alone

void BM_StepLoop(benchmark::State& state) {
  if (!allocateGuestMemory()) {
    state.SkipWithError("out of memory");
    return;
  }
  std::memcpy(machine.ramBase + kCodeAddress, kLoop.data(), kLoop.size() * 4);
  const uint32_t stop = kCodeAddress + static_cast<uint32_t>(kLoop.size() - 1) * 4;
  uint64_t steps = 0;
  for (auto _ : state) {
    machine.GPR[a0].lower = kDataAddress;
    machine.GPR[a1].lower = kIterations;
    machine.PC = kCodeAddress;
    do {
      machine.GPR[0].lower = 0;
      stepInstruction();
      ++steps;
    } while (machine.PC != stop);
  }
  benchmark::DoNotOptimize(machine.GPR[v0].lower);
  // Each top-level step of a taken branch runs two instructions.
  const double instructions = static_cast<double>(state.iterations()) *
                              static_cast<double>(kIterations * kInstructionsPerIteration);
  state.counters["guest_instructions_per_second"] =
      benchmark::Counter(instructions, benchmark::Counter::kIsRate);
  state.counters["top_level_steps"] =
      static_cast<double>(steps) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_StepLoop)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
