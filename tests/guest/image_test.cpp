// The committed guest code image: it is what the assembly source assembles to, it holds only the
// instructions and registers the lookup routines may use, and its fixed words sit where the
// bridge expects them.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <set>
#include <sstream>

#include "cpu/decode.h"
#include "guest/bridge.h"
#include "guest/guest_image.h"
#include "support/assembler.h"

namespace {

uint32_t imageWord(uint32_t address) {
  uint32_t word = 0;
  std::memcpy(&word, kGuestCodeImage + (address - kGuestCodeAddress), 4);
  return word;
}

TEST(GuestImage, IsTheAssembledSource) {
  std::ifstream in(std::string(PROJECT_SOURCE_DIR) + "/src/guest/lookup_routines.s");
  ASSERT_TRUE(in) << "cannot read the assembly source";
  std::stringstream source;
  source << in.rdbuf();
  const std::vector<uint8_t> bytes = assemble(source.str());
  ASSERT_EQ(bytes.size(), kGuestCodeImageSize);
  EXPECT_EQ(std::memcmp(bytes.data(), kGuestCodeImage, kGuestCodeImageSize), 0)
      << "src/guest/guest_image.cpp is stale: run scripts/assemble-guest-image";
}

// Only these instructions, and registers zero, v0, v1, a0-a3 and t0-t5 (and ra, read by jr ra).
TEST(GuestImage, UsesOnlyTheAllowedInstructionsAndRegisters) {
  // SLL (and nop), SRL, SRA, MOVZ, MOVN, ADDU, SUBU, OR, XOR, SLT, DADDU
  const std::set<uint32_t> functs = {0x00, 0x02, 0x03, 0x0A, 0x0B, 0x21,
                                     0x23, 0x25, 0x26, 0x2A, 0x2D};
  // BEQ, BNE, ADDIU, SLTI, ANDI, ORI, LUI, BNEL, LW, LBU
  const std::set<uint32_t> opcodes = {0x04, 0x05, 0x09, 0x0A, 0x0C, 0x0D, 0x0F, 0x15, 0x23, 0x24};
  const auto allowed = [](uint32_t r) { return r == 0 || (r >= 2 && r <= 13); };
  for (uint32_t offset = 0; offset < kGuestCodeImageSize; offset += 4) {
    const uint32_t op = imageWord(kGuestCodeAddress + offset);
    SCOPED_TRACE(testing::Message() << "word " << std::hex << op << " at offset " << offset);
    if (op == 0x03E00008) continue;  // jr ra
    const bool special = opcode(op) == 0;
    EXPECT_TRUE(special ? functs.count(funct(op)) > 0 : opcodes.count(opcode(op)) > 0);
    EXPECT_TRUE(allowed(rs(op)) && allowed(rt(op)) && (!special || allowed(rd(op))));
  }
}

// Every routine returns with jr ra (and a nop in its delay slot) where the bridge stops a call.
TEST(GuestImage, ReturnsAreWhereTheBridgeExpectsThem) {
  for (const GuestRoutine& r :
       {kQueryEntryStoredLength, kQueryEntryLength, kQueryEntrySector, kQueryEntryIsPlain}) {
    EXPECT_EQ(imageWord(r.returnAddress), 0x03E00008u) << std::hex << r.returnAddress;
    EXPECT_EQ(imageWord(r.returnAddress + 4), 0u);
    EXPECT_NE(imageWord(r.entry), 0u);
  }
}

}  // namespace
