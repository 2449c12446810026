#include "pack/commands.h"

#include <algorithm>
#include <optional>

#include "pack/replace_file.h"
#include "platform/error.h"
#include "platform/file.h"
#include "reading/archive.h"

PackSource PackSource::folder(std::filesystem::path path) {
  PackSource source;
  source.folder_ = std::move(path);
  return source;
}

PackSource PackSource::memory(std::map<std::string, std::vector<uint8_t>> files) {
  PackSource source;
  source.inMemory_ = true;
  for (auto& [name, bytes] : files) {
    source.memory_.emplace(name, std::make_shared<const std::vector<uint8_t>>(std::move(bytes)));
  }
  return source;
}

SourceTree PackSource::read() const {
  return inMemory_ ? memorySourceTree(memory_) : readSourceTree(folder_);
}

// The wait for readers is told to the events, unless the caller listens itself.
LockWait Packer::told(const LockWait& wait) {
  LockWait with = wait;
  if (!with.notice) with.notice = [this](const std::string& line) { events_.waiting(line); };
  return with;
}

void Packer::removeLeftCopies(const std::string& archive) {
  for (const std::string& note : ::removeLeftCopies(archive)) events_.note(note);
}

// The copies stopped runs left, then a journal a stopped update left, before the source is read.
// (A link that cannot be followed is reported by the command itself.)
void Packer::clearLeftovers(const std::string& archive, const LockWait& wait) {
  removeLeftCopies(archive);
  std::optional<std::string> real;
  try {
    real = resolveSymlinks(archive);
  } catch (const Error&) {
  }
  if (real && linkInfo(journalPath(*real))) {
    const RecoverResult recovered = recoverArchive(archive, told(wait));
    if (!recovered.note.empty()) events_.note(recovered.note);
  }
}

namespace {

bool sameFile(const std::optional<FileInfo>& a, const std::optional<FileInfo>& b) {
  return a && b && a->device == b->device && a->inode == b->inode;
}

// The source folder may hold the archive itself (`archive-pack --update . DATA.BIN`), its journal
// or a copy another run is writing: none of them is an entry, and none is worth a word.
void dropTheArchive(SourceTree& tree, const std::string& archive) {
  const std::optional<FileInfo> own = fileInfo(archive);
  std::optional<std::string> real;
  try {
    real = resolveSymlinks(archive);
  } catch (const Error&) {
  }
  const std::optional<FileInfo> journal = real ? fileInfo(journalPath(*real)) : std::nullopt;
  std::erase_if(tree.skipped, [&](const SourceTree::Skipped& skipped) {
    if (skipped.folder) return false;
    const std::optional<FileInfo> info = fileInfo(textOfPath(skipped.path));
    return sameFile(info, own) || sameFile(info, journal) ||
           (info && info->regular && isCopyName(textOfPath(skipped.path.filename())));
  });
}

}  // namespace

SourceTree Packer::readSource(const PackSource& source, const std::string& archive) {
  SourceTree tree = source.read();
  dropTheArchive(tree, archive);
  for (const SourceTree::Skipped& skipped : tree.skipped) events_.skipped(skipped.what);
  return tree;
}

PackSummary Packer::build(const PackSource& source, const std::string& archive,
                          const BuildOptions& options) {
  clearLeftovers(archive, {});
  // An archive of no entry is refused, as an empty tar is: a source folder given one level too
  // deep (a category folder) or left empty would otherwise make one without a word. Without a
  // category folder, only the folders skipped are told (why each is none): files there are no
  // entries' by their place alone.
  SourceTree tree = source.read();
  dropTheArchive(tree, archive);
  const std::string from = textOfPath(source.path());
  for (const SourceTree::Skipped& skipped : tree.skipped) {
    if (skipped.folder || !tree.files.empty()) events_.skipped(skipped.what);
  }
  if (tree.files.empty()) {
    throw Error(ErrorKind::Refused,
                from.empty() ? "no entries were given; nothing was written"
                             : from +
                                   " holds no category folders (models - g, models - c, ..., "
                                   "category 040); nothing was written",
                from);
  }
  if (std::all_of(tree.files.begin(), tree.files.end(),
                  [](const auto& category) { return category.second.empty(); })) {
    throw Error(ErrorKind::Refused,
                from + ": its category folders hold no NNNN.raw files; nothing was written", from);
  }
  const std::optional<FileInfo> existing = fileInfo(archive);
  if (existing && existing->regular && !options.force) {
    throw Error(ErrorKind::Refused, archive + " exists", archive, 0, ErrorHint::UpdateOrReplace);
  }
  return buildArchive(tree, archive, options.method);
}

EditResult Packer::update(const PackSource& source, const std::string& archive,
                          const UpdateOptions& options) {
  if (!options.dryRun) clearLeftovers(archive, options.lockWait);
  const SourceTree tree = readSource(source, archive);
  UpdateOptions with = options;
  with.lockWait = told(options.lockWait);
  return updateArchive(tree, archive, with, events_);
}

EditResult Packer::remove(const std::vector<std::string>& members, const std::string& archive,
                          const UpdateOptions& options) {
  if (!options.dryRun) clearLeftovers(archive, options.lockWait);
  UpdateOptions with = options;
  with.lockWait = told(options.lockWait);
  return deleteEntries(members, archive, with, events_);
}

std::string Packer::compact(const std::string& archive, const CompactOptions& options) {
  // The compaction deals with a journal itself, under its lock.
  if (!options.dryRun) removeLeftCopies(archive);
  CompactOptions with = options;
  with.lockWait = told(options.lockWait);
  return compactArchive(archive, with, events_);
}

RecoverResult Packer::recover(const std::string& archive, const LockWait& wait) {
  removeLeftCopies(archive);
  return recoverArchive(archive, told(wait));
}
