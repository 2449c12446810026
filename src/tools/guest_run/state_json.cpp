#include "state_json.h"

#include <cinttypes>
#include <cstdio>

using r5900::guestOutputAtLineStart;
using r5900::hostPointerOrNull;
using r5900::machine;
using r5900::Reg128;

namespace {

void printReg128(const Reg128& r) {
  std::printf("\"0x%016" PRIx64 "%016" PRIx64 "\"", r.upper, r.lower);
}

// A JSON array of 32-bit patterns, each a string of eight hexadecimal digits.
void printWords(const uint32_t* words, size_t count) {
  std::putchar('[');
  for (size_t i = 0; i < count; ++i) {
    std::printf("%s\"0x%08x\"", i > 0 ? "," : "", words[i]);
  }
  std::putchar(']');
}

// The coprocessors and the vector unit, after "mem".
void printCoprocessorState() {
  std::printf(",\"fpr\":");
  printWords(machine.FPR, 32);
  std::printf(",\"fcc\":%u,\"cop0\":[", unsigned{machine.fcc});
  for (int i = 0; i < 32; ++i) {
    std::printf("%s\"0x%016" PRIx64 "\"", i > 0 ? "," : "", machine.cop0[i]);
  }
  std::printf("],\"vf\":[");
  for (int i = 0; i < 32; ++i) {
    if (i > 0) std::putchar(',');
    printWords(machine.VF[i], 4);
  }
  std::printf("],\"acc\":");
  printWords(machine.ACC, 4);
  std::printf(",\"q\":\"0x%08x\",\"vi\":", machine.Q);
  printWords(machine.VI, 32);
  std::printf(",\"mac\":\"0x%04x\"", unsigned{machine.mac});
}

}  // namespace

void printState(uint64_t steps, const std::vector<Dump>& dumps) {
  if (!guestOutputAtLineStart()) {
    std::putchar('\n');
  }
  std::printf("{\"steps\":%" PRIu64 ",\"pc\":\"0x%08x\",\"gpr\":[", steps, machine.PC);
  for (int i = 0; i < 32; ++i) {
    if (i > 0) std::putchar(',');
    printReg128(machine.GPR[i]);
  }
  std::printf("],\"hi\":");
  printReg128(machine.HI);
  std::printf(",\"lo\":");
  printReg128(machine.LO);
  std::printf(",\"sa\":\"0x%08x\",\"mem\":[", machine.SA);
  for (size_t i = 0; i < dumps.size(); ++i) {
    const Dump& dump = dumps[i];
    std::printf("%s{\"addr\":\"0x%08x\",\"hex\":\"", i > 0 ? "," : "", dump.address);
    const uint8_t* p = dump.length > 0 ? hostPointerOrNull(dump.address, dump.length) : nullptr;
    for (uint32_t j = 0; j < dump.length; ++j) {
      std::printf("%02x", p[j]);
    }
    std::printf("\"}");
  }
  std::putchar(']');
  printCoprocessorState();
  std::printf("}\n");
}
