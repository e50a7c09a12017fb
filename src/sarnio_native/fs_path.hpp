// File names as they cross from Python: the one conversion every native
// step that takes a path uses.
//
// A file name on Linux is bytes.  Python hands it over as bytes, or as str
// decoded by os.fsdecode, which keeps bytes that are not valid in the file
// system's encoding as surrogate escapes; nanobind's own std::string
// conversion would refuse such a str (it encodes UTF-8 strictly).  FsPath
// takes either and always holds the bytes the file system knows, so a
// file whose name is not UTF-8 can be read, written and named in messages
// by every step.  Handed back to Python it is str, as os.fsdecode gives it.
#pragma once

#include <string>

#include <nanobind/nanobind.h>

namespace sarn::sarnio {

struct FsPath {
    std::string bytes;
    operator const std::string&() const noexcept { return bytes; }
};

}  // namespace sarn::sarnio

namespace nanobind::detail {

template <>
struct type_caster<sarn::sarnio::FsPath> {
    NB_TYPE_CASTER(sarn::sarnio::FsPath, io_name("str | bytes", "str"))

    bool from_python(handle src, uint8_t, cleanup_list*) noexcept {
        PyObject* o = src.ptr();
        if (PyBytes_Check(o)) return take(o);
        if (!PyUnicode_Check(o)) return false;
        PyObject* encoded = PyUnicode_EncodeFSDefault(o);
        if (!encoded) {
            PyErr_Clear();
            return false;
        }
        const bool taken = take(encoded);
        Py_DECREF(encoded);
        return taken;
    }

    bool take(PyObject* bytes) noexcept {
        try {
            value.bytes.assign(PyBytes_AS_STRING(bytes), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes)));
            return true;
        } catch (...) {  // out of memory: the call is refused
            return false;
        }
    }

    static handle from_cpp(const sarn::sarnio::FsPath& path, rv_policy, cleanup_list*) noexcept {
        return PyUnicode_DecodeFSDefaultAndSize(path.bytes.data(), static_cast<Py_ssize_t>(path.bytes.size()));
    }
};

}  // namespace nanobind::detail
