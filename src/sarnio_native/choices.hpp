// The write choices of a sarnio job as they cross from Python: one dict made
// by sarnio._compress.write_choices and converted here, for the one-process
// job and for every step of sarnio.dask alike (a dict travels to Dask
// workers as it is):
//
//   {"level": int,
//    "quote": str of one character, or None for no quoting,
//    "delimiter": str of one character,
//    "extra_fields": "error" or "drop",
//    "types": None, "infer", or a list of (column name, "int64" or "string")}
//
// A key left out keeps sarnio's default (quoting on, extra fields an error,
// a byte order mark skipped, every column text).
#pragma once

#include <nanobind/nanobind.h>

#include "pipeline/compress_csv.hpp"

namespace sarn::sarnio {

// The dict as the bindings take it (typed, so that the stub says what it is).
using ChoicesDict = nanobind::typed<nanobind::dict, nanobind::str, nanobind::object>;

// The choices the dict names; a bad value raises ValueError (TypeError for
// a value of the wrong kind).
pipeline::WriteChoices write_choices(const ChoicesDict& given);

}  // namespace sarn::sarnio
