#include "pack/commands.h"

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

SourceTree Packer::readSource(const PackSource& source) {
  SourceTree tree = source.read();
  for (const std::string& skipped : tree.skipped) events_.skipped(skipped);
  return tree;
}

PackSummary Packer::build(const PackSource& source, const std::string& archive,
                          const BuildOptions& options) {
  clearLeftovers(archive, {});
  const SourceTree tree = readSource(source);
  const std::optional<FileInfo> existing = fileInfo(archive);
  if (existing && existing->regular && !options.force) {
    throw Error(ErrorKind::Refused, archive + " exists", archive, 0, ErrorHint::UpdateOrReplace);
  }
  return buildArchive(tree, archive, options.method);
}

EditResult Packer::update(const PackSource& source, const std::string& archive,
                          const UpdateOptions& options) {
  if (!options.dryRun) clearLeftovers(archive, options.lockWait);
  const SourceTree tree = readSource(source);
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
