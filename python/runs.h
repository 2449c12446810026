// The integrity test and the extraction of the selected entries, as the command line runs them,
// stoppable from Python.
#pragma once

#include <pybind11/pybind11.h>

#include "reading.h"

py::tuple testEntries(const ArchiveHandle& handle, const py::object& categories,
                      const py::object& entries, const py::object& members, bool allCategories,
                      bool sizeLimit, const py::object& jobs);
py::tuple extractEntries(const ArchiveHandle& handle, const py::object& outputPath,
                         const py::object& categories, const py::object& entries,
                         const py::object& members, bool allCategories, bool overwrite,
                         const py::object& jobs, bool sizeLimit, const py::object& progress);
