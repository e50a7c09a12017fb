#include "pipeline/chunk_pipeline.hpp"

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "container/encoded_chunk.hpp"

namespace sarn::pipeline {

using common::Error;
using common::Result;

struct ChunkPipeline::Queue {
    container::StreamingSarnWriter& writer;
    std::vector<container::ColumnSchema> schema;  // a copy: encoders read it while the writer appends
    int level;  // the writer's compression level
    std::size_t in_flight_limit;

    std::atomic<bool> stop{false};
    std::mutex m;
    std::condition_variable cv;
    std::vector<std::thread> encoders;
    std::vector<std::unique_ptr<container::TextBatch>> batches;  // every batch but the driver's
    std::vector<container::TextBatch*> free_batches;
    std::deque<std::pair<std::uint32_t, container::TextBatch*>> work;
    std::map<std::uint32_t, container::EncodedChunk> ready;
    std::uint32_t next_index = 0;  // index of the next chunk submitted
    std::uint32_t next_append = 0;  // index of the next chunk to append
    // One thread at a time writes: whoever sets this (under m) owns the
    // writer until it clears it.
    bool writer_busy = false;
    bool closing = false;
    std::optional<Error> failure;

    Queue(container::StreamingSarnWriter& w, unsigned threads)
        : writer(w),
          schema(w.schema()),
          level(w.level()),
          in_flight_limit(threads + 2) {}

    // Records the first failure and stops everything (m held).
    void fail(Error e) {
        if (!failure && !stop.load()) failure = std::move(e);
        stop.store(true);
        cv.notify_all();
    }

    // Runs `write` with the writer, released from m meanwhile; m is held on
    // entry and on return.  The caller has checked that the writer is free.
    template <class Write>
    Result<void> with_writer(std::unique_lock<std::mutex>& lk, Write write) {
        writer_busy = true;
        lk.unlock();
        Result<void> r = write();
        lk.lock();
        writer_busy = false;
        cv.notify_all();
        return r;
    }

    // Appends ready chunks in order while the writer is free (m held).
    // Whichever thread gets here first writes, so a finished chunk does not
    // wait for the driver to come back from parsing.
    void drain(std::unique_lock<std::mutex>& lk) {
        while (!writer_busy && !stop.load()) {
            auto it = ready.find(next_append);
            if (it == ready.end()) return;
            container::EncodedChunk chunk = std::move(it->second);
            ready.erase(it);
            auto appended = with_writer(lk, [&] { return writer.append_chunk(std::move(chunk)); });
            if (!appended) return fail(std::move(appended).error());
            ++next_append;
        }
    }

    void run_encoder() {
        container::ChunkScratch scratch;
        // The blocks of the oldest chunk under way go to the file as they
        // are made; a younger chunk keeps its blocks until its turn.
        const container::BlockSink stream = [this](container::EncodedChunk& chunk, std::size_t complete) {
            std::unique_lock lk(m);
            if (chunk.index != next_append || writer_busy || stop.load()) return Result<void>{};
            return with_writer(lk, [&] { return writer.append_blocks(chunk, complete); });
        };
        for (;;) {
            std::pair<std::uint32_t, container::TextBatch*> job;
            {
                std::unique_lock lk(m);
                cv.wait(lk, [&] { return stop.load() || closing || !work.empty(); });
                if (stop.load() || work.empty()) return;
                job = work.front();
                work.pop_front();
            }
            auto encoded = container::encode_chunk(schema, job.first, *job.second, &stop, &scratch, stream, level);
            job.second->clear();
            std::unique_lock lk(m);
            free_batches.push_back(job.second);
            if (!encoded) {
                fail(std::move(encoded).error());
            } else {
                ready.emplace(job.first, std::move(*encoded));
                drain(lk);
            }
            cv.notify_all();
        }
    }

    // On the driver's thread: appends ready chunks in order, waiting until
    // `done` holds.  Returns the first failure.
    template <class Done>
    Result<void> append_until(Done done) {
        std::unique_lock lk(m);
        for (;;) {
            if (failure) return *failure;
            if (stop.load()) return Error::io("interrupted");
            drain(lk);
            if (failure) return *failure;
            if (done()) return {};
            cv.wait(lk);
        }
    }
};

ChunkPipeline::ChunkPipeline(container::StreamingSarnWriter& writer, unsigned threads)
    : queue_(std::make_unique<Queue>(writer, threads == 0 ? 1 : threads)) {
    Queue& s = *queue_;
    s.next_index = s.next_append = writer.chunk_count();
    const unsigned n = threads == 0 ? 1 : threads;
    try {
        for (unsigned i = 0; i < n; ++i) s.encoders.emplace_back([&s] { s.run_encoder(); });
    } catch (...) {
        // No destructor runs for a half-built pipeline: stop and join the
        // threads that did start before giving up.
        cancel();
        for (std::thread& t : s.encoders) t.join();
        throw;
    }
}

ChunkPipeline::~ChunkPipeline() {
    cancel();
    for (std::thread& t : queue_->encoders) t.join();
}

void ChunkPipeline::cancel() noexcept {
    std::lock_guard lk(queue_->m);
    queue_->stop.store(true);
    queue_->cv.notify_all();
}

Result<void> ChunkPipeline::submit(container::TextBatch& batch) {
    Queue& s = *queue_;
    if (batch.empty()) return {};
    // Room for one more chunk, and an empty batch to give back.
    auto room = s.append_until([&] {
        return s.next_index - s.next_append < s.in_flight_limit &&
               (!s.free_batches.empty() || s.batches.size() < s.encoders.size());
    });
    if (!room) return room;
    std::lock_guard lk(s.m);
    container::TextBatch* spare;
    if (!s.free_batches.empty()) {
        spare = s.free_batches.back();
        s.free_batches.pop_back();
    } else {
        s.batches.push_back(std::make_unique<container::TextBatch>(batch.column_count()));
        spare = s.batches.back().get();
        // Sized like the batch it replaces: growing by doubling would
        // briefly hold two copies of the text and overshoot.
        spare->reserve_rows(batch.row_count());
        spare->reserve_text(batch.text_bytes() + batch.text_bytes() / 16);
    }
    std::swap(*spare, batch);  // the cells go to the encoders; the driver fills the spare
    s.work.emplace_back(s.next_index++, spare);
    s.cv.notify_all();
    return {};
}

Result<void> ChunkPipeline::poll() {
    return queue_->append_until([] { return true; });
}

Result<void> ChunkPipeline::finish() {
    Queue& s = *queue_;
    {
        std::lock_guard lk(s.m);
        s.closing = true;
        s.cv.notify_all();
    }
    return s.append_until([&] { return s.next_append == s.next_index; });
}

}  // namespace sarn::pipeline
