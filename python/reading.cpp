#include "reading.h"

#include <pybind11/stl.h>

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

#include "api/system.h"
#include "convert.h"

namespace {

// What read() and open() decode into, shared by the threads that call them: the buffers of one
// entry are kept for the next, up to what a run of the tools keeps, rather than faulted in afresh.
BufferPool decodeBuffers(kInFlightBudget);

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

// An entry's problem as the exception Python sees: MemoryError for no memory to decode it (not
// the entry's fault), EntryError with --test's word otherwise.
[[noreturn]] void raiseEntryProblem(const EntryError& e) {
  if (e.problem() == EntryProblem::OutOfMemory) {
    PyErr_SetString(PyExc_MemoryError, e.what());
    throw py::error_already_set();
  }
  raiseEntryError(e.path(), entryProblemName(e.problem()));
}

// Calls `f` with the GIL released, turning what reading an entry throws into Python's exceptions;
// the output bound's refusal says how to lift it here.
template <typename F>
void readingEntry(F f) {
  try {
    py::gil_scoped_release release;
    f();
  } catch (const EntryError& e) {
    raiseEntryProblem(e);
  } catch (const Error& e) {
    if (e.hint() != ErrorHint::LiftOutputBound) raiseHostError(e);
    raiseAs(errorTypes.error, py::make_tuple(messageOf(e)));
  }
}

// Entry `member` (a path or an Entry) opened as extraction would write it. Raises KeyError when
// there is no such entry, and what readingEntry() raises.
EntryBytes openMember(Archive& archive, const py::handle& member, bool sizeLimit) {
  const auto [category, entry] = entryNamed(member);
  std::optional<EntryBytes> bytes;
  readingEntry([&] {
    bytes =
        openEntry(archive, category, entry, {.outputBound = sizeLimit, .buffers = &decodeBuffers});
  });
  if (!bytes) {
    PyErr_SetObject(PyExc_KeyError, py::str(entryPath(category, entry)).ptr());
    throw py::error_already_set();
  }
  return std::move(*bytes);
}

}  // namespace

ArchiveHandle::ArchiveHandle(const py::object& name) : path_(fspath(name)) {
  const std::string& path = path_;
  archive_ = translated([&] {
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
  const EntryBytes entry = openMember(*archive, member, sizeLimit);
  if (const uint8_t* data = entry.data()) {
    return py::bytes(reinterpret_cast<const char*>(data), static_cast<py::ssize_t>(entry.size()));
  }
  py::object bytes = py::reinterpret_steal<py::object>(
      PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(entry.size())));
  if (!bytes) throw py::error_already_set();
  auto* buffer = reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(bytes.ptr()));
  readingEntry([&] { entry.readAt(0, buffer, entry.size()); });
  return py::reinterpret_steal<py::bytes>(bytes.release());
}

EntryReader::EntryReader(const ArchiveHandle& handle, const py::handle& member, bool sizeLimit)
    : archive_(handle.archive()), entry_(openMember(*archive_, member, sizeLimit)) {
  if (entry_.data() != nullptr) archive_.reset();  // the decoded bytes are all it needs
}

size_t EntryReader::readInto(uint64_t position, const py::buffer& buffer) {
  py::buffer_info info = buffer.request(true);
  const auto want = static_cast<size_t>(info.size * info.itemsize);
  size_t n = 0;
  readingEntry([&] { n = entry_.readAt(position, static_cast<uint8_t*>(info.ptr), want); });
  return n;
}

Listing::Listing(const ArchiveHandle& handle, std::unique_ptr<Selection> selection)
    : archive_(handle.archive()), selection_(std::move(selection)) {
  sweep_ = std::make_unique<Sweep>(archive_->entries(*selection_));
}

py::object Listing::next() {
  if (!sweep_) throw py::stop_iteration();
  std::optional<Entry> entry = translated([&]() -> std::optional<Entry> {
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
      if (e->description.exists()) return entryRecord(*archive_, *e);
    }
  });
  if (!entry) {
    sweep_.reset();
    throw py::stop_iteration();
  }
  return py::cast(std::move(*entry));
}
py::list Listing::missing() const { return missingMembers(*selection_); }
