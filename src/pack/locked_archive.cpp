#include "pack/locked_archive.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <optional>

#include "archive/format.h"
#include "pack/journal.h"
#include "pack/replace_file.h"
#include "platform/error.h"
#include "reading/archive.h"

namespace {

[[noreturn]] void fail(const std::string& message) { throw Error(message); }

// Who holds the archive's lock, in the words of the messages: "PROGRAM (process PID)" as far as
// the system tells.
std::string holderOf(const FileHandle& file) {
  const std::optional<LockHolder> holder = lockHolder(file);
  if (!holder) return "another program";
  const std::string process = "process " + std::to_string(holder->pid);
  return holder->program.empty() ? process : holder->program + " (" + process + ")";
}

// What the next contact did with a journal a stopped update left, for stderr.
std::string recoveryNote(JournalState found, const std::string& journal) {
  const std::string untouched = " (the archive is untouched)";
  switch (found) {
    case JournalState::Absent: return "";
    case JournalState::Complete:
      return "completed the update journal " + journal + " left by a stopped update";
    case JournalState::Incomplete:
      return "discarded the incomplete update journal " + journal +
             " left by a stopped update (the archive is as it was before it)";
    case JournalState::NotAFile:
      return "discarded " + journal + ": not a regular file, so no update wrote it" + untouched;
    case JournalState::TooLarge:
      return "discarded " + journal + ": larger than any journal of the archive can be" + untouched;
    case JournalState::OutOfBounds:
      return "discarded " + journal +
             ": it would write outside the index and the sectors its new index gives entries" +
             untouched;
  }
  return "";
}

}  // namespace

LockedArchive lockArchive(const std::string& path, bool writable, const LockWait& wait) {
  LockedArchive locked{FileHandle(), resolveSymlinks(path)};
  // Locked, then checked to be still the file the path names: an update that renamed a new
  // archive into place meanwhile leaves this one holding the old file.
  for (int attempt = 0;; ++attempt) {
    locked.file = openFile(locked.real,
                           writable ? OpenMode::ReadWriteNonBlocking : OpenMode::ReadNonBlocking);
    if (!locked.file.valid()) throwSystemError("cannot open " + path, errno, path);
    const std::optional<FileInfo> info = fileInfo(locked.file);
    if (!info) throwSystemError("cannot read " + path, errno, path);
    if (!info->regular) fail(path + " is not a regular file");
    // Another update holds the lock exclusively: refused at once. Readers hold it shared for the
    // whole of their run: waited for a while, since they end by themselves.
    if (!tryLockExclusive(locked.file)) {
      if (errno != EWOULDBLOCK) throwSystemError("cannot lock " + path, errno, path);
      if (!tryLockShared(locked.file)) fail(path + " is being updated by another archive-pack");
      unlockFile(locked.file);
      if (wait.notice) {
        wait.notice(path + " is in use by " + holderOf(locked.file) + "; waiting up to " +
                    std::to_string(std::llround(wait.seconds)) + " s");
      }
      if (!waitForLock(locked.file, tryLockExclusive, wait.seconds)) {
        if (errno != EWOULDBLOCK) throwSystemError("cannot lock " + path, errno, path);
        fail(path + " is still in use by " + holderOf(locked.file) + "; try again when it is done");
      }
    }
    const std::optional<FileInfo> now = fileInfo(locked.real);
    if (now && now->device == info->device && now->inode == info->inode) break;
    if (attempt == 10) fail(path + " keeps being replaced; try again");
  }
  setBlocking(locked.file);
  return locked;
}

// A journal left by a stopped update is dealt with before anything else, through a writable
// descriptor of its own (the lock is held on the archive's). Whatever bears the journal's name
// counts, a dangling link too: no update writes through it.
JournalState recoverFirst(const LockedArchive& archive, PackEvents& events) {
  const std::string journal = journalPath(archive.real);
  if (!linkInfo(journal)) return JournalState::Absent;
  const FileHandle file = openFile(archive.real, OpenMode::ReadWrite);
  if (!file.valid())
    throwSystemError("cannot open " + archive.real + " to recover its journal", errno,
                     archive.real);
  const JournalState found = recoverJournal(file, archive.real);
  const std::string note = recoveryNote(found, journal);
  if (!note.empty()) events.note(note);
  return found;
}

void refuseJournalOnDryRun(const LockedArchive& archive, const std::string& path) {
  if (!linkInfo(journalPath(archive.real))) return;
  throw Error(ErrorKind::Refused,
              path + ": an update of it was stopped and left its journal " +
                  journalPath(archive.real) + "; a dry run writes nothing",
              path, 0, ErrorHint::RecoverFirst);
}

void throwMachineFault(const r5900::MachineFault& fault, const std::string& path) {
  throw machineFaultError(fault, path);
}

bool routinesAgree(const EntryAnswers& a, const IndexEditor& index, int32_t category,
                   uint32_t entry) {
  const uint32_t word = index.entryWord(category, entry);
  const uint32_t plain = plainLength(word) == kNoDataLength ? 0xFFFFFFFF : plainLength(word);
  const uint32_t length = isPlainWord(word) ? plain : expandedUnits(word) * kExpandedUnit;
  const uint32_t stored = isPlainWord(word) ? plain : storedSectors(word) * kSectorSize;
  return static_cast<uint32_t>(a.length) == length && static_cast<uint32_t>(a.stored) == stored &&
         (a.plain != 0) == isPlainWord(word) &&
         static_cast<uint32_t>(a.sector) ==
             static_cast<uint32_t>(index.entrySector(category, entry));
}

bool sameBytes(const ByteSource& a, uint64_t offsetA, const ByteSource& b, uint64_t offsetB,
               uint64_t size) {
  // Buffers no larger than the entry: a compaction compares every entry, most of them small.
  const auto chunk = static_cast<size_t>(std::min<uint64_t>(size, 1 << 20));
  std::vector<uint8_t> x(chunk), y(chunk);
  for (uint64_t done = 0; done < size;) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(size - done, x.size()));
    a.readZeroFilled(offsetA + done, x.data(), n);
    b.readZeroFilled(offsetB + done, y.data(), n);
    if (std::memcmp(x.data(), y.data(), n) != 0) return false;
    done += n;
  }
  return true;
}
