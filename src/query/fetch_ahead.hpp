// FetchAhead: the blocks of a scan's next chunks, fetched before the
// decoding threads need them, from a source where every read is a request.
//
// The chunks that survive the footer are taken in windows of consecutive
// chunks: at least one per decoding thread, and (but for the first, which
// gets decoding going) enough to make some megabytes: a request costs a
// round trip whatever its length.  The
// blocks a window's chunks need (the columns of the scan and of its
// filter) are coalesced (container::coalesce) and sent at once; one window
// is under way while the one before it is decoded.  A chunk's blocks are
// then read from memory; a window's bytes are dropped once each of its
// chunks has been decoded.  Memory: about three windows of stored bytes.
//
// All fetching happens on the consumer's thread (advance()), never on a
// decoding thread: the owner of a source may need that thread (the Python
// binding runs fsspec, which needs the interpreter lock that a consumer of
// the Arrow stream may hold while it waits for a batch).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

#include "common/result.hpp"
#include "container/byte_source.hpp"

namespace sarn::query {

class Scan;

class FetchAhead {
public:
    // Stored bytes a window gathers before it is sent (when it has a chunk
    // for every thread), and the most it takes (unless one chunk is larger).
    static constexpr std::uint64_t WINDOW_BYTES = 24 * 1024 * 1024;
    static constexpr std::uint64_t WINDOW_MAX_BYTES = 64 * 1024 * 1024;

    // For `scan`, whose chunks are decoded `threads` at a time.  The scan
    // must outlive this object.
    FetchAhead(const Scan& scan, unsigned threads);
    ~FetchAhead();

    // How many of the scan's chunks, from the first on, have their blocks
    // here: decoding threads take only those.  Thread-safe.
    std::size_t ready() const noexcept { return ready_.load(); }

    // Called by the consumer before it takes chunk number `next` (an index
    // into scan.chunks()): waits for the window under way when the threads
    // are about to run out of fetched chunks, and keeps one window under
    // way.  Returns the error of a failed fetch.  One consumer at a time.
    common::Result<void> advance(std::size_t next);

    // The bytes fetched for chunk number `index`.  Thread-safe.
    std::shared_ptr<const container::FetchedRanges> bytes_for(std::size_t index) const;

    // Chunk number `index` is decoded: its share of a window is dropped.
    void release(std::size_t index);

private:
    // Starts fetching the window of chunks from pending_end_ on.
    void start_window();

    const Scan& scan_;
    const unsigned threads_;
    std::atomic<std::size_t> ready_{0};
    std::size_t pending_end_ = 0;  // chunks fetched or under way
    std::unique_ptr<container::PendingFetch> pending_;
    std::vector<container::ByteRange> pending_requests_;
    std::size_t pending_first_ = 0;

    mutable std::mutex mutex_;
    std::map<std::size_t, std::shared_ptr<const container::FetchedRanges>> windows_;  // by chunk number
};

}  // namespace sarn::query
