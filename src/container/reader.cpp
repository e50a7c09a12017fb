#include "container/reader.hpp"

#include <algorithm>
#include <limits>
#include <cstdio>

#include "codec/codec.hpp"
#include "common/display_text.hpp"
#include "common/utf8.hpp"
#include "container/chunk_decode.hpp"

namespace sarn::container {

namespace {

// CRC-32 and payload length in front of each column block.
constexpr std::uint64_t BLOCK_HEAD = 12;

constexpr std::uint64_t FIXED_HEADER = 68;  // fields before the schema block
constexpr std::uint64_t TRAILER = 16;

// What open() first asks a fetching source for, in one round trip: the
// header with its schema (a few hundred bytes unless the names are many or
// long) and the trailer with the footer before it, when the footer is
// short.  A longer schema or footer costs one more request for the rest,
// exactly; a larger guess would waste a round trip's worth of bytes on
// every small file.
constexpr std::uint64_t OPEN_HEAD_BYTES = 16 * 1024;
constexpr std::uint64_t OPEN_TAIL_BYTES = 64 * 1024;

// `v` as eight hex digits after "0x", as error texts show a CRC.
std::string hex32(std::uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08x", v);
    return buf;
}

// Largest payload a column of `rows` values can decompress to, by type
// code: the integer encodings take at most 20 bytes a value plus a head
// (the float marker among it), a bitmap one bit a value; text, bytes and
// structured values have no such bound.
std::uint64_t payload_bound(std::uint8_t type_code, std::uint64_t rows) {
    if (type_code == TYPE_INT || type_code == TYPE_FLOAT) return 20 * rows + 32;
    if (type_code == TYPE_BOOL) return (rows + 7) / 8;
    return UINT64_MAX;
}

// What decoding `rows` values of a column of this type from a payload of
// `payload` bytes allocates at most: the value buffer (or the offsets and
// the bytes of the values, which the payload's length prefixes bound) and a
// validity bitmap.
std::uint64_t decoded_bytes(std::uint8_t type_code, std::uint64_t rows, std::uint64_t payload, bool large_offsets) {
    const std::uint64_t validity = (rows + 7) / 8;
    switch (layout_for(type_code)) {
        case ColumnLayout::Int64:
        case ColumnLayout::Float64: return rows * 8 + validity;
        case ColumnLayout::Bool: return 2 * validity;
        default: return (rows + 1) * (large_offsets ? 8 : 4) + (payload > rows ? payload - rows : 0) + validity;
    }
}

// The largest payload whose decoding (decoded_bytes) fits in `left` bytes
// together with the payload itself.
std::uint64_t largest_payload(std::uint8_t type_code, std::uint64_t rows, std::uint64_t left, bool large_offsets) {
    const std::uint64_t fixed = decoded_bytes(type_code, rows, 0, large_offsets);
    if (left < fixed) return 0;
    const std::uint64_t room = left - fixed;
    switch (layout_for(type_code)) {
        case ColumnLayout::Int64:
        case ColumnLayout::Float64:
        case ColumnLayout::Bool: return room;
        default:
            // The bytes of the values, up to the payload less a length byte
            // each, come on top of the payload.
            return room <= rows ? room : (room + rows) / 2;
    }
}

std::size_t to_size(std::uint64_t v) {
    return v > std::numeric_limits<std::size_t>::max() ? std::numeric_limits<std::size_t>::max()
                                                       : static_cast<std::size_t>(v);
}

// The content of a schema or footer block, read front to back through a
// BlockReader and kept only from the field being read on: the parser asks
// for exactly the bytes its entries take, so a block that expands past
// them is never expanded further than the first byte too many.
class BodyCursor {
public:
    explicit BodyCursor(codec::BlockReader reader) : reader_(std::move(reader)) {}

    // Bytes of content consumed so far.
    std::uint64_t offset() const noexcept { return consumed_; }
    // The block's own fault, when reading it failed (rather than ended).
    const std::optional<Error>& fault() const noexcept { return fault_; }

    bool fixed(int width, std::uint64_t& v) {
        if (fill(static_cast<std::size_t>(width)) < static_cast<std::size_t>(width)) return false;
        v = load_le(buf_.data() + pos_, width);
        advance(static_cast<std::size_t>(width));
        return true;
    }
    bool varint(std::uint64_t& v) {
        const std::size_t have = fill(10);
        std::size_t p = 0;
        if (!get_varint(ByteView(buf_.data() + pos_, have), p, v)) return false;
        advance(p);
        return true;
    }
    // `len` bytes into `out`.  The caller bounds `len` first: it may be any
    // number the block states.
    bool bytes(std::size_t len, std::string& out) {
        if (fill(len) < len) return false;
        out.assign(reinterpret_cast<const char*>(buf_.data() + pos_), len);
        advance(len);
        return true;
    }
    // `len` bytes handed to `use` as a view, valid during the call.
    template <class Use>
    bool view(std::size_t len, Use use) {
        if (fill(len) < len) return false;
        use(ByteView(buf_.data() + pos_, len));
        advance(len);
        return true;
    }
    // Whether the content ends here (false also when the block is damaged
    // past this point: see fault()).
    bool at_end() { return fill(1) == 0 && !fault_; }

private:
    void advance(std::size_t n) {
        pos_ += n;
        consumed_ += n;
    }
    // Makes up to `n` bytes available from pos_; returns how many are.
    std::size_t fill(std::size_t n) {
        std::size_t have = buf_.size() - pos_;
        if (have >= n || ended_) return std::min(have, n);
        if (pos_ > 0) {
            buf_.erase(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(pos_));
            pos_ = 0;
        }
        while (have < n && !ended_) {
            const std::size_t want = std::max<std::size_t>(n - have, 64 * 1024);
            buf_.resize(have + want);
            auto got = reader_.read(buf_.data() + have, want);
            if (!got) {
                fault_ = std::move(got).error();
                ended_ = true;
                break;
            }
            have += *got;
            if (*got < want) ended_ = true;
        }
        buf_.resize(have);
        return std::min(have, n);
    }

    codec::BlockReader reader_;
    Bytes buf_;
    std::size_t pos_ = 0;
    std::uint64_t consumed_ = 0;
    bool ended_ = false;
    std::optional<Error> fault_;
};

// Opens a schema or footer block for reading a piece at a time.
Result<BodyCursor> body_of(ByteView block) {
    auto reader = codec::BlockReader::open(block);
    if (!reader) return std::move(reader).error();
    return BodyCursor(std::move(*reader));
}

// The error for a field of a schema or footer body that could not be read:
// the block's own fault when it has one, else `truncated`.
Error body_error(const BodyCursor& c, const std::string& where, const std::string& truncated) {
    if (c.fault()) return Error::format(where + "cannot decompress: " + c.fault()->message);
    return Error::format(where + truncated);
}

// The dictionary block, which is one byte.
Result<Bytes> unpack_dictionary(ByteView block) {
    if (block.empty()) return Bytes();
    return codec::decompress_block(block, 1);
}

// The steps of SarnReader::open, in file order.  Each error text says where
// in the file the fault is; open puts the path in front.

// The fixed fields before the schema block.  Returns the schema block's length.
Result<std::uint64_t> read_fixed_header(const ByteSource& file, ContainerHeader& h) {
    if (h.file_size < FIXED_HEADER + 8)
        return Error::format("file of " + std::to_string(h.file_size) + " bytes is too short for a SARN header");
    auto fixed = file.read_at(0, FIXED_HEADER);
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

// The schema block of `schema_len` bytes: one entry per column of the
// header, read only as far as those entries go.  The names together are
// held to the memory budget.
Result<std::vector<ColumnSchema>> read_schema(const ByteSource& file, const ContainerHeader& h,
                                              std::uint64_t schema_len, const ReaderLimits& limits) {
    if (schema_len > h.file_size - FIXED_HEADER - 8)
        return Error::format("schema block of " + std::to_string(schema_len) +
                             " bytes at offset 68 runs past the end of the file");
    auto schema_block = file.read_at(FIXED_HEADER, schema_len);
    if (!schema_block) return std::move(schema_block).error();
    const std::string at = "schema block at offset 68: ";
    auto body = body_of(*schema_block);
    if (!body) return Error::format(at + "cannot decompress: " + body.error().message);
    BodyCursor& sc = *body;
    std::vector<ColumnSchema> schema;
    schema.reserve(h.column_count);
    std::uint64_t names = 0;
    for (std::size_t i = 0; i < h.column_count; ++i) {
        ColumnSchema col;
        std::uint64_t len = 0, type = 0, flag = 0;
        const std::string truncated = "entry of column " + std::to_string(i) + " is truncated";
        if (!sc.varint(len)) return body_error(sc, at, truncated);
        if (len > limits.max_chunk_bytes - names)
            return Error::format(at + "the name of column " + std::to_string(i) + " takes " + std::to_string(len) +
                                 " bytes, more than the " + std::to_string(limits.max_chunk_bytes) +
                                 " bytes of max_chunk_bytes allow for the names");
        names += len;
        if (!sc.bytes(to_size(len), col.name) || !sc.fixed(1, type) || !sc.fixed(1, flag))
            return body_error(sc, at, truncated);
        col.type_code = static_cast<std::uint8_t>(type);
        col.encrypted = static_cast<std::uint8_t>(flag);
        if (!is_known_type_code(col.type_code))
            return Error::format("schema: column " + std::to_string(i) + " has unknown type code " +
                                 std::to_string(type));
        schema.push_back(std::move(col));
    }
    if (!sc.at_end()) {
        if (sc.fault()) return body_error(sc, at, "");
        return Error::format(at + "holds more than the " + std::to_string(h.column_count) +
                             " columns of the header: bytes follow the last entry at offset " +
                             std::to_string(sc.offset()) + " of its content");
    }
    return schema;
}

// The dictionary block after the schema block: always the empty dictionary.
// Sets the header's size, which ends with it.
Result<void> read_dictionary(const ByteSource& file, ContainerHeader& h, std::uint64_t schema_len) {
    const std::uint64_t dict_at = FIXED_HEADER + schema_len;
    auto dict_len_bytes = file.read_at(dict_at, 8);
    if (!dict_len_bytes) return std::move(dict_len_bytes).error();
    const std::uint64_t dict_len = load_le(dict_len_bytes->data(), 8);
    if (dict_len > h.file_size - dict_at - 8)
        return Error::format("dictionary block of " + std::to_string(dict_len) + " bytes at offset " +
                             std::to_string(dict_at + 8) + " runs past the end of the file");
    auto dict_block = file.read_at(dict_at + 8, dict_len);
    if (!dict_block) return std::move(dict_block).error();
    auto dict_body = unpack_dictionary(*dict_block);
    if (!dict_body || *dict_body != Bytes{0x00})
        return Error::format("dictionary block at offset " + std::to_string(dict_at + 8) +
                             " is not the empty dictionary");
    h.header_size = dict_at + 8 + dict_len;
    return {};
}

// The trailer at the end of the file: where the footer is and how long.  A
// writer that never finished leaves chunk data where the trailer should be,
// so check that it describes a footer inside the file.
Result<void> read_trailer(const ByteSource& file, ContainerHeader& h) {
    const char* unfinished = h.row_count == 0 && h.chunk_count == 0
                                 ? " (the header counts are 0: the file looks like one whose writer never finished)"
                                 : "";
    if (h.file_size < h.header_size + TRAILER)
        return Error::format("incomplete container: no room for a trailer after the header" + std::string(unfinished));
    auto trailer = file.read_at(h.file_size - TRAILER, TRAILER);
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

}  // namespace

// The footer the trailer located, into the reader's index: its counts agree
// with the header's, then the chunk row counts and the block entries.  The
// footer block is read a piece at a time and only as far as its entries go.
struct FooterParser {
    SarnReader& r;
    const ReaderLimits& limits;
    std::string at_footer;

    // The per-chunk row counts, which chunk_size and row_count fix.
    Result<void> chunk_rows(BodyCursor& fc, std::uint64_t chunks) {
        const ContainerHeader& h = r.header_;
        const std::uint64_t cs = h.chunk_size == 0 ? 1 : h.chunk_size;
        std::uint64_t total = 0;
        for (std::uint64_t i = 0; i < chunks; ++i) {
            std::uint64_t n = 0;
            if (!fc.fixed(4, n)) return body_error(fc, at_footer, "truncated row count of chunk " + std::to_string(i));
            const std::uint64_t expected = static_cast<std::uint32_t>(std::min(h.row_count, cs * (i + 1)) - cs * i);
            if (n != expected)
                return Error::format(at_footer + "chunk " + std::to_string(i) + " has " + std::to_string(n) +
                                     " rows where chunk_size " + std::to_string(cs) + " and row_count " +
                                     std::to_string(h.row_count) + " give " + std::to_string(expected));
            r.chunk_rows_.push_back(static_cast<std::uint32_t>(n));
            total += n;
        }
        if (total != h.row_count)
            return Error::format(at_footer + "chunk row counts add up to " + std::to_string(total) +
                                 ", the header says " + std::to_string(h.row_count));
        return {};
    }

    // Keeps a membership filter: its set bits' positions when there are few.
    void keep_bloom(ByteView bloom, SarnReader::Entry& e) {
        std::size_t bits = 0;
        for (std::size_t i = 0; i < BLOOM_BYTES; i += 8)
            bits += static_cast<std::size_t>(__builtin_popcountll(load_le(bloom.data() + i, 8)));
        e.bloom_at = r.blooms_.size();
        if (bits * 2 >= BLOOM_BYTES) {
            e.bloom_bits = SarnReader::DENSE_BLOOM;
            r.blooms_.insert(r.blooms_.end(), bloom.begin(), bloom.end());
            return;
        }
        e.bloom_bits = static_cast<std::uint16_t>(bits);
        for (std::size_t i = 0; i < BLOOM_BYTES; ++i) {
            for (unsigned b = bloom[i]; b != 0; b &= b - 1) {
                const std::size_t bit = i * 8 + static_cast<std::size_t>(__builtin_ctz(b));
                r.blooms_.push_back(static_cast<std::uint8_t>(bit));
                r.blooms_.push_back(static_cast<std::uint8_t>(bit >> 8));
            }
        }
    }

    // The column block entries: every block lies inside the chunk data, and
    // the blocks follow one another without gaps from the header's end to
    // the footer.  The min/max texts together are held to the budget.
    Result<void> entries(BodyCursor& fc, std::uint64_t chunks, std::uint64_t columns) {
        const ContainerHeader& h = r.header_;
        std::uint64_t next = h.header_size;
        std::uint64_t texts = 0;
        r.entries_.reserve(static_cast<std::size_t>(chunks * columns));
        for (std::uint64_t i = 0; i < chunks; ++i) {
            for (std::uint64_t c = 0; c < columns; ++c) {
                const std::string where =
                    at_footer + "chunk " + std::to_string(i) + ", column " + std::to_string(c) + ": ";
                SarnReader::Entry e;
                std::uint64_t enc = 0, nulls = 0, zmin = 0, zmax = 0;
                if (!fc.fixed(8, e.offset) || !fc.fixed(8, e.compressed_len) || !fc.fixed(1, enc) ||
                    !fc.fixed(4, nulls) || !fc.varint(zmin) || !fc.varint(zmax))
                    return body_error(fc, where, "entry is truncated");
                e.encoding = static_cast<std::uint8_t>(enc);
                e.null_count = static_cast<std::uint32_t>(nulls);
                e.min_int = zigzag_decode(zmin);
                e.max_int = zigzag_decode(zmax);
                e.text_at = r.texts_.size();
                for (std::uint64_t* len : {&e.min_len, &e.max_len}) {
                    if (!fc.varint(*len)) return body_error(fc, where, "entry is truncated");
                    if (*len > limits.max_chunk_bytes - texts)
                        return Error::format(where + "a min/max text of " + std::to_string(*len) +
                                             " bytes passes what max_chunk_bytes (" +
                                             std::to_string(limits.max_chunk_bytes) + ") allows the footer's texts");
                    texts += *len;
                    if (!fc.view(to_size(*len), [&](ByteView t) {
                            r.texts_.append(reinterpret_cast<const char*>(t.data()), t.size());
                        }))
                        return body_error(fc, where, "entry is truncated");
                }
                if (!fc.view(BLOOM_BYTES, [&](ByteView bloom) { keep_bloom(bloom, e); }))
                    return body_error(fc, where, "entry is truncated");
                if (e.offset != next)
                    return Error::format(where + "block offset " + std::to_string(e.offset) + ", expected " +
                                         std::to_string(next));
                if (e.compressed_len > h.footer_offset - next || h.footer_offset - next - e.compressed_len < BLOCK_HEAD)
                    return Error::format(where + "block at offset " + std::to_string(e.offset) + " of " +
                                         std::to_string(e.compressed_len) + " bytes runs into the footer at offset " +
                                         std::to_string(h.footer_offset));
                next += BLOCK_HEAD + e.compressed_len;
                r.entries_.push_back(e);
            }
        }
        if (!fc.at_end()) {
            if (fc.fault()) return body_error(fc, at_footer, "");
            return Error::format(at_footer + "holds more than its entries: bytes follow the last one at offset " +
                                 std::to_string(fc.offset()) + " of its content");
        }
        if (next != h.footer_offset)
            return Error::format("chunk data ends at offset " + std::to_string(next) + " but the footer starts at " +
                                 std::to_string(h.footer_offset));
        return {};
    }

    Result<void> parse(const ByteSource& file) {
        const ContainerHeader& h = r.header_;
        at_footer = "footer at offset " + std::to_string(h.footer_offset) + ": ";
        auto footer_block = file.read_at(h.footer_offset, h.footer_len);
        if (!footer_block) return std::move(footer_block).error();
        r.footer_crc_ = crc32(*footer_block);
        auto body = body_of(*footer_block);
        if (!body) return Error::format(at_footer + "cannot decompress: " + body.error().message);
        BodyCursor& fc = *body;
        std::uint64_t chunks = 0, columns = 0;
        if (!fc.fixed(4, chunks) || !fc.fixed(2, columns)) return body_error(fc, at_footer, "truncated counts");
        if (columns != h.column_count)
            return Error::format(at_footer + "column count " + std::to_string(columns) + " differs from the header's " +
                                 std::to_string(h.column_count));
        if (chunks != h.chunk_count)
            return Error::format(at_footer + "chunk count " + std::to_string(chunks) + " differs from the header's " +
                                 std::to_string(h.chunk_count) + (h.chunk_count == 0 ? " (header not patched)" : ""));
        // Every block takes at least its 12-byte head in the chunk data: check
        // the counts against it before sizing anything by them.
        const std::uint64_t chunk_data = h.footer_offset - h.header_size;
        if (columns > 0 && chunks > chunk_data / BLOCK_HEAD / columns)
            return Error::format(at_footer + std::to_string(chunks) + " chunks of " + std::to_string(columns) +
                                 " columns cannot fit in the " + std::to_string(chunk_data) +
                                 " bytes of chunk data (every block takes at least 12)");
        // Without columns nothing in the file grows with the chunks but their
        // row counts, four bytes each: those are held to the budget.
        if (columns == 0 && chunks > limits.max_chunk_bytes / 4)
            return Error::format(at_footer + "the row counts of " + std::to_string(chunks) +
                                 " chunks take more than max_chunk_bytes (" + std::to_string(limits.max_chunk_bytes) +
                                 ") allows");
        if (auto rows = chunk_rows(fc, chunks); !rows) return rows;
        return entries(fc, chunks, columns);
    }
};

Result<SarnReader> SarnReader::open(const std::string& path, ReaderLimits limits) {
    auto source = FileSource::open(path);
    if (!source) return std::move(source).error();
    return open(std::shared_ptr<const ByteSource>(std::move(*source)), limits);
}

Result<SarnReader> SarnReader::open(std::shared_ptr<const ByteSource> source, ReaderLimits limits) {
    const std::string& path = source->name();
    // A fault of the file, or a failed read of it, with the path in front.
    auto fail = [&](Error e) { return std::move(e).prefixed(path + ": ").about(path); };

    SarnReader r;
    r.path_ = path;
    r.limits_ = limits;
    ContainerHeader& h = r.header_;
    h.file_size = source->size();

    // A source that fetches is asked for its head and its tail at once: the
    // header, schema and dictionary are at the start, the trailer and
    // (unless it is long) the footer at the end.  The rest of a long footer
    // is a second request.
    auto opening = std::make_shared<FetchedRanges>(source);
    if (source->fetches()) {
        const std::uint64_t head = std::min(h.file_size, OPEN_HEAD_BYTES);
        const std::uint64_t tail = std::min(h.file_size, OPEN_TAIL_BYTES);
        const auto requests = coalesce({{0, head}, {h.file_size - tail, tail}});
        auto fetched = source->read_ranges(requests);
        if (!fetched) return fail(std::move(fetched).error());
        for (std::size_t i = 0; i < requests.size(); ++i) opening->add(requests[i].offset, std::move((*fetched)[i]));
    }
    const ByteSource& file = *opening;

    auto schema_len = read_fixed_header(file, h);
    if (!schema_len) return fail(std::move(schema_len).error());
    auto schema = read_schema(file, h, *schema_len, limits);
    if (!schema) return fail(std::move(schema).error());
    r.schema_ = std::move(*schema);
    if (auto d = read_dictionary(file, h, *schema_len); !d) return fail(std::move(d).error());
    if (auto t = read_trailer(file, h); !t) return fail(std::move(t).error());
    if (source->fetches()) {
        if (auto e = opening->ensure({h.footer_offset, h.footer_len}); !e) return fail(std::move(e).error());
    }
    FooterParser footer{r, limits, {}};
    if (auto f = footer.parse(file); !f) return fail(std::move(f).error());
    r.entries_.shrink_to_fit();
    r.blooms_.shrink_to_fit();
    r.texts_.shrink_to_fit();

    r.source_ = std::move(source);
    return r;
}

std::string schema_fault(const std::vector<ColumnSchema>& schema) {
    for (std::size_t i = 0; i < schema.size(); ++i) {
        if (!common::is_valid_utf8(schema[i].name))
            return "schema: the name of column " + std::to_string(i) + ", " + common::quoted_text(schema[i].name, 60) +
                   ", is not valid UTF-8";
        if (schema[i].encrypted > 1)
            return "schema: column " + std::to_string(i) + " has encryption flag " +
                   std::to_string(schema[i].encrypted) + " (0 or 1 expected)";
    }
    return {};
}

ColumnChunkMeta SarnReader::block_meta(std::size_t chunk, std::size_t column) const {
    const Entry& e = entry(chunk, column);
    ColumnChunkMeta m;
    m.offset = e.offset;
    m.compressed_len = e.compressed_len;
    m.encoding = static_cast<ColumnEncoding>(e.encoding);
    m.null_count = e.null_count;
    m.min_int = e.min_int;
    m.max_int = e.max_int;
    m.min_text.assign(texts_, static_cast<std::size_t>(e.text_at), static_cast<std::size_t>(e.min_len));
    m.max_text.assign(texts_, static_cast<std::size_t>(e.text_at + e.min_len), static_cast<std::size_t>(e.max_len));
    const std::uint8_t* b = blooms_.data() + e.bloom_at;
    if (e.bloom_bits == DENSE_BLOOM) {
        std::copy_n(b, BLOOM_BYTES, m.bloom.begin());
    } else {
        for (std::size_t i = 0; i < e.bloom_bits; ++i) {
            const std::size_t bit = b[2 * i] | (std::size_t{b[2 * i + 1]} << 8);
            m.bloom[bit / 8] |= static_cast<std::uint8_t>(1u << (bit % 8));
        }
    }
    return m;
}

std::string SarnReader::place(std::size_t chunk, std::size_t column) const {
    return path_ + ": chunk " + std::to_string(chunk) + ", column " + std::to_string(column) + " ('" +
           schema_[column].name + "'), block at offset " + std::to_string(entry(chunk, column).offset) + ": ";
}

Error SarnReader::over_budget(std::size_t chunk, std::size_t column, std::uint64_t needed, bool at_least,
                              const ChunkBudget& budget) const {
    return Error::format(place(chunk, column) + "reading chunk " + std::to_string(chunk) + " needs " +
                             (at_least ? "more than " : "") + std::to_string(needed) + " bytes up to column '" +
                             schema_[column].name + "', more than max_chunk_bytes allows (" +
                             std::to_string(budget.limit()) + ")",
                         path_);
}

ByteRange SarnReader::block_range(std::size_t chunk, std::size_t column) const {
    const Entry& m = entry(chunk, column);
    return {m.offset, BLOCK_HEAD + m.compressed_len};
}

Result<Bytes> SarnReader::stored_block(std::size_t chunk, std::size_t column, const ByteSource* from) const {
    if (chunk >= chunk_rows_.size() || column >= schema_.size())
        return Error::value(path_ + ": chunk " + std::to_string(chunk) + ", column " + std::to_string(column) +
                            " does not exist (the file has " + std::to_string(chunk_rows_.size()) + " chunks of " +
                            std::to_string(schema_.size()) + " columns)");
    const Entry& m = entry(chunk, column);
    const std::uint64_t rows = chunk_rows_[chunk];
    // A fault of this block, or a failed read of it.
    auto fail = [&](Error e) { return std::move(e).prefixed(place(chunk, column)).about(path_); };
    if (rows > limits_.max_chunk_rows)
        return fail(Error::format("the chunk has " + std::to_string(rows) +
                                  " rows, more than a reader decodes at once (" +
                                  std::to_string(limits_.max_chunk_rows) + ")"));
    // The head and the payload in one read: open() checked that the block
    // the footer describes lies inside the chunk data.
    auto stored = (from ? *from : *source_).read_at(m.offset, BLOCK_HEAD + m.compressed_len);
    if (!stored) return fail(std::move(stored).error());
    const std::uint32_t stored_crc = static_cast<std::uint32_t>(load_le(stored->data(), 4));
    const std::uint64_t len = load_le(stored->data() + 4, 8);
    if (len != m.compressed_len)
        return fail(Error::format("payload length " + std::to_string(len) + " at offset " +
                                  std::to_string(m.offset + 4) + " differs from the footer's " +
                                  std::to_string(m.compressed_len)));
    stored->erase(stored->begin(), stored->begin() + BLOCK_HEAD);
    const std::uint32_t crc = crc32(*stored);
    if (crc != stored_crc)
        return fail(Error::format("CRC-32 mismatch (stored " + hex32(stored_crc) + ", computed " + hex32(crc) + ")"));
    return stored;
}

Result<BlockPayload> SarnReader::read_payload(std::size_t chunk, std::size_t column, ChunkBudget& budget,
                                              bool then_decode, const ByteSource* from) const {
    const SarnReader& r = *this;
    auto block = stored_block(chunk, column, from);
    if (!block) return std::move(block).error();
    const ColumnSchema& col = r.schema()[column];
    const std::uint64_t rows = r.chunk_rows(chunk);
    const bool large = SarnReader::large_offsets_for(budget.limit());
    const std::uint64_t at = r.block_offset(chunk, column) + BLOCK_HEAD;
    auto corrupt = [&](const std::string& text) {
        return Error::format(
            r.place(chunk, column) + "cannot decompress the payload at offset " + std::to_string(at) + ": " + text,
            r.path());
    };
    BlockPayload out;
    if (!block->empty()) {
        out.method = (*block)[0];
        const std::uint64_t bound = payload_bound(col.type_code, rows);
        // What the payload and the values decoded from it take.
        auto cost = [&](std::uint64_t payload) {
            return payload + (then_decode ? decoded_bytes(col.type_code, rows, payload, large) : 0);
        };
        const std::uint64_t room =
            std::min(bound, then_decode ? largest_payload(col.type_code, rows, budget.left(), large) : budget.left());
        bool exceeded = false;
        std::size_t needed = 0;
        auto raw = codec::decompress_block(*block, to_size(room), &exceeded, &needed);
        if (!raw) {
            if (!exceeded) return corrupt(raw.error().message);
            if (needed > 0 && needed <= bound)
                return r.over_budget(chunk, column, budget.used() + cost(needed), false, budget);
            if (needed == 0 && room < bound)
                return r.over_budget(chunk, column, budget.used() + cost(room), true, budget);
            return corrupt(raw.error().message);
        }
        out.payload = std::move(*raw);
    }
    Bytes().swap(*block);
    (void)budget.take(out.payload.size());  // within what was left: decompression stopped there
    if (col.encrypted != 0)
        encrypt_column_payload_in_place(col.name, col.key, static_cast<std::uint32_t>(chunk), out.payload);
    return out;
}

Result<BlockPayload> SarnReader::read_block(std::size_t chunk, std::size_t column, ChunkBudget& budget) const {
    return read_payload(chunk, column, budget, false);
}

Result<BlockMeasure> SarnReader::measure_block(std::size_t chunk, std::size_t column, ChunkBudget& budget,
                                               bool check_content, const ByteSource* fetched) const {
    auto block = stored_block(chunk, column, fetched);
    if (!block) return std::move(block).error();
    BlockMeasure out;
    if (block->empty()) return out;
    out.method = (*block)[0];
    const std::uint64_t at = block_offset(chunk, column) + BLOCK_HEAD;
    auto corrupt = [&](const std::string& text) {
        return Error::format(
            place(chunk, column) + "cannot decompress the payload at offset " + std::to_string(at) + ": " + text,
            path_);
    };
    auto reader = codec::BlockReader::open(*block);
    if (!reader) return corrupt(reader.error().message);
    const std::uint64_t bound = payload_bound(schema_[column].type_code, chunk_rows_[chunk]);
    const auto declared = reader->declared_length();
    if (declared) {
        if (*declared > bound) return corrupt("Corrupt compressed block: decoded length exceeds its limit");
        if (*declared > budget.left()) return over_budget(chunk, column, budget.used() + *declared, false, budget);
        if (!check_content) {
            (void)budget.take(*declared);
            out.raw_len = *declared;
            return out;
        }
    }
    // Counted a piece at a time: one byte past the limit tells it is passed.
    const std::uint64_t limit = declared ? *declared : std::min(bound, budget.left());
    auto n = reader->skip(limit + 1);
    if (!n) return corrupt(n.error().message);
    if (*n > limit) {
        if (budget.left() < bound) return over_budget(chunk, column, budget.used() + budget.left(), true, budget);
        return corrupt("Corrupt compressed block: output exceeds its limit");
    }
    (void)budget.take(*n);
    out.raw_len = *n;
    return out;
}

Result<DecodedColumn> SarnReader::decode(std::size_t chunk, std::size_t column, ByteView payload,
                                         ChunkBudget& budget) const {
    const ColumnSchema& col = schema_[column];
    const std::size_t rows = chunk_rows_[chunk];
    const bool large = large_offsets_for(budget.limit());
    const std::uint64_t cost = decoded_bytes(col.type_code, rows, payload.size(), large);
    if (!budget.take(cost)) return over_budget(chunk, column, budget.used() + cost, false, budget);
    auto decoded = decode_column_block(col.type_code, block_meta(chunk, column), payload, rows, large);
    if (!decoded)
        return Error::format(place(chunk, column) + "cannot decode " + std::to_string(rows) +
                                 " values: " + decoded.error().message +
                                 (col.encrypted != 0 ? " (the column is enciphered: was the right key given?)" : ""),
                             path_);
    return decoded;
}

Result<DecodedColumn> SarnReader::read_column(std::size_t chunk, std::size_t column, ChunkBudget& budget,
                                              const ByteSource* fetched) const {
    auto block = read_payload(chunk, column, budget, true, fetched);
    if (!block) return std::move(block).error();
    return decode(chunk, column, block->payload, budget);
}

Result<BlockPayload> SarnReader::read_block(std::size_t chunk, std::size_t column) const {
    ChunkBudget budget(limits_.max_chunk_bytes);
    return read_block(chunk, column, budget);
}

Result<DecodedColumn> SarnReader::read_column(std::size_t chunk, std::size_t column) const {
    ChunkBudget budget(limits_.max_chunk_bytes);
    return read_column(chunk, column, budget);
}

Result<ChunkData> SarnReader::read_chunk(std::size_t chunk, bool decode_values) const {
    if (chunk >= chunk_rows_.size())
        return Error::value(path_ + ": chunk " + std::to_string(chunk) + " does not exist (the file has " +
                            std::to_string(chunk_rows_.size()) + ")");
    ChunkBudget budget(limits_.max_chunk_bytes);
    ChunkData out;
    out.columns.resize(schema_.size());
    for (std::size_t c = 0; c < schema_.size(); ++c) {
        ColumnBlockData& data = out.columns[c];
        if (!decode_values) {
            auto measured = measure_block(chunk, c, budget);
            if (!measured) return std::move(measured).error();
            data.method = measured->method;
            data.raw_len = measured->raw_len;
            continue;
        }
        auto block = read_payload(chunk, c, budget, true);
        if (!block) return std::move(block).error();
        data.method = block->method;
        data.raw_len = block->payload.size();
        auto decoded = decode(chunk, c, block->payload, budget);
        if (!decoded) return std::move(decoded).error();
        data.column = std::move(*decoded);
    }
    return out;
}

}  // namespace sarn::container
