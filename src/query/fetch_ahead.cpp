#include "query/fetch_ahead.hpp"

#include <algorithm>

#include "query/scan.hpp"

namespace sarn::query {

using container::ByteRange;
using container::FetchedRanges;

namespace {

// A window's requests: the blocks of neighbouring chunks follow one another,
// and are sent as a few requests of up to 16 MiB at once (a store serves a
// few ranges side by side faster than one long one; each request costs a
// round trip).
constexpr container::CoalescePolicy WINDOW_POLICY{64 * 1024, 16 * 1024 * 1024};

}  // namespace

FetchAhead::FetchAhead(const Scan& scan, unsigned threads) : scan_(scan), threads_(std::max(1u, threads)) {}

FetchAhead::~FetchAhead() {
    // A fetch still under way is waited for, so that nothing of it outlives
    // the stream; its bytes are thrown away.
    if (pending_) (void)pending_->wait();
}

void FetchAhead::start_window() {
    const auto& chunks = scan_.chunks();
    std::vector<ByteRange> ranges;
    std::uint64_t bytes = 0;
    std::size_t end = pending_end_;
    // The first window is a chunk for each thread only, so that decoding
    // starts after a short fetch; later ones are fetched while the one
    // before them is decoded.
    const std::uint64_t target = pending_end_ == 0 ? 0 : WINDOW_BYTES;
    while (end < chunks.size()) {
        const auto more = scan_.block_ranges(chunks[end]);
        std::uint64_t chunk_bytes = 0;
        for (const ByteRange& r : more) chunk_bytes += r.length;
        const std::size_t count = end - pending_end_;
        if (count > 0 && bytes + chunk_bytes > WINDOW_MAX_BYTES) break;
        if (count >= threads_ && bytes >= target) break;
        ranges.insert(ranges.end(), more.begin(), more.end());
        bytes += chunk_bytes;
        ++end;
    }
    pending_requests_ = container::coalesce(std::move(ranges), WINDOW_POLICY);
    pending_first_ = pending_end_;
    pending_end_ = end;
    pending_ = scan_.table().reader().source().start_fetch(pending_requests_);
}

common::Result<void> FetchAhead::advance(std::size_t next) {
    const std::size_t n = scan_.chunks().size();
    for (;;) {
        if (!pending_ && pending_end_ < n) start_window();
        if (!pending_ || ready_.load() >= std::min(n, next + threads_)) return {};
        auto fetched = pending_->wait();
        pending_.reset();
        if (!fetched) return std::move(fetched).error();
        auto window = std::make_shared<FetchedRanges>(scan_.table().reader().shared_source());
        for (std::size_t i = 0; i < pending_requests_.size(); ++i)
            window->add(pending_requests_[i].offset, std::move((*fetched)[i]));
        {
            std::lock_guard<std::mutex> lock(mutex_);
            for (std::size_t i = pending_first_; i < pending_end_; ++i) windows_[i] = window;
        }
        ready_.store(pending_end_);
    }
}

std::shared_ptr<const FetchedRanges> FetchAhead::bytes_for(std::size_t index) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = windows_.find(index);
    return it == windows_.end() ? nullptr : it->second;
}

void FetchAhead::release(std::size_t index) {
    std::shared_ptr<const FetchedRanges> dropped;  // freed outside the lock
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = windows_.find(index);
    if (it == windows_.end()) return;
    dropped = std::move(it->second);
    windows_.erase(it);
}

}  // namespace sarn::query
