// What the commands that rewrite an existing archive (the update and the compaction) share: the
// archive locked for the whole run, the journal a stopped update may have left beside it, and the
// checks that the index read on the host is the one the lookup routines read.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "archive/index.h"
#include "cpu/fault.h"
#include "guest/session.h"
#include "pack/events.h"
#include "pack/journal.h"
#include "pack/lock_wait.h"
#include "platform/file.h"
#include "reading/source.h"

// The archive's real file, open and locked exclusively: a second update refuses, readers are
// waited for as `wait` says (the notice names the program holding the lock where the system
// tells). Throws Error.
struct LockedArchive {
  FileHandle file;
  std::string real;
};
LockedArchive lockArchive(const std::string& path, bool writable, const LockWait& wait = {});

// A journal left by a stopped update is dealt with before anything else (completed or
// discarded); what was done is noted to `events`. Returns what was found.
JournalState recoverFirst(const LockedArchive& archive, PackEvents& events);

// A dry run writes nothing, not even the completion of a journal: it refuses while one is there.
void refuseJournalOnDryRun(const LockedArchive& archive, const std::string& path);

// The lookup routines stopped on the index of the archive being edited: an Error of kind
// MachineFault whose what() is the machine's line (without its line feed), concerning the archive.
[[noreturn]] void throwMachineFault(const r5900::MachineFault& fault, const std::string& path);

// Whether the routines' answers about entry e are what the index, read on the host, says: the
// packer edits the index with host code, so its reading must be the routines' own.
bool routinesAgree(const EntryAnswers& answers, const IndexEditor& index, int32_t category,
                   uint32_t entry);

// Whether the two sources hold the same `size` bytes there, zeros past their ends.
bool sameBytes(const ByteSource& a, uint64_t offsetA, const ByteSource& b, uint64_t offsetB,
               uint64_t size);
