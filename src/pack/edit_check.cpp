#include "pack/edit_check.h"

#include <algorithm>

#include "archive/categories.h"
#include "pack/locked_archive.h"
#include "platform/error.h"

namespace {

[[noreturn]] void fail(const std::string& message) { throw Error(message); }

// One bit per byte of the index.
constexpr size_t kIndexBitWords = kArchiveIndexSize / 64;

// The entries a sweep of `category` asks about before they all answer alike (see CategoryLookups).
uint32_t entriesToAsk(const IndexEditor& index, int32_t category) {
  if (category > index.highestCategory()) return 1;
  return std::min<uint32_t>(index.entryCount(category) + 1, kEntriesPerCategory);
}

bool sameAnswers(const EntryDescription& a, const EntryDescription& b) {
  return a.kind == b.kind && a.length == b.length && a.stored == b.stored;
}

bool overlapsWritten(uint64_t start, uint64_t size, const std::vector<WrittenRange>& written) {
  return std::any_of(written.begin(), written.end(), [&](const WrittenRange& w) {
    return start < w.end && w.start < start + size;
  });
}

}  // namespace

CategoryLookups lookUpCategory(GuestSession& session, const IndexEditor& index, int32_t category,
                               uint64_t* indexReads) {
  CategoryLookups lookups;
  const uint32_t count = entriesToAsk(index, category);
  lookups.answers.reserve(count);
  try {
    for (uint32_t e = 0; e < count; ++e) {
      lookups.answers.push_back(session.ask(category, static_cast<int32_t>(e), indexReads));
    }
  } catch (const r5900::MachineFault& fault) {
    lookups.fault = fault;
  }
  return lookups;
}

bool sameStoredBytes(const ByteSource& a, uint64_t offsetA, const ByteSource& b, uint64_t offsetB,
                     uint64_t size) {
  const auto held = [size](const ByteSource& s, uint64_t offset) {
    return offset >= s.size() ? 0 : std::min(size, s.size() - offset);
  };
  const uint64_t n = held(a, offsetA);
  return n == held(b, offsetB) && sameBytes(a, offsetA, b, offsetB, n);
}

EditCheck::EditCheck(Archive& archive, const IndexEditor& index)
    : archive_(archive), index_(index), categories_(kHighestPossibleCategory + 1) {
  std::vector<uint64_t> bits(kIndexBitWords);
  for (int32_t c = 0; c <= kHighestPossibleCategory; ++c) {
    std::fill(bits.begin(), bits.end(), 0);
    const CategoryLookups lookups = lookUpCategory(archive.session(), index, c, bits.data());
    for (size_t e = 0; e < lookups.answers.size(); ++e) {
      const EntryDescription d = describeEntry(lookups.answers[e]);
      if (!d.hasData()) continue;
      entries_.push_back({static_cast<uint16_t>(e), static_cast<uint8_t>(c), d.kind, d.sector,
                          static_cast<uint32_t>(d.storedBytes())});
    }
    std::vector<std::pair<uint32_t, uint32_t>>& reads = categories_[c].reads;
    for (uint32_t at = 0; at < kArchiveIndexSize; ++at) {
      if ((bits[at / 64] >> (at % 64) & 1) == 0) {
        if (bits[at / 64] == 0) at |= 63;  // a word of bits with none set
        continue;
      }
      if (!reads.empty() && reads.back().second == at) {
        ++reads.back().second;
      } else {
        reads.emplace_back(at, at + 1);
      }
    }
  }
}

std::vector<std::pair<int32_t, uint32_t>> EditCheck::notHeldInFull(const Named& named) const {
  std::vector<std::pair<int32_t, uint32_t>> found;
  for (const Entry& e : entries_) {
    if (named(e.category, e.entry)) continue;
    if (e.offset() >= archive_.size() || e.stored > archive_.size() - e.offset()) {
      found.emplace_back(e.category, e.entry);
    }
  }
  return found;
}

bool EditCheck::loadsAny(const Category& category, const std::vector<uint8_t>& changed) const {
  return std::any_of(category.reads.begin(), category.reads.end(), [&](const auto& range) {
    for (uint32_t at = range.first; at < range.second; ++at) {
      if (changed[at] != 0) return true;
    }
    return false;
  });
}

void EditCheck::verify(GuestSession& newSession, const IndexEditor& newIndex,
                       const ByteSource& newArchive, const std::vector<WrittenRange>& written,
                       const Named& named) const {
  std::vector<uint8_t> changed(kArchiveIndexSize);
  for (uint32_t at = 0; at < kArchiveIndexSize; ++at) {
    changed[at] = index_.bytes()[at] != newIndex.bytes()[at];
  }
  std::vector<bool> relookup(categories_.size());
  for (size_t c = 0; c < categories_.size(); ++c) {
    relookup[c] = loadsAny(categories_[c], changed);
    if (!relookup[c]) continue;
    compareCategory(static_cast<int32_t>(c), newSession, newIndex, newArchive, written, named);
  }
  // The other categories answer as before: their entries keep their sectors, and only the bytes
  // the edit writes can change them.
  for (const Entry& e : entries_) {
    if (relookup[e.category] || named(e.category, e.entry)) continue;
    if (overlapsWritten(e.offset(), e.stored, written) &&
        !sameStoredBytes(archive_, e.offset(), newArchive, e.offset(), e.stored)) {
      fail(archive_.path() + ": the edit would change " + entryPath(e.category, e.entry) +
           ", which it does not name (it shares stored bytes with what the edit writes); " +
           "nothing was written");
    }
  }
}

void EditCheck::compareCategory(int32_t category, GuestSession& newSession,
                                const IndexEditor& newIndex, const ByteSource& newArchive,
                                const std::vector<WrittenRange>& written,
                                const Named& named) const {
  const CategoryLookups before = lookUpCategory(archive_.session(), index_, category);
  const CategoryLookups after = lookUpCategory(newSession, newIndex, category);
  const auto refuse = [&](int32_t e, const std::string& how) {
    fail(archive_.path() + ": the edit would change " + entryPath(category, e) +
         ", which it does not name (" + how + "); nothing was written");
  };
  for (size_t e = 0; e < static_cast<size_t>(kEntriesPerCategory); ++e) {
    const bool faultBefore = before.fault && e == before.answers.size();
    const bool faultAfter = after.fault && e == after.answers.size();
    const auto entry = static_cast<int32_t>(e);
    if (faultBefore || faultAfter) {
      if (!faultBefore || !faultAfter || before.fault->line != after.fault->line) {
        refuse(entry,
               "its category shares words of the index with what the edit changes, and "
               "the lookup routines would stop elsewhere");
      }
      return;
    }
    if (e >= before.answers.size() && e >= after.answers.size()) return;  // all alike from here
    if (named(category, static_cast<uint32_t>(e))) continue;
    const EntryDescription old = describeEntry(before.at(e));
    const EntryDescription now = describeEntry(after.at(e));
    if (!sameAnswers(old, now)) {
      refuse(entry, "its category shares words of the index with what the edit changes");
    }
    if (!old.hasData()) continue;
    const bool moved = old.sector != now.sector;
    if ((moved || overlapsWritten(old.offset, old.storedBytes(), written)) &&
        !sameStoredBytes(archive_, old.offset, newArchive, now.offset, old.storedBytes())) {
      refuse(entry, moved ? "it would read other bytes where the new index places it"
                          : "it shares stored bytes with what the edit writes");
    }
  }
}
