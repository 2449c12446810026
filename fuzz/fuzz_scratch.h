// A fuzz target's scratch folder (on tmpfs where there is one, removed at exit) and extraction
// events that go nowhere: only crashes, sanitizer reports and the target's own aborts count.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

#include "extract/extractor.h"

inline std::filesystem::path makeScratch(const char* name) {
  static std::filesystem::path scratch;
  const char* base = std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : "/tmp";
  std::string path = std::string(base) + "/" + name + "-XXXXXX";
  if (mkdtemp(path.data()) == nullptr) std::abort();
  scratch = path;
  std::atexit([] { std::filesystem::remove_all(scratch); });
  return scratch;
}

class QuietEvents : public ExtractEvents {
  void extracting(const std::string&) override {}
  void unsupported(const std::string&) override {}
  void problem(const std::string&, EntryProblem, const std::string&) override {}
  void failure(const Error&) override {}
};
