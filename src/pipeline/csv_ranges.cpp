#include "pipeline/csv_ranges.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

#include "common/file_io.hpp"
#include "common/system_error.hpp"
#include "common/utf8.hpp"
#include "container/text_batch.hpp"
#include "container/writer.hpp"
#include "pipeline/compress_csv.hpp"
#include "pipeline/csv.hpp"

namespace sarn::pipeline {

namespace {

using common::Bytes;
using common::FileHandle;

// Positioned reads over one file through a window buffer, for cutting lines
// that start anywhere in the file.
class LineWindow {
public:
    explicit LineWindow(const FileHandle& file) : file_(file), buffer_(new char[READ_BUFFER_SIZE]) {}

    // The bytes from `start` up to and including the first line feed, or up
    // to the end of the file; `*next` is the offset after them.  An empty
    // result means `start` is at or past the end of the file.  The view stays
    // valid until the next call.
    Result<std::string_view> line_at(std::uint64_t start, std::uint64_t* next) {
        spill_.clear();
        if (spill_.capacity() > READ_BUFFER_SIZE) std::string().swap(spill_);
        bool spilled = false;
        std::uint64_t pos = start;
        for (;;) {
            if (pos < offset_ || pos >= offset_ + fill_) {
                if (auto r = fill_at(pos); !r) return r.error();
                if (fill_ == 0) break;  // end of file
            }
            const char* p = buffer_.get() + (pos - offset_);
            const std::size_t available = fill_ - (pos - offset_);
            if (const void* lf = std::memchr(p, '\n', available)) {
                const std::size_t len = static_cast<const char*>(lf) - p + 1;
                *next = pos + len;
                if (!spilled) return std::string_view(p, len);
                spill_.append(p, len);
                return std::string_view(spill_);
            }
            if (!spilled && pos != offset_ && fill_ == READ_BUFFER_SIZE) {
                // The line runs past the window: read again from its start
                // before resorting to a copy.
                if (auto r = fill_at(pos); !r) return r.error();
                continue;
            }
            spill_.append(p, available);
            spilled = true;
            pos += available;
            if (fill_ < READ_BUFFER_SIZE) break;  // a short read is the end of the file
        }
        *next = pos;
        return std::string_view(spill_);
    }

private:
    Result<void> fill_at(std::uint64_t pos) {
        offset_ = pos;
        fill_ = 0;
        while (fill_ < READ_BUFFER_SIZE) {
            const ssize_t n = ::pread(file_.fd(), buffer_.get() + fill_, READ_BUFFER_SIZE - fill_,
                                      static_cast<off_t>(pos + fill_));
            if (n < 0) {
                if (errno == EINTR) continue;
                return common::os_error(errno);
            }
            if (n == 0) break;
            fill_ += static_cast<std::size_t>(n);
        }
        return {};
    }

    const FileHandle& file_;
    std::unique_ptr<char[]> buffer_;
    std::uint64_t offset_ = 0;  // file offset of buffer_[0]
    std::size_t fill_ = 0;
    std::string spill_;
};

// The line the reader hands on: without its line feed and the carriage
// return right before it.  A carriage return at the end of the file stays.
std::string_view strip_terminator(std::string_view gathered) noexcept {
    if (!gathered.empty() && gathered.back() == '\n') {
        gathered.remove_suffix(1);
        if (!gathered.empty() && gathered.back() == '\r') gathered.remove_suffix(1);
    }
    return gathered;
}

void put_u8(Bytes& out, std::uint8_t v) { out.push_back(v); }
template <class T>
void put_raw(Bytes& out, T v) {
    std::uint8_t b[sizeof(T)];
    std::memcpy(b, &v, sizeof(T));
    out.insert(out.end(), b, b + sizeof(T));
}
void put_text(Bytes& out, std::string_view s) {
    put_raw<std::uint64_t>(out, s.size());
    out.insert(out.end(), s.begin(), s.end());
}

Result<void> write_all(int fd, const std::uint8_t* p, std::size_t n) {
    while (n > 0) {
        const ssize_t w = ::write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            return common::os_error(errno);
        }
        if (w == 0) return Error::io("failed to write whole buffer");
        p += w;
        n -= static_cast<std::size_t>(w);
    }
    return {};
}

// Sequential reads of a spill file.
class SpillReader {
public:
    explicit SpillReader(FileHandle file) : file_(std::move(file)), buffer_(new std::uint8_t[CAPACITY]) {}

    // True when the file ends exactly here (between two chunks).
    Result<bool> at_end() {
        if (pos_ < fill_) return false;
        if (auto r = refill(); !r) return r.error();
        return fill_ == 0;
    }

    Result<void> read(void* dst, std::size_t n) {
        auto* out = static_cast<std::uint8_t*>(dst);
        while (n > 0) {
            if (pos_ == fill_) {
                if (auto r = refill(); !r) return r;
                if (fill_ == 0) return Error::io("spilled chunk file ends in the middle of a chunk");
            }
            const std::size_t take = std::min(n, fill_ - pos_);
            std::memcpy(out, buffer_.get() + pos_, take);
            pos_ += take;
            out += take;
            n -= take;
        }
        return {};
    }

    template <class T>
    Result<T> get() {
        T v{};
        if (auto r = read(&v, sizeof(T)); !r) return r.error();
        return v;
    }

    template <class Container>
    Result<void> get_sized(Container& c) {
        auto n = get<std::uint64_t>();
        if (!n) return n.error();
        // A length the rest of the file cannot hold means a damaged spill
        // file; refuse it before allocating.
        if (*n > remaining_bound()) return Error::io("spilled chunk file is damaged");
        c.resize(static_cast<std::size_t>(*n));
        return read(c.data(), c.size());
    }

private:
    static constexpr std::size_t CAPACITY = std::size_t{1} << 20;

    std::uint64_t remaining_bound() {
        struct stat st;
        if (::fstat(file_.fd(), &st) != 0) return 0;
        const off_t here = ::lseek(file_.fd(), 0, SEEK_CUR);
        if (here < 0 || st.st_size < here) return 0;
        return static_cast<std::uint64_t>(st.st_size - here) + (fill_ - pos_);
    }

    Result<void> refill() {
        auto got = common::read_some(file_, buffer_.get(), CAPACITY);
        if (!got) return got.error();
        pos_ = 0;
        fill_ = *got;
        return {};
    }

    FileHandle file_;
    std::unique_ptr<std::uint8_t[]> buffer_;
    std::size_t pos_ = 0, fill_ = 0;
};

Result<container::EncodedChunk> read_encoded_chunk(SpillReader& in) {
    container::EncodedChunk chunk;
    auto index = in.get<std::uint32_t>();
    if (!index) return index.error();
    chunk.index = *index;
    auto rows = in.get<std::uint64_t>();
    if (!rows) return rows.error();
    chunk.rows = *rows;
    auto columns = in.get<std::uint32_t>();
    if (!columns) return columns.error();
    if (*columns > container::MAX_COLUMNS) return Error::io("spilled chunk file is damaged");
    chunk.metas.resize(*columns);
    chunk.blocks.resize(*columns);
    for (std::uint32_t c = 0; c < *columns; ++c) {
        container::ColumnChunkMeta& m = chunk.metas[c];
        Result<void> r;
        if (auto v = in.get<std::uint64_t>(); v) m.compressed_len = *v; else return v.error();
        if (auto v = in.get<std::uint8_t>(); v) m.encoding = static_cast<container::ColumnEncoding>(*v); else return v.error();
        if (auto v = in.get<std::uint32_t>(); v) m.null_count = *v; else return v.error();
        if (auto v = in.get<std::int64_t>(); v) m.min_int = *v; else return v.error();
        if (auto v = in.get<std::int64_t>(); v) m.max_int = *v; else return v.error();
        if (r = in.get_sized(m.min_text); !r) return r.error();
        if (r = in.get_sized(m.max_text); !r) return r.error();
        if (r = in.read(m.bloom.data(), m.bloom.size()); !r) return r.error();
        container::EncodedBlock& b = chunk.blocks[c];
        if (auto v = in.get<std::uint32_t>(); v) b.crc = *v; else return v.error();
        if (r = in.get_sized(b.data); !r) return r.error();
    }
    return chunk;
}

}  // namespace

Result<RangeScan> scan_range(const std::string& path, std::uint64_t begin, std::uint64_t end) {
    auto file = common::open_for_reading(path);
    if (!file) return std::move(file).error();
    LineWindow window(*file);
    RangeScan scan;
    scan.begin = begin;
    scan.end = end;

    // The first line of the range starts at `begin` when the byte before it
    // ends a line, else right after the next line feed.
    std::uint64_t start = begin;
    if (begin > 0) {
        std::uint64_t next = 0;
        auto before = window.line_at(begin - 1, &next);
        if (!before) return before.error();
        if (before->empty() || before->back() != '\n') {
            scan.first_line = end;  // no line feed up to the end of the file
            return scan;
        }
        start = next;
    }
    scan.first_line = start < end ? start : end;

    while (start < end) {
        std::uint64_t next = 0;
        auto gathered = window.line_at(start, &next);
        if (!gathered) return gathered.error();
        if (gathered->empty()) break;  // end of the file
        if (!common::is_valid_utf8(*gathered)) {
            scan.fault = LineFault{Error::io(INVALID_UTF8_TEXT), scan.lines, start,
                                   common::first_bad_utf8(*gathered)};
            return scan;
        }
        const std::string_view line = strip_terminator(*gathered);
        if (begin == 0 && scan.lines == 0) {
            scan.header = std::string(line);
        } else if (!is_blank(line)) {
            if (line.size() > container::TextBatch::MAX_ROW_BYTES) {
                scan.fault = LineFault{Error::io(LINE_TOO_LONG_TEXT), scan.lines, start, gathered->size()};
                return scan;
            }
            if (scan.data_lines % CHECKPOINT_LINES == 0) scan.checkpoints.push_back(start);
            ++scan.data_lines;
        }
        ++scan.lines;
        start = next;
    }
    return scan;
}

void append_encoded_chunk(Bytes& out, const container::EncodedChunk& chunk) {
    put_raw<std::uint32_t>(out, chunk.index);
    put_raw<std::uint64_t>(out, chunk.rows);
    put_raw<std::uint32_t>(out, static_cast<std::uint32_t>(chunk.metas.size()));
    for (std::size_t c = 0; c < chunk.metas.size(); ++c) {
        const container::ColumnChunkMeta& m = chunk.metas[c];
        put_raw<std::uint64_t>(out, m.compressed_len);
        put_u8(out, static_cast<std::uint8_t>(m.encoding));
        put_raw<std::uint32_t>(out, m.null_count);
        put_raw<std::int64_t>(out, m.min_int);
        put_raw<std::int64_t>(out, m.max_int);
        put_text(out, m.min_text);
        put_text(out, m.max_text);
        out.insert(out.end(), m.bloom.begin(), m.bloom.end());
        const container::EncodedBlock& b = chunk.blocks[c];
        put_raw<std::uint32_t>(out, b.crc);
        put_raw<std::uint64_t>(out, b.data.size());
        out.insert(out.end(), b.data.begin(), b.data.end());
    }
}

Result<ChunkRunOutcome> encode_chunk_run(const std::string& csv_path, const std::vector<std::string>& names,
                                         std::uint64_t start, std::uint64_t skip, std::uint32_t first_chunk,
                                         std::uint64_t rows, const std::string& spill_path) {
    const std::vector<container::ColumnSchema> schema = text_schema(names);
    auto file = common::open_for_reading(csv_path);
    if (!file) return std::move(file).error();
    if (::lseek(file->fd(), static_cast<off_t>(start), SEEK_SET) < 0) {
        return common::os_error(errno);
    }
    CsvLineReader reader(std::move(*file), READ_BUFFER_SIZE);

    const int out = ::open(spill_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (out < 0) return common::os_error(errno, spill_path).prefixed("Cannot create " + spill_path + ": ");
    FileHandle out_file(out);

    const std::size_t columns = names.size();
    container::TextBatch batch(columns);
    batch.reserve_rows(CHUNK_SIZE);
    ChunkRunOutcome outcome;
    Bytes record;
    auto flush = [&]() -> Result<void> {
        const std::uint32_t index = first_chunk + outcome.run.chunks;
        auto chunk = container::encode_chunk(schema, index, batch);
        if (!chunk) {
            outcome.fault = ChunkFault{std::move(chunk).error(), index};
            return {};
        }
        record.clear();
        append_encoded_chunk(record, *chunk);
        if (auto w = write_all(out_file.fd(), record.data(), record.size()); !w) return w;
        outcome.run.rows += batch.row_count();
        ++outcome.run.chunks;
        batch.clear();
        return {};
    };

    std::uint64_t taken = 0;
    while (taken < rows) {
        auto line = reader.next_line();
        if (!line) return std::move(line).error();
        if (!*line) return Error::io("CSV file changed while it was compressed: fewer data lines than counted");
        if (is_blank(**line)) continue;
        if (skip > 0) {
            --skip;
            continue;
        }
        if (!append_row(batch, **line, columns)) return Error::io(LINE_TOO_LONG_TEXT);
        ++taken;
        if (batch.row_count() == CHUNK_SIZE || taken == rows) {
            if (auto r = flush(); !r) return r.error();
            if (outcome.fault) break;
        }
    }
    if (auto closed = out_file.close(); !closed) return closed.error();
    return outcome;
}

Result<AssembleSummary> assemble_container(const std::string& out_path, const std::vector<std::string>& names,
                                           const std::vector<std::string>& spill_paths) {
    if (names.size() > container::MAX_COLUMNS) return Error::io("too many columns for a container");
    auto created = container::StreamingSarnWriter::create(out_path, text_schema(names), CHUNK_SIZE);
    if (!created) return std::move(created).error();
    container::StreamingSarnWriter writer = std::move(*created);
    for (const std::string& spill_path : spill_paths) {
        auto spill = common::open_for_reading(spill_path);
        if (!spill) return Error::io(spill_path + ": " + spill.error().message);
        SpillReader in(std::move(*spill));
        for (;;) {
            auto done = in.at_end();
            if (!done) return done.error();
            if (*done) break;
            auto chunk = read_encoded_chunk(in);
            if (!chunk) return std::move(chunk).error();
            if (auto r = writer.append_chunk(std::move(*chunk)); !r) return r.error();
        }
    }
    AssembleSummary summary;
    summary.rows = writer.total_rows();
    summary.chunks = writer.chunk_count();
    auto finished = writer.finish();
    if (!finished) return std::move(finished).error();
    summary.summary = std::move(*finished);
    auto length = common::path_length(out_path);
    if (!length) return std::move(length).error();
    summary.bytes = *length;
    return summary;
}

}  // namespace sarn::pipeline
