// The compiled part of the downlink Python package: liberrva's arithmetic and libintegrate's
// resampling over numpy arrays.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

namespace py = pybind11;

namespace downlink_ext {
void bind_errva(py::module_& m);
void bind_integrate(py::module_& m);
} // namespace downlink_ext
