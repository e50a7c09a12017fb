// The write choices of a sarnio job as they cross from Python: one dict,
// {"level": int}, made by sarnio._compress.write_choices and converted
// here, for the one-process job and for every step of sarnio.dask alike (a
// dict travels to Dask workers as it is).
#pragma once

#include <nanobind/nanobind.h>

#include "pipeline/compress_csv.hpp"

namespace sarn::sarnio {

// The dict as the bindings take it (typed, so that the stub says what it is).
using ChoicesDict = nanobind::typed<nanobind::dict, nanobind::str, nanobind::object>;

// The choices the dict names; a bad value raises ValueError.
pipeline::WriteChoices write_choices(const ChoicesDict& given);

}  // namespace sarn::sarnio
