// The pieces of the sarn_fileformat module, for module initialisation.
#pragma once

#include "sarn_fileformat/boundary.hpp"

namespace sarn::py {

// Module functions, bound to the module at initialisation.
extern PyMethodDef compress_csv_def;
extern PyMethodDef get_sarn_info_def;

// PySarnWriter.write_csv, the first method of PySarnWriter.
PyObject* writer_write_csv(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);

// The classes.  Each type object is created once per process on first use
// and lives for the rest of the process; these return a borrowed reference,
// or nullptr with an exception set.
PyTypeObject* sarn_reader_type();
PyTypeObject* sarn_writer_type();
PyTypeObject* performance_monitor_type();

// The output path held by a PySarnWriter instance.
const std::string& sarn_writer_path(PyObject* self);

}  // namespace sarn::py
