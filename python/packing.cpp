#include "packing.h"

#include <pybind11/stl.h>

#include <exception>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "convert.h"
#include "pack/build.h"
#include "pack/compact.h"
#include "pack/replace_file.h"
#include "pack/source_tree.h"
#include "pack/store.h"
#include "pack/update.h"
#include "platform/file.h"
#include "reading.h"

namespace {

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

void bindPacker(py::module_& m) {
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
