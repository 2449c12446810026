// The archive open for reading as Python holds it, and what reads from it: one entry's bytes, a
// file object's reader, the listing's iterator, and the entry values they give.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "api/archive.h"
#include "api/read.h"

namespace py = pybind11;

// One entry as the listing shows it: the library's record.
using Entry = EntryRecord;

// One entry with the integrity test's verdict (its own type, for Python's TestResult).
struct TestResult : EntryRecord {
  explicit TestResult(EntryRecord record) : EntryRecord(std::move(record)) {}
};

// The packer's commands refuse at once an archive this process holds open (the same file, by
// device and inode), rather than wait for its lock.
void refuseIfOpenHere(const std::string& path);

// An archive open for reading, shared with the file objects and iterators made from it, so that
// they stay usable after it is closed.
class ArchiveHandle {
 public:
  explicit ArchiveHandle(const py::object& name);
  void close() { archive_.reset(); }
  bool closed() const { return archive_ == nullptr; }
  const std::string& path() const { return path_; }
  std::shared_ptr<Archive> archive() const {
    if (!archive_) throw py::value_error("I/O operation on closed archive");
    return archive_;
  }
  uint64_t size() const { return archive()->size(); }

 private:
  std::string path_;
  std::shared_ptr<Archive> archive_;
};

py::bytes readEntry(const ArchiveHandle& handle, const py::handle& member, bool sizeLimit);

// What an open entry reads from: a plain entry's bytes in the archive (read where they lie, when
// asked for), or a compressed entry decoded when it was opened.
class EntryReader {
 public:
  EntryReader(const ArchiveHandle& handle, const py::handle& member, bool sizeLimit);
  uint64_t size() const { return entry_.size(); }
  const std::string& path() const { return entry_.path(); }
  // Up to len(buffer) bytes from `position` into `buffer`: how many (0 at or past the end).
  size_t readInto(uint64_t position, const py::buffer& buffer);

 private:
  std::shared_ptr<Archive> archive_;  // a plain entry's, which is read where it lies
  EntryBytes entry_;
};

// Entries in sweep order, looked up one at a time as the iteration asks for them.
class Listing {
 public:
  Listing(const ArchiveHandle& handle, std::unique_ptr<Selection> selection);
  py::object next();
  py::list missing() const;

 private:
  std::shared_ptr<Archive> archive_;
  std::unique_ptr<Selection> selection_;
  std::unique_ptr<Sweep> sweep_;
};
