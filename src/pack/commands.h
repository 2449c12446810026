// The packer's commands as a front end calls them: build, update, delete, compact and recover.
// Each deals first with what stopped runs left behind: the copies a run stopped dead left in the
// archive's folder are removed, and a journal a stopped update left beside the archive is
// completed or discarded, each noted to the caller's events (a dry run writes nothing: it leaves
// the copies, and refuses while a journal is there). Failures are Errors (platform/error.h): a
// refusal with a hint for the front end to word, a failure of the system, or a MachineFault where
// the lookup routines stop on the archive's index.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "pack/build.h"
#include "pack/compact.h"
#include "pack/events.h"
#include "pack/source_tree.h"
#include "pack/store.h"
#include "pack/update.h"

// Where the entries of a build or an update come from: a folder laid out as extraction writes it
// (read when the command begins: its files that are no entries' are told to the events as
// skipped), or entries held in memory by their entry paths ("models - g/0001.raw" -> bytes).
class PackSource {
 public:
  static PackSource folder(std::filesystem::path path);
  // Throws Error (Refused) when the command begins, for a name that is no entry path.
  static PackSource memory(std::map<std::string, std::vector<uint8_t>> files);

  // The entries, by category and entry number. Throws Error.
  SourceTree read() const;
  // The folder, for the messages about it (empty for a memory source).
  const std::filesystem::path& path() const { return folder_; }

 private:
  std::filesystem::path folder_;
  std::map<std::string, std::shared_ptr<const std::vector<uint8_t>>> memory_;
  bool inMemory_ = false;
};

struct BuildOptions {
  StorageMethod method = StorageMethod::Auto;  // Plain, Stored, Lz, Rle or Auto
  // An existing archive is replaced only when asked (otherwise an Error, Refused, with the hint
  // UpdateOrReplace): a build where an update was meant would lose it.
  bool force = false;
};

// The commands, telling `events` what happens as it happens.
class Packer {
 public:
  explicit Packer(PackEvents& events) : events_(events) {}

  // A new archive from `source`, written beside `archive` and renamed over it. Returns what was
  // stored. A source of no entry is refused (Error, Refused, naming the source folder).
  PackSummary build(const PackSource& source, const std::string& archive,
                    const BuildOptions& options);
  // `archive` with the entries of `source` that differ put back into it (update.h).
  EditResult update(const PackSource& source, const std::string& archive,
                    const UpdateOptions& options);
  // `archive` with the entries `members` names made entries with no data (update.h).
  EditResult remove(const std::vector<std::string>& members, const std::string& archive,
                    const UpdateOptions& options);
  // `archive` without the sectors no entry claims (compact.h). Returns the report line.
  std::string compact(const std::string& archive, const CompactOptions& options);
  // The journal a stopped update left beside `archive`, completed or discarded.
  RecoverResult recover(const std::string& archive, const LockWait& wait = {});

 private:
  void clearLeftovers(const std::string& archive, const LockWait& wait);
  void removeLeftCopies(const std::string& archive);
  SourceTree readSource(const PackSource& source, const std::string& archive);
  LockWait told(const LockWait& wait);

  PackEvents& events_;
};
