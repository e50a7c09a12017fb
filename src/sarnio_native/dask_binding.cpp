// The native steps behind sarnio.dask.compress_csv: preparing the output,
// scanning a byte range of a CSV file, encoding a run of chunks into a spill
// file, assembling the container from the spill files and putting it in
// place.  Each releases the interpreter lock while it works, so that
// threads of one worker process run them side by side.  The steps run as
// separate tasks, possibly in different processes, so what passes between
// them is plain data: paths and numbers.  Failures are raised through the
// translator of sarnio/errors.hpp.
#include <nanobind/nanobind.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/tuple.h>
#include <nanobind/stl/vector.h>

#include <cstdint>
#include <string>
#include <sys/stat.h>
#include <tuple>
#include <vector>

#include "common/file_io.hpp"
#include "container/writer.hpp"
#include "pipeline/batch_loop.hpp"
#include "pipeline/csv_ranges.hpp"
#include "pipeline/messages.hpp"
#include "pipeline/output_file.hpp"
#include "sarnio_native/choices.hpp"
#include "sarnio_native/errors.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace {

namespace pipeline = sarn::pipeline;
using sarn::common::Error;
using sarn::common::Result;
using sarn::sarnio::take;

nb::dict scan_range(const std::string& path, std::uint64_t begin, std::uint64_t end) {
    Result<pipeline::RangeScan> scan = Error{};
    {
        nb::gil_scoped_release unlocked;
        scan = pipeline::scan_range(path, begin, end);
    }
    pipeline::RangeScan s = take(std::move(scan));
    nb::dict out;
    out["begin"] = s.begin;
    out["end"] = s.end;
    out["first_line"] = s.first_line;
    out["lines"] = s.lines;
    out["data_lines"] = s.data_lines;
    out["checkpoints"] = s.checkpoints;
    if (s.names) {
        out["names"] = *s.names;
    } else {
        out["names"] = nb::none();
    }
    if (s.fault) {
        out["fault"] = nb::make_tuple(static_cast<int>(s.fault->fault), s.fault->line, s.fault->offset);
    } else {
        out["fault"] = nb::none();
    }
    return out;
}

// Raises the error of a fault found by a scan, at line `line` of the whole
// file: the same exception and text as the one-pass engines.
void raise_input_fault(const std::string& path, int fault, std::uint64_t line, std::uint64_t offset) {
    sarn::sarnio::raise(pipeline::input_fault_error(path, static_cast<pipeline::InputFault>(fault), line, offset));
}

// Raises what the one-pass engines raise for the header a scan found:
// nothing (an empty input) or more columns than a container holds.
void check_header(const std::optional<std::vector<std::string>>& names) {
    if (!names) sarn::sarnio::raise(pipeline::csv_empty_error());
    if (names->size() > sarn::container::MAX_COLUMNS) {
        sarn::sarnio::raise(pipeline::header_too_wide_error(names->size()));
    }
}

nb::tuple encode_run(const std::string& csv_path, const std::vector<std::string>& names, std::uint64_t start,
                     std::uint64_t skip, std::uint32_t first_chunk, std::uint64_t rows, const std::string& spill_path,
                     const std::string& output, const sarn::sarnio::ChoicesDict& choices) {
    const pipeline::WriteChoices chosen = sarn::sarnio::write_choices(choices);
    Result<pipeline::ChunkRun> run = Error{};
    {
        nb::gil_scoped_release unlocked;
        run = pipeline::encode_chunk_run(csv_path, names, start, skip, first_chunk, rows, spill_path, output, chosen);
    }
    const pipeline::ChunkRun r = take(std::move(run));
    return nb::make_tuple(r.chunks, r.rows);
}

nb::tuple assemble(const std::string& out_path, const std::vector<std::string>& names,
                   const std::vector<std::string>& spill_paths, const std::string& output, const sarn::sarnio::ChoicesDict& choices) {
    const pipeline::WriteChoices chosen = sarn::sarnio::write_choices(choices);
    Result<pipeline::AssembleSummary> summary = Error{};
    {
        nb::gil_scoped_release unlocked;
        summary = pipeline::assemble_container(out_path, names, spill_paths, output, chosen);
    }
    const pipeline::AssembleSummary s = take(std::move(summary));
    return nb::make_tuple(s.rows, s.chunks, s.bytes, s.summary);
}

// Checks the output of a job reading `csv_path` and creates its temporary
// file: (target, temporary).  Errors name the output as `shown`.
std::tuple<std::string, std::string> prepare_output(const std::string& csv_path, const std::string& sarn_path,
                                                    const std::string& shown) {
    Result<pipeline::Replacement> files = Error{};
    {
        nb::gil_scoped_release unlocked;
        auto input = sarn::common::path_status(csv_path);
        if (!input) {
            files = std::move(input).error().prefixed("Cannot open " + csv_path + ": ");
        } else {
            files = pipeline::prepare_replacement(
                pipeline::OutputRequest{sarn_path, pipeline::OutputPolicy::Replace, &*input,
                                        pipeline::Wording::Named, shown});
        }
    }
    pipeline::Replacement r = take(std::move(files));
    return {r.target, r.temp};
}

void commit_output(const std::string& temp, const std::string& target, const std::string& shown) {
    Result<void> done;
    {
        nb::gil_scoped_release unlocked;
        done = pipeline::commit_replacement(pipeline::Replacement{target, temp}, shown);
    }
    take(std::move(done));
}

void discard_output(const std::string& temp) { pipeline::discard_replacement(temp); }

}  // namespace

void register_dask_steps(nb::module_& m) {
    m.attr("_CHECKPOINT_LINES") = pipeline::CHECKPOINT_LINES;
    m.attr("_CHUNK_ROWS") = pipeline::CHUNK_SIZE;
    m.def("_scan_csv_range", &scan_range, "path"_a, "begin"_a, "end"_a,
          "Scans the lines of a CSV file that start in [begin, end): counts, checkpoints, and the first\n"
          "fault as (kind, line in the range from 1, offset) or None.");
    m.def("_raise_input_fault", &raise_input_fault, "path"_a, "fault"_a, "line"_a, "offset"_a,
          "Raises the error of a scan's fault at line `line` of the whole file.");
    m.def("_check_header", &check_header, "names"_a.none(),
          "Raises the error of a header that is missing (an empty input) or too wide.");
    m.def("_encode_csv_chunks", &encode_run, "csv_path"_a, "names"_a, "start"_a, "skip"_a, "first_chunk"_a,
          "rows"_a, "spill_path"_a, "output"_a, "choices"_a,
          "Encodes a run of chunks of a CSV file into a spill file: (chunks, rows).");
    m.def("_assemble_container", &assemble, "out_path"_a, "names"_a, "spill_paths"_a, "output"_a, "choices"_a,
          "Writes a container from spill files in order: (rows, chunks, bytes, summary).");
    m.def("_prepare_output", &prepare_output, "csv_path"_a, "sarn_path"_a, "shown"_a,
          "Checks the output of a job and creates its temporary file beside it: (target, temporary).");
    m.def("_commit_output", &commit_output, "temp"_a, "target"_a, "shown"_a,
          "Renames the complete temporary file over the target and flushes the folder.");
    m.def("_discard_output", &discard_output, "temp"_a, "Removes a temporary file.");
}
