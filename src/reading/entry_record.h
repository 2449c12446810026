// One entry as a listing shows it, and with the integrity test's verdict as the test shows it:
// the one record every front end builds its lines, objects and JSON from.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "archive/format.h"
#include "reading/read.h"
#include "reading/source.h"
#include "reading/sweep.h"

// What the integrity test says of an entry.
struct EntryVerdict {
  EntryProblem problem = EntryProblem::None;
  bool shared = false;  // its stored bytes overlap an earlier entry's
};

struct EntryRecord {
  std::string path;  // "models - g/0001.raw"
  int32_t category = 0;
  int32_t entry = 0;
  uint32_t sector = 0;
  StorageMethod method = StorageMethod::Unknown;
  std::optional<uint32_t> stored;       // bytes it occupies in the archive; none without data
  std::optional<uint32_t> size;         // bytes it expands to; none when not known
  std::optional<EntryVerdict> verdict;  // the test's; none in a listing

  const char* methodName() const { return storageMethodName(method); }
  // The test's word for its problem ("corrupt"), or none when it is sound or untested.
  const char* problemName() const {
    return verdict && verdict->problem != EntryProblem::None ? entryProblemName(verdict->problem)
                                                             : nullptr;
  }
};

// The record of swept entry `e` of `archive` (a compressed entry's method and size come from its
// header there).
EntryRecord entryRecord(const ByteSource& archive, const SweptEntry& e);

// The record as one JSON object on one line: path, category, entry, sector, method, stored and
// size; with a verdict, ok, the problem when there is one, and shared.
std::string entryJson(const EntryRecord& record);

// `text` as a JSON string, quotes included.
std::string jsonString(const std::string& text);
