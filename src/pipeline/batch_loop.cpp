#include "pipeline/batch_loop.hpp"

#include <algorithm>
#include <atomic>
#include <functional>
#include <system_error>
#include <utility>

#include "common/system_error.hpp"
#include "container/encoded_chunk.hpp"
#include "pipeline/chunk_pipeline.hpp"
#include "pipeline/messages.hpp"

namespace sarn::pipeline {

using common::Error;
using common::Result;

namespace {

// Encodes on the calling thread.  Each column block is handed to the
// writer as soon as it is complete, so a wide chunk never holds all its
// compressed blocks at once.
class EncodeHere final : public ChunkSink {
public:
    EncodeHere(container::StreamingSarnWriter& writer, std::stop_token stop)
        : writer_(writer),
          stop_(std::move(stop)),
          on_stop_(stop_, [this] { stopped_.store(true); }) {}

    Result<void> put(container::TextBatch& batch) override {
        auto encoded = container::encode_chunk(
            writer_.schema(), writer_.chunk_count(), batch, &stopped_, &scratch_,
            [this](container::EncodedChunk& chunk, std::size_t complete) {
                return writer_.append_blocks(chunk, complete);
            },
            writer_.level());
        if (stopped_.load()) return Error::cancelled(CANCELLED_TEXT);
        if (!encoded) return std::move(encoded).error();
        batch.clear();
        return writer_.append_chunk(std::move(*encoded));
    }

private:
    container::StreamingSarnWriter& writer_;
    std::stop_token stop_;
    std::atomic<bool> stopped_{false};  // encode_chunk looks at this between columns
    std::stop_callback<std::function<void()>> on_stop_;
    container::ChunkScratch scratch_;
};

// Encodes on a ChunkPipeline's threads.
class EncodeOnThreads final : public ChunkSink {
public:
    EncodeOnThreads(container::StreamingSarnWriter& writer, unsigned threads, std::stop_token stop)
        : pipeline_(writer, threads),
          stop_(std::move(stop)),
          on_stop_(stop_, [this] { pipeline_.cancel(); }) {}

    Result<void> put(container::TextBatch& batch) override { return checked(pipeline_.submit(batch)); }
    Result<void> poll() override { return checked(pipeline_.poll()); }
    Result<void> close() override { return checked(pipeline_.finish()); }

private:
    // A pipeline that was cancelled says "interrupted": that is the stop.
    Result<void> checked(Result<void> r) {
        if (!r && stop_.stop_requested()) return Error::cancelled(CANCELLED_TEXT);
        return r;
    }

    ChunkPipeline pipeline_;
    std::stop_token stop_;
    std::stop_callback<std::function<void()>> on_stop_;
};

}  // namespace

Result<std::unique_ptr<ChunkSink>> writer_sink(container::StreamingSarnWriter& writer, unsigned threads,
                                               std::stop_token stop) {
    if (threads <= 1) return std::unique_ptr<ChunkSink>(new EncodeHere(writer, std::move(stop)));
    try {
        return std::unique_ptr<ChunkSink>(new EncodeOnThreads(writer, threads, std::move(stop)));
    } catch (const std::system_error& e) {
        return common::os_error(e.code().value()).prefixed("Cannot start the encoder threads: ");
    }
}

container::TextBatch chunk_batch(std::size_t columns) {
    container::TextBatch batch(columns);
    batch.reserve_rows(rows_to_reserve(columns, CHUNK_SIZE));
    return batch;
}

Result<BatchTotals> stream_batches(RowReader& rows, std::size_t columns, container::TextBatch& batch, ChunkSink& sink,
                                   BatchObserver* observer, std::uint64_t row_limit) {
    BatchTotals totals;
    LineSource& lines = rows.lines();
    const auto tick = [&]() -> Result<void> {
        // Encoded chunks wait for this thread: write them out now rather
        // than after the whole batch is parsed.
        if (auto r = sink.poll(); !r) return r;
        if (observer) return observer->tick(lines.position());
        return {};
    };
    while (totals.rows < row_limit) {
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(CHUNK_SIZE, row_limit - totals.rows));
        auto got = rows.fill(batch, columns, want, tick);
        if (!got) return std::move(got).error();
        if (*got == 0) break;
        totals.rows += *got;
        ++totals.chunks;
        if (auto r = sink.put(batch); !r) return std::move(r).error();
        if (*got < want) break;  // the input ended inside this batch
        if (observer && *got == CHUNK_SIZE) observer->batch_done(totals.rows);
    }
    if (auto r = sink.close(); !r) return std::move(r).error();
    return totals;
}

}  // namespace sarn::pipeline
