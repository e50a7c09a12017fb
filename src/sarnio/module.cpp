// sarnio._native: the C++ side of the sarnio package.
#include <nanobind/nanobind.h>

namespace nb = nanobind;

void register_dask_steps(nb::module_& m);  // dask_binding.cpp

NB_MODULE(_native, m) {
    m.doc() = "The native part of sarnio; use the functions of the sarnio package.";
    register_dask_steps(m);
}
