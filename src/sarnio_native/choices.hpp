// The write choices of a sarnio job as they cross from Python: one dict,
// {"level": int}, made by sarnio._compress.write_choices and converted
// here, for the one-process job and for every step of sarnio.dask alike (a
// dict travels to Dask workers as it is).
#pragma once

#include <nanobind/nanobind.h>

#include "pipeline/compress_csv.hpp"

namespace sarn::sarnio {

// The choices the dict names; a bad value raises ValueError.
pipeline::WriteChoices write_choices(const nanobind::dict& given);

}  // namespace sarn::sarnio
