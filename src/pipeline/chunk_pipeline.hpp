// ChunkPipeline: the chunks of one container encoded on several threads and
// appended in order, on behalf of a driver that reads and parses.
//
// The driver fills a batch and submit()s it; the batch's rows become the
// next chunk.  `threads` encoder threads run encode_chunk on whole batches.
// Chunks reach the writer in chunk order, written by whichever thread is
// there first, one thread at a time: the encoder that finishes the oldest
// chunk, or the driver inside submit(), poll() and finish().  The encoder of
// the oldest chunk under way also writes its column blocks as they are
// made, so that chunk never holds all its compressed blocks at once.  The
// bytes are those of calling write_chunk on every batch in turn.
//
// Memory: at most threads + 2 chunks are between submit() and the file, and
// at most threads + 1 batches of cells exist (the driver's, one per
// encoder): an encoder hands its batch back as soon as the chunk is encoded.
#pragma once

#include <atomic>
#include <memory>

#include "common/result.hpp"
#include "container/text_batch.hpp"
#include "container/writer.hpp"

namespace sarn::pipeline {

class ChunkPipeline {
public:
    // REQUIRES: threads >= 1; `writer` outlives the pipeline and is used by
    // no one else until finish() returned or the pipeline is destroyed.
    // Throws std::system_error when the threads cannot be started.
    ChunkPipeline(container::StreamingSarnWriter& writer, unsigned threads);
    // Stops the encoders and waits for them; chunks not yet appended are
    // dropped.
    ~ChunkPipeline();
    ChunkPipeline(const ChunkPipeline&) = delete;
    ChunkPipeline& operator=(const ChunkPipeline&) = delete;

    // Queues the rows of `batch` as the next chunk (nothing for an empty
    // batch) and gives `batch` back empty, ready to be filled again (it is
    // swapped with a batch from the pool).  Appends what is ready, and waits
    // while threads + 2 chunks are under way.  Errors: the first failure of
    // an encoder or of the writer, as its text; the pipeline is spent then.
    common::Result<void> submit(container::TextBatch& batch);

    // Appends the chunks that are ready, in order, without waiting: a driver
    // that calls this while it parses keeps encoded chunks from piling up.
    common::Result<void> poll();

    // Waits until every queued chunk is appended; the first failure if any.
    common::Result<void> finish();

    // Asks the encoders to stop soon (any thread).  submit() and finish()
    // then fail with the text "interrupted".
    void cancel() noexcept;

    struct Queue;  // the chunks between the driver, the encoders and the writer

private:
    std::unique_ptr<Queue> queue_;
};

}  // namespace sarn::pipeline
