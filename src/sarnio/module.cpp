// sarnio._native: the C++ side of the sarnio package.
#include <nanobind/nanobind.h>

namespace nb = nanobind;

namespace sarn::sarnio {
void register_reader(nb::module_& m);  // read_binding.cpp
}

NB_MODULE(_native, m) {
    m.doc() = "The native part of sarnio; use the functions of the sarnio package.";
    sarn::sarnio::register_reader(m);
}
