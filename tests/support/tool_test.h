// The end-to-end tests' fixture: a scratch folder with an output folder "out" in it and a place for
// an archive, where the build's archive-extract and archive-pack run (their paths come from the
// test executable's ARCHIVE_EXTRACT_PATH and ARCHIVE_PACK_PATH).
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "support/run_tool.h"
#include "support/scratch.h"

class ToolTest : public ::testing::Test {
 protected:
  ToolTest() { std::filesystem::create_directory(out()); }

  std::filesystem::path out() const { return dir / "out"; }
  void clearOut() const {
    // Under Wine a tool's files can stay open a moment after the wait for its end returned.
    std::error_code error;
    for (int attempt = 0; attempt < 200; ++attempt) {
      std::filesystem::remove_all(out(), error);
      if (!error) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_FALSE(error) << error.message();
    std::filesystem::create_directory(out());
  }
  std::string archive() const { return (dir / "archive.bin").string(); }
  // Why a tool's peak memory says little about the tool here; empty where it is the tool's.
  static std::string whyPeakMemoryIsNotTheTools() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__) || defined(_WIN32)
    return "a sanitizer's runtime, or Wine, takes memory of its own";
#else
    const char* preload = std::getenv("LD_PRELOAD");  // valgrind preloads its vgpreload_*.so
    return preload != nullptr && std::strstr(preload, "vgpreload") ? "valgrind takes memory" : "";
#endif
  }

  // archive-extract runs in out(), archive-pack in the scratch folder.
  Outcome extract(const std::vector<std::string>& args, const RunOptions& options = {}) const {
    return runTool(command(ARCHIVE_EXTRACT_PATH, args), out(), dir.path(), options);
  }
  Outcome pack(const std::vector<std::string>& args, const RunOptions& options = {}) const {
    return runTool(command(ARCHIVE_PACK_PATH, args), dir.path(), dir.path(), options);
  }
  // The tool's path, then `args`. (Built by appending: GCC's link-time optimisation misreads an
  // insert at the front of a vector of strings as reading past a short string.)
  static std::vector<std::string> command(const char* tool, const std::vector<std::string>& args) {
    std::vector<std::string> words;
    words.reserve(args.size() + 1);
    words.emplace_back(tool);
    words.insert(words.end(), args.begin(), args.end());
    return words;
  }

  ScratchFolder dir;
};
