#include "container/reader.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

#include "codec/codec.hpp"
#include "common/display_text.hpp"
#include "common/utf8.hpp"
#include "common/system_error.hpp"
#include "container/chunk_decode.hpp"

namespace sarn::container {

namespace {

// CRC-32 and payload length in front of each column block.
constexpr std::uint64_t BLOCK_HEAD = 12;

// Smallest footer column entry: offset, length, encoding, null count, two
// one-byte varints, two empty texts and the filter.
constexpr std::uint64_t MIN_COLUMN_ENTRY = 8 + 8 + 1 + 4 + 1 + 1 + 1 + 1 + BLOOM_BYTES;
constexpr std::uint64_t FIXED_HEADER = 68;  // fields before the schema block
constexpr std::uint64_t TRAILER = 16;

// `v` as eight hex digits after "0x", as error texts show a CRC.
std::string hex32(std::uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08x", v);
    return buf;
}

// Reads exactly `size` bytes at `offset` of the open file `fd`.  A failed
// read keeps its errno; an early end of file is a fault of the file (it is
// shorter than its own header or footer says), naming the offset.
Result<Bytes> read_at(int fd, std::uint64_t offset, std::uint64_t size) {
    Bytes out(static_cast<std::size_t>(size));
    std::size_t done = 0;
    while (done < out.size()) {
        ssize_t n = ::pread(fd, out.data() + done, out.size() - done, static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno == EINTR) continue;
            return common::os_error(errno);
        }
        if (n == 0) return Error::format("unexpected end of file at offset " + std::to_string(offset + done));
        done += static_cast<std::size_t>(n);
    }
    return out;
}

// Largest payload a column of `rows` values can decompress to, by type
// code: the integer encodings take at most 20 bytes a value plus a head
// (the float marker among it), a bitmap one bit a value; text, bytes and
// structured values have no such bound.  Never more than `limit`.
std::uint64_t payload_bound(std::uint8_t type_code, std::uint64_t rows, std::uint64_t limit) {
    std::uint64_t bound = limit;
    if (type_code == TYPE_INT || type_code == TYPE_FLOAT) bound = 20 * rows + 32;
    if (type_code == TYPE_BOOL) bound = (rows + 7) / 8;
    return std::min(bound, limit);
}

// Decompresses a block; the empty block is the empty input.
Result<Bytes> unpack(ByteView block, std::uint64_t max_output) {
    if (block.empty()) return Bytes();
    return codec::decompress_block(block, static_cast<std::size_t>(max_output));
}

// Sequential reading of a decompressed body with bounds checks.
struct Cursor {
    ByteView in;
    std::size_t pos = 0;

    std::size_t left() const { return in.size() - pos; }
    bool fixed(int width, std::uint64_t& v) {
        if (left() < static_cast<std::size_t>(width)) return false;
        v = load_le(in.data() + pos, width);
        pos += static_cast<std::size_t>(width);
        return true;
    }
    bool varint(std::uint64_t& v) { return get_varint(in, pos, v); }
    bool text(std::string& s) {
        std::uint64_t len;
        if (!varint(len) || len > left()) return false;
        s.assign(reinterpret_cast<const char*>(in.data() + pos), static_cast<std::size_t>(len));
        pos += static_cast<std::size_t>(len);
        return true;
    }
};

// The steps of SarnReader::open, in file order.  Each error text says where
// in the file the fault is; open puts the path in front.

// The fixed fields before the schema block.  Returns the schema block's length.
Result<std::uint64_t> read_fixed_header(const common::FileHandle& file, ContainerHeader& h) {
    if (h.file_size < FIXED_HEADER + 8)
        return Error::format("file of " + std::to_string(h.file_size) + " bytes is too short for a SARN header");
    auto fixed = read_at(file.fd(), 0, FIXED_HEADER);
    if (!fixed) return std::move(fixed).error();
    const std::uint8_t* p = fixed->data();
    h.magic.assign(reinterpret_cast<const char*>(p), 4);
    if (h.magic != "SARN") return Error::format("not a SARN container (bad magic at offset 0)");
    h.version = static_cast<std::uint16_t>(load_le(p + 4, 2));
    if (h.version != 2) return Error::format("unsupported SARN version " + std::to_string(h.version) + " at offset 4");
    h.column_count = static_cast<std::uint16_t>(load_le(p + 6, 2));
    h.row_count = load_le(p + 8, 8);
    h.chunk_count = static_cast<std::uint32_t>(load_le(p + 16, 4));
    h.chunk_size = static_cast<std::uint32_t>(load_le(p + 20, 4));
    h.created_at = load_le(p + 24, 8);
    for (int i = 32; i < 64; ++i) {
        if (p[i] != 0) return Error::format("reserved header byte at offset " + std::to_string(i) + " is not zero");
    }
    return load_le(p + 64, 4);
}

// The schema block of `schema_len` bytes: one entry per column of the header.
Result<std::vector<ColumnSchema>> read_schema(const common::FileHandle& file, const ContainerHeader& h,
                                              std::uint64_t schema_len, const ReaderLimits& limits) {
    if (schema_len > h.file_size - FIXED_HEADER - 8)
        return Error::format("schema block of " + std::to_string(schema_len) +
                         " bytes at offset 68 runs past the end of the file");
    auto schema_block = read_at(file.fd(), FIXED_HEADER, schema_len);
    if (!schema_block) return std::move(schema_block).error();
    // Every column takes at least three bytes beside its name; names are
    // bounded by the general block limit.
    auto schema_body = unpack(*schema_block, limits.max_block_output);
    if (!schema_body) return Error::format("schema block at offset 68: " + schema_body.error().message);
    std::vector<ColumnSchema> schema;
    Cursor sc{*schema_body};
    for (std::size_t i = 0; i < h.column_count; ++i) {
        ColumnSchema col;
        std::uint64_t type = 0, flag = 0;
        if (!sc.text(col.name) || !sc.fixed(1, type) || !sc.fixed(1, flag))
            return Error::format("schema block at offset 68: entry of column " + std::to_string(i) + " is truncated");
        col.type_code = static_cast<std::uint8_t>(type);
        col.encrypted = static_cast<std::uint8_t>(flag);
        if (!is_known_type_code(col.type_code))
            return Error::format("schema: column " + std::to_string(i) + " has unknown type code " + std::to_string(type));
        schema.push_back(std::move(col));
    }
    if (sc.left() != 0)
        return Error::format("schema block at offset 68 holds " + std::to_string(sc.left()) + " bytes beyond the " +
                         std::to_string(h.column_count) + " columns of the header");
    return schema;
}

// The dictionary block after the schema block: always the empty dictionary.
// Sets the header's size, which ends with it.
Result<void> read_dictionary(const common::FileHandle& file, ContainerHeader& h, std::uint64_t schema_len) {
    const std::uint64_t dict_at = FIXED_HEADER + schema_len;
    auto dict_len_bytes = read_at(file.fd(), dict_at, 8);
    if (!dict_len_bytes) return std::move(dict_len_bytes).error();
    const std::uint64_t dict_len = load_le(dict_len_bytes->data(), 8);
    if (dict_len > h.file_size - dict_at - 8)
        return Error::format("dictionary block of " + std::to_string(dict_len) + " bytes at offset " +
                         std::to_string(dict_at + 8) + " runs past the end of the file");
    auto dict_block = read_at(file.fd(), dict_at + 8, dict_len);
    if (!dict_block) return std::move(dict_block).error();
    auto dict_body = unpack(*dict_block, 1);
    if (!dict_body || *dict_body != Bytes{0x00})
        return Error::format("dictionary block at offset " + std::to_string(dict_at + 8) + " is not the empty dictionary");
    h.header_size = dict_at + 8 + dict_len;
    return {};
}

// The trailer at the end of the file: where the footer is and how long.  A
// writer that never finished leaves chunk data where the trailer should be,
// so check that it describes a footer inside the file.
Result<void> read_trailer(const common::FileHandle& file, ContainerHeader& h) {
    const char* unfinished = h.row_count == 0 && h.chunk_count == 0
                                 ? " (the header counts are 0: the file looks like one whose writer never finished)"
                                 : "";
    if (h.file_size < h.header_size + TRAILER)
        return Error::format("incomplete container: no room for a trailer after the header" + std::string(unfinished));
    auto trailer = read_at(file.fd(), h.file_size - TRAILER, TRAILER);
    if (!trailer) return std::move(trailer).error();
    h.footer_len = load_le(trailer->data(), 8);
    h.footer_offset = load_le(trailer->data() + 8, 8);
    const std::uint64_t footer_room = h.file_size - TRAILER - h.header_size;
    if (h.footer_len > footer_room || h.footer_offset != h.file_size - TRAILER - h.footer_len)
        return Error::format("incomplete container: the trailer at offset " + std::to_string(h.file_size - TRAILER) +
                         " (footer_offset " + std::to_string(h.footer_offset) + ", footer_len " +
                         std::to_string(h.footer_len) + ") does not locate a footer between the header end " +
                         std::to_string(h.header_size) + " and the trailer" + unfinished);
    return {};
}

// What the footer holds: the row count of each chunk and the entry of each
// column block.
struct FooterIndex {
    std::vector<std::uint32_t> chunk_rows;
    std::vector<std::vector<ColumnChunkMeta>> chunks;
};

// The per-chunk row counts, which chunk_size and row_count fix.
Result<void> read_chunk_rows(Cursor& fc, const ContainerHeader& h, std::uint64_t chunks, const std::string& at_footer,
                             FooterIndex& index) {
    const std::uint64_t cs = h.chunk_size == 0 ? 1 : h.chunk_size;
    std::uint64_t total = 0;
    index.chunk_rows.resize(static_cast<std::size_t>(chunks));
    for (std::uint64_t i = 0; i < chunks; ++i) {
        std::uint64_t n = 0;
        (void)fc.fixed(4, n);
        const std::uint64_t expected = static_cast<std::uint32_t>(std::min(h.row_count, cs * (i + 1)) - cs * i);
        if (n != expected)
            return Error::format(at_footer + "chunk " + std::to_string(i) + " has " + std::to_string(n) +
                             " rows where chunk_size " + std::to_string(cs) + " and row_count " +
                             std::to_string(h.row_count) + " give " + std::to_string(expected));
        index.chunk_rows[static_cast<std::size_t>(i)] = static_cast<std::uint32_t>(n);
        total += n;
    }
    if (total != h.row_count)
        return Error::format(at_footer + "chunk row counts add up to " + std::to_string(total) + ", the header says " +
                         std::to_string(h.row_count));
    return {};
}

// The column block entries: every block lies inside the chunk data, and the
// blocks follow one another without gaps from the header's end to the footer.
Result<void> read_block_entries(Cursor& fc, const ContainerHeader& h, std::uint64_t chunks, std::uint64_t columns,
                                const std::string& at_footer, FooterIndex& index) {
    std::uint64_t next = h.header_size;
    index.chunks.resize(static_cast<std::size_t>(chunks));
    for (std::uint64_t i = 0; i < chunks; ++i) {
        auto& list = index.chunks[static_cast<std::size_t>(i)];
        list.resize(static_cast<std::size_t>(columns));
        for (std::uint64_t c = 0; c < columns; ++c) {
            const std::string where = at_footer + "chunk " + std::to_string(i) + ", column " + std::to_string(c) + ": ";
            ColumnChunkMeta& m = list[static_cast<std::size_t>(c)];
            std::uint64_t enc = 0, nulls = 0, zmin = 0, zmax = 0;
            if (!fc.fixed(8, m.offset) || !fc.fixed(8, m.compressed_len) || !fc.fixed(1, enc) || !fc.fixed(4, nulls) ||
                !fc.varint(zmin) || !fc.varint(zmax) || !fc.text(m.min_text) || !fc.text(m.max_text) ||
                fc.left() < BLOOM_BYTES)
                return Error::format(where + "entry is truncated");
            std::copy_n(fc.in.data() + fc.pos, BLOOM_BYTES, m.bloom.begin());
            fc.pos += BLOOM_BYTES;
            m.encoding = static_cast<ColumnEncoding>(enc);
            m.null_count = static_cast<std::uint32_t>(nulls);
            m.min_int = zigzag_decode(zmin);
            m.max_int = zigzag_decode(zmax);
            if (m.offset != next)
                return Error::format(where + "block offset " + std::to_string(m.offset) + ", expected " +
                                 std::to_string(next));
            if (m.compressed_len > h.footer_offset - next || h.footer_offset - next - m.compressed_len < BLOCK_HEAD)
                return Error::format(where + "block at offset " + std::to_string(m.offset) + " of " +
                                 std::to_string(m.compressed_len) + " bytes runs into the footer at offset " +
                                 std::to_string(h.footer_offset));
            next += BLOCK_HEAD + m.compressed_len;
        }
    }
    if (fc.left() != 0) return Error::format(at_footer + std::to_string(fc.left()) + " bytes after the last entry");
    if (next != h.footer_offset)
        return Error::format("chunk data ends at offset " + std::to_string(next) + " but the footer starts at " +
                         std::to_string(h.footer_offset));
    return {};
}

// The footer the trailer located: its counts agree with the header's, then
// the chunk row counts and the block entries.
Result<FooterIndex> read_footer(const common::FileHandle& file, const ContainerHeader& h, const ReaderLimits& limits) {
    auto footer_block = read_at(file.fd(), h.footer_offset, h.footer_len);
    if (!footer_block) return std::move(footer_block).error();
    const std::string at_footer = "footer at offset " + std::to_string(h.footer_offset) + ": ";
    auto footer = unpack(*footer_block, limits.max_block_output);
    if (!footer) return Error::format(at_footer + "cannot decompress: " + footer.error().message);
    Cursor fc{*footer};
    std::uint64_t chunks = 0, columns = 0;
    if (!fc.fixed(4, chunks) || !fc.fixed(2, columns)) return Error::format(at_footer + "truncated counts");
    if (columns != h.column_count)
        return Error::format(at_footer + "column count " + std::to_string(columns) + " differs from the header's " +
                         std::to_string(h.column_count));
    if (chunks != h.chunk_count)
        return Error::format(at_footer + "chunk count " + std::to_string(chunks) + " differs from the header's " +
                         std::to_string(h.chunk_count) + (h.chunk_count == 0 ? " (header not patched)" : ""));
    // Check the body can hold every entry before sizing anything by the counts.
    if (chunks * 4 + chunks * columns * MIN_COLUMN_ENTRY > fc.left())
        return Error::format(at_footer + "too short for " + std::to_string(chunks) + " chunks of " +
                         std::to_string(columns) + " columns");
    FooterIndex index;
    if (auto r = read_chunk_rows(fc, h, chunks, at_footer, index); !r) return std::move(r).error();
    if (auto r = read_block_entries(fc, h, chunks, columns, at_footer, index); !r) return std::move(r).error();
    return index;
}

}  // namespace

Result<SarnReader> SarnReader::open(const std::string& path, ReaderLimits limits) {
    // A fault of the file, or a failed system call on it, with the path in front.
    auto fail = [&](Error e) { return std::move(e).prefixed(path + ": ").about(path); };

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
    if (!length) return fail(std::move(length).error());

    SarnReader r;
    r.path_ = path;
    r.limits_ = limits;
    ContainerHeader& h = r.header_;
    h.file_size = *length;

    auto schema_len = read_fixed_header(*file, h);
    if (!schema_len) return fail(std::move(schema_len).error());
    auto schema = read_schema(*file, h, *schema_len, limits);
    if (!schema) return fail(std::move(schema).error());
    r.schema_ = std::move(*schema);
    if (auto d = read_dictionary(*file, h, *schema_len); !d) return fail(std::move(d).error());
    if (auto t = read_trailer(*file, h); !t) return fail(std::move(t).error());
    auto index = read_footer(*file, h, limits);
    if (!index) return fail(std::move(index).error());
    r.chunk_rows_ = std::move(index->chunk_rows);
    r.chunks_ = std::move(index->chunks);

    r.file_ = std::move(*file);
    return r;
}

std::string schema_fault(const std::vector<ColumnSchema>& schema) {
    for (std::size_t i = 0; i < schema.size(); ++i) {
        if (!common::is_valid_utf8(schema[i].name))
            return "schema: the name of column " + std::to_string(i) + ", " + common::quoted_text(schema[i].name, 60) +
                   ", is not valid UTF-8";
        if (schema[i].encrypted > 1)
            return "schema: column " + std::to_string(i) + " has encryption flag " + std::to_string(schema[i].encrypted) +
                   " (0 or 1 expected)";
    }
    return {};
}

std::string SarnReader::place(std::size_t chunk, std::size_t column) const {
    return path_ + ": chunk " + std::to_string(chunk) + ", column " + std::to_string(column) + " ('" +
           schema_[column].name + "'), block at offset " + std::to_string(chunks_[chunk][column].offset) + ": ";
}

Result<BlockPayload> SarnReader::read_block(std::size_t chunk, std::size_t column) const {
    if (chunk >= chunks_.size() || column >= schema_.size())
        return Error::value(path_ + ": chunk " + std::to_string(chunk) + ", column " + std::to_string(column) +
                            " does not exist (the file has " + std::to_string(chunks_.size()) + " chunks of " +
                            std::to_string(schema_.size()) + " columns)");
    const ColumnChunkMeta& m = chunks_[chunk][column];
    const ColumnSchema& col = schema_[column];
    const std::uint64_t rows = chunk_rows_[chunk];
    const std::string where = place(chunk, column);
    // A fault of this block, or a failed read of it.
    auto fail = [&](Error e) { return std::move(e).prefixed(where).about(path_); };
    if (rows > limits_.max_chunk_rows)
        return fail(Error::format("the chunk has " + std::to_string(rows) + " rows, more than a reader decodes at once (" +
                                  std::to_string(limits_.max_chunk_rows) + ")"));

    auto head = read_at(file_.fd(), m.offset, BLOCK_HEAD);
    if (!head) return fail(std::move(head).error());
    const std::uint32_t stored_crc = static_cast<std::uint32_t>(load_le(head->data(), 4));
    const std::uint64_t len = load_le(head->data() + 4, 8);
    if (len != m.compressed_len)
        return fail(Error::format("payload length " + std::to_string(len) + " at offset " + std::to_string(m.offset + 4) +
                                  " differs from the footer's " + std::to_string(m.compressed_len)));
    auto block = read_at(file_.fd(), m.offset + BLOCK_HEAD, len);
    if (!block) return fail(std::move(block).error());
    const std::uint32_t crc = crc32(*block);
    if (crc != stored_crc)
        return fail(Error::format("CRC-32 mismatch (stored " + hex32(stored_crc) + ", computed " + hex32(crc) + ")"));
    BlockPayload out;
    if (!block->empty()) {
        out.method = (*block)[0];
        auto raw = codec::decompress_block(
            *block, static_cast<std::size_t>(payload_bound(col.type_code, rows, limits_.max_block_output)));
        if (!raw)
            return fail(Error::format("cannot decompress the payload at offset " + std::to_string(m.offset + BLOCK_HEAD) +
                                      ": " + raw.error().message));
        out.payload = std::move(*raw);
    }
    Bytes().swap(*block);
    if (col.encrypted != 0) out.payload = encrypt_column_payload(col.name, col.key, static_cast<std::uint32_t>(chunk), out.payload);
    return out;
}

Result<DecodedColumn> SarnReader::decode(std::size_t chunk, std::size_t column, ByteView payload) const {
    const ColumnSchema& col = schema_[column];
    const std::size_t rows = chunk_rows_[chunk];
    auto decoded = decode_column_block(col.type_code, chunks_[chunk][column], payload, rows, large_offsets());
    if (!decoded)
        return Error::format(place(chunk, column) + "cannot decode " + std::to_string(rows) + " values: " +
                                 decoded.error().message +
                                 (col.encrypted != 0 ? " (the column is enciphered: was the right key given?)" : ""),
                             path_);
    return decoded;
}

Result<DecodedColumn> SarnReader::read_column(std::size_t chunk, std::size_t column) const {
    auto block = read_block(chunk, column);
    if (!block) return std::move(block).error();
    return decode(chunk, column, block->payload);
}

Result<ChunkData> SarnReader::read_chunk(std::size_t chunk, bool decode_values) const {
    if (chunk >= chunks_.size())
        return Error::value(path_ + ": chunk " + std::to_string(chunk) + " does not exist (the file has " +
                            std::to_string(chunks_.size()) + ")");
    ChunkData out;
    out.columns.resize(schema_.size());
    for (std::size_t c = 0; c < schema_.size(); ++c) {
        auto block = read_block(chunk, c);
        if (!block) return std::move(block).error();
        ColumnBlockData& data = out.columns[c];
        data.method = block->method;
        data.raw_len = block->payload.size();
        if (!decode_values) continue;
        auto decoded = decode(chunk, c, block->payload);
        if (!decoded) return std::move(decoded).error();
        data.column = std::move(*decoded);
    }
    return out;
}

}  // namespace sarn::container
