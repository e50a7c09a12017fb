// sarnio._native: the C++ side of the sarnio package.
//
// compress_csv runs a ParallelCompress job.  The interpreter lock is held
// only to convert arguments, to look for signals and to call `progress`: the
// calling thread waits for the job a slice at a time with the lock released,
// then takes it back, runs the interpreter's signal handlers and reports
// progress.  A handler or a progress callback that raises cancels the job,
// waits for its threads (lock released again) and lets the exception
// propagate; the job's destructor has then removed its temporary file.
//
// Failures of the job reach Python in one place, the translator below:
// operating-system errors as OSError built from (errno, strerror, filename),
// so that CPython picks the subclass; bad input as sarnio.SarnError;
// impossible requests as ValueError.
#include <chrono>
#include <cstring>
#include <optional>
#include <string>

#include <nanobind/nanobind.h>
#include <nanobind/stl/optional.h>

#include "pipeline/parallel_compress.hpp"
#include "sarnio/errors.hpp"

namespace nb = nanobind;

namespace sarn::sarnio {
void register_reader(nb::module_& m);  // read_binding.cpp
}
void register_dask_steps(nb::module_& m);  // dask_binding.cpp
using sarn::pipeline::CompressFailure;
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

void report(nb::handle progress, std::uint64_t done, std::uint64_t total) {
    if (!progress.is_none()) progress(done, total);
}

nb::tuple compress_csv(nb::bytes csv_path, nb::bytes sarn_path, std::optional<unsigned> threads,
                       nb::object progress) {
    const std::string csv = path_bytes(csv_path);
    const std::string sarn = path_bytes(sarn_path);
    std::optional<ParallelCompress> job;
    {
        nb::gil_scoped_release unlocked;
        const unsigned count = threads ? *threads : sarn::common::usable_cores();
        job.emplace(csv, sarn, count);
        job->start();
    }
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
        try {
            report(progress, job->bytes_done(), job->bytes_total());
        } catch (...) {
            cancel_and_join(*job);
            throw;
        }
    }
    ParallelSummary summary;
    {
        nb::gil_scoped_release unlocked;
        summary = job->result();
    }
    report(progress, summary.input_bytes, job->bytes_total() ? job->bytes_total() : summary.input_bytes);
    return nb::make_tuple(summary.input_bytes, summary.output_bytes, summary.rows, summary.columns,
                          summary.chunks, summary.seconds);
}

void raise_os_error(const CompressFailure& e) {
    nb::object filename = nb::steal(
        PyUnicode_DecodeFSDefaultAndSize(e.filename().data(), static_cast<Py_ssize_t>(e.filename().size())));
    if (!filename.is_valid()) return;  // the decoding error is pending
    nb::object error = nb::steal(
        PyObject_CallFunction(PyExc_OSError, "isO", e.errnum(), std::strerror(e.errnum()), filename.ptr()));
    if (!error.is_valid()) return;
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
}

void translate(const std::exception_ptr& p, void*) {
    try {
        std::rethrow_exception(p);
    } catch (const CompressFailure& e) {
        switch (e.kind()) {
            case CompressFailure::Kind::Os:
                raise_os_error(e);
                return;
            case CompressFailure::Kind::BadInput: {
                nb::object sarn_error = nb::module_::import_("sarnio._errors").attr("SarnError");
                PyErr_SetString(sarn_error.ptr(), e.what());
                return;
            }
            case CompressFailure::Kind::Value:
                PyErr_SetString(PyExc_ValueError, e.what());
                return;
            case CompressFailure::Kind::Cancelled:
                PyErr_SetString(PyExc_RuntimeError, e.what());
                return;
        }
    }
}

}  // namespace

NB_MODULE(_native, m) {
    m.doc() = "The native part of sarnio; use the functions of the sarnio package.";
    nb::register_exception_translator(translate);
    sarn::sarnio::register_failure_translator();
    m.def("compress_csv", &compress_csv, nb::arg("csv_path"), nb::arg("sarn_path"), nb::arg("threads").none(),
          nb::arg("progress").none(),
          "Compress the CSV file at csv_path (file-system bytes) into a container at sarn_path.\n\n"
          "threads=None uses every core the process may run on.  Returns (input_bytes, output_bytes,\n"
          "rows, columns, chunks, seconds).  Use sarnio.compress_csv instead.");
    m.attr("MAX_THREADS") = sarn::pipeline::MAX_THREADS;
    m.def("usable_cores", &sarn::common::usable_cores,
          "The number of cores this process may run on (its CPU affinity).");
    sarn::sarnio::register_reader(m);
    register_dask_steps(m);
}
