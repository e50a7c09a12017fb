// The batch loop: the rows of an input in batches of CHUNK_SIZE, each handed
// to a chunk sink.  The module's driver, the parallel engine and the range
// encoder of sarnio.dask all run this one loop; they differ only in their
// sink (encode and append here, encode on several threads, or spill to a
// file) and in what they do between batches.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stop_token>

#include "common/result.hpp"
#include "container/text_batch.hpp"
#include "container/writer.hpp"
#include "pipeline/row_reader.hpp"

namespace sarn::pipeline {

// Rows per chunk, and the container's chunk_size.
inline constexpr std::uint32_t CHUNK_SIZE = 65536;

// Where the batches go.  A sink takes each batch as the next chunk.
class ChunkSink {
public:
    virtual ~ChunkSink() = default;
    // Takes the rows of `batch` (at least one) as the next chunk and gives
    // `batch` back empty, ready to be filled again.
    virtual common::Result<void> put(container::TextBatch& batch) = 0;
    // Called every few thousand lines while a batch fills: a chance to
    // write out what is ready, so that it does not pile up.
    virtual common::Result<void> poll() { return {}; }
    // No batch follows: returns once every chunk has reached its place.
    virtual common::Result<void> close() { return {}; }
};

// The sink that appends to `writer`: with `threads` = 1 each batch is
// encoded on the calling thread, each column block going to the file as
// soon as it is made; with more, a ChunkPipeline encodes them on that many
// threads and they are appended in order.  Either way the bytes are those
// of write_chunk on every batch in turn.  A stop request ends the work in
// hand soon, with ErrorKind::Cancelled.  Errors: the writer's and the
// encoder's; no threads to be had (ErrorKind::Io with errno).
common::Result<std::unique_ptr<ChunkSink>> writer_sink(container::StreamingSarnWriter& writer, unsigned threads,
                                                       std::stop_token stop = {});

// What the loop tells its driver, besides handing on batches.
class BatchObserver {
public:
    virtual ~BatchObserver() = default;
    // Every TICK_LINES lines, with the input offset reached.  An error ends
    // the loop with it.
    virtual common::Result<void> tick(std::uint64_t position) {
        (void)position;
        return {};
    }
    // After each full batch was handed on, with the rows so far.
    virtual void batch_done(std::uint64_t rows) { (void)rows; }
};

struct BatchTotals {
    std::uint64_t rows = 0;
    std::uint64_t chunks = 0;
};

// Reads rows of `columns` cells from `rows` in batches of CHUNK_SIZE (the
// last one shorter), at most `row_limit` rows in all, hands each batch to
// `sink` and closes it.  `batch` is the first batch to fill (empty); the
// loop reuses it.  Errors: the reader's, the sink's and the observer's, as
// they are.
common::Result<BatchTotals> stream_batches(RowReader& rows, std::size_t columns, container::TextBatch& batch,
                                           ChunkSink& sink, BatchObserver* observer = nullptr,
                                           std::uint64_t row_limit = UINT64_MAX);

// A batch of `columns` columns with room for a chunk's rows (or as many as
// MAX_RESERVED_CELLS allows).
container::TextBatch chunk_batch(std::size_t columns);

}  // namespace sarn::pipeline
