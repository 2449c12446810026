// Archives and trees for tests: trees of files as maps, data like models, and archives laid out
// by hand (entries one after another per category, the index written with the format library).
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "archive/format.h"

using Tree = std::map<std::string, std::string>;  // relative path -> contents

// The category folders in sweep order, and their archive category numbers.
constexpr const char* kFolders[] = {"models - g",  "models - c",  "models - hc", "models - w",
                                    "models - n",  "models - hn", "models - b",  "models - s",
                                    "models - hs", "models - t",  "models - m"};
constexpr int32_t kCategories[] = {13, 14, 15, 16, 19, 20, 22, 23, 24, 25, 34};

// "models - g/0001.raw" for row 0, entry 1.
std::string path(int row, int entry);
std::string readFile(const std::filesystem::path& file);
// Every regular file under `root`, hidden temporary files included.
Tree readTree(const std::filesystem::path& root);
void writeTree(const std::filesystem::path& root, const Tree& tree);
// What trees are compared by: sizes and hashes (contents can be megabytes).
std::map<std::string, std::pair<size_t, size_t>> summary(const Tree& tree);
// The path lines of a run that writes `tree`: folders in sweep order, entries ascending.
std::string sweepLines(const Tree& tree);

// Data like models for the codecs: random stretches, runs of one byte, and overlapping repeats
// of bytes up to 2048 back.
std::string content(std::mt19937_64& rng, size_t size);

// An entry of a hand-made archive: its EntryWord and its stored bytes.
struct Entry {
  uint32_t word;
  std::string bytes;
};
Entry plain(const std::string& data);
// A compressed entry of `stored` bytes, header first, whose index counts `size` expanded bytes.
Entry compressed(const std::string& stored, size_t size);
std::string encode(uint32_t method, const std::string& data);

// `archive`'s bytes with category 20's entry table moved far past guest RAM: the lookup routines
// stop there with a fault of the emulated machine.
std::string withFaultingLookups(std::string archive);
Entry compressed(uint32_t method, const std::string& data);

// A category (a row of kFolders, or any category number) of a hand-made archive; its first group
// starts at sector `firstSector` (counted from sector 500) or where the previous category ended, if
// later.
struct Table {
  int row;
  std::vector<Entry> entries;
  uint32_t firstSector = 0;
  int32_t category = -1;  // when set, this category number instead of the row's
};

// Lays the entries out one after another and writes the index at 0xBA000, in a sparse file that
// ends after the last sector (at least at the end of the index), or at `size`.
void writeArchive(const std::filesystem::path& file, const std::vector<Table>& tables,
                  uint64_t size = 0);

// A small archive of every kind of entry: g0 plain, g1 LZ, g2 run-length, g3 stored with a
// 16-byte header, g4 without data, g5 the unsupported method, g6 corrupt; c0 plain ("c");
// category 40 entry 0 (not a model category, "forty"). The file is `size` bytes long when given.
inline const std::string kSamplePlain = "plain data", kSampleLz = "lz lz lz lz lz lz data",
                         kSampleRle = "rrrrrrrrrr";
void writeSampleArchive(const std::filesystem::path& file, uint64_t size = 0);
