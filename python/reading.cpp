#include "reading.h"

#include <pybind11/stl.h>

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

#include "archive/categories.h"
#include "convert.h"
#include "platform/file.h"
#include "reading/inspect.h"
#include "reading/limit.h"

namespace {

// The archives open in this process, with the files and iterators that outlive their Archive:
// each holds its archive's shared lock, which the packer's commands would wait for in vain.
// Touched with the GIL held.
std::vector<std::weak_ptr<Archive>> openArchives;

// Entry `member` (a path as extraction names it, or an Entry), looked up: (category, entry).
std::pair<int32_t, int32_t> entryNamed(const py::handle& member) {
  if (py::isinstance<Entry>(member)) {
    const Entry& e = member.cast<const Entry&>();
    return {e.category, e.entry};
  }
  const std::string path = fspath(member);
  const size_t slash = path.find('/');
  if (slash != std::string::npos) {
    const std::optional<int32_t> category =
        categoryOfFolder(std::string_view(path).substr(0, slash));
    const std::optional<int32_t> entry = entryOfFileName(std::string_view(path).substr(slash + 1));
    if (category && entry) return {*category, *entry};
  }
  PyErr_SetObject(PyExc_KeyError, py::str(path).ptr());
  throw py::error_already_set();
}

// The entry `member`, which extraction would write a file for: its description, looked up.
// Raises KeyError, EntryError (nodata, incomplete) or Error (the output bound).
EntryDescription entryToRead(Archive& archive, const py::handle& member, bool sizeLimit,
                             std::string& path) {
  const auto [category, entry] = entryNamed(member);
  path = entryPath(category, entry);
  std::string refusal;
  const EntryDescription d = translated({archive.path()}, [&] {
    py::gil_scoped_release release;
    const EntryDescription d = archive.describe(category, entry);
    if (d.hasData() && sizeLimit) {
      OutputBudget budget(outputBound(archive.size()));
      if (!budget.take(outputSizeOf(archive, d))) refusal = budget.refusal(path, archive.size());
    }
    return d;
  });
  if (!d.exists()) {
    PyErr_SetObject(PyExc_KeyError, py::str(path).ptr());
    throw py::error_already_set();
  }
  if (d.kind == EntryKind::NoData) raiseEntryError(path, "nodata");
  if (d.kind == EntryKind::Plain && !d.liesWithin(archive.size())) {
    raiseEntryError(path, entryProblemName(EntryProblem::Incomplete));
  }
  if (!refusal.empty()) raiseAs(errorTypes.error, py::make_tuple(refusal));
  return d;
}

// What read() and open() decode into, shared by the threads that call them: the buffers of one
// entry are kept for the next, up to what a run of the tools keeps, rather than faulted in afresh.
BufferPool decodeBuffers(kInFlightBudget);

// A compressed entry decoded, or the problem that keeps extraction from writing it.
DecodedBytes decode(const Archive& archive, const EntryDescription& d, const std::string& path,
                    size_t& size) {
  LoadedEntry loaded = [&] {
    py::gil_scoped_release release;
    return loadCompressedEntry(archive, d, decodeBuffers);
  }();
  if (loaded.problem == EntryProblem::OutOfMemory) {
    PyErr_SetString(PyExc_MemoryError, (path + ": out of memory to decode it").c_str());
    throw py::error_already_set();
  }
  if (loaded.problem != EntryProblem::None) raiseEntryError(path, entryProblemName(loaded.problem));
  size = loaded.size;
  return std::move(loaded.data);
}

}  // namespace

Entry describeForListing(const ByteSource& archive, const SweptEntry& e) {
  const EntryDescription& d = e.description;
  const EntryStorage storage = entryStorage(archive, d);
  return {e.path(),
          e.category,
          e.entry,
          d.sector,
          storageMethodName(storage.method),
          d.kind == EntryKind::NoData ? std::nullopt : std::optional<uint32_t>(d.stored),
          storage.size};
}

ArchiveHandle::ArchiveHandle(const py::object& name) : path_(fspath(name)) {
  const std::string& path = path_;
  archive_ = translated({path}, [&] {
    py::gil_scoped_release release;
    return std::shared_ptr<Archive>(Archive::open(path));
  });
  openArchives.push_back(archive_);
}

void refuseIfOpenHere(const std::string& path) {
  const std::optional<FileInfo> target = fileInfo(path);
  std::erase_if(openArchives, [](const std::weak_ptr<Archive>& a) { return a.expired(); });
  for (const std::weak_ptr<Archive>& weak : openArchives) {
    const std::shared_ptr<Archive> archive = weak.lock();
    const std::optional<FileInfo> open = archive ? fileInfo(archive->file()) : std::nullopt;
    if (target && open && open->device == target->device && open->inode == target->inode) {
      raiseAs(errorTypes.archiveError,
              py::make_tuple(fsText(path + " is open in this process (an Archive not yet "
                                           "closed); close it before changing the archive")));
    }
  }
}

py::bytes readEntry(const ArchiveHandle& handle, const py::handle& member, bool sizeLimit) {
  const std::shared_ptr<Archive> archive = handle.archive();
  std::string path;
  const EntryDescription d = entryToRead(*archive, member, sizeLimit, path);
  if (d.kind == EntryKind::Compressed) {
    size_t size = 0;
    const DecodedBytes data = decode(*archive, d, path, size);
    return py::bytes(reinterpret_cast<const char*>(data.get()), size);
  }
  py::object bytes =
      py::reinterpret_steal<py::object>(PyBytes_FromStringAndSize(nullptr, d.length));
  if (!bytes) throw py::error_already_set();
  char* buffer = PyBytes_AS_STRING(bytes.ptr());
  size_t got;
  {
    py::gil_scoped_release release;
    got = archive->readAt(d.offset, reinterpret_cast<uint8_t*>(buffer), d.length);
  }
  if (got != d.length) raiseEntryError(path, entryProblemName(EntryProblem::Incomplete));
  return py::reinterpret_steal<py::bytes>(bytes.release());
}

EntryReader::EntryReader(const ArchiveHandle& handle, const py::handle& member, bool sizeLimit)
    : archive_(handle.archive()) {
  d_ = entryToRead(*archive_, member, sizeLimit, path_);
  if (d_.kind == EntryKind::Compressed) {
    data_ = decode(*archive_, d_, path_, size_);
    archive_.reset();  // the decoded bytes are all it needs
  } else {
    size_ = d_.length;
  }
}

size_t EntryReader::readInto(uint64_t position, const py::buffer& buffer) {
  py::buffer_info info = buffer.request(true);
  const uint64_t want = static_cast<uint64_t>(info.size * info.itemsize);
  if (position >= size_) return 0;
  const size_t n = static_cast<size_t>(std::min(want, size_ - position));
  auto* target = static_cast<uint8_t*>(info.ptr);
  size_t got;
  {
    py::gil_scoped_release release;
    if (data_) {
      std::memcpy(target, data_.get() + position, n);
      got = n;
    } else {
      got = archive_->readAt(d_.offset + position, target, n);
    }
  }
  // The archive was cut short since the entry was opened.
  if (got != n) raiseEntryError(path_, entryProblemName(EntryProblem::Incomplete));
  return n;
}

Listing::Listing(const ArchiveHandle& handle, std::unique_ptr<Selection> selection)
    : archive_(handle.archive()), selection_(std::move(selection)) {
  sweep_ = std::make_unique<Sweep>(archive_->entries(*selection_));
}

py::object Listing::next() {
  if (!sweep_) throw py::stop_iteration();
  std::optional<Entry> entry = translated({archive_->path()}, [&]() -> std::optional<Entry> {
    py::gil_scoped_release release;
    for (;;) {
      std::optional<SweptEntry> e;
      try {
        e = sweep_->next();
      } catch (...) {
        sweep_.reset();
        throw;
      }
      if (!e) return std::nullopt;
      if (e->description.exists()) return describeForListing(*archive_, *e);
    }
  });
  if (!entry) {
    sweep_.reset();
    throw py::stop_iteration();
  }
  return py::cast(std::move(*entry));
}
py::list Listing::missing() const { return missingMembers(*selection_); }
