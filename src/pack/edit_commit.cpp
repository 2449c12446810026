#include "pack/edit_commit.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "archive/format.h"
#include "pack/journal.h"
#include "pack/replace_file.h"
#include "platform/error.h"
#include "platform/file.h"
#include "platform/interrupt.h"

namespace {

// In place, a piece is written whole, its padding zeros included (they clear what was there).
// Appended, it lies past the old end of the file: what would be zeros (padding, or data copied
// from past the old end) is left as a hole, so that an archive whose entries claim sectors far
// past its end cannot make the update fill the disk.
void writePiece(const FileHandle& from, const FileHandle& to, const Piece& p, bool whole,
                uint64_t oldSize, const std::string& path) {
  bool ok = true;
  if (p.data) {
    const uint64_t n = std::min<uint64_t>(p.size, p.data->size());
    ok = writeAllAt(to, p.data->data(), static_cast<size_t>(n), p.offset) &&
         (!whole || writeZerosAt(to, p.size - n, p.offset + n));
  } else if (p.from < oldSize) {
    ok = copyRange(from, p.from, to, p.offset, std::min(p.size, oldSize - p.from));
  }
  if (!ok) throwSystemError("cannot write " + path, errno, path);
}

// The file reaches the end of the last appended group.
void extendTo(const FileHandle& file, uint64_t end, const std::string& path) {
  const std::optional<FileInfo> info = fileInfo(file);
  if (!info || (info->size < end && !resize(file, end))) {
    throwSystemError("cannot write " + path, errno, path);
  }
}

// Step 1 in place: the moved groups, then the file's new end, which an entry rewritten in
// place may push out too (its padding is written whole). The journal then writes only inside.
void appendAndExtend(const FileHandle& fd, const EditPlan& plan, const std::string& path) {
  uint64_t end = std::max(plan.oldSize, plan.newEnd);
  for (size_t i = 0; i < plan.pieces.size(); ++i) {
    const Piece& p = plan.pieces[i];
    if (plan.isInPlace(i)) {
      end = std::max(end, p.offset + p.size);
    } else {
      writePiece(fd, fd, p, false, plan.oldSize, path);
    }
  }
  if (end == plan.oldSize && plan.inPlacePieces.size() == plan.pieces.size()) return;
  extendTo(fd, end, path);
  if (!syncFile(fd)) throwSystemError("cannot write " + path, errno, path);
}

}  // namespace

void checkFreeSpace(const EditPlan& plan, const std::string& archivePath, const std::string& real,
                    bool inPlace, const std::optional<uint64_t>& given) {
  uint64_t appended = 0;  // what the appended groups really write (holes take no room)
  for (size_t i = 0; i < plan.pieces.size(); ++i) {
    const Piece& p = plan.pieces[i];
    if (plan.isInPlace(i)) continue;
    appended += p.data                  ? std::min<uint64_t>(p.size, p.data->size())
                : p.from < plan.oldSize ? std::min(p.size, plan.oldSize - p.from)
                                        : 0;
  }
  const uint64_t need =
      inPlace ? appended + kArchiveIndexSize + plan.inPlaceBytes() : plan.oldSize + appended;
  const std::optional<uint64_t> measured = given ? given : freeSpace(folderOf(real));
  if (!measured) return;  // not known: try
  const uint64_t free = *measured;
  if (free < need) {
    throw Error(ErrorKind::Refused,
                "not enough free space beside " + archivePath + " for the update: it needs " +
                    std::to_string(need) + " bytes, " + std::to_string(free) + " are free",
                archivePath, 0, inPlace ? ErrorHint::None : ErrorHint::EditInPlace);
  }
}

// The default: a new archive written beside the old one, flushed, and renamed over it, unless
// the name no longer has the file locked and read. The old archive stays open, and locked,
// through the rename, unless the system cannot rename over a file that is open.
void commitCopy(Archive& archive, const EditPlan& plan, const std::string& archivePath) {
  Replacement file(archivePath, fileInfo(archive.file()));
  file.copyFrom(archive.file(), 0, plan.oldSize);
  for (size_t i = 0; i < plan.pieces.size(); ++i) {
    writePiece(archive.file(), file.file(), plan.pieces[i], plan.isInPlace(i), plan.oldSize,
               archivePath);
  }
  extendTo(file.file(), plan.newEnd, archivePath);
  if (!writeAllAt(file.file(), plan.newIndex.bytes().data(), kArchiveIndexSize,
                  kArchiveIndexOffset)) {
    throwSystemError("cannot write " + archivePath, errno, archivePath);
  }
  file.commit([&archive] { archive.closeFile(); });
}

// --in-place. The order of the flushes is what makes a stop at any moment safe:
//  1. The moved groups are appended past everything the old index claims, the file is extended
//     to its new end, and it is flushed. A stop here leaves the old archive whole: nothing it
//     uses was touched.
//  2. The journal (the archive's identity, the in-place sectors and the new index, with a
//     checksum) is written and flushed with its folder. A stop before it is complete leaves an
//     incomplete journal, which the next contact discards: the old archive is still whole. Once
//     it is complete, the data it points at (step 1) is already on disk. A failure before then
//     cuts the file back to its old size: it is as it was, byte for byte.
//  3. The journal is applied to the archive and flushed. A stop here leaves a complete journal,
//     which the next contact applies again (writing the same bytes twice is harmless).
//  4. The journal is removed.
void commitInPlace(const Archive& archive, const EditPlan& plan, const std::string& archivePath,
                   const std::string& real) {
  const FileHandle& fd = archive.file();
  // The journal is written a piece at a time from the entries' new bytes and the old archive
  // (an entry laid out again), and applied from itself: nothing is held twice.
  std::vector<JournalRecord> records;
  for (const size_t i : plan.inPlacePieces) {
    const Piece& p = plan.pieces[i];
    if (p.size == 0) continue;
    if (p.data) {
      const uint64_t n = std::min<uint64_t>(p.size, p.data->size());
      records.push_back({p.offset, {p.data->data(), static_cast<size_t>(n)}, 0, 0, p.size - n});
    } else {
      records.push_back({p.offset, {}, p.size, p.from});
    }
  }
  records.push_back({kArchiveIndexOffset, plan.newIndex.bytes()});
  const std::string journal = journalPath(real);
  try {
    appendAndExtend(fd, plan, archivePath);
    // From here the update runs to its end (the journal, the writes it names, its removal): a
    // stop signal waits, so that a status of 128 + the signal always means the old archive.
    stopSignalsWaitFromNow();
    writeJournal(journal, fd, archive.index(), records);
  } catch (const Error&) {
    if (resize(fd, plan.oldSize)) syncFile(fd);
    throw;
  }
  try {
    applyJournal(fd, journal, "cannot write " + archivePath);
  } catch (const Error& error) {
    throw Error(error.kind(),
                std::string(error.what()) + "; its journal " + journal + " completes the update",
                archivePath, error.code(), ErrorHint::RecoverToFinish);
  }
  if (!removeFile(journal) || !syncFolder(folderOf(journal))) {
    throw Error("the update is complete, but its journal " + journal +
                    " could not be removed: " + std::strerror(errno),
                errno);
  }
}
