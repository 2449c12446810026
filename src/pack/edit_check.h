// What an edit must leave as it was: every entry of every category the widest sweep asks about
// (categories 0 to 255, entries 0 to 9999), as the lookup routines answer for it, with its stored
// bytes, and where the machine stops. Categories may share words of the index (a table, a record),
// so an edit of one category's words may change another's answers; an edit that names one entry
// may rewrite sectors another entry claims too.
//
// The old archive is looked up once, with the interpreter noting which bytes of the index each
// category's lookups load. Once the edit has laid out its new index and its writes, only the
// categories that load a changed byte are looked up again, old against new; and the stored bytes
// of every entry whose sector changed or whose bytes the edit writes over are compared.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "archive/index.h"
#include "cpu/fault.h"
#include "reading/archive.h"
#include "reading/entry.h"

// Byte ranges of the new file that an edit writes (end exclusive).
struct WrittenRange {
  uint64_t start, end;
};

// The answers of one category's entries, looked up in sweep order up to the first fault. The
// routines answer 0 for a category past the highest one and for every entry from the category's
// count on, loading the same bytes for each: the first such entry is asked and stands for all
// after it.
struct CategoryLookups {
  std::vector<EntryAnswers> answers;         // entries 0 to answers.size() - 1
  std::optional<r5900::MachineFault> fault;  // at entry answers.size()
  // Entry e's answers; past the end, those of the last entry asked.
  const EntryAnswers& at(size_t e) const {
    return answers[e < answers.size() ? e : answers.size() - 1];
  }
};
CategoryLookups lookUpCategory(GuestSession& session, const IndexEditor& index, int32_t category,
                               uint64_t* indexReads = nullptr);

class EditCheck {
 public:
  using Named = std::function<bool(int32_t category, uint32_t entry)>;

  // Looks up every category of `archive` (whose index `index` is), noting what each one loads.
  EditCheck(Archive& archive, const IndexEditor& index);

  // The entries with data that `named` does not name and that the old archive does not hold in
  // full, in sweep order: moved, or with more file under them, they would read other bytes.
  std::vector<std::pair<int32_t, uint32_t>> notHeldInFull(const Named& named) const;

  // Throws Error naming the first entry that `named` does not name and that the new archive
  // (`newIndex`, looked up through `newSession`, read as `newArchive`, where the edit writes
  // `written`) does not give as the old one does: other answers, other stored bytes, or a fault
  // at another entry or with another line.
  void verify(GuestSession& newSession, const IndexEditor& newIndex, const ByteSource& newArchive,
              const std::vector<WrittenRange>& written, const Named& named) const;

 private:
  struct Entry {
    uint16_t entry;
    uint8_t category;
    EntryKind kind;
    uint32_t sector;
    uint32_t stored;  // bytes
    uint64_t offset() const { return uint64_t{sector} * kSectorSize; }
  };
  struct Category {
    std::vector<std::pair<uint32_t, uint32_t>> reads;  // bytes of the index it loads, end exclusive
  };
  bool loadsAny(const Category& category, const std::vector<uint8_t>& changed) const;
  void compareCategory(int32_t category, GuestSession& newSession, const IndexEditor& newIndex,
                       const ByteSource& newArchive, const std::vector<WrittenRange>& written,
                       const Named& named) const;

  Archive& archive_;
  const IndexEditor& index_;
  std::vector<Category> categories_;
  std::vector<Entry> entries_;  // with data, in sweep order
};

// Whether `size` bytes at `offsetA` of `a` are those at `offsetB` of `b`, and each source holds as
// many of them.
bool sameStoredBytes(const ByteSource& a, uint64_t offsetA, const ByteSource& b, uint64_t offsetB,
                     uint64_t size);
