// The native steps behind sarnio.dask.compress_csv: reading the header,
// preparing the output, scanning a byte range of a CSV file, putting the
// scans together, encoding a run of chunks into a spill file, assembling the
// container from the spill files and putting it in place.  Each releases the interpreter lock while it works, so that
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
#include "pipeline/range_scan.hpp"
#include "pipeline/output_file.hpp"
#include "sarnio_native/choices.hpp"
#include "sarnio_native/errors.hpp"
#include "sarnio_native/fs_path.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace {

namespace pipeline = sarn::pipeline;
using sarn::common::Error;
using sarn::common::Result;
using sarn::sarnio::FsPath;
using sarn::sarnio::take;

// The header of the file as every engine reads it: (names, offset of the
// first data line, lines the header took); messages name the file `shown`.  Raises what the one-pass
// engines raise for a bad header, an empty input or too many columns.
nb::tuple read_header(const FsPath& path, const FsPath& shown, const sarn::sarnio::ChoicesDict& choices) {
    const pipeline::WriteChoices chosen = sarn::sarnio::write_choices(choices);
    Result<pipeline::CsvHeader> header = Error{};
    {
        nb::gil_scoped_release unlocked;
        header = pipeline::read_csv_header(path, chosen.dialect, shown);
    }
    pipeline::CsvHeader h = take(std::move(header));
    return nb::make_tuple(h.names, h.data_start, h.lines);
}

// The type code of each column for types None or a mapping (checked against
// the header as the one-pass engines check it), or None for "infer", which
// the scans decide.
nb::object column_types(const sarn::sarnio::ChoicesDict& choices, const std::vector<std::string>& names) {
    const pipeline::WriteChoices chosen = sarn::sarnio::write_choices(choices);
    if (chosen.types.mode == pipeline::TypesMode::Infer) return nb::none();
    return nb::cast(take(pipeline::resolve_types(chosen.types, names)));
}

// What a scan checks: every column under "infer", the int64 columns of a
// mapping.
pipeline::ScanRequest scan_request(const pipeline::WriteChoices& chosen, std::size_t columns,
                                   const std::optional<std::vector<std::uint8_t>>& types) {
    pipeline::ScanRequest request;
    request.dialect = chosen.dialect;
    request.columns = columns;
    if (!types) {
        request.checks.assign(columns, pipeline::IntegerCheck::Infer);
    } else {
        request.checks.assign(columns, pipeline::IntegerCheck::None);
        for (std::size_t c : pipeline::integer_columns(*types)) request.checks[c] = pipeline::IntegerCheck::Require;
    }
    return request;
}

nb::bytes scan_range(const FsPath& path, std::uint64_t begin, std::uint64_t end,
                     const sarn::sarnio::ChoicesDict& choices, std::size_t columns,
                     const std::optional<std::vector<std::uint8_t>>& types, bool first) {
    pipeline::ScanRequest request = scan_request(sarn::sarnio::write_choices(choices), columns, types);
    request.at_record_start = first;
    Result<pipeline::RangeScan> scan = Error{};
    {
        nb::gil_scoped_release unlocked;
        scan = pipeline::scan_range(path, begin, end, request);
    }
    const sarn::common::Bytes bytes = pipeline::scan_bytes(take(std::move(scan)));
    return nb::bytes(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

// Puts the scans together: the first fault of the file is raised as the
// one-pass engines raise it; otherwise {"records", "types", "runs"}, with
// runs of chunks as (offset, lines before, skip, first chunk, rows), about
// `runs_wanted` of them.
nb::dict plan_job(const FsPath& path, const std::vector<nb::bytes>& scan_list, const std::vector<std::string>& names,
                  std::uint64_t header_lines, const std::optional<std::vector<std::uint8_t>>& types,
                  std::uint64_t runs_wanted) {
    std::vector<pipeline::RangeScan> scans;
    for (const nb::bytes& b : scan_list) {
        scans.push_back(take(pipeline::scan_from_bytes(
            sarn::common::ByteView(reinterpret_cast<const std::uint8_t*>(b.c_str()), b.size()))));
    }
    pipeline::ScanPlan plan = take(pipeline::combine_scans(scans, path, names, header_lines));
    std::vector<std::uint8_t> resolved;
    if (types) {
        resolved = *types;
    } else {
        std::vector<std::uint8_t> flags = plan.not_integer;
        flags.resize(names.size(), 0);
        resolved = pipeline::inferred_types(flags, plan.records);
    }
    const std::uint64_t chunks = (plan.records + pipeline::CHUNK_SIZE - 1) / pipeline::CHUNK_SIZE;
    const std::uint64_t wanted = runs_wanted == 0 ? 1 : runs_wanted;
    const std::uint64_t per_run = chunks == 0 ? 1 : (chunks + wanted - 1) / wanted;
    nb::list runs;
    for (const pipeline::RunStart& r : pipeline::plan_chunk_runs(plan, per_run)) {
        runs.append(nb::make_tuple(r.offset, r.lines_before, r.skip, r.first_chunk, r.rows));
    }
    nb::dict out;
    out["records"] = plan.records;
    out["types"] = resolved;
    out["runs"] = runs;
    return out;
}

nb::tuple encode_run(const FsPath& csv_path, const std::vector<std::string>& names,
                     const std::vector<std::uint8_t>& types,
                     const std::tuple<std::uint64_t, std::uint64_t, std::uint64_t, std::uint32_t, std::uint64_t>& run,
                     std::uint64_t input_size, const FsPath& spill_path, const FsPath& output,
                     const sarn::sarnio::ChoicesDict& choices) {
    const pipeline::WriteChoices chosen = sarn::sarnio::write_choices(choices);
    pipeline::RunStart start;
    std::tie(start.offset, start.lines_before, start.skip, start.first_chunk, start.rows) = run;
    Result<pipeline::ChunkRun> done = Error{};
    {
        nb::gil_scoped_release unlocked;
        done = pipeline::encode_chunk_run(csv_path, names, types, start, input_size, spill_path, output, chosen);
    }
    const pipeline::ChunkRun r = take(std::move(done));
    return nb::make_tuple(r.chunks, r.rows);
}

// Writes the container from the spill files and puts it in place of
// `target`, giving it the owner and permission bits of the job's marker:
// (rows, chunks, bytes, summary).
nb::tuple assemble(const FsPath& target, const FsPath& marker, const std::vector<std::string>& names,
                   const std::vector<std::uint8_t>& types, const std::vector<FsPath>& spill_list, const FsPath& output,
                   const sarn::sarnio::ChoicesDict& choices) {
    const pipeline::WriteChoices chosen = sarn::sarnio::write_choices(choices);
    const std::vector<std::string> spill_paths(spill_list.begin(), spill_list.end());
    Result<pipeline::AssembleSummary> summary = Error{};
    {
        nb::gil_scoped_release unlocked;
        summary = pipeline::assemble_container(target, marker, names, types, spill_paths, output, chosen);
    }
    const pipeline::AssembleSummary s = take(std::move(summary));
    return nb::make_tuple(s.rows, s.chunks, s.bytes, s.summary);
}

// The output of a job, held by the process that runs the job (the client):
// its marker stays locked while this object lives, so that the job's files
// beside the output are never taken for leftovers of a killed run.
struct JobOutput {
    FsPath target;
    FsPath marker;
    pipeline::TempFile held;

    // Removes the marker.  Idempotent.
    void close() { held.discard(); }
};

// Checks the output of a job reading `csv_path` and creates its marker.
// Errors name the output as `shown`.
JobOutput prepare_output(const FsPath& csv_path, const FsPath& sarn_path, const FsPath& shown) {
    Result<pipeline::JobOutput> prepared = Error{};
    {
        nb::gil_scoped_release unlocked;
        auto input = sarn::common::path_status(csv_path);
        if (!input) {
            prepared = std::move(input).error().prefixed("Cannot open " + csv_path.bytes + ": ");
        } else {
            prepared = pipeline::prepare_job_output(pipeline::OutputRequest{sarn_path, pipeline::OutputPolicy::Replace,
                                                                            &*input, pipeline::Wording::Named, shown});
        }
    }
    pipeline::JobOutput job = take(std::move(prepared));
    JobOutput out;
    out.target.bytes = std::move(job.target);
    out.marker.bytes = job.marker.name();
    out.held = std::move(job.marker);
    return out;
}

}  // namespace

void register_dask_steps(nb::module_& m) {
    m.attr("_CHUNK_ROWS") = pipeline::CHUNK_SIZE;
    m.def("_read_csv_header", &read_header, "path"_a, "shown"_a, "choices"_a,
          "The header of a CSV file, messages naming it `shown`: (names, offset of the data, lines of the header).");
    m.def("_column_types", &column_types, "choices"_a, "names"_a,
          "The type code of each column, or None when the scans infer them.");
    m.def("_scan_csv_range", &scan_range, "path"_a, "begin"_a, "end"_a, "choices"_a, "columns"_a, "types"_a.none(),
          "first"_a, "Scans the lines of a CSV file that start in [begin, end) from both start states (bytes).");
    m.def("_plan_csv_job", &plan_job, "path"_a, "scans"_a, "names"_a, "header_lines"_a, "types"_a.none(),
          "runs_wanted"_a,
          "Puts the scans together: raises the first fault of the file, or gives {records, types, runs}.");
    m.def("_encode_csv_chunks", &encode_run, "csv_path"_a, "names"_a, "types"_a, "run"_a, "input_size"_a,
          "spill_path"_a, "output"_a, "choices"_a,
          "Encodes a run of chunks of a CSV file of input_size bytes into a spill file: (chunks, rows).");
    m.def("_assemble_container", &assemble, "target"_a, "marker"_a, "names"_a, "types"_a, "spill_paths"_a, "output"_a,
          "choices"_a,
          "Writes a container from spill files in order and renames it over the target: (rows, chunks, bytes, "
          "summary).");
    nb::class_<JobOutput>(m, "_JobOutput", "The output of a job: its target, and its marker held until close().")
        .def_ro("target", &JobOutput::target, "The output path with its links followed.")
        .def_ro("marker", &JobOutput::marker, "The job's marker file, after which its other files are named.")
        .def("close", &JobOutput::close, "Removes the marker.");
    m.def("_prepare_output", &prepare_output, "csv_path"_a, "sarn_path"_a, "shown"_a,
          "Checks the output of a job, removes what killed runs left beside it and creates the job's marker.");
}
