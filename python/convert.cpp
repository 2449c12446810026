#include "convert.h"

#include <pybind11/stl.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <optional>
#include <thread>

#include "api/system.h"

ErrorTypes errorTypes;

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

std::string hintWords(ErrorHint hint) {
  switch (hint) {
    case ErrorHint::LiftOutputBound: return "; size_limit=False lifts it";
    case ErrorHint::RecoverFirst: return ": run archive_extract.recover() first";
    case ErrorHint::EditInPlace: return " (in_place=True needs only the appended groups)";
    case ErrorHint::PlainMethod: return "; use method=\"plain\"";
    case ErrorHint::EditByCopy:
      return "; update it with in_place=False: the new archive then takes this name alone";
    case ErrorHint::RecoverToFinish: return " (archive_extract.recover() completes it)";
    case ErrorHint::UpdateOrReplace:
      return "; use update() to put the source folder's files into it, or force=True to replace "
             "it with an archive of that folder alone";
    case ErrorHint::None: return "";
  }
  return "";
}

std::string messageOf(const Error& e) { return e.what() + hintWords(e.hint()); }

[[noreturn]] void raiseHostError(const Error& e) {
  // A stop of the machine: MachineFault with its line.
  if (e.kind() == ErrorKind::MachineFault) {
    raiseAs(errorTypes.machineFault, py::make_tuple(e.what()));
  }
  if (e.code() == 0) raiseAs(errorTypes.archiveError, py::make_tuple(fsText(messageOf(e))));
  // With a file named, the reason alone, as Python's own OSError words it ("[Errno 2] No such
  // file or directory: 'X'"): the library's words name the file too.
  const bool named = !e.path().empty() && e.hint() == ErrorHint::None;
  py::object error = py::reinterpret_steal<py::object>(PyObject_CallFunctionObjArgs(
      PyExc_OSError, py::int_(e.code()).ptr(),
      fsText(named ? std::string(std::strerror(e.code())) : messageOf(e)).ptr(),
      (e.path().empty() ? py::object(py::none()) : py::object(fsText(e.path()))).ptr(), nullptr));
  if (!error) throw py::error_already_set();
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
  throw py::error_already_set();
}

[[noreturn]] void raiseEntryError(const std::string& path, const char* problem) {
  raiseAs(errorTypes.entryError, py::make_tuple(path + ": " + problem, problem, path));
}

// "g,hc,25" from a string as given, one number, or an iterable of letters and numbers.
std::string commaList(const py::handle& value) {
  if (py::isinstance<py::str>(value)) return value.cast<std::string>();
  if (py::isinstance<py::int_>(value)) return py::str(value).cast<std::string>();
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
  try {
    if (!categories.is_none()) selection->restrictCategories(commaList(categories));
    if (!entries.is_none()) selection->restrictEntries(commaList(entries));
  } catch (const Error& e) {
    throw py::value_error(e.what());
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

void runStoppable(std::atomic<bool>& cancel, const std::function<void()>& work,
                  const std::function<void(bool)>& tick) {
  std::mutex mutex;
  std::condition_variable ended;
  bool done = false;
  std::exception_ptr thrown;
  std::thread thread([&] {
    blockStopSignalsOnThisThread();
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
  // A signal only marks itself for the interpreter; nothing wakes this thread for it, so it looks
  // every 10 ms, and a Ctrl-C stops the run at once.
  for (;;) {
    {
      py::gil_scoped_release release;
      std::unique_lock lock(mutex);
      if (ended.wait_for(lock, std::chrono::milliseconds(10), [&] { return done; })) break;
    }
    try {
      if (PyErr_CheckSignals() != 0) throw py::error_already_set();
      if (tick) tick(false);
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
  if (tick) tick(true);
  if (thrown) std::rethrow_exception(thrown);
}
