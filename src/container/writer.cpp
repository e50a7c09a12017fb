#include "container/writer.hpp"

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <map>
#include <optional>
#include <unistd.h>

#include "container/chunk_encode.hpp"
#include "container/encoded_chunk.hpp"
#include "codec/codec.hpp"
#include "common/file_io.hpp"
#include "common/system_error.hpp"

namespace sarn::container {

namespace {

constexpr std::uint64_t MAX_BLOCK_INPUT = 0xFFFFFFFFULL;  // the codec keeps positions in 32 bits

std::uint64_t seconds_since_epoch() {
    struct timespec ts;
    if (::clock_gettime(CLOCK_REALTIME, &ts) != 0 || ts.tv_sec < 0) return 0;
    return static_cast<std::uint64_t>(ts.tv_sec);
}

}  // namespace

struct StreamingSarnWriter::OpenFile {
    std::vector<ColumnSchema> schema;
    common::FileHandle file;
    Bytes buffer;  // pending output; capacity WRITE_BUFFER_SIZE
    std::vector<std::vector<ColumnChunkMeta>> chunks;
    std::map<std::string, std::uint64_t> dictionary;  // never filled by the streaming path
    std::uint64_t chunk_size = 1;
    int level = codec::DEFAULT_LEVEL;  // of every block this writer compresses
    std::uint64_t position = 0;
    std::uint64_t total_rows = 0;
    std::uint32_t chunk_count = 0;

    OpenFile() = default;
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;

    // Dropped without finish: write out what is buffered, ignoring errors.
    ~OpenFile() {
        if (file.is_open()) {
            (void)flush_buffer();
            (void)file.close();
        }
    }

    // Writes the buffer to the file.  On failure the bytes that did reach the
    // file leave the buffer; the rest stay.
    Result<void> flush_buffer() {
        std::size_t done = 0;
        Result<void> result = common::write_all(file.fd(), buffer, &done);
        buffer.erase(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(done));
        written += done;
        start_writeback();
        return result;
    }

    // Buffered write: copy when it fits; otherwise flush first, then copy, or
    // write directly when the data alone fills the buffer.
    Result<void> write(ByteView data) {
        if (buffer.size() + data.size() > WRITE_BUFFER_SIZE) {
            if (auto r = flush_buffer(); !r) return r;
        }
        if (data.size() >= WRITE_BUFFER_SIZE) {
            std::size_t done = 0;
            Result<void> result = common::write_all(file.fd(), data, &done);
            written += done;
            start_writeback();
            return result;
        }
        buffer.insert(buffer.end(), data.begin(), data.end());
        return {};
    }

    // finish() syncs the file to stable storage.  Asking the kernel to start
    // writing every few MiB as the file grows lets that run beside the
    // compression, so the final sync has little left to wait for; it is
    // only a hint (and does not exist everywhere), so failures are ignored.
    void start_writeback() {
#ifdef SYNC_FILE_RANGE_WRITE
        if (written - writeback_from < WRITEBACK_STEP) return;
        (void)::sync_file_range(file.fd(), static_cast<off_t>(writeback_from),
                                static_cast<off_t>(written - writeback_from), SYNC_FILE_RANGE_WRITE);
        writeback_from = written;
#endif
    }
    static constexpr std::uint64_t WRITEBACK_STEP = std::uint64_t{8} << 20;
    std::uint64_t written = 0;  // bytes that reached the file
    std::uint64_t writeback_from = 0;  // where the kernel was last asked to start writing

    // Writes one column block (CRC, length, payload) and fills in where it went.
    Result<void> emit_block(const EncodedBlock& block, ColumnChunkMeta& meta) {
        Bytes head;
        head.reserve(12);
        put_u32(head, block.crc);
        put_u64(head, block.data.size());
        meta.offset = position;
        meta.compressed_len = block.data.size();
        if (auto r = write(head); !r) return r;
        if (auto r = write(block.data); !r) return r;
        position += 12 + block.data.size();
        return {};
    }

    // Writes blocks [chunk.blocks_written, upto) of the next chunk, releasing
    // each one's data as soon as it is written.
    Result<void> emit_blocks(EncodedChunk& chunk, std::size_t upto) {
        for (; chunk.blocks_written < upto; ++chunk.blocks_written) {
            const std::size_t c = chunk.blocks_written;
            if (auto r = emit_block(chunk.blocks[c], chunk.metas[c]); !r) return r;
            Bytes().swap(chunk.blocks[c].data);
        }
        return {};
    }

    // Whether `chunk` is the next chunk of this container, encoded for its
    // schema.
    Result<void> check_next(const EncodedChunk& chunk) const {
        if (chunk.index != chunk_count || chunk.blocks.size() != schema.size() || chunk.metas.size() != schema.size() ||
            chunk.blocks_written > chunk.blocks.size())
            return Error::io("chunk " + std::to_string(chunk.index) + " does not fit as chunk " +
                             std::to_string(chunk_count) + " of this container");
        return {};
    }

    void record_chunk(std::vector<ColumnChunkMeta> metas, std::uint64_t rows) {
        chunks.push_back(std::move(metas));
        total_rows += rows;
        chunk_count += 1;
    }

    // Releases the file and memory once the writer is spent.
    void release() {
        (void)file.close();
        Bytes().swap(buffer);
        std::vector<std::vector<ColumnChunkMeta>>().swap(chunks);
    }
};

StreamingSarnWriter::StreamingSarnWriter(std::unique_ptr<OpenFile> state) noexcept : file_(std::move(state)) {}
StreamingSarnWriter::StreamingSarnWriter(StreamingSarnWriter&&) noexcept = default;
StreamingSarnWriter& StreamingSarnWriter::operator=(StreamingSarnWriter&&) noexcept = default;
StreamingSarnWriter::~StreamingSarnWriter() = default;

namespace {

// Why a writer cannot hold `schema`, before any file is touched.
std::optional<Error> schema_problem(const std::string& path, const std::vector<ColumnSchema>& schema) {
    // The header holds the column count in 16 bits; a larger schema could only
    // be written with a wrong count, so refuse it before touching the file.
    if (schema.size() > MAX_COLUMNS)
        return Error::io("Cannot create " + path + ": the schema has " + std::to_string(schema.size()) +
                         " columns, more than the 65535 a SARN container can hold");
    for (const ColumnSchema& col : schema) {
        if (!is_known_type_code(col.type_code))
            return Error::io("Cannot create " + path + ": column '" + col.name + "' has unknown type code " +
                             std::to_string(col.type_code));
    }
    return std::nullopt;
}

}  // namespace

Result<StreamingSarnWriter> StreamingSarnWriter::create(const std::string& path, std::vector<ColumnSchema> schema,
                                                        std::uint32_t chunk_size, int level) {
    if (auto bad = schema_problem(path, schema)) return std::move(*bad);
    if (path.find('\0') != std::string::npos)
        return Error::io("Cannot create " + path + ": " + common::NUL_IN_PATH_TEXT);
    int fd;
    do {
        fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    fd = common::above_standard_streams(fd);
    if (fd < 0) return common::os_error(errno, path).prefixed("Cannot create " + path + ": ");
    return create(common::FileHandle(fd), path, std::move(schema), chunk_size, level);
}

Result<StreamingSarnWriter> StreamingSarnWriter::create(common::FileHandle file, const std::string& path,
                                                        std::vector<ColumnSchema> schema, std::uint32_t chunk_size,
                                                        int level) {
    if (auto bad = schema_problem(path, schema)) return std::move(*bad);
    auto state = std::make_unique<OpenFile>();
    state->file = std::move(file);
    state->buffer.reserve(WRITE_BUFFER_SIZE);

    Bytes head;
    head.reserve(68);
    head.insert(head.end(), {'S', 'A', 'R', 'N'});
    put_u16(head, FORMAT_VERSION);
    put_u16(head, static_cast<std::uint16_t>(schema.size()));
    put_u64(head, 0);  // row_count, patched by finish
    put_u32(head, 0);  // chunk_count, patched by finish
    put_u32(head, chunk_size);
    put_u64(head, seconds_since_epoch());
    head.insert(head.end(), 32, 0);  // reserved

    Bytes body;
    for (const ColumnSchema& col : schema) {
        put_varint(body, col.name.size());
        body.insert(body.end(), col.name.begin(), col.name.end());
        body.push_back(col.type_code);
        body.push_back(col.encrypted);
    }
    if (body.size() > MAX_BLOCK_INPUT)
        return Error::io("Cannot create " + path + ": the schema's column names exceed 4 GiB");
    Bytes schema_block = codec::compress_block(body, level);
    put_u32(head, static_cast<std::uint32_t>(schema_block.size()));

    const Bytes dict_body{0x00};  // an empty dictionary
    Bytes dict_block = codec::compress_block(dict_body, level);
    Bytes dict_len;
    put_u64(dict_len, dict_block.size());

    // A failure here drops the state, which writes out what it buffered.
    for (ByteView part : {ByteView(head), ByteView(schema_block), ByteView(dict_len), ByteView(dict_block)}) {
        if (auto r = state->write(part); !r) return std::move(r).error();
    }

    state->schema = std::move(schema);
    state->chunk_size = chunk_size == 0 ? 1 : chunk_size;
    state->level = std::clamp(level, codec::MIN_LEVEL, codec::MAX_LEVEL);
    state->position = 76 + schema_block.size() + dict_block.size();
    return StreamingSarnWriter(std::move(state));
}

Result<void> StreamingSarnWriter::write_chunk(std::span<const Row> rows) {
    if (!file_ || !file_->file.is_open()) return Error::io("the container writer is already finished");
    auto chunk = encode_chunk(file_->schema, file_->chunk_count, rows, file_->level);
    if (!chunk) return std::move(chunk).error();
    return append_chunk(std::move(*chunk));
}

Result<void> StreamingSarnWriter::write_chunk(const TextBatch& batch) {
    if (!file_ || !file_->file.is_open()) return Error::io("the container writer is already finished");
    auto chunk = encode_chunk(file_->schema, file_->chunk_count, batch, nullptr, nullptr, {}, file_->level);
    if (!chunk) return std::move(chunk).error();
    return append_chunk(std::move(*chunk));
}

Result<void> StreamingSarnWriter::append_chunk(EncodedChunk chunk) {
    if (!file_ || !file_->file.is_open()) return Error::io("the container writer is already finished");
    OpenFile& s = *file_;
    if (chunk.rows == 0) return {};
    if (auto r = s.check_next(chunk); !r) return r;
    if (auto r = s.emit_blocks(chunk, chunk.blocks.size()); !r) return r;
    s.record_chunk(std::move(chunk.metas), chunk.rows);
    return {};
}

Result<void> StreamingSarnWriter::append_blocks(EncodedChunk& chunk, std::size_t complete) {
    if (!file_ || !file_->file.is_open()) return Error::io("the container writer is already finished");
    OpenFile& s = *file_;
    if (chunk.rows == 0) return {};
    if (auto r = s.check_next(chunk); !r) return r;
    if (complete > chunk.blocks.size()) return Error::io("a chunk has no block " + std::to_string(complete - 1));
    return s.emit_blocks(chunk, complete);
}

Result<std::string> StreamingSarnWriter::finish() {
    if (!file_ || !file_->file.is_open()) return Error::io("the container writer is already finished");
    OpenFile& s = *file_;
    struct Release {  // whatever happens, the file is closed and memory freed
        OpenFile& s;
        ~Release() { s.release(); }
    } release{s};

    Bytes body;
    put_u32(body, s.chunk_count);
    put_u16(body, static_cast<std::uint16_t>(s.schema.size()));
    // Row counts follow from chunk_size and the total because every chunk but
    // the last is full; 64-bit arithmetic, low 32 bits stored.
    for (std::uint64_t i = 0; i < s.chunk_count; ++i) {
        std::uint64_t end = std::min(s.total_rows, s.chunk_size * (i + 1));
        put_u32(body, static_cast<std::uint32_t>(end - s.chunk_size * i));
    }
    for (const auto& chunk : s.chunks) {
        for (const ColumnChunkMeta& m : chunk) {
            put_u64(body, m.offset);
            put_u64(body, m.compressed_len);
            body.push_back(static_cast<std::uint8_t>(m.encoding));
            put_u32(body, m.null_count);
            put_zigzag_varint(body, m.min_int);
            put_zigzag_varint(body, m.max_int);
            put_varint(body, m.min_text.size());
            body.insert(body.end(), m.min_text.begin(), m.min_text.end());
            put_varint(body, m.max_text.size());
            body.insert(body.end(), m.max_text.begin(), m.max_text.end());
            body.insert(body.end(), m.bloom.begin(), m.bloom.end());
        }
    }
    if (body.size() > MAX_BLOCK_INPUT) return Error::io("the container's footer exceeds 4 GiB");
    Bytes footer = codec::compress_block(body, s.level);
    Bytes().swap(body);
    Bytes trailer;
    put_u64(trailer, footer.size());
    put_u64(trailer, s.position);
    if (auto r = s.write(footer); !r) return std::move(r).error();
    if (auto r = s.write(trailer); !r) return std::move(r).error();
    if (auto r = s.flush_buffer(); !r) return std::move(r).error();

    const int fd = s.file.fd();
    if (::lseek(fd, 8, SEEK_SET) < 0) return common::os_error(errno);
    Bytes counts;
    put_u64(counts, s.total_rows);
    if (auto r = common::write_all(fd, ByteView(counts.data(), 8)); !r) return std::move(r).error();
    counts.clear();
    put_u32(counts, s.chunk_count);
    if (auto r = common::write_all(fd, ByteView(counts.data(), 4)); !r) return std::move(r).error();
    if (::fsync(fd) != 0) return common::os_error(errno);

    return "SARN v2 (streaming): " + std::to_string(s.total_rows) + " rows \xC3\x97 " +
           std::to_string(s.schema.size()) + " cols | " + std::to_string(s.chunk_count) + " chunks | dict: 0 entries";
}

namespace {
const std::vector<ColumnSchema> NO_SCHEMA;
const std::vector<std::vector<ColumnChunkMeta>> NO_CHUNKS;
}  // namespace

const std::vector<ColumnSchema>& StreamingSarnWriter::schema() const noexcept {
    return file_ ? file_->schema : NO_SCHEMA;
}
const std::vector<std::vector<ColumnChunkMeta>>& StreamingSarnWriter::chunks() const noexcept {
    return file_ ? file_->chunks : NO_CHUNKS;
}
std::uint64_t StreamingSarnWriter::total_rows() const noexcept { return file_ ? file_->total_rows : 0; }
std::uint32_t StreamingSarnWriter::chunk_count() const noexcept { return file_ ? file_->chunk_count : 0; }
std::uint64_t StreamingSarnWriter::position() const noexcept { return file_ ? file_->position : 0; }
std::uint64_t StreamingSarnWriter::chunk_size() const noexcept { return file_ ? file_->chunk_size : 0; }
int StreamingSarnWriter::level() const noexcept { return file_ ? file_->level : codec::DEFAULT_LEVEL; }

}  // namespace sarn::container
