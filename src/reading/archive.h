// An archive open for reading: its bytes (a file, or a reader the caller gives: a browser's File,
// a Python file object), its size when opened, a copy of its index and the guest session that
// answers questions about its entries. Every front end opens archives this way.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "guest/session.h"
#include "platform/file.h"
#include "reading/entry.h"
#include "reading/selection.h"
#include "reading/source.h"
#include "reading/sweep.h"

// "ARCHIVE.update-journal" beside the archive's real file (`realPath`, symlinks resolved): an
// update stopped half-way leaves it, and the index may be half written until it is completed.
std::string journalPath(const std::string& realPath);
// The refusal of archive `path` beside which a stopped update left `journal` (its hint:
// RecoverFirst).
Error stoppedUpdateError(const std::string& path, const std::string& journal);

class Archive : public ByteSource {
 public:
  // Opens `path` for reading. Refuses, with a Error that names `path` and says why: a file
  // that cannot be opened or read, a directory, anything but a regular file (the archive is read
  // at random offsets), a file shorter than its index, and an archive whose update was stopped
  // and left its journal.
  static std::unique_ptr<Archive> open(const std::string& path);
  // An archive read through `reader` (any thread may read through it), named `name` in messages:
  // refused, like a file, when too short to hold its index.
  static std::unique_ptr<Archive> open(std::unique_ptr<ByteSource> reader, std::string name);
  // An archive over `file`, which the caller opened (and locked, and recovered): reads its size
  // and index. `path` names it in messages.
  static std::unique_ptr<Archive> fromFile(FileHandle file, const std::string& path);

  // The path it was opened from, or the name its reader was given.
  const std::string& path() const { return path_; }
  // The file it is read from; not valid when read through a reader.
  const FileHandle& file() const { return file_; }
  // Lets go of the file (and a lock on it) before the archive goes; reads find nothing after.
  void closeFile() { file_.close(); }
  const std::vector<uint8_t>& index() const { return index_; }
  GuestSession& session() { return *session_; }

  size_t readAt(uint64_t offset, uint8_t* buffer, size_t size) const override;
  uint64_t size() const override { return size_; }

  // Entry `entry` of `category`, as the lookup routines describe it. Throws an Error of kind
  // MachineFault when the machine stops on the index.
  EntryDescription describe(int32_t category, int32_t entry) {
    try {
      return lookUpEntry(*session_, category, entry);
    } catch (const r5900::MachineFault& fault) {
      throw machineFaultError(fault, path_);
    }
  }
  // The selected entries in sweep order.
  Sweep entries(Selection& selection) { return Sweep(*session_, selection, path_); }

 private:
  Archive(FileHandle file, std::string path, uint64_t size);
  // Reads the index and starts the session.
  static std::unique_ptr<Archive> load(std::unique_ptr<Archive> archive);
  FileHandle file_;
  std::unique_ptr<ByteSource> reader_;  // instead of the file
  std::string path_;
  uint64_t size_;
  std::vector<uint8_t> index_;
  std::unique_ptr<GuestSession> session_;
};
