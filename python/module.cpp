// The compiled part of the Python package archive_extract (archive_extract._core): the library's
// archives, sweeps, readers, tester, extractor and packer, with the Python objects they take and
// give. The package's __init__.py puts the public API on top (generators, the file object, the
// exception classes), and hands the exception classes over through _set_errors().
//
// Long work runs with the GIL released. Work that can be stopped (testing, extracting) runs on a
// thread of its own while the calling thread waits with the GIL held every 50 ms to run Python's
// signal handlers and the progress callback; a KeyboardInterrupt (or any exception they raise)
// sets the library's cancel flag, the work stops as SIGINT stops the command line, and the
// exception is raised once it has.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <signal.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "archive/categories.h"
#include "archive/format.h"
#include "cpu/fault.h"
#include "extract/extractor.h"
#include "extract/ordered_pool.h"
#include "pack/build.h"
#include "pack/compact.h"
#include "pack/replace_file.h"
#include "pack/source_tree.h"
#include "pack/store.h"
#include "pack/update.h"
#include "platform/file.h"
#include "platform/folder.h"
#include "platform/error.h"
#include "platform/process.h"
#include "reading/archive.h"
#include "reading/entry.h"
#include "reading/inspect.h"
#include "reading/limit.h"
#include "reading/read.h"
#include "reading/selection.h"
#include "reading/sweep.h"

namespace py = pybind11;

namespace {

// The package's exception classes (kept for the life of the process).
struct ErrorTypes {
  py::handle error, machineFault, archiveError, entryError;
};
ErrorTypes errorTypes;

// A name or message of the system's as Python's str (bytes that are not UTF-8 kept as os.fsdecode
// keeps them).
py::str fsText(const std::string& text) {
  PyObject* decoded =
      PyUnicode_DecodeFSDefaultAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  if (decoded == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(decoded);
}

py::list fsTexts(const std::vector<std::string>& texts) {
  py::list list;
  for (const std::string& text : texts) list.append(fsText(text));
  return list;
}

// A path argument (str, bytes or os.PathLike) as the system's bytes, as open() takes it.
std::string fspath(const py::handle& path) {
  py::object name = py::reinterpret_steal<py::object>(PyOS_FSPath(path.ptr()));
  if (!name) throw py::error_already_set();
  if (py::isinstance<py::str>(name)) {
    name = py::reinterpret_steal<py::object>(PyUnicode_EncodeFSDefault(name.ptr()));
    if (!name) throw py::error_already_set();
  }
  std::string bytes = name.cast<std::string>();
  if (bytes.find('\0') != std::string::npos) throw py::value_error("embedded null byte");
  return bytes;
}

[[noreturn]] void raiseAs(py::handle type, const py::tuple& args) {
  PyErr_SetObject(type.ptr(), args.ptr());
  throw py::error_already_set();
}

// What a call failed on, for OSError.filename: the first of the call's paths that the message
// names, taken to the end of the name when the message goes on below it ("cannot write
// out/models - g/0001.raw: No space left on device").
py::object nameIn(const std::string& message, int code, const std::vector<std::string>& paths) {
  const std::string reason = std::string(": ") + std::strerror(code);
  std::string what = message;
  if (what.size() >= reason.size() && what.ends_with(reason)) {
    what.resize(what.size() - reason.size());
  }
  for (const std::string& path : paths) {
    const size_t at = path.empty() ? std::string::npos : what.find(path);
    if (at == std::string::npos) continue;
    const size_t end = at + path.size();
    if (end < what.size() && what[end] == '/') return fsText(what.substr(at));
    return fsText(path);
  }
  return py::none();
}

// A Error as Python sees it: OSError (of the subclass its errno picks) with the errno, the
// library's message and the file; ArchiveError when the failure is the archive's or a refusal.
[[noreturn]] void raiseHostError(const Error& e, const std::vector<std::string>& paths) {
  if (e.code() == 0) raiseAs(errorTypes.archiveError, py::make_tuple(fsText(e.what())));
  py::object error = py::reinterpret_steal<py::object>(
      PyObject_CallFunctionObjArgs(PyExc_OSError, py::int_(e.code()).ptr(), fsText(e.what()).ptr(),
                                   nameIn(e.what(), e.code(), paths).ptr(), nullptr));
  if (!error) throw py::error_already_set();
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
  throw py::error_already_set();
}

// The machine's line without its line feed (empty for a silent stop).
[[noreturn]] void raiseFault(const r5900::MachineFault& fault) {
  std::string line = fault.line;
  if (!line.empty() && line.back() == '\n') line.pop_back();
  raiseAs(errorTypes.machineFault, py::make_tuple(line));
}

// Calls `f`, turning the library's exceptions into Python's.
template <typename F>
auto translated(const std::vector<std::string>& paths, F f) -> decltype(f()) {
  try {
    return f();
  } catch (const Error& e) {
    raiseHostError(e, paths);
  } catch (const r5900::MachineFault& fault) {
    raiseFault(fault);
  }
}

// "g,hc,25" from a string as given or from an iterable of letters and numbers.
std::string commaList(const py::handle& value) {
  if (py::isinstance<py::str>(value)) return value.cast<std::string>();
  std::string list;
  for (const py::handle item : value) {
    if (!list.empty()) list += ',';
    list += py::isinstance<py::str>(item) ? item.cast<std::string>()
                                          : py::str(item).cast<std::string>();
  }
  return list;
}

std::unique_ptr<Selection> makeSelection(const py::object& categories, const py::object& entries,
                                         const py::object& members, bool allCategories) {
  auto selection = std::make_unique<Selection>();
  std::string error;
  if (!categories.is_none() && !selection->restrictCategories(commaList(categories), error)) {
    throw py::value_error(error);
  }
  if (!entries.is_none() && !selection->restrictEntries(commaList(entries), error)) {
    throw py::value_error(error);
  }
  if (!members.is_none()) {
    std::vector<std::string> names;
    if (py::isinstance<py::str>(members) || py::hasattr(members, "__fspath__")) {
      names.push_back(fspath(members));
    } else {
      for (const py::handle m : members) names.push_back(fspath(m));
    }
    // Each pattern is matched against every folder and file name here, once.
    py::gil_scoped_release release;
    for (const std::string& name : names) selection->addMember(name);
  }
  if (allCategories) selection->sweepAllCategories();
  return selection;
}

// The members that matched nothing, as they were given.
py::list missingMembers(const Selection& selection) {
  py::list missing;
  for (const Member& m : selection.members()) {
    if (!m.found) missing.append(fsText(m.text));
  }
  return missing;
}

// One entry as --list --json prints it.
struct Entry {
  std::string path;
  int32_t category;
  int32_t entry;
  uint32_t sector;
  std::string method;
  std::optional<uint32_t> stored;
  std::optional<uint32_t> size;
};

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

// One entry as --test --json prints it.
struct TestResult : Entry {
  bool ok;
  std::optional<std::string> problem;
  bool shared;
};

// SIGINT and SIGTERM go to the other threads (the interpreter's handlers run on the main thread):
// the library's calls on this thread and those it starts are never interrupted by them.
void blockStopSignals() {
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGINT);
  sigaddset(&stops, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stops, nullptr);
}

// Runs `work` on a thread of its own (SIGINT and SIGTERM blocked there and in the threads it
// starts, so that the interpreter's handlers run on the calling thread). Meanwhile the calling
// thread, the GIL held, runs the signal handlers and `tick` every 50 ms; when either raises,
// `cancel` is set, the work is waited for and the exception raised. Otherwise `tick` runs once
// more at the end and what the work threw is thrown.
void runStoppable(std::atomic<bool>& cancel, const std::function<void()>& work,
                  const std::function<void()>& tick = {}) {
  std::mutex mutex;
  std::condition_variable ended;
  bool done = false;
  std::exception_ptr thrown;
  std::thread thread([&] {
    blockStopSignals();
    try {
      work();
    } catch (...) {
      thrown = std::current_exception();
    }
    std::lock_guard lock(mutex);
    done = true;
    ended.notify_all();
  });
  std::optional<py::error_already_set> raised;
  for (;;) {
    {
      py::gil_scoped_release release;
      std::unique_lock lock(mutex);
      if (ended.wait_for(lock, std::chrono::milliseconds(50), [&] { return done; })) break;
    }
    try {
      if (PyErr_CheckSignals() != 0) throw py::error_already_set();
      if (tick) tick();
    } catch (py::error_already_set& e) {
      raised = std::move(e);
      cancel = true;
      break;
    }
  }
  {
    py::gil_scoped_release release;
    thread.join();
  }
  if (raised) throw std::move(*raised);
  if (tick) tick();
  if (thrown) std::rethrow_exception(thrown);
}

// The selected entries that exist, looked up in sweep order; a fault of the machine ends the
// lookups (the entries before it are kept) and is handed back.
std::vector<SweptEntry> lookUp(Archive& archive, Selection& selection,
                               const std::atomic<bool>& cancel,
                               std::optional<r5900::MachineFault>& fault) {
  Sweep sweep = archive.entries(selection);
  return lookUpExisting(sweep, cancel, fault);
}

// How far a run has come, by entries with data and the bytes the index says they expand to.
struct Progress {
  std::atomic<uint64_t> entries{0}, entriesTotal{0}, bytes{0}, bytesTotal{0};
  std::atomic<bool> counted{false};  // the totals are known
  void count(const std::vector<SweptEntry>& all) {
    for (const SweptEntry& e : all) {
      if (!e.description.hasData()) continue;
      ++entriesTotal;
      bytesTotal += e.description.length;
    }
    counted = true;
  }
  void advance(const SweptEntry& e) {
    if (!e.description.hasData()) return;
    ++entries;
    bytes += e.description.length;
  }
};

// What a run that stopped early or went wrong leaves for the Python side to raise, in the order
// the command line reports it.
struct RunEnd {
  std::optional<std::string> faultLine;  // the machine stopped the lookups
  std::optional<std::string> failure;    // the run stopped (the output bound, a failed write)
  bool outOfMemory = false;              // with `failure`: no memory to decode an entry
};

std::optional<std::string> faultLineOf(const std::optional<r5900::MachineFault>& fault) {
  if (!fault) return std::nullopt;
  std::string line = fault->line;
  if (!line.empty() && line.back() == '\n') line.pop_back();
  return line;
}

// The archives open in this process, with the files and iterators that outlive their Archive:
// each holds its archive's shared lock, which the packer's commands would wait for in vain.
// Touched with the GIL held.
std::vector<std::weak_ptr<Archive>> openArchives;

// The packer's commands refuse at once an archive this process holds open (the same file, by
// device and inode), rather than wait for its lock.
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

// An archive open for reading, shared with the file objects and iterators made from it, so that
// they stay usable after it is closed.
class ArchiveHandle {
 public:
  explicit ArchiveHandle(const py::object& name) : path_(fspath(name)) {
    const std::string& path = path_;
    archive_ = translated({path}, [&] {
      py::gil_scoped_release release;
      return std::shared_ptr<Archive>(Archive::open(path));
    });
    openArchives.push_back(archive_);
  }
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

[[noreturn]] void raiseEntryError(const std::string& path, const char* problem) {
  raiseAs(errorTypes.entryError, py::make_tuple(path + ": " + problem, problem, path));
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

// What an open entry reads from: a plain entry's bytes in the archive (read where they lie, when
// asked for), or a compressed entry decoded when it was opened.
class EntryReader {
 public:
  EntryReader(const ArchiveHandle& handle, const py::handle& member, bool sizeLimit)
      : archive_(handle.archive()) {
    d_ = entryToRead(*archive_, member, sizeLimit, path_);
    if (d_.kind == EntryKind::Compressed) {
      data_ = decode(*archive_, d_, path_, size_);
      archive_.reset();  // the decoded bytes are all it needs
    } else {
      size_ = d_.length;
    }
  }
  uint64_t size() const { return size_; }
  const std::string& path() const { return path_; }

  // Up to len(buffer) bytes from `position` into `buffer`: how many (0 at or past the end).
  size_t readInto(uint64_t position, const py::buffer& buffer) {
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

 private:
  std::shared_ptr<Archive> archive_;
  EntryDescription d_{};
  std::string path_;
  DecodedBytes data_;
  size_t size_ = 0;
};

// Entries in sweep order, looked up one at a time as the iteration asks for them.
class Listing {
 public:
  Listing(const ArchiveHandle& handle, std::unique_ptr<Selection> selection)
      : archive_(handle.archive()), selection_(std::move(selection)) {
    sweep_ = std::make_unique<Sweep>(archive_->entries(*selection_));
  }
  py::object next() {
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
  py::list missing() const { return missingMembers(*selection_); }

 private:
  std::shared_ptr<Archive> archive_;
  std::unique_ptr<Selection> selection_;
  std::unique_ptr<Sweep> sweep_;
};

// Worker threads: one per core by default, at most as many as archive-extract --jobs takes.
unsigned workers(const py::object& jobs) {
  constexpr long kMaxJobs = 256;
  if (jobs.is_none()) return coreCount();
  if (!py::isinstance<py::int_>(jobs)) throw py::type_error("jobs must be an int or None");
  const long n = PyLong_AsLong(jobs.ptr());
  if (PyErr_Occurred()) PyErr_Clear();
  if (n < 1 || n > kMaxJobs) {
    throw py::value_error("jobs needs a number from 1 to " + std::to_string(kMaxJobs) + ", not " +
                          py::repr(jobs).cast<std::string>());
  }
  return static_cast<unsigned>(n);
}

// The integrity test of the selected entries, as --test runs it: read and decoded on `jobs`
// workers under the output bound, the verdicts in sweep order.
py::tuple testEntries(const ArchiveHandle& handle, const py::object& categories,
                      const py::object& entries, const py::object& members, bool allCategories,
                      bool sizeLimit, const py::object& jobs) {
  const std::shared_ptr<Archive> archive = handle.archive();
  std::unique_ptr<Selection> selection = makeSelection(categories, entries, members, allCategories);
  const unsigned threads = workers(jobs);
  std::vector<TestResult> results;
  RunEnd end;
  std::atomic<bool> cancel{false};
  struct Work : OrderedWork {
    const Archive& archive;
    EntryTester& tester;
    const SweptEntry& e;
    bool shared;
    std::vector<TestResult>& results;
    RunEnd& end;
    EntryProblem problem = EntryProblem::None;
    Work(const Archive& a, EntryTester& t, const SweptEntry& e, bool shared,
         std::vector<TestResult>& r, RunEnd& end)
        : archive(a), tester(t), e(e), shared(shared), results(r), end(end) {}
    void perform(WorkerState&) override { problem = tester.test(e.description); }
    bool finish() override {
      if (problem == EntryProblem::OutOfMemory) {
        end.failure = e.path() + ": out of memory to decode it";
        end.outOfMemory = true;
        return true;
      }
      TestResult r{describeForListing(archive, e), problem == EntryProblem::None, std::nullopt,
                   shared};
      if (!r.ok) r.problem = entryProblemName(problem);
      results.push_back(std::move(r));
      return false;
    }
  };
  translated({archive->path()}, [&] {
    runStoppable(cancel, [&] {
      std::optional<r5900::MachineFault> fault;
      const std::vector<SweptEntry> swept = lookUp(*archive, *selection, cancel, fault);
      EntryTester tester(*archive, sizeLimit ? outputBound(archive->size()) : kNoOutputBound);
      bool stopped = false;
      {
        OrderedPool pool(threads, &cancel);
        for (const SweptEntry& e : swept) {
          if (cancel.load()) break;
          if (!e.description.hasData()) continue;
          try {
            const EntryTester::Admission admitted = tester.admit(e);
            auto work = std::make_unique<Work>(*archive, tester, e, admitted.shared, results, end);
            if (e.description.kind == EntryKind::Compressed) {
              work->weight = e.description.inputBufferSize() + admitted.expanded;
            }
            if (!pool.submit(std::move(work))) break;
          } catch (const Error& error) {  // the output bound: the entries before it finish
            end.failure = error.what();
            break;
          }
        }
        stopped = pool.finish();
      }
      if (fault && !end.failure && !stopped) end.faultLine = faultLineOf(fault);
    });
  });
  return py::make_tuple(std::move(results), end.faultLine, end.failure, end.outOfMemory,
                        missingMembers(*selection));
}

// What the extraction reports, kept for the Python side: the paths written (in sweep order), and
// the problems by path.
class CollectedEvents : public ExtractEvents {
 public:
  void extracting(const std::string& path) override { written.push_back(path); }
  void unsupported(const std::string& path) override { spoil(path, "unsupported"); }
  void problem(const std::string& path, const std::string& what) override {
    // An entry's own damage by the word --test uses; anything else (a file or folder that could
    // not be made) as the command line words it.
    for (const char* word : {"corrupt", "incomplete"}) {
      if (what.rfind(word, 0) == 0) return spoil(path, word);
    }
    spoil(path, what);
  }
  void skipped(const std::string& path) override { problems.emplace_back(path, "folder"); }
  void failure(const std::string& message) override { failed = message; }

  std::vector<std::string> written;
  std::vector<std::pair<std::string, std::string>> problems;
  std::optional<std::string> failed;

 private:
  void spoil(const std::string& path, const std::string& word) {
    if (!written.empty() && written.back() == path) written.pop_back();
    problems.emplace_back(path, word);
  }
};

// Extraction into `output`, as archive-extract -C OUTPUT runs it.
py::tuple extractEntries(const ArchiveHandle& handle, const py::object& outputPath,
                         const py::object& categories, const py::object& entries,
                         const py::object& members, bool allCategories, bool overwrite,
                         const py::object& jobs, bool sizeLimit, const py::object& progress) {
  const std::shared_ptr<Archive> archive = handle.archive();
  std::unique_ptr<Selection> selection = makeSelection(categories, entries, members, allCategories);
  const unsigned threads = workers(jobs);
  const std::string output = fspath(outputPath);
  std::optional<Folder> folder = openFolder(output);
  if (!folder) {
    const int error = errno;
    raiseHostError(
        Error(withReason("cannot use " + output + " as the output folder", error), error),
        {output});
  }
  CollectedEvents events;
  RunEnd end;
  Progress done;
  std::atomic<bool> cancel{false};
  bool clean = false;
  std::string summary;  // the command line's last line after problems
  uint64_t lastEntries = UINT64_MAX, lastBytes = UINT64_MAX;
  const std::function<void()> tick = [&] {
    if (progress.is_none() || !done.counted) return;  // the lookups are still going on
    const uint64_t e = done.entries, b = done.bytes;
    if (e == lastEntries && b == lastBytes) return;
    lastEntries = e;
    lastBytes = b;
    progress(e, done.entriesTotal.load(), b, done.bytesTotal.load());
  };
  translated({output, archive->path()}, [&] {
    runStoppable(
        cancel,
        [&] {
          std::optional<r5900::MachineFault> fault;
          const std::vector<SweptEntry> swept = lookUp(*archive, *selection, cancel, fault);
          done.count(swept);
          ExtractOptions options;
          options.overwrite = overwrite;
          options.cancel = &cancel;
          options.outputBound = sizeLimit ? outputBound(archive->size()) : kNoOutputBound;
          options.jobs = threads;
          Extractor extractor(*archive, std::move(*folder), events, options);
          for (const SweptEntry& e : swept) {
            if (cancel.load() || !extractor.extract(e.category, e.entry, e.description)) break;
            done.advance(e);
          }
          const ExtractStatus status = extractor.finish();
          // Every file named is in `written`; one reported and then not named ended the run.
          const ExtractCounts counts = extractor.counts();
          while (events.written.size() > counts.written) events.written.pop_back();
          summary = std::to_string(counts.written) + (counts.written == 1 ? " entry" : " entries") +
                    " written, " +
                    std::to_string(done.entriesTotal.load() - counts.kept - counts.written) +
                    " not written";
          if (fault && status != ExtractStatus::Stopped && !cancel.load()) {
            end.faultLine = faultLineOf(fault);
          }
          clean = status == ExtractStatus::Clean && !cancel.load();
          if (clean) {
            done.entries = done.entriesTotal.load();
            done.bytes = done.bytesTotal.load();
          }
        },
        tick);
  });
  return py::make_tuple(events.written, events.problems, end.faultLine, events.failed,
                        missingMembers(*selection), summary);
}

// The --method words of archive-pack.
StorageMethod packMethod(const std::string& name, bool update) {
  const std::optional<StorageMethod> method = parseStorageMethod(name);
  if (!method || !isPackerMethod(*method)) {
    throw py::value_error("unknown method '" + name + "' (keep, auto, plain, stored, lz or rle)");
  }
  if (*method == StorageMethod::Keep && !update) {
    throw py::value_error("method keep applies to update() only");
  }
  return *method;
}

// The copies stopped runs left in the archive's folder are removed, and a journal a stopped update
// left beside the archive is completed or discarded first, as archive-pack does before it writes
// (a dry run leaves it to the library, which refuses it).
void recoverBeforeWriting(const std::string& archive, std::vector<std::string>& notes) {
  for (std::string& note : removeLeftCopies(archive)) notes.push_back(std::move(note));
  std::optional<std::string> real;
  try {
    real = resolveSymlinks(archive);
  } catch (const Error&) {
  }
  if (real && linkInfo(journalPath(*real))) {
    const std::string note = recoverArchive(archive);
    if (!note.empty()) notes.push_back(note);
  }
}

// "PATH: ACTION" lines as (path, action).
std::vector<std::pair<std::string, std::string>> reportPairs(
    const std::vector<std::string>& lines) {
  std::vector<std::pair<std::string, std::string>> pairs;
  for (const std::string& line : lines) {
    const size_t colon = line.find(": ");
    pairs.emplace_back(line.substr(0, colon),
                       colon == std::string::npos ? "" : line.substr(colon + 2));
  }
  return pairs;
}

// Runs a packer command with the GIL released, on a thread that SIGINT and SIGTERM do not
// interrupt: the command commits or leaves the archive as it was, and a KeyboardInterrupt comes
// once it has returned. Notes go to the Python side even when it fails (returned with the result,
// or attached to the exception as .notes).
template <typename F>
py::tuple packed(const std::vector<std::string>& paths, F f) {
  std::vector<std::string> notes;
  try {
    return translated(paths, [&] {
      std::exception_ptr thrown;
      {
        py::gil_scoped_release release;
        std::thread([&] {
          blockStopSignals();
          try {
            f(notes);
          } catch (...) {
            thrown = std::current_exception();
          }
        }).join();
      }
      if (thrown) std::rethrow_exception(thrown);
      return py::make_tuple(fsTexts(notes));
    });
  } catch (py::error_already_set& e) {
    if (e.matches(PyExc_Exception)) e.value().attr("notes") = fsTexts(notes);
    throw;
  }
}

}  // namespace

PYBIND11_MODULE(_core, m) {
  m.doc() = "The compiled part of archive_extract; use the package's API instead.";
  m.attr("version") = PROJECT_VERSION;

  m.def("_set_errors",
        [](py::handle error, py::handle fault, py::handle archive, py::handle entry) {
          errorTypes = {error.inc_ref(), fault.inc_ref(), archive.inc_ref(), entry.inc_ref()};
        });

  py::class_<Entry>(m, "Entry", "One entry of the archive, as the listing shows it.")
      .def_readonly("path", &Entry::path, "Where extraction writes it: \"models - g/0001.raw\".")
      .def_readonly("category", &Entry::category, "The category number (0 to 255).")
      .def_readonly("entry", &Entry::entry, "The entry number in its category (0 to 9999).")
      .def_readonly("sector", &Entry::sector, "The archive sector its data starts at.")
      .def_readonly("method", &Entry::method,
                    "How it is stored: stored, lz, rle, unsupported, plain, unknown or nodata.")
      .def_readonly("stored", &Entry::stored, "Bytes it occupies in the archive (None: no data).")
      .def_readonly("size", &Entry::size, "Bytes it expands to (None: not known).")
      .def("__repr__", [](const Entry& e) { return "<Entry " + e.path + " " + e.method + ">"; });

  py::class_<TestResult, Entry>(m, "TestResult", "One entry's verdict of the integrity test.")
      .def_readonly("ok", &TestResult::ok, "Whether it reads and decodes soundly.")
      .def_readonly("problem", &TestResult::problem,
                    "None, or what is wrong: corrupt, unsupported or incomplete.")
      .def_readonly("shared", &TestResult::shared,
                    "Whether its stored bytes overlap an earlier entry's.")
      .def("__repr__", [](const TestResult& r) {
        return "<TestResult " + r.path + " " + (r.ok ? std::string("ok") : *r.problem) + ">";
      });

  py::class_<ArchiveHandle, std::shared_ptr<ArchiveHandle>>(m, "ArchiveHandle")
      .def(py::init<const py::object&>())
      .def("close", &ArchiveHandle::close)
      .def_property_readonly("closed", &ArchiveHandle::closed)
      .def_property_readonly("size", &ArchiveHandle::size)
      .def("listing",
           [](const ArchiveHandle& h, const py::object& categories, const py::object& entries,
              const py::object& members, bool all) {
             return std::make_unique<Listing>(h, makeSelection(categories, entries, members, all));
           })
      .def("read", &readEntry)
      .def("reader",
           [](const ArchiveHandle& h, const py::handle& member, bool sizeLimit) {
             return std::make_unique<EntryReader>(h, member, sizeLimit);
           })
      .def("test", &testEntries)
      .def("extract", &extractEntries);

  py::class_<Listing>(m, "Listing")
      .def("__iter__", [](py::object self) { return self; })
      .def("__next__", &Listing::next)
      .def("missing", &Listing::missing);

  py::class_<EntryReader>(m, "EntryReader")
      .def_property_readonly("size", &EntryReader::size)
      .def_property_readonly("path", &EntryReader::path)
      .def("readinto", &EntryReader::readInto);

  m.def("update", [](const py::object& source, const py::object& archivePath,
                     const std::string& method, bool inPlace, bool dryRun) {
    const std::string archive = fspath(archivePath), from = fspath(source);
    refuseIfOpenHere(archive);
    UpdateOptions options;
    options.method = packMethod(method, true);
    options.inPlace = inPlace;
    options.dryRun = dryRun;
    UpdateResult result;
    py::tuple notes = packed({archive, from}, [&](std::vector<std::string>& notes) {
      if (!dryRun) recoverBeforeWriting(archive, notes);
      const SourceTree tree = readSourceTree(from);
      for (const std::string& skipped : tree.skipped) notes.push_back("skipping " + skipped);
      try {
        updateArchive(tree, archive, options, result);
      } catch (const Error&) {
        notes.insert(notes.end(), result.notes.begin(), result.notes.end());
        throw;
      }
      notes.insert(notes.end(), result.notes.begin(), result.notes.end());
    });
    return py::make_tuple(reportPairs(result.report), notes[0]);
  });

  m.def("build", [](const py::object& source, const py::object& archivePath,
                    const std::string& method, bool force) {
    const std::string archive = fspath(archivePath), from = fspath(source);
    const StorageMethod storage = packMethod(method, false);
    py::tuple notes = packed({archive, from}, [&](std::vector<std::string>& notes) {
      recoverBeforeWriting(archive, notes);
      const SourceTree tree = readSourceTree(from);
      for (const std::string& skipped : tree.skipped) notes.push_back("skipping " + skipped);
      const std::optional<FileInfo> existing = fileInfo(archive);
      if (existing && existing->regular && !force) {
        throw Error(archive +
                        " exists; use update() to put the source folder's files into "
                        "it, or force=True to replace it with an archive of that "
                        "folder alone");
      }
      buildArchive(tree, archive, storage);
    });
    return py::object(notes[0]);
  });

  m.def("delete", [](const py::object& archivePath, const std::vector<std::string>& members,
                     bool inPlace, bool dryRun) {
    const std::string archive = fspath(archivePath);
    if (members.empty()) throw py::value_error("delete() needs at least one member");
    refuseIfOpenHere(archive);
    UpdateOptions options;
    options.inPlace = inPlace;
    options.dryRun = dryRun;
    UpdateResult result;
    py::tuple notes = packed({archive}, [&](std::vector<std::string>& notes) {
      if (!dryRun) recoverBeforeWriting(archive, notes);
      try {
        deleteEntries(members, archive, options, result);
      } catch (const Error&) {
        notes.insert(notes.end(), result.notes.begin(), result.notes.end());
        throw;
      }
      notes.insert(notes.end(), result.notes.begin(), result.notes.end());
    });
    return py::make_tuple(reportPairs(result.report), notes[0]);
  });

  m.def("compact", [](const py::object& archivePath, bool dryRun) {
    const std::string archive = fspath(archivePath);
    refuseIfOpenHere(archive);
    CompactResult result;
    py::tuple notes = packed({archive}, [&](std::vector<std::string>& notes) {
      try {
        compactArchive(archive, CompactOptions{dryRun, std::nullopt, {}}, result);
      } catch (const Error&) {
        notes.insert(notes.end(), result.notes.begin(), result.notes.end());
        throw;
      }
      notes.insert(notes.end(), result.notes.begin(), result.notes.end());
    });
    return py::make_tuple(fsText(result.report), notes[0]);
  });

  m.def("recover", [](const py::object& archivePath) {
    const std::string archive = fspath(archivePath);
    refuseIfOpenHere(archive);
    std::string note;
    packed({archive}, [&](std::vector<std::string>&) { note = recoverArchive(archive); });
    return fsText(note);
  });
}
