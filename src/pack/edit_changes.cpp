#include "pack/edit_changes.h"

#include <optional>

#include "archive/categories.h"
#include "cpu/fault.h"
#include "guest/session.h"
#include "pack/locked_archive.h"
#include "platform/error.h"
#include "reading/entry.h"
#include "reading/inspect.h"
#include "reading/read.h"

namespace {

[[noreturn]] void fail(const std::string& message) { throw Error(message); }

// The routines' answers about an entry of the archive being edited; where the machine stops on
// its index, that is the failure.
EntryAnswers ask(Archive& archive, int32_t category, int32_t entry, const std::string& path) {
  try {
    return archive.session().ask(category, entry);
  } catch (const r5900::MachineFault& fault) {
    throwMachineFault(fault, path);
  }
}

// Whether the source file differs from what extraction gives for the entry.
// Read as extraction reads it: an entry the archive does not hold in full has changed.
bool changed(const Archive& archive, const EntryDescription& d, Change& change) {
  change.isNew = !d.hasData();
  if (change.isNew) return true;
  change.wasUnsupported = entryStorage(archive, d).method == StorageMethod::Unsupported;
  return change.wasUnsupported || !extractsTo(archive, d, *change.data);
}

// The new storage: the entry's own (keep), or the method asked for; new entries and entries of
// the unsupported method take auto under keep.
StoredEntry storage(const Archive& archive, const EntryDescription& d, const Change& change,
                    StorageMethod method) {
  const std::vector<uint8_t>& data = *change.data;
  std::optional<StoredEntry> stored;
  const bool keep = method == StorageMethod::Keep;
  if (!keep || change.isNew || change.wasUnsupported) {
    stored = storeEntry(data, keep ? StorageMethod::Auto : method);
    if (!stored) {
      fail(change.path + ": " + std::to_string(data.size()) +
           " bytes do not fit the chosen storage");
    }
    return std::move(*stored);
  }
  if (d.kind == EntryKind::Plain) {
    // An empty file cannot be plain (a length of 0 means no entry): a compressed entry of
    // size 0, which still counts as keeping.
    stored = data.empty() ? storeEntry(data, StorageMethod::Stored)
                          : storeEntry(data, StorageMethod::Plain);
  } else {
    uint8_t header[kLongHeaderSize] = {};
    archive.readZeroFilled(d.offset, header, sizeof header);
    const CompressedHeader h = readCompressedHeader(header);
    stored = storeCompressed(data, h.method, h.headerSize);
  }
  if (!stored) {
    throw Error(ErrorKind::Refused,
                change.path + ": " + std::to_string(data.size()) +
                    " bytes do not fit its storage (a compressed entry holds at most 8191 " +
                    "sectors and 262143 units of 64 bytes, a plain one 0x3FFFFFFE bytes)",
                change.path, 0, ErrorHint::PlainMethod);
  }
  return std::move(*stored);
}

}  // namespace

std::vector<Change> findUpdates(Archive& archive, const IndexEditor& index, const SourceTree& tree,
                                StorageMethod method, const std::string& archivePath) {
  // The tables an update reads and edits with host code: those of the categories it changes.
  for (const auto& [c, files] : tree.files) {
    if (!index.tablesInside(c)) {
      fail(archivePath + ": the tables of category " + std::to_string(c) +
           " lie outside the index; an update cannot edit them");
    }
  }
  std::vector<Change> changes;
  for (const auto& [category, files] : tree.files) {
    for (const auto& [entry, file] : files) {
      const std::string path = entryPath(category, entry);
      const uint32_t count = index.entryCount(category);
      if (static_cast<uint32_t>(entry) >= count) {
        fail(path + ": category " + std::to_string(category) + " has " + std::to_string(count) +
             " entries in the index; adding entry " + std::to_string(entry) +
             " would need a larger entry table, which an update does not make");
      }
      const EntryAnswers answers = ask(archive, category, entry, archivePath);
      if (!routinesAgree(answers, index, category, static_cast<uint32_t>(entry))) {
        fail(path +
             ": the lookup routines and the index read on the host disagree about it; "
             "nothing was written");
      }
      const EntryDescription d = describeEntry(answers);
      auto data = readSourceEntry(file, largestSourceFile(method));
      Change change{category, static_cast<uint32_t>(entry),
                    path,     data,
                    {},       index.entryWord(category, static_cast<uint32_t>(entry))};
      if (!changed(archive, d, change)) continue;
      change.stored = storage(archive, d, change, method);
      changes.push_back(std::move(change));
    }
  }
  return changes;
}

std::vector<Change> findDeletions(Archive& archive, const IndexEditor& index,
                                  const std::vector<std::string>& members,
                                  const std::string& archivePath) {
  std::vector<Change> changes;
  Selection selection;
  for (const std::string& member : members) selection.addMember(member);
  Sweep sweep = archive.entries(selection);
  while (const std::optional<SweptEntry> e = sweep.next()) {
    if (!e->description.hasData()) continue;
    const auto entry = static_cast<uint32_t>(e->entry);
    if (!index.tablesInside(e->category) ||
        !routinesAgree(ask(archive, e->category, e->entry, archivePath), index, e->category,
                       entry)) {
      fail(e->path() +
           ": the lookup routines and the index read on the host disagree "
           "about it; nothing was written");
    }
    Change change{e->category,
                  entry,
                  e->path(),
                  std::make_shared<const std::vector<uint8_t>>(),
                  {{}, plainEntryWord(kNoDataLength)},
                  index.entryWord(e->category, entry)};
    change.deleted = true;
    changes.push_back(std::move(change));
  }
  for (const Member& m : selection.members()) {
    if (!m.found) fail(unmatchedMember(m) + "; nothing was deleted");
  }
  return changes;
}
