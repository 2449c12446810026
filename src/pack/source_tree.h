// The folder the packer reads: "models - X" and "category NNN" folders of NNNN.raw files, laid
// out as archive-extract writes them.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "archive/format.h"
#include "platform/file.h"

struct SourceTree {
  // The files by category, then by entry number.
  std::map<int32_t, std::map<int32_t, std::filesystem::path>> files;
  std::vector<std::string> skipped;  // "PATH: why", for what is neither
};

// Reads the folder's layout (not the files). Throws Error when a folder cannot be read.
SourceTree readSourceTree(const std::filesystem::path& source);

// A source file opened for reading: a regular file (a FIFO or a device is refused without blocking
// on it), with its size. Throws Error.
struct SourceFile {
  FileHandle file;
  uint64_t size;
};
SourceFile openSourceFile(const std::filesystem::path& path);

// The largest file the storage `method` can hold: a plain entry's length, or a compressed entry's
// expanded size. A larger file is refused before it is read.
uint64_t largestSourceFile(StorageMethod method);

// Error "PATH: N bytes do not fit the chosen storage" when `source` holds more than `limit`.
void checkSourceSize(const SourceFile& source, const std::filesystem::path& path, uint64_t limit);

// The whole file, when it holds at most `limit` bytes; otherwise Error "PATH: N bytes do not
// fit the chosen storage", before anything is read.
std::vector<uint8_t> readSourceFile(const std::filesystem::path& path, uint64_t limit);
