// The process and its machine: the cores it may use, the allocator's handling of freed memory,
// whether a standard stream is a terminal, its id.
#pragma once

#include <cstddef>
#include <cstdint>

// The cores this process may run on: those the scheduler allows that are online (at least 1).
unsigned coreCount();

// Freed heap memory up to `keep` bytes stays in the process rather than going back to the kernel,
// and only blocks of `ownPages` bytes or more get pages of their own. Where the allocator cannot
// be tuned, nothing.
void keepFreedMemory(size_t keep, size_t ownPages);

enum class StandardStream : uint8_t { Output, Error };
bool isTerminal(StandardStream stream);

int processId();
