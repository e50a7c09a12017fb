// The native steps behind sarnio.dask.compress_csv: scanning a byte range of
// a CSV file, encoding a run of chunks into a spill file, and assembling the
// container from the spill files.  Each releases the interpreter lock while
// it works, so that threads of one worker process run them side by side.
#include <nanobind/nanobind.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/tuple.h>
#include <nanobind/stl/vector.h>

#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

#include "pipeline/csv.hpp"
#include "pipeline/compress_csv.hpp"
#include "pipeline/csv_ranges.hpp"
#include "container/writer.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace {

using sarn::common::Error;
using sarn::common::ErrorKind;

const char* kind_name(ErrorKind kind) { return kind == ErrorKind::Value ? "value" : "io"; }

// Failures that are not a fault of one line or chunk are raised at once:
// OSError or ValueError with the core's message.
[[noreturn]] void raise_error(const Error& e) {
    if (e.kind == ErrorKind::Value) throw nb::value_error(e.message.c_str());
    PyErr_SetString(PyExc_OSError, e.message.c_str());
    throw nb::python_error();
}

nb::dict scan_range(const std::string& path, std::uint64_t begin, std::uint64_t end) {
    sarn::common::Result<sarn::pipeline::RangeScan> scan = Error{};
    std::vector<std::string> names;
    {
        nb::gil_scoped_release unlocked;
        scan = sarn::pipeline::scan_range(path, begin, end);
        if (scan && scan->header) names = sarn::pipeline::split_header(*scan->header);
    }
    if (!scan) raise_error(scan.error());
    nb::dict out;
    out["begin"] = scan->begin;
    out["end"] = scan->end;
    out["first_line"] = scan->first_line;
    out["lines"] = scan->lines;
    out["data_lines"] = scan->data_lines;
    out["checkpoints"] = scan->checkpoints;
    if (scan->header) {
        out["names"] = names;
    } else {
        out["names"] = nb::none();
    }
    if (scan->fault) {
        const auto& f = *scan->fault;
        out["fault"] = nb::make_tuple(kind_name(f.error.kind), f.error.message, f.line, f.offset, f.valid_bytes);
    } else {
        out["fault"] = nb::none();
    }
    return out;
}

nb::tuple encode_run(const std::string& csv_path, const std::vector<std::string>& names, std::uint64_t start,
                     std::uint64_t skip, std::uint32_t first_chunk, std::uint64_t rows,
                     const std::string& spill_path) {
    sarn::common::Result<sarn::pipeline::ChunkRunOutcome> outcome = Error{};
    {
        nb::gil_scoped_release unlocked;
        outcome = sarn::pipeline::encode_chunk_run(csv_path, names, start, skip, first_chunk, rows, spill_path);
    }
    if (!outcome) raise_error(outcome.error());
    nb::object fault = nb::none();
    if (outcome->fault) {
        const auto& f = *outcome->fault;
        fault = nb::make_tuple(kind_name(f.error.kind), f.error.message, f.chunk);
    }
    return nb::make_tuple(outcome->run.chunks, outcome->run.rows, fault);
}

nb::tuple assemble(const std::string& out_path, const std::vector<std::string>& names,
                   const std::vector<std::string>& spill_paths) {
    sarn::common::Result<sarn::pipeline::AssembleSummary> summary = Error{};
    {
        nb::gil_scoped_release unlocked;
        summary = sarn::pipeline::assemble_container(out_path, names, spill_paths);
    }
    if (!summary) raise_error(summary.error());
    return nb::make_tuple(summary->rows, summary->chunks, summary->bytes, summary->summary);
}

}  // namespace

void register_dask_steps(nb::module_& m) {
    m.attr("_CHECKPOINT_LINES") = sarn::pipeline::CHECKPOINT_LINES;
    m.attr("_CHUNK_ROWS") = sarn::pipeline::CHUNK_SIZE;
    m.attr("_MAX_COLUMNS") = sarn::container::MAX_COLUMNS;
    m.def("_scan_csv_range", &scan_range, "path"_a, "begin"_a, "end"_a,
          "Scans the lines of a CSV file that start in [begin, end): counts, checkpoints, first fault.");
    m.def("_encode_csv_chunks", &encode_run, "csv_path"_a, "names"_a, "start"_a, "skip"_a, "first_chunk"_a,
          "rows"_a, "spill_path"_a,
          "Encodes a run of chunks of a CSV file into a spill file: (chunks, rows, fault or None).");
    m.def("_assemble_container", &assemble, "out_path"_a, "names"_a, "spill_paths"_a,
          "Writes a container from spill files in order: (rows, chunks, bytes, summary).");
}
