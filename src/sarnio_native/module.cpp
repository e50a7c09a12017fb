// sarnio._native: the C++ side of the sarnio package.
//
// compress_csv runs a ParallelCompress job.  The interpreter lock is held
// only to convert arguments, to look for signals and to call `progress`: the
// calling thread waits for the job a slice at a time with the lock released,
// then takes it back, runs the interpreter's signal handlers and reports
// progress.  A handler or a progress callback that raises cancels the job,
// waits for its threads (lock released again) and lets the exception
// propagate; the job has then removed its temporary file.  The last progress
// report, (done, done) or (done, total), comes once, before the container is
// renamed over the output: a callback that raises there still leaves the
// output as it was.
//
// Failures of the job reach Python through the one translator of
// sarnio/errors.hpp.
#include <chrono>
#include <optional>
#include <string>

#include <nanobind/nanobind.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/tuple.h>

#include "pipeline/parallel_compress.hpp"
#include "sarnio_native/choices.hpp"
#include "sarnio_native/errors.hpp"

namespace nb = nanobind;

namespace sarn::sarnio {
void register_reader(nb::module_& m);  // read_binding.cpp
}
void register_dask_steps(nb::module_& m);  // dask_binding.cpp
using sarn::pipeline::ParallelCompress;
using sarn::pipeline::ParallelSummary;

namespace {

// How long the calling thread leaves the interpreter alone between two
// looks at signals and progress: short enough that Ctrl-C feels immediate.
constexpr std::chrono::milliseconds WAIT_SLICE{50};

std::string path_bytes(const nb::bytes& b) { return std::string(b.c_str(), b.size()); }

// Stops the job and waits for its threads without holding the lock.
void cancel_and_join(ParallelCompress& job) {
    nb::gil_scoped_release unlocked;
    job.cancel();
    job.join();
}

// Calls `progress`; an exception it raises stops the job first.
void report(nb::handle progress, ParallelCompress& job, std::uint64_t done, std::uint64_t total) {
    if (progress.is_none()) return;
    try {
        progress(done, total);
    } catch (...) {
        cancel_and_join(job);
        throw;
    }
}

using JobFigures = std::tuple<std::uint64_t, std::uint64_t, std::uint64_t, std::uint64_t, std::uint64_t, double>;

JobFigures compress_csv(nb::bytes csv_path, nb::bytes sarn_path, std::optional<unsigned> threads, nb::object progress,
                        const sarn::sarnio::ChoicesDict& choices) {
    const unsigned count = threads ? *threads : sarn::common::usable_cores();
    std::unique_ptr<ParallelCompress> job = sarn::sarnio::take(ParallelCompress::create(
        path_bytes(csv_path), path_bytes(sarn_path), count, sarn::sarnio::write_choices(choices)));
    job->start();
    for (;;) {
        bool ended;
        {
            nb::gil_scoped_release unlocked;
            ended = job->wait_for(WAIT_SLICE);
        }
        if (ended) break;
        if (PyErr_CheckSignals() != 0) {
            nb::python_error raised;  // takes the pending exception
            cancel_and_join(*job);
            throw raised;
        }
        // A file read to its end is the final report's business.
        const std::uint64_t done = job->bytes_done(), total = job->bytes_total();
        if (total == 0 || done < total) report(progress, *job, done, total);
    }
    if (job->complete()) {
        const std::uint64_t done = job->bytes_done();
        report(progress, *job, done, job->bytes_total() ? job->bytes_total() : done);
    }
    sarn::common::Result<ParallelSummary> outcome = sarn::common::Error{};
    {
        nb::gil_scoped_release unlocked;
        outcome = job->result();
    }
    const ParallelSummary summary = sarn::sarnio::take(std::move(outcome));
    return {summary.input_bytes, summary.output_bytes, summary.rows, summary.columns, summary.chunks, summary.seconds};
}

}  // namespace

NB_MODULE(_native, m) {
    m.doc() = "The native part of sarnio; use the functions of the sarnio package.";
    sarn::sarnio::register_failure_translator();
    m.def("compress_csv", &compress_csv, nb::arg("csv_path"), nb::arg("sarn_path"), nb::arg("threads").none(),
          nb::arg("progress").none(), nb::arg("choices"),
          nb::sig("def compress_csv(csv_path: bytes, sarn_path: bytes, threads: int | None, "
                  "progress: collections.abc.Callable[[int, int], object] | None, choices: dict[str, object]) "
                  "-> tuple[int, int, int, int, int, float]"),
          "Compress the CSV file at csv_path (file-system bytes) into a container at sarn_path.\n\n"
          "threads=None uses every core the process may run on.  Returns (input_bytes, output_bytes,\n"
          "rows, columns, chunks, seconds).  Use sarnio.compress_csv instead.");
    m.def(
        "_check_choices", [](const nb::dict& choices) { (void)sarn::sarnio::write_choices(choices); },
        nb::arg("choices"),
        "Raises the error of write choices that cannot be used (see sarnio._compress.write_choices).");
    m.attr("MAX_THREADS") = sarn::pipeline::MAX_THREADS;
    m.attr("MIN_LEVEL") = sarn::codec::MIN_LEVEL;
    m.attr("MAX_LEVEL") = sarn::codec::MAX_LEVEL;
    m.def("usable_cores", &sarn::common::usable_cores,
          "The number of cores this process may run on (its CPU affinity).");
    sarn::sarnio::register_reader(m);
    register_dask_steps(m);
}
