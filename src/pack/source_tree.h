// What the packer reads: the files of a folder laid out as extraction writes them ("models - X"
// and "category NNN" folders of NNNN.raw files), or the same entries held in memory, named by
// their entry paths ("models - g/0001.raw").
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "archive/format.h"
#include "platform/file.h"

// One entry's new content: a file of the source folder, or bytes held in memory.
struct SourceEntry {
  SourceEntry() = default;
  SourceEntry(std::filesystem::path path) : file(std::move(path)) {}  // NOLINT: a file converts
  SourceEntry(std::string entryPath, std::shared_ptr<const std::vector<uint8_t>> data)
      : bytes(std::move(data)), name(std::move(entryPath)) {}
  std::filesystem::path file;                         // empty when held in memory
  std::shared_ptr<const std::vector<uint8_t>> bytes;  // set when held in memory
  std::string name;                                   // the entry path, when held in memory
  // How messages name it: the file's path, or the entry path.
  std::string shownName() const { return bytes ? name : textOfPath(file); }
};

struct SourceTree {
  // The entries by category, then by entry number.
  std::map<int32_t, std::map<int32_t, SourceEntry>> files;
  // What is neither, by name: "PATH: why", and whether it is a folder.
  struct Skipped {
    std::string what;
    bool folder;
    std::filesystem::path path;
  };
  std::vector<Skipped> skipped;
};

// Reads the folder's layout (not the files). Throws Error when a folder cannot be read.
SourceTree readSourceTree(const std::filesystem::path& source);

// The entries `files` holds, by entry path ("models - g/0001.raw", "category 040/0001.raw").
// Throws Error (Refused, naming it) for a name that is no entry path.
SourceTree memorySourceTree(
    const std::map<std::string, std::shared_ptr<const std::vector<uint8_t>>>& files);

// The entry's whole content, when it holds at most `limit` bytes; otherwise Error "NAME: N bytes
// do not fit the chosen storage", before a file is read.
std::shared_ptr<const std::vector<uint8_t>> readSourceEntry(const SourceEntry& entry,
                                                            uint64_t limit);

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
