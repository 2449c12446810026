#include "packing.h"

#include <pybind11/stl.h>

#include <cstdint>
#include <exception>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "api/pack.h"
#include "api/system.h"
#include "convert.h"
#include "reading.h"

namespace {

// The method words of archive-pack.
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

// The notes a command makes, for the Python side: returned with its result, or attached to the
// exception as .notes.
struct Notes : PackEvents {
  std::vector<std::string> kept;
  void note(const std::string& text) override { kept.push_back(text); }
};

// Runs a packer command with the GIL released, on a thread that SIGINT and SIGTERM do not
// interrupt: the command commits or leaves the archive as it was, and a KeyboardInterrupt comes
// once it has returned. Returns its notes.
template <typename F>
py::list packed(F f) {
  Notes notes;
  try {
    translated([&] {
      std::exception_ptr thrown;
      {
        py::gil_scoped_release release;
        std::thread([&] {
          blockStopSignalsOnThisThread();
          try {
            Packer packer(notes);
            f(packer);
          } catch (...) {
            thrown = std::current_exception();
          }
        }).join();
      }
      if (thrown) std::rethrow_exception(thrown);
    });
  } catch (py::error_already_set& e) {
    if (e.matches(PyExc_Exception)) e.value().attr("notes") = fsTexts(notes.kept);
    throw;
  }
  return fsTexts(notes.kept);
}

// The source of a build or an update: a folder's path, or a dict of entry paths (str) to bytes-like
// objects, copied here with the GIL held. A name that is no entry path raises ValueError before
// the command begins (which may complete a journal: something written).
PackSource sourceOf(const py::object& source) {
  if (!PyDict_Check(source.ptr())) return PackSource::folder(pathOfText(fspath(source)));
  std::map<std::string, std::vector<uint8_t>> files;
  for (const auto& [key, value] : source.cast<py::dict>()) {
    const std::string name = fspath(key);
    const size_t slash = name.find('/');
    if (slash == std::string::npos || !categoryOfFolder(name.substr(0, slash)) ||
        !entryOfFileName(name.substr(slash + 1))) {
      throw py::value_error(name + R"(: not an entry path ("models - X/NNNN.raw" or )"
                                   R"("category NNN/NNNN.raw"))");
    }
    Py_buffer view;
    if (PyObject_GetBuffer(value.ptr(), &view, PyBUF_SIMPLE) != 0) throw py::error_already_set();
    const auto* data = static_cast<const uint8_t*>(view.buf);
    files[name].assign(data, data + view.len);
    PyBuffer_Release(&view);
  }
  return PackSource::memory(std::move(files));
}

// The changed entries as (path, action).
std::vector<std::pair<std::string, std::string>> reportPairs(const EditResult& result) {
  std::vector<std::pair<std::string, std::string>> pairs;
  for (const EntryChange& change : result.changes) pairs.emplace_back(change.path, change.action);
  return pairs;
}

}  // namespace

void bindPacker(py::module_& m) {
  m.def("update", [](const py::object& source, const py::object& archivePath,
                     const std::string& method, bool inPlace, bool dryRun) {
    const std::string archive = fspath(archivePath);
    const PackSource from = sourceOf(source);
    refuseIfOpenHere(archive);
    UpdateOptions options;
    options.method = packMethod(method, true);
    options.inPlace = inPlace;
    options.dryRun = dryRun;
    EditResult result;
    py::list notes =
        packed([&](Packer& packer) { result = packer.update(from, archive, options); });
    return py::make_tuple(reportPairs(result), notes);
  });

  m.def("build", [](const py::object& source, const py::object& archivePath,
                    const std::string& method, bool force) {
    const std::string archive = fspath(archivePath);
    const PackSource from = sourceOf(source);
    const BuildOptions options{packMethod(method, false), force};
    return packed([&](Packer& packer) { packer.build(from, archive, options); });
  });

  m.def("delete", [](const py::object& archivePath, const std::vector<std::string>& members,
                     bool inPlace, bool dryRun) {
    const std::string archive = fspath(archivePath);
    if (members.empty()) throw py::value_error("delete() needs at least one member");
    refuseIfOpenHere(archive);
    UpdateOptions options;
    options.inPlace = inPlace;
    options.dryRun = dryRun;
    EditResult result;
    py::list notes =
        packed([&](Packer& packer) { result = packer.remove(members, archive, options); });
    return py::make_tuple(reportPairs(result), notes);
  });

  m.def("compact", [](const py::object& archivePath, bool dryRun) {
    const std::string archive = fspath(archivePath);
    refuseIfOpenHere(archive);
    std::string report;
    py::list notes = packed([&](Packer& packer) {
      report = packer.compact(archive, CompactOptions{dryRun, std::nullopt, {}});
    });
    return py::make_tuple(fsText(report), notes);
  });

  // "completed", "discarded" or None, and the notes (the copies stopped runs left, removed).
  m.def("recover", [](const py::object& archivePath) {
    const std::string archive = fspath(archivePath);
    refuseIfOpenHere(archive);
    RecoverResult result;
    py::list notes = packed([&](Packer& packer) { result = packer.recover(archive); });
    const py::object outcome = result.outcome == Recovery::Completed   ? py::str("completed")
                               : result.outcome == Recovery::Discarded ? py::str("discarded")
                                                                       : py::object(py::none());
    return py::make_tuple(outcome, notes);
  });
}
