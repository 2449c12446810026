// Conversions between the library's values and Python's: paths and names as the system's bytes,
// the library's errors as the package's exceptions, the selection arguments, and the runner that
// keeps long work stoppable from Python.
#pragma once

#include <pybind11/pybind11.h>

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "api/archive.h"
#include "api/error.h"

namespace py = pybind11;

// The package's exception classes (kept for the life of the process).
struct ErrorTypes {
  py::handle error, machineFault, archiveError, entryError;
};
extern ErrorTypes errorTypes;

// A name or message of the system's as Python's str (bytes that are not UTF-8 kept as os.fsdecode
// keeps them).
py::str fsText(const std::string& text);
py::list fsTexts(const std::vector<std::string>& texts);
// A path argument (str, bytes or os.PathLike) as the system's bytes, as open() takes it.
std::string fspath(const py::handle& path);

[[noreturn]] void raiseAs(py::handle type, const py::tuple& args);
// What the module adds to the library's words: the argument or function that does what the hint
// says.
std::string hintWords(ErrorHint hint);
// The library's message and its hint's words.
std::string messageOf(const Error& e);
// An Error as Python sees it: OSError (of the subclass its errno picks) with the errno, the
// library's message and the file it concerns; ArchiveError when the failure is the archive's or a
// refusal.
[[noreturn]] void raiseHostError(const Error& e);
[[noreturn]] void raiseEntryError(const std::string& path, const char* problem);

// Calls `f`, turning the library's exceptions into Python's.
template <typename F>
auto translated(F f) -> decltype(f()) {
  try {
    return f();
  } catch (const Error& e) {
    raiseHostError(e);
  }
}

std::unique_ptr<Selection> makeSelection(const py::object& categories, const py::object& entries,
                                         const py::object& members, bool allCategories);
// The members that matched nothing, as they were given.
py::list missingMembers(const Selection& selection);
// Worker threads: one per core by default, at most as many as archive-extract --jobs takes.
unsigned workers(const py::object& jobs);

// Runs `work` on a thread of its own (SIGINT and SIGTERM blocked there and in the threads it
// starts, so that the interpreter's handlers run on the calling thread). Meanwhile the calling
// thread, the GIL held, runs the signal handlers and `tick(false)` every 10 ms; when either
// raises, `cancel` is set, the work is waited for and the exception raised. Otherwise
// `tick(true)` runs at the end and what the work threw is thrown.
void runStoppable(std::atomic<bool>& cancel, const std::function<void()>& work,
                  const std::function<void(bool)>& tick = {});
