#include "pipeline/parallel_compress.hpp"

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <new>
#include <optional>
#include <stop_token>
#include <system_error>
#include <thread>
#include <utility>

#include "common/system_error.hpp"
#include "pipeline/compress_csv.hpp"

namespace sarn::pipeline {

using common::Error;
using common::Result;
using Clock = std::chrono::steady_clock;

struct ParallelCompress::Job final : CompressHooks {
    enum class Phase { Idle, Running, Complete, Ended };

    // Fixed before start().
    std::string csv_path;
    std::string sarn_path;
    unsigned threads = 1;
    WriteChoices choices;

    std::stop_source stop;
    std::atomic<std::uint64_t> bytes_read{0};
    std::atomic<std::uint64_t> total_bytes{0};

    mutable std::mutex m;
    std::condition_variable cv;  // phase and go, both ways
    std::thread job;
    Phase phase = Phase::Idle;
    bool go = false;  // result() asked for the container to be put in place
    std::optional<Result<CompressSummary>> outcome;
    Clock::time_point started;
    double seconds = 0;

    void input_opened(std::optional<std::uint64_t> size) override { total_bytes.store(size.value_or(0)); }

    void progress(std::uint64_t bytes) override { bytes_read.store(bytes, std::memory_order_relaxed); }

    // The container is complete: wait for the owner's word before the
    // rename, which is the last thing the job does.
    Result<void> commit_output(OutputFile& output) override {
        {
            std::unique_lock lk(m);
            phase = Phase::Complete;
            cv.notify_all();
            cv.wait(lk, [&] { return go || stop.stop_requested(); });
            if (!go) return Error::cancelled(CANCELLED_TEXT);
        }
        return output.commit();
    }

    void run() {
        Result<CompressSummary> r = Error::cancelled(CANCELLED_TEXT);
        // Nothing may escape a thread: running out of memory or threads
        // becomes the job's error.
        try {
            CompressOptions o;
            o.progress_fd = -1;
            o.threads = threads;
            o.wording = Wording::Named;
            o.output = OutputPolicy::Replace;
            o.stop = stop.get_token();
            o.hooks = this;
            o.choices = choices;
            r = compress_csv(csv_path, sarn_path, o);
        } catch (const std::bad_alloc&) {
            r = common::os_error(ENOMEM);
        } catch (const std::system_error& e) {
            r = common::os_error(e.code().value());
        } catch (const std::exception& e) {
            r = Error::io(e.what());
        }
        std::lock_guard lk(m);
        seconds = std::chrono::duration<double>(Clock::now() - started).count();
        outcome = std::move(r);
        phase = Phase::Ended;
        cv.notify_all();
    }
};

ParallelCompress::ParallelCompress(std::unique_ptr<Job> state) noexcept : job_(std::move(state)) {}

Result<std::unique_ptr<ParallelCompress>> ParallelCompress::create(const std::string& csv_path,
                                                                   const std::string& sarn_path, unsigned threads,
                                                                   WriteChoices choices) {
    if (threads == 0) return Error::value("threads must be at least 1");
    if (threads > MAX_THREADS) return Error::value("threads must be at most " + std::to_string(MAX_THREADS));
    if (auto bad = choices_problem(choices)) return Error::value(*bad);
    auto state = std::make_unique<Job>();
    state->csv_path = csv_path;
    state->sarn_path = sarn_path;
    state->threads = threads;
    state->choices = choices;
    return std::unique_ptr<ParallelCompress>(new ParallelCompress(std::move(state)));
}

ParallelCompress::~ParallelCompress() {
    cancel();
    join();
}

void ParallelCompress::start() {
    Job& s = *job_;
    std::lock_guard lk(s.m);
    if (s.phase != Job::Phase::Idle) return;
    s.phase = Job::Phase::Running;
    s.started = Clock::now();
    try {
        s.job = std::thread([&s] { s.run(); });
    } catch (const std::system_error& e) {
        s.outcome = common::os_error(e.code().value()).prefixed("Cannot start the job thread: ");
        s.phase = Job::Phase::Ended;
    }
}

bool ParallelCompress::wait_for(std::chrono::milliseconds timeout) {
    Job& s = *job_;
    std::unique_lock lk(s.m);
    return s.cv.wait_for(lk, timeout, [&] { return s.phase != Job::Phase::Running; });
}

bool ParallelCompress::complete() const noexcept {
    std::lock_guard lk(job_->m);
    return job_->phase == Job::Phase::Complete;
}

void ParallelCompress::cancel() noexcept {
    Job& s = *job_;
    s.stop.request_stop();  // also cancels the encoders (see writer_sink)
    // Taken between the request and the notice, so that a job about to
    // wait for its commit cannot miss the stop.
    std::lock_guard lk(s.m);
    s.cv.notify_all();
}

void ParallelCompress::join() noexcept {
    Job& s = *job_;
    {
        // A complete job nobody asked to commit would wait for ever.
        std::lock_guard lk(s.m);
        if (s.phase == Job::Phase::Complete && !s.go) s.stop.request_stop();
        s.cv.notify_all();
    }
    if (s.job.joinable()) s.job.join();
}

std::uint64_t ParallelCompress::bytes_done() const noexcept { return job_->bytes_read.load(std::memory_order_relaxed); }

std::uint64_t ParallelCompress::bytes_total() const noexcept { return job_->total_bytes.load(); }

Result<ParallelSummary> ParallelCompress::result() {
    Job& s = *job_;
    {
        std::lock_guard lk(s.m);
        if (s.phase == Job::Phase::Idle) return Error::cancelled("the job was not started");
        // The word to put the container in place, now or once complete.
        if (!s.stop.stop_requested()) s.go = true;
        s.cv.notify_all();
    }
    join();
    std::lock_guard lk(s.m);
    if (!s.outcome) return Error::cancelled(CANCELLED_TEXT);
    if (!*s.outcome) {
        // A stop makes whatever else went wrong on the way out beside the point.
        if (s.stop.stop_requested()) return Error::cancelled(CANCELLED_TEXT);
        return s.outcome->error();
    }
    const CompressSummary& c = **s.outcome;
    ParallelSummary summary;
    summary.input_bytes = c.csv_size;
    summary.output_bytes = c.sarn_size;
    summary.rows = c.rows;
    summary.columns = c.columns;
    summary.chunks = c.chunks;
    summary.seconds = s.seconds;
    return summary;
}

Result<ParallelSummary> parallel_compress_csv(const std::string& csv_path, const std::string& sarn_path,
                                              unsigned threads, WriteChoices choices) {
    auto job = ParallelCompress::create(csv_path, sarn_path, threads, choices);
    if (!job) return std::move(job).error();
    (*job)->start();
    return (*job)->result();
}

}  // namespace sarn::pipeline
