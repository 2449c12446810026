// What the tests need of the system where Windows has nothing like it or does it otherwise.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#ifdef _WIN32
constexpr bool kWindows = true;
// The rest of the test checks what has no Windows meaning (signals, another user, FIFOs, resource
// limits, terminals): skipped there, with the reason.
#define SKIP_ON_WINDOWS(reason) GTEST_SKIP() << "no Windows meaning: " << (reason)
#else
constexpr bool kWindows = false;
#define SKIP_ON_WINDOWS(reason) static_cast<void>(0)
#endif

// Makes a FIFO at `path`; false where the system has none (Windows).
bool makeFifo(const std::filesystem::path& path);

// `actual` (a tool's stderr) with each system reason text that ends a line put as `expected` has
// it, where the rest of the line is the same: the tools end a failure's line with the system's own
// text, which on Windows is not the C library's. Elsewhere `actual` as it is.
std::string withReasonsOf(const std::string& actual, const std::string& expected);
