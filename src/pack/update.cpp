#include "pack/update.h"

#include <cerrno>
#include <functional>
#include <memory>
#include <optional>

#include "archive/index.h"
#include "pack/edit_changes.h"
#include "pack/edit_check.h"
#include "pack/edit_commit.h"
#include "pack/edit_plan.h"
#include "pack/edit_verify.h"
#include "pack/journal.h"
#include "pack/locked_archive.h"
#include "platform/error.h"
#include "platform/file.h"
#include "reading/archive.h"

namespace {

// What an edit changes in the archive it has opened: an update's changed files or a delete's
// entries (pack/edit_changes.h).
using FindChanges = std::function<std::vector<Change>(Archive&, const IndexEditor&)>;

// --in-place writes the archive's file itself: under another name (a hard link) it would change
// too, and a journal left beside this name would not stop its readers.
void refuseOtherNames(const LockedArchive& archive, const std::string& path) {
  const std::optional<FileInfo> info = fileInfo(archive.file);
  if (!info) throwSystemError("cannot read " + path, errno, path);
  if (info->links > 1) {
    throw Error(ErrorKind::Refused,
                path + " has " + std::to_string(info->links) +
                    " names (hard links), which an update in place would all change",
                path, 0, ErrorHint::EditByCopy);
  }
}

std::string action(const Change& c) {
  std::string line;
  if (c.deleted)
    return line +
           (c.inPlace ? "deleted, its group laid out again in place" : "deleted, its group moved");
  if (c.isNew) line += "new entry, ";
  if (c.wasUnsupported) line += "replaces an entry of the unsupported method, ";
  return line + (c.inPlace ? "in place" : "moved with its group");
}

// The steps an update and a delete share: the archive locked (a journal a stopped update left
// dealt with first), the changes found, laid out, checked and verified before anything is
// written, then committed as `options` says.
EditResult edit(const std::string& path, const UpdateOptions& options, PackEvents& events,
                const FindChanges& find) {
  LockedArchive locked = lockArchive(path, options.inPlace && !options.dryRun, options.lockWait);
  if (options.dryRun) refuseJournalOnDryRun(locked, path);
  recoverFirst(locked, events);
  if (options.inPlace) refuseOtherNames(locked, path);
  const std::string real = locked.real;
  const std::unique_ptr<Archive> archive = Archive::fromFile(std::move(locked.file), path);
  const uint64_t oldSize = archive->size();
  const IndexEditor oldIndex(archive->index());
  std::vector<Change> changes = find(*archive, oldIndex);
  EditResult result;
  if (changes.empty()) return result;
  const EditCheck check(*archive, oldIndex);
  const EditPlan plan = layOut(*archive, oldIndex, oldSize, std::move(changes));
  refuseDamage(plan, check, path);
  verifyEdit(*archive, plan, check);
  for (const Change& c : plan.changes) {
    result.changes.push_back({c.path, action(c)});
    if (c.deleted) {
      ++result.summary.entries;
      ++result.summary.methods[StorageMethod::NoData];
    } else {
      result.summary.add(c.data->size(), c.stored.word, c.stored.bytes, c.stored.bytes.size());
    }
  }
  if (options.dryRun) return result;
  checkFreeSpace(plan, path, real, options.inPlace, options.freeSpace);
  if (options.inPlace) {
    commitInPlace(*archive, plan, path, real);
  } else {
    commitCopy(*archive, plan, path);
  }
  return result;
}

}  // namespace

EditResult updateArchive(const SourceTree& tree, const std::string& archivePath,
                         const UpdateOptions& options, PackEvents& events) {
  return edit(archivePath, options, events, [&](Archive& archive, const IndexEditor& index) {
    return findUpdates(archive, index, tree, options.method, archivePath);
  });
}

EditResult deleteEntries(const std::vector<std::string>& members, const std::string& archivePath,
                         const UpdateOptions& options, PackEvents& events) {
  return edit(archivePath, options, events, [&](Archive& archive, const IndexEditor& index) {
    return findDeletions(archive, index, members, archivePath);
  });
}

RecoverResult recoverArchive(const std::string& archivePath, const LockWait& wait) {
  const LockedArchive archive = lockArchive(archivePath, false, wait);
  // The one note the recovery makes is its outcome.
  struct Kept : PackEvents {
    std::string text;
    void note(const std::string& t) override { text = t; }
  } kept;
  const JournalState found = recoverFirst(archive, kept);
  return {found == JournalState::Absent     ? Recovery::None
          : found == JournalState::Complete ? Recovery::Completed
                                            : Recovery::Discarded,
          kept.text};
}
