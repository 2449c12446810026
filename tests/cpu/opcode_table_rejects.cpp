// Must not compile: the list's second slot, SECOND_SLOT, is 1 (listed already) or 8 (beyond the
// eight-slot table). tests/CMakeLists.txt builds it and looks for the reason in the compiler's
// message.
#include "cpu/opcode_table.h"

namespace {
void handler(uint32_t /*op*/) {}
constexpr r5900::Opcode<void (*)(uint32_t)> kList[] = {{1, handler, "a"},
                                                       {SECOND_SLOT, handler, "b"}};
}  // namespace

[[maybe_unused]] constexpr auto kTable = r5900::dispatchTable<8>(kList, handler);
