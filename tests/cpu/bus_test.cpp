// The address map, the bus accessors' fixed answers and the hardware-register stubs. Loads and
// stores of memory are the instruction tests' (the differential test compares the data area).
#include "cpu/bus.h"

#include "support/machine_fixture.h"

namespace r5900 {

namespace {

using BusTest = MachineTest;
constexpr const char* kRegisters = "Error: trying to directly access the registers memory !\n";

// RAM and its mirrors at 0x20000000, 0x80000000 and 0xA0000000, and the scratchpad, up to the
// last byte of each. An access that starts in an area and runs past its end names the first byte
// outside; the register space (0x10000000-0x13FFFFFF and its uncached mirror) has its own message.
TEST_F(BusTest, AddressMap) {
  EXPECT_EQ(translateAddress(0x01FFFFFF, 1), ram(0x1FFFFFF));
  EXPECT_EQ(translateAddress(0x20123450, 1), ram(0x123450));
  EXPECT_EQ(translateAddress(0x80123450, 1), ram(0x123450));
  EXPECT_EQ(translateAddress(0xA1FFFFFC, 4), ram(0x1FFFFFC));
  EXPECT_EQ(translateAddress(0x70003FF0, 16), machine.scratchpadBase + 0x3FF0);
  const struct {
    uint32_t address, size;
    const char* line;
  } cases[] = {{0x02000000, 1, "Access to unmapped memory 2000000\n"},
               {0x70004000, 1, "Access to unmapped memory 70004000\n"},
               {0xFFFFFFFF, 8, "Access to unmapped memory FFFFFFFF\n"},
               {0x01FFFFFE, 4, "Access to unmapped memory 2000000\n"},
               {0x81FFFFF9, 8, "Access to unmapped memory 82000000\n"},
               {0x70003FF8, 16, "Access to unmapped memory 70004000\n"},
               {0x10000000, 1, kRegisters},
               {0x13FFFFFF, 1, kRegisters},
               {0xB0000000, 4, kRegisters},
               {0xB3FFFFFF, 1, kRegisters}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    expectFault([&] { translateAddress(c.address, c.size); }, c.line);
  }
}

// Boot-ROM and I/O-processor locations answer, or drop a write, without reaching translateAddress
// (which would refuse every one of them); a 64-bit write has no such addresses.
TEST_F(BusTest, FixedAddressesAnswerWithoutMemory) {
  EXPECT_EQ(fetchHalfWord(0xBF803800), 0x000Au);
  EXPECT_EQ(fetchLongInt(0xBC0003C0), 0u);
  EXPECT_EQ(fetchDWord(0xBF80141C), 0u);
  EXPECT_EQ(fetchByte(0x1F402005), 0u);
  EXPECT_EQ(fetchByte(0xFF000000), 0u);
  writeHalfWord(0xBA000008, 1);
  writeHalfWord(0xBF801070, 1);
  writeLongInt(0xFFFFFFFF, 1);
  expectFault([] { writeDWord(0xFFFFFFF0, 1); }, "Access to unmapped memory FFFFFFF0\n");
}

// Only the low 16 bits select a general register, in either mirror; vector-unit memory answers
// its address, the GS privileged registers 0x2000; LD of a register is its word sign-extended.
TEST_F(BusTest, RegisterReadsByType) {
  EXPECT_EQ(fetchLongInt(0xB001F520), 0x1201u);  // D_ENABLER
  EXPECT_EQ(fetchLongInt(0x10001810), 1u);       // timer 3 MODE
  EXPECT_EQ(fetchLongInt(0xB1000010), 0xB1000010u);
  EXPECT_EQ(fetchLongInt(0x12001000), 0x2000u);
  writeLongInt(0x1000F010, 0x80000000);
  EXPECT_EQ(fetchDWord(0x1000F010), 0xFFFFFFFF80000000u);
}

TEST_F(BusTest, RegisterMapHasTheDocumentedEntries) {
  int reads = 0, constants = 0, shadows = 0, kept = 0, dropped = 0;
  for (uint32_t offset = 0; offset <= 0xFFFF; ++offset) {
    const RegisterReadEntry entry = registerReadEntry(offset);
    reads += entry.kind != RegisterRead::Refused;
    constants += entry.kind == RegisterRead::Constant;
    shadows += entry.kind == RegisterRead::Shadow;
    const RegisterWrite write = registerWriteKind(offset);
    kept += write == RegisterWrite::Kept;
    dropped += write == RegisterWrite::Dropped;
    EXPECT_EQ(entry.kind == RegisterRead::Shadow, shadowWord(offset) != nullptr);
  }
  EXPECT_EQ(reads, 28);
  EXPECT_EQ(constants, 14);  // 8 fixed values and 6 zero reads of channel registers and GIF_STAT
  EXPECT_EQ(shadows, 14);
  EXPECT_EQ(kept, 14);
  EXPECT_EQ(dropped, 108);
  EXPECT_EQ(registerWriteKind(0xD480), RegisterWrite::Dropped);  // channel 9 SADR
  EXPECT_EQ(registerWriteKind(0xD470), RegisterWrite::Refused);
}

// D_STAT: a set bit among 0..15 clears that bit, among 16..31 toggles it. CHCR bit 8 is the start
// bit: while the channel runs, a write reaches only that bit. 64-bit writes pass the low word.
TEST_F(BusTest, ShadowWordsAndMergeRules) {
  const struct {
    uint32_t address, before;
    uint64_t written;
    uint32_t after;
  } cases[] = {{0x1000E010, 0x00010007, 0x00030005, 0x00020002},  // D_STAT
               {0x1000C400, 0x00000100, 0x12345678, 0x00000000},  // CHCR running
               {0x1000C400, 0xFFFFFFFF, 0x00000000, 0xFFFFFEFF},
               {0x1000C400, 0x00000000, 0x12345678, 0x12345678},  // CHCR idle
               {0xB000F000, 0x0000000F, 0x00000003, 0x00000003},  // INTC_STAT
               {0x1000F010, 0, 0xAAAAAAAA00000042, 0x42}};        // INTC_MASK
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.address << " " << c.before);
    *shadowWord(c.address & 0xFFFF) = c.before;
    if (c.written > 0xFFFFFFFF) {
      writeDWord(c.address, c.written);
    } else {
      writeLongInt(c.address, static_cast<uint32_t>(c.written));
    }
    EXPECT_EQ(fetchLongInt(c.address), c.after);
  }
}

TEST_F(BusTest, DroppedWritesAndTheSerialPort) {
  writeLongInt(0x10000000, 5);           // timer 0 COUNT
  writeDWord(0x1000D480, 5);             // channel 9 SADR
  writeDWord(0x11000000, 5);             // vector-unit memory: dropped
  writeDWord(0x12000000, 5);             // GS privileged registers: dropped
  writeQWord(0x10004000, Reg128{1, 2});  // VIF0 FIFO
  writeQWord(0x11000000, Reg128{1, 2});
  const std::string serial = stdoutOf([] {
    writeByte(0x1000F180, 'A');
    writeByte(0xB000F180, '\n');
    writeQWord(0x12000000, Reg128{1, 2});  // printed, dropped, and the machine goes on
    writeByte(0x1000F180, 'B');
  });
  EXPECT_EQ(serial, "A\nUnhandled register type 2000000\nB");
}

// Each accessor's refusals: another register type, a general register it does not serve.
TEST_F(BusTest, RegisterRefusals) {
  const struct {
    const char* line;
    void (*access)();
  } cases[] = {
      {"Unhandled register type 1000000\n", [] { fetchByte(0x11000000); }},
      {"Unhandled general register F520 to fetch byte from\n", [] { fetchByte(0x1000F520); }},
      {"Unhandled register type 2000000\n", [] { fetchHalfWord(0x12000000); }},
      {"Unhandled general register F520 to fetch word from\n", [] { fetchHalfWord(0x1000F520); }},
      {"Unhandled general register F180 to fetch word from\n", [] { fetchLongInt(0x1000F180); }},
      {"Unsupported fetchQWordFromRegisters\n", [] { fetchQWord(0x11000000); }},
      {"Unsupported fetchQWordFromRegisters\n",
       [] {
         uint32_t vf[4];
         fetchVectorQWord(0x1000F520, vf);
       }},
      {"Unhandled register type 2000000\n", [] { writeLongInt(0xB2000000, 0); }},
      {"Unhandled register type 1000000\n", [] { writeByte(0x11000000, 0); }},
      {"Unhandled general register F520 to write byte to\n", [] { writeByte(0x1000F520, 0); }},
      {"Unhandled register type 1000000\n", [] { writeHalfWord(0x11000000, 0); }},
      {"Unhandled general register F520 to write half word to\n",
       [] { writeHalfWord(0x1000F520, 0); }},
      {"Unhandled general register F180 to write long int to\n", [] { writeDWord(0x1000F180, 0); }},
      {"Unhandled general register 4010 to write QWord to\n", [] { writeQWord(0x10004010, {}); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    expectFault(c.access, c.line);
  }
}

}  // namespace

}  // namespace r5900
