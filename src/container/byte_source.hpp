// ByteSource: where the bytes of a container come from.
//
// A container is read at offsets: its header at the start, its trailer and
// footer at the end, then only the column blocks that a read needs.  A
// local file serves any offset with one pread; an object in a store
// (S3, GCS, ...) serves it with one request, which costs a round trip and
// is billed.  SarnReader reads through this interface only, so one reader
// serves both, and the readers of blocks need not know which they have.
//
// Sources that fetch (fetches() true) are read the way a footer index is
// meant to be read: the header and the trailer with its footer first (two
// ranges sent at once; a third when the footer is longer than the tail
// fetched), then, for a scan, the blocks of the chunks and columns it needs,
// their ranges coalesced (coalesce()) and fetched ahead of the decoding
// threads into a FetchedRanges (query/fetch_ahead.hpp).  The core does no
// network I/O of its own: a fetching source is implemented by its owner
// (the Python binding hands the ranges to fsspec, or to a file object).
//
// Thread-safety: every member of a source is safe to call from any number
// of threads at once.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/bytes.hpp"
#include "common/file_io.hpp"
#include "common/result.hpp"

namespace sarn::container {

using common::Bytes;
using common::Error;
using common::Result;

struct ByteRange {
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
    std::uint64_t end() const noexcept { return offset + length; }
    bool operator==(const ByteRange&) const = default;
};

// What a source has read so far: bytes that came in (gaps that coalescing
// fetched included) and the reads or requests that brought them.
struct FetchCounts {
    std::uint64_t bytes = 0;
    std::uint64_t requests = 0;
};

// A fetch under way (ByteSource::start_fetch).  wait() gives the bytes of
// every range asked for, in order, or the first error.  Call wait() once,
// on the thread that started the fetch.
class PendingFetch {
public:
    virtual ~PendingFetch() = default;
    virtual Result<std::vector<Bytes>> wait() = 0;
};

class ByteSource {
public:
    virtual ~ByteSource() = default;

    // What errors name: the file's path, or the object's URL.
    virtual const std::string& name() const noexcept = 0;
    // The length of the file or object, as it was when it was opened.
    virtual std::uint64_t size() const noexcept = 0;

    // Exactly `length` bytes at `offset`.  Errors: a failed system call or
    // request (kind Io, with its errno when known); fewer bytes than asked
    // for, "unexpected end of file at offset N" (kind Format: the file is
    // shorter than its own header or footer says).
    virtual Result<Bytes> read_at(std::uint64_t offset, std::uint64_t length) const = 0;

    // Starts fetching `ranges` (each read as read_at would); a fetching
    // source sends them at once and returns before they arrive.  The
    // default reads them one after another before it returns.
    virtual std::unique_ptr<PendingFetch> start_fetch(std::vector<ByteRange> ranges) const;

    // start_fetch(ranges)->wait().
    Result<std::vector<Bytes>> read_ranges(std::vector<ByteRange> ranges) const;

    // Whether every read is a request that costs a round trip: readers then
    // fetch what they need ahead, in few coalesced ranges.
    virtual bool fetches() const noexcept { return false; }

    FetchCounts counts() const noexcept { return {bytes_.load(), requests_.load()}; }

protected:
    // Adds to counts(); sources call it for what they read.
    void count(std::uint64_t bytes, std::uint64_t requests) const noexcept {
        bytes_.fetch_add(bytes);
        requests_.fetch_add(requests);
    }

private:
    mutable std::atomic<std::uint64_t> bytes_{0};
    mutable std::atomic<std::uint64_t> requests_{0};
};

// A local regular file, read with pread.
class FileSource final : public ByteSource {
public:
    // Opens `path` for reading: a regular file (a folder is EISDIR, anything
    // else that is not a regular file a Value error: a FIFO would even block
    // the open).  Errors say "Cannot open PATH: ...".
    static Result<std::shared_ptr<FileSource>> open(const std::string& path);

    const std::string& name() const noexcept override { return path_; }
    std::uint64_t size() const noexcept override { return size_; }
    Result<Bytes> read_at(std::uint64_t offset, std::uint64_t length) const override;

private:
    FileSource(std::string path, common::FileHandle file, std::uint64_t size)
        : path_(std::move(path)),
          file_(std::move(file)),
          size_(size) {}
    std::string path_;
    common::FileHandle file_;
    std::uint64_t size_;
};

// Bytes of a few ranges of `base`, fetched ahead and held in memory: a read
// inside one of them is served from memory, any other goes to `base`.  What
// it holds is not counted again (base counted it when it fetched it).
// Filled before it is shared; reading it is then thread-safe.
class FetchedRanges final : public ByteSource {
public:
    explicit FetchedRanges(std::shared_ptr<const ByteSource> base) : base_(std::move(base)) {}

    const std::string& name() const noexcept override { return base_->name(); }
    std::uint64_t size() const noexcept override { return base_->size(); }
    bool fetches() const noexcept override { return base_->fetches(); }
    Result<Bytes> read_at(std::uint64_t offset, std::uint64_t length) const override;

    // Holds `bytes` as the content of the source at `offset`.  REQUIRES: it
    // overlaps nothing held already.
    void add(std::uint64_t offset, Bytes bytes);

    // Makes `range` one held piece: fetches from base what no held piece
    // covers (one request per missing stretch, sent together) and joins
    // it with the pieces it touches.
    Result<void> ensure(ByteRange range);

    // Bytes held in all.
    std::uint64_t held() const noexcept { return held_; }

private:
    std::shared_ptr<const ByteSource> base_;
    std::map<std::uint64_t, Bytes> pieces_;  // by offset; never overlapping
    std::uint64_t held_ = 0;
};

// How coalesce() merges ranges into requests.
struct CoalescePolicy {
    // Two neighbours are merged when the gap between them is at most this
    // many bytes and the gaps of the merged request add up to at most an
    // eighth of the bytes it is sent for: the bytes of a gap are fetched
    // and thrown away, so a read fetches at most 9/8 of what it needs.
    std::uint64_t max_gap = 64 * 1024;
    // A request is not grown past this by touching ranges or by bridging a
    // gap (a single range, or overlapping ones, may be longer): stores serve
    // several ranges at once faster than one long one.
    std::uint64_t max_request = 8 * 1024 * 1024;
};

// The requests that fetch `ranges`: sorted, overlapping ranges joined,
// touching ones and small gaps bridged (CoalescePolicy).  Every byte of `ranges` lies
// in exactly one request.
std::vector<ByteRange> coalesce(std::vector<ByteRange> ranges, const CoalescePolicy& policy = {});

}  // namespace sarn::container
