#include "pipeline/csv_ranges.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

#include "common/file_io.hpp"
#include "common/system_error.hpp"
#include "container/text_batch.hpp"
#include "container/writer.hpp"
#include "pipeline/batch_loop.hpp"
#include "pipeline/csv.hpp"
#include "pipeline/output_file.hpp"
#include "pipeline/column_types.hpp"
#include "pipeline/row_reader.hpp"

namespace sarn::pipeline {

namespace {

using common::Bytes;
using common::FileHandle;

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
        if (auto v = in.get<std::uint64_t>(); v)
            m.compressed_len = *v;
        else
            return v.error();
        if (auto v = in.get<std::uint8_t>(); v)
            m.encoding = static_cast<container::ColumnEncoding>(*v);
        else
            return v.error();
        if (auto v = in.get<std::uint32_t>(); v)
            m.null_count = *v;
        else
            return v.error();
        if (auto v = in.get<std::int64_t>(); v)
            m.min_int = *v;
        else
            return v.error();
        if (auto v = in.get<std::int64_t>(); v)
            m.max_int = *v;
        else
            return v.error();
        if (r = in.get_sized(m.min_text); !r) return r.error();
        if (r = in.get_sized(m.max_text); !r) return r.error();
        if (r = in.read(m.bloom.data(), m.bloom.size()); !r) return r.error();
        container::EncodedBlock& b = chunk.blocks[c];
        if (auto v = in.get<std::uint32_t>(); v)
            b.crc = *v;
        else
            return v.error();
        if (r = in.get_sized(b.data); !r) return r.error();
    }
    return chunk;
}

}  // namespace

Result<CsvHeader> read_csv_header(const std::string& path, const CsvDialect& dialect, const std::string& shown) {
    const std::string& name = shown.empty() ? path : shown;
    auto file = common::open_for_reading(path);
    if (!file) return std::move(file).error().prefixed("Cannot open " + name + ": ");
    LineSource lines = LineSource::positioned(file->fd(), name, Wording::Named, 0);
    RowReader reader(lines, dialect);
    auto names = reader.read_header();
    if (!names) return std::move(names).error();
    if (!*names) return csv_empty_error();
    if ((*names)->size() > container::MAX_COLUMNS) return header_too_wide_error((*names)->size());
    CsvHeader header;
    header.names = std::move(**names);
    header.data_start = lines.position();
    header.lines = reader.header_lines();
    return header;
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

namespace {

// A failure to write a file beside the output, or the output itself: a
// full disk or a file-size limit is the output's, so the error names it.
Error output_error(Error e, const std::string& output) {
    if (e.kind == common::ErrorKind::Value) return e;
    e.kind = common::ErrorKind::Io;
    e.path = output;
    return std::move(e).prefixed("Cannot write " + output + ": ");
}

// Encodes each batch and writes it to a spill file.
class SpillSink final : public ChunkSink {
public:
    SpillSink(const std::vector<container::ColumnSchema>& schema, std::uint32_t first_chunk, int fd,
              const std::string& output, int level)
        : schema_(schema),
          index_(first_chunk),
          fd_(fd),
          output_(output),
          level_(level) {}

    Result<void> put(container::TextBatch& batch) override {
        auto chunk = container::encode_chunk(schema_, index_, batch, nullptr, &scratch_, {}, level_);
        if (!chunk) return std::move(chunk).error();
        record_.clear();
        append_encoded_chunk(record_, *chunk);
        if (auto w = common::write_all(fd_, record_); !w) return output_error(std::move(w).error(), output_);
        batch.clear();
        ++index_;
        return {};
    }

private:
    const std::vector<container::ColumnSchema>& schema_;
    std::uint32_t index_;
    int fd_;
    const std::string& output_;
    int level_;
    container::ChunkScratch scratch_;
    Bytes record_;
};

}  // namespace

Result<ChunkRun> encode_chunk_run(const std::string& csv_path, const std::vector<std::string>& names,
                                  const std::vector<std::uint8_t>& types, const RunStart& run, std::uint64_t input_size,
                                  const std::string& spill_path, const std::string& output,
                                  const WriteChoices& choices) {
    const std::vector<container::ColumnSchema> schema = csv_schema(names, types);
    auto file = common::open_for_reading(csv_path);
    if (!file) return std::move(file).error().prefixed("Cannot open " + csv_path + ": ");
    // The scan saw every record of the file already (its faults, and the
    // cells of int64 columns): a fault here means the file changed since.
    LineSource lines =
        LineSource::positioned(file->fd(), csv_path, Wording::Named, run.offset, READ_BUFFER_SIZE, run.lines_before);
    lines.expect_end(input_size);
    RowReader reader(lines, choices.dialect);
    const Error changed = input_changed_error(csv_path, "fewer data records than counted");
    for (std::uint64_t i = 0; i < run.skip; ++i) {
        auto row = reader.skip_row();
        if (!row) return std::move(row).error();
        if (!*row) return changed;
    }

    auto created = create_job_file(spill_path, output);
    if (!created) return std::move(created).error();
    FileHandle out_file = std::move(*created);

    SpillSink sink(schema, run.first_chunk, out_file.fd(), output, choices.level);
    container::TextBatch batch = chunk_batch(names.size());
    auto totals = stream_batches(reader, names.size(), batch, sink, nullptr, run.rows);
    if (!totals) {
        Error e = std::move(totals).error();
        // The encoder met a cell of an int64 column the scan found sound.
        if (e.kind == common::ErrorKind::Input && !lines.failed()) {
            return input_changed_error(csv_path, e.message);
        }
        return e;
    }
    if (totals->rows < run.rows) return changed;
    if (auto closed = out_file.close(); !closed) return output_error(std::move(closed).error(), output);
    return ChunkRun{static_cast<std::uint32_t>(totals->chunks), totals->rows};
}

Result<AssembleSummary> assemble_container(const std::string& target, const std::string& like,
                                           const std::vector<std::string>& names,
                                           const std::vector<std::uint8_t>& types,
                                           const std::vector<std::string>& spill_paths, const std::string& output,
                                           const WriteChoices& choices) {
    if (names.size() > container::MAX_COLUMNS) return header_too_wide_error(names.size());
    struct stat like_status{};
    const bool have_like = !like.empty() && ::stat(like.c_str(), &like_status) == 0;
    auto temp = TempFile::create(target, have_like ? &like_status : nullptr, false, output);
    if (!temp) return std::move(temp).error();
    auto file = temp->duplicate(output);
    if (!file) return std::move(file).error();
    auto created = container::StreamingSarnWriter::create(std::move(*file), output, csv_schema(names, types),
                                                          CHUNK_SIZE, choices.level);
    if (!created) {
        Error e = std::move(created).error();
        if (e.errnum == 0) return e;
        return common::os_error(e.errnum, output).prefixed("Cannot create " + output + ": ");
    }
    container::StreamingSarnWriter writer = std::move(*created);
    for (const std::string& spill_path : spill_paths) {
        // The spill files are the job's own, beside the output: a failure
        // to read one (a folder removed under the job) is the output's.
        auto spill = common::open_for_reading(spill_path);
        if (!spill) return output_error(std::move(spill).error(), output);
        SpillReader in(std::move(*spill));
        for (;;) {
            auto done = in.at_end();
            if (!done) return output_error(std::move(done).error(), output);
            if (*done) break;
            auto chunk = read_encoded_chunk(in);
            if (!chunk) return output_error(std::move(chunk).error(), output);
            if (auto r = writer.append_chunk(std::move(*chunk)); !r) return output_error(std::move(r).error(), output);
        }
    }
    AssembleSummary summary;
    summary.rows = writer.total_rows();
    summary.chunks = writer.chunk_count();
    auto finished = writer.finish();
    if (!finished) return output_error(std::move(finished).error(), output);
    summary.summary = std::move(*finished);
    struct stat st{};
    if (::fstat(temp->fd(), &st) != 0) return output_error(common::os_error(errno), output);
    summary.bytes = static_cast<std::uint64_t>(st.st_size);
    if (auto placed = temp->put_in_place(target, output); !placed) return std::move(placed).error();
    return summary;
}

}  // namespace sarn::pipeline
