// The compiled part of the Python package archive_extract (archive_extract._core): the library's
// archives, sweeps, readers, tester, extractor and packer, with the Python objects they take and
// give. The package's __init__.py puts the public API on top (generators, the file object, the
// exception classes), and hands the exception classes over through _set_errors().
//
// Long work runs with the GIL released. Work that can be stopped (testing, extracting) runs on a
// thread of its own while the calling thread waits, taking the GIL every 10 ms to run Python's
// signal handlers and the progress callback (once the totals are known, then every 50 ms at
// most); a KeyboardInterrupt (or any exception they raise) sets the library's cancel flag, the
// work stops as SIGINT stops the command line, and the exception is raised once it has.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdio>
#include <memory>
#include <optional>
#include <string>

#include "convert.h"
#include "packing.h"
#include "reading.h"
#include "runs.h"

PYBIND11_MODULE(_core, m) {
  m.doc() = "The compiled part of archive_extract; use the package's API instead.";
  m.attr("version") = PROJECT_VERSION;
  // What the archive's guest routines print goes where it always went: C's stdout.
  r5900::setGuestOutput(
      [](const char* bytes, size_t size) { std::fwrite(bytes, 1, size, stdout); });

  m.def("_set_errors",
        [](py::handle error, py::handle fault, py::handle archive, py::handle entry) {
          errorTypes = {error.inc_ref(), fault.inc_ref(), archive.inc_ref(), entry.inc_ref()};
        });

  py::class_<Entry>(m, "Entry", "One entry of the archive, as the listing shows it.")
      .def_readonly("path", &Entry::path, "Where extraction writes it: \"models - g/0001.raw\".")
      .def_readonly("category", &Entry::category, "The category number (0 to 255).")
      .def_readonly("entry", &Entry::entry, "The entry number in its category (0 to 9999).")
      .def_readonly("sector", &Entry::sector, "The archive sector its data starts at.")
      .def_property_readonly(
          "method", [](const Entry& e) { return e.methodName(); },
          "How it is stored: stored, lz, rle, unsupported, plain, unknown or nodata.")
      .def_readonly("stored", &Entry::stored, "Bytes it occupies in the archive (None: no data).")
      .def_readonly("size", &Entry::size, "Bytes it expands to (None: not known).")
      .def("__repr__",
           [](const Entry& e) { return "<Entry " + e.path + " " + e.methodName() + ">"; });

  py::class_<TestResult, Entry>(m, "TestResult", "One entry's verdict of the integrity test.")
      .def_property_readonly(
          "ok", [](const TestResult& r) { return r.problemName() == nullptr; },
          "Whether it reads and decodes soundly.")
      .def_property_readonly(
          "problem",
          [](const TestResult& r) -> std::optional<std::string> {
            const char* problem = r.problemName();
            return problem == nullptr ? std::nullopt : std::optional<std::string>(problem);
          },
          "None, or what is wrong: corrupt, unsupported or incomplete.")
      .def_property_readonly(
          "shared", [](const TestResult& r) { return r.verdict && r.verdict->shared; },
          "Whether its stored bytes overlap an earlier entry's.")
      .def("__repr__", [](const TestResult& r) {
        const char* problem = r.problemName();
        return "<TestResult " + r.path + " " + (problem == nullptr ? "ok" : problem) + ">";
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

  bindPacker(m);
}
