// The packer's commands as the module's functions: update, build, delete, compact and recover.
#pragma once

#include <pybind11/pybind11.h>

namespace py = pybind11;

void bindPacker(py::module_& m);
