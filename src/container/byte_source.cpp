#include "container/byte_source.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include "common/display_text.hpp"
#include "common/system_error.hpp"

namespace sarn::container {

namespace {

// The fault of a source that ended before `offset`.
Error ended_at(std::uint64_t offset) {
    return Error::format("unexpected end of file at offset " + std::to_string(offset));
}

// A fetch that already happened: start_fetch's default.
class DoneFetch final : public PendingFetch {
public:
    explicit DoneFetch(Result<std::vector<Bytes>> r) : r_(std::move(r)) {}
    Result<std::vector<Bytes>> wait() override { return std::move(r_); }

private:
    Result<std::vector<Bytes>> r_;
};

}  // namespace

std::unique_ptr<PendingFetch> ByteSource::start_fetch(std::vector<ByteRange> ranges) const {
    std::vector<Bytes> out;
    out.reserve(ranges.size());
    for (const ByteRange& r : ranges) {
        auto b = read_at(r.offset, r.length);
        if (!b) return std::make_unique<DoneFetch>(std::move(b).error());
        out.push_back(std::move(*b));
    }
    return std::make_unique<DoneFetch>(std::move(out));
}

Result<std::vector<Bytes>> ByteSource::read_ranges(std::vector<ByteRange> ranges) const {
    return start_fetch(std::move(ranges))->wait();
}

// ---- FileSource ------------------------------------------------------------------------

Result<std::shared_ptr<FileSource>> FileSource::open(const std::string& path) {
    // A path with an embedded NUL would name another file.
    if (path.find('\0') != std::string::npos)
        return Error::value("Cannot open " + common::display_text(path, 200) + ": " + common::NUL_IN_PATH_TEXT);
    // Only a regular file can be read at offsets; a FIFO would even block
    // the open itself, so look before opening.
    const std::string cannot_open = "Cannot open " + path + ": ";
    auto status = common::path_status(path);
    if (!status) return std::move(status).error().prefixed(cannot_open);
    if (S_ISDIR(status->st_mode)) return common::os_error(EISDIR, path).prefixed(cannot_open);
    if (!S_ISREG(status->st_mode)) return Error::value(cannot_open + "not a regular file");
    auto file = common::open_for_reading(path);
    if (!file) return std::move(file).error().prefixed(cannot_open);
    auto length = common::file_length(*file);
    if (!length) return std::move(length).error().prefixed(path + ": ").about(path);
    return std::shared_ptr<FileSource>(new FileSource(path, std::move(*file), *length));
}

Result<Bytes> FileSource::read_at(std::uint64_t offset, std::uint64_t length) const {
    Bytes out(static_cast<std::size_t>(length));
    std::size_t done = 0;
    while (done < out.size()) {
        ssize_t n = ::pread(file_.fd(), out.data() + done, out.size() - done, static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno == EINTR) continue;
            return common::os_error(errno);
        }
        if (n == 0) return ended_at(offset + done);
        done += static_cast<std::size_t>(n);
    }
    count(length, 1);
    return out;
}

// ---- FetchedRanges -------------------------------------------------------------------------

Result<Bytes> FetchedRanges::read_at(std::uint64_t offset, std::uint64_t length) const {
    auto it = pieces_.upper_bound(offset);
    if (it != pieces_.begin()) {
        --it;
        const std::uint64_t at = offset - it->first;
        if (at <= it->second.size() && length <= it->second.size() - at) {
            const auto* p = it->second.data() + at;
            return Bytes(p, p + length);
        }
    }
    return base_->read_at(offset, length);
}

void FetchedRanges::add(std::uint64_t offset, Bytes bytes) {
    held_ += bytes.size();
    pieces_.emplace(offset, std::move(bytes));
}

Result<void> FetchedRanges::ensure(ByteRange range) {
    // The pieces that overlap or touch the range, and the stretches of it
    // that none covers.
    auto first = pieces_.upper_bound(range.offset);
    if (first != pieces_.begin() && std::prev(first)->first + std::prev(first)->second.size() >= range.offset) --first;
    auto last = first;
    std::vector<ByteRange> missing;
    std::uint64_t at = range.offset;
    for (; last != pieces_.end() && last->first <= range.end(); ++last) {
        if (last->first > at) missing.push_back({at, last->first - at});
        at = std::max<std::uint64_t>(at, last->first + last->second.size());
    }
    if (at < range.end()) missing.push_back({at, range.end() - at});
    if (missing.empty() && first != last && std::next(first) == last) return {};  // one piece covers it
    auto fetched = base_->read_ranges(missing);
    if (!fetched) return std::move(fetched).error();
    // One piece from the start of the first touched piece (or the range) to
    // the end of the last (or the range).
    std::uint64_t begin = range.offset, end = range.end();
    if (first != last) {
        begin = std::min(begin, first->first);
        end = std::max<std::uint64_t>(end, std::prev(last)->first + std::prev(last)->second.size());
    }
    Bytes joined(static_cast<std::size_t>(end - begin));
    for (auto it = first; it != last; ++it) {
        std::memcpy(joined.data() + (it->first - begin), it->second.data(), it->second.size());
        held_ -= it->second.size();
    }
    for (std::size_t i = 0; i < missing.size(); ++i)
        std::memcpy(joined.data() + (missing[i].offset - begin), (*fetched)[i].data(), (*fetched)[i].size());
    pieces_.erase(first, last);
    add(begin, std::move(joined));
    return {};
}

// ---- coalescing ----------------------------------------------------------------------------

std::vector<ByteRange> coalesce(std::vector<ByteRange> ranges, const CoalescePolicy& policy) {
    std::erase_if(ranges, [](const ByteRange& r) { return r.length == 0; });
    std::sort(ranges.begin(), ranges.end(), [](const ByteRange& a, const ByteRange& b) { return a.offset < b.offset; });
    std::vector<ByteRange> out;
    std::uint64_t needed = 0, waste = 0;  // of the last request in `out`
    for (const ByteRange& r : ranges) {
        if (!out.empty()) {
            ByteRange& run = out.back();
            const std::uint64_t grown = r.end() > run.end() ? r.end() - run.end() : 0;
            // Overlapping ranges are one request whatever its length; touching
            // ones while it stays within max_request.
            if (r.offset < run.end() || (r.offset == run.end() && run.length + grown <= policy.max_request)) {
                run.length += grown;
                needed += grown;
                continue;
            }
            const std::uint64_t gap = r.offset - run.end();
            const bool small_gap = gap <= policy.max_gap && (waste + gap) * 8 <= needed + r.length;
            if (small_gap && run.length + gap + r.length <= policy.max_request) {
                run.length = r.end() - run.offset;
                needed += r.length;
                waste += gap;
                continue;
            }
        }
        out.push_back(r);
        needed = r.length;
        waste = 0;
    }
    return out;
}

}  // namespace sarn::container
