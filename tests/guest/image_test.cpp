// The committed guest code image: it is what the assembly source assembles to, it holds only the
// instructions and registers the lookup routines may use, and its fixed words sit where the
// bridge expects them.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
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

// Registers the routines may touch: zero, v0, v1, a0-a3, t0-t5 (and ra, read by jr only).
bool allowedRegister(uint32_t r) { return r == 0 || (r >= 2 && r <= 13); }

TEST(GuestImage, UsesOnlyTheAllowedInstructionsAndRegisters) {
  for (uint32_t offset = 0; offset < kGuestCodeImageSize; offset += 4) {
    const uint32_t op = imageWord(kGuestCodeAddress + offset);
    SCOPED_TRACE(testing::Message() << "word " << std::hex << op << " at offset " << offset);
    if (op == 0x03E00008) continue;  // jr ra
    bool allowed = false;
    bool usesRd = false;
    switch (opcode(op)) {
      case 0x00:
        switch (funct(op)) {
          case 0x00:
          case 0x02:
          case 0x03:  // SLL (and nop), SRL, SRA
          case 0x21:
          case 0x23:
          case 0x2D:
          case 0x25:
          case 0x26:  // ADDU SUBU DADDU OR XOR
          case 0x2A:
          case 0x0A:
          case 0x0B:  // SLT MOVZ MOVN
            allowed = true;
            usesRd = true;
            break;
          default: break;
        }
        break;
      case 0x0F:
      case 0x23:
      case 0x24:  // LUI LW LBU
      case 0x04:
      case 0x05:
      case 0x15:  // BEQ BNE BNEL
      case 0x09:
      case 0x0A:
      case 0x0C:
      case 0x0D:  // ADDIU SLTI ANDI ORI
        allowed = true;
        break;
      default: break;
    }
    EXPECT_TRUE(allowed);
    EXPECT_TRUE(allowedRegister(rs(op)) && allowedRegister(rt(op)) &&
                (!usesRd || allowedRegister(rd(op))));
  }
}

TEST(GuestImage, FixedWordsAreInPlace) {
  for (const GuestRoutine& r :
       {kQueryEntryStoredLength, kQueryEntryLength, kQueryEntrySector, kQueryEntryIsPlain}) {
    EXPECT_EQ(imageWord(r.returnAddress), 0x03E00008u) << std::hex << r.returnAddress;  // jr ra
    EXPECT_EQ(imageWord(r.returnAddress + 4), 0u);  // its delay slot
    EXPECT_NE(imageWord(r.entry), 0u);
  }
  for (uint32_t address : {0x003F7B30U, 0x003F7B34U, 0x003F7CB4U, 0x003F7E1CU, 0x003F7EACU}) {
    EXPECT_EQ(imageWord(address), 0u) << std::hex << address;
  }
  for (uint32_t address = 0x003F7EB0; address < kGuestCodeAddress + kGuestCodeImageSize;
       address += 4) {
    EXPECT_EQ(imageWord(address), 0u) << std::hex << address;
  }
}

}  // namespace
