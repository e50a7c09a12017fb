// libFuzzer target: containers assembled from structured input, read through
// every reader.
//
// A mutated file almost never gets past the CRC-32s and the footer's
// offsets, and almost never holds a block whose content is far larger than
// the block.  Here the input chooses what a hostile writer would: column
// types, chunk sizes and row counts up to the reader's limit, encodings,
// block methods, and contents that repeat (a unit of bytes repeated up to
// billions of times) so that a block of a few bytes may state, or expand to,
// gigabytes: a range-coded run, LZ matches of 65,535 bytes, an LZ_RANGE
// token stream; statistics of any value; structured values nested past the
// limit and claiming more elements than they hold; schema and footer blocks
// that expand past their entries or claim texts of gigabytes.  The target
// lays the container out with consistent offsets, counts and CRC-32s (unless
// the input asks for a fault there too) and reads it:
//   - SarnReader: every chunk decoded, and every block measured as `sarn
//     info` measures it;
//   - TableReader::verify, keys given to enciphered columns;
//   - a filtered scan of every column through the Arrow stream (structured
//     values as JSON), on one thread and on two, and the same scan's
//     batches taken directly.
// Readers work under a budget of MAX_CHUNK_BYTES per chunk; scripts/fuzz.sh
// runs this target with an RSS limit of the budget plus a margin and a
// limit on any one allocation, so that an allocation made before its size
// was checked ends the run.  Every answer must be a value or an error with
// a text, and what a read returns must agree with the footer.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

#include "arrow_bridge/arrow_export.hpp"
#include "drain_stream.hpp"
#include "codec/codec.hpp"
#include "codec/codec_internal.hpp"
#include "container/chunk_encode.hpp"
#include "query/scan.hpp"

using namespace sarn::container;
using namespace sarn::query;
using sarn::common::Bytes;
using sarn::common::ByteView;

namespace {

constexpr std::uint64_t MAX_CHUNK_BYTES = 64ULL << 20;
// Contents larger than this are never written out whole: only as blocks
// that repeat them.
constexpr std::uint64_t MATERIAL = 1 << 20;

// Bytes that are mostly a unit repeated: head, unit x repeats, tail.
struct Content {
    Bytes head, unit, tail;
    std::uint64_t repeats = 0;
    std::uint64_t size() const { return head.size() + unit.size() * repeats + tail.size(); }
    Bytes whole() const {
        Bytes out = head;
        for (std::uint64_t i = 0; i < repeats; ++i) out.insert(out.end(), unit.begin(), unit.end());
        out.insert(out.end(), tail.begin(), tail.end());
        return out;
    }
};

void literals(Bytes& out, ByteView data) {
    for (std::uint8_t b : data) {
        if (b == 0xFF) {
            out.insert(out.end(), {0xFF, 0x00, 0x00, 0x01, 0x00});
        } else {
            out.push_back(b);
        }
    }
}

// LZ tokens of a content: the unit once, then matches that repeat it.
Bytes lz_tokens(const Content& c) {
    Bytes t;
    literals(t, c.head);
    if (c.repeats > 0 && !c.unit.empty()) {
        literals(t, c.unit);
        std::uint64_t left = (c.repeats - 1) * c.unit.size();
        const std::size_t distance = c.unit.size();
        while (left > 0) {
            const std::size_t k = static_cast<std::size_t>(std::min<std::uint64_t>(left, 65535));
            if (distance > 65535 || k < 1) break;
            t.insert(t.end(), {0xFF, static_cast<std::uint8_t>(distance), static_cast<std::uint8_t>(distance >> 8),
                               static_cast<std::uint8_t>(k), static_cast<std::uint8_t>(k >> 8)});
            left -= k;
        }
    }
    literals(t, c.tail);
    return t;
}

Bytes framed(std::uint8_t method, const Bytes& payload) {
    Bytes out{method};
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

// One block of a content, in a form the input picks.
Bytes block_of(FuzzedDataProvider& in, const Content& c) {
    switch (in.ConsumeIntegralInRange<int>(0, 7)) {
        case 0:
            if (c.size() <= MATERIAL) return sarn::codec::compress_block(c.whole());
            break;
        case 1:
            if (c.size() <= MATERIAL) return framed(2, c.whole());  // stored
            break;
        case 2:
            if (c.head.empty() && c.tail.empty() && c.unit.size() == 1 && c.repeats <= 0xFFFFFFFFu) {
                // RANGE of one value: ten bytes for up to 4 GiB.
                Bytes b{4, 1, 0, c.unit[0], 0x00, 0x40};
                put_u32(b, static_cast<std::uint32_t>(c.repeats));
                return b;
            }
            break;
        case 3:
            if (c.head.empty() && c.tail.empty() && c.unit.size() == 1 && c.unit[0] != 0xFF &&
                c.repeats <= 0xFFFFFFFFu) {
                // LZ_RANGE of one literal: the content states no length at all.
                Bytes b{5, 1, 0, c.unit[0], 0x00, 0x40};
                put_u32(b, static_cast<std::uint32_t>(c.repeats));
                return b;
            }
            break;
        case 4: {
            const Bytes t = lz_tokens(c);
            if (t.size() <= MATERIAL) return framed(1, sarn::codec::internal::huffman_encode(t));
            break;
        }
        case 5: {
            const Bytes t = lz_tokens(c);
            if (t.size() <= MATERIAL) return framed(5, sarn::codec::internal::range_encode(t));
            break;
        }
        case 6: {
            if (c.size() <= MATERIAL) {
                const Bytes w = c.whole();
                return framed(in.ConsumeBool() ? 3 : 4, in.ConsumeBool() ? sarn::codec::internal::huffman_encode(w)
                                                                         : sarn::codec::internal::range_encode(w));
            }
            break;
        }
        default: break;
    }
    const Bytes t = lz_tokens(c);
    if (t.size() <= MATERIAL) return framed(0, t);
    return framed(2, {});
}

// A serialized structured value: nested as deep as the input asks, with
// counts it may not honour.
void structured(FuzzedDataProvider& in, Bytes& out, int depth) {
    const int tag = in.ConsumeIntegralInRange<int>(0, depth > 1200 ? 5 : 9);
    switch (tag) {
        case 0: out.push_back(0); return;
        case 1:
            out.push_back(1);
            put_zigzag_varint(out, in.ConsumeIntegral<std::int64_t>());
            return;
        case 2:
            out.push_back(2);
            put_u64(out, in.ConsumeIntegral<std::uint64_t>());
            return;
        case 3:
        case 5: {
            out.push_back(static_cast<std::uint8_t>(tag));
            const std::string s = in.ConsumeRandomLengthString(64);
            put_varint(out, s.size());
            out.insert(out.end(), s.begin(), s.end());
            return;
        }
        case 4:
            out.push_back(4);
            out.push_back(in.ConsumeIntegralInRange<std::uint8_t>(0, 2));
            return;
        default: {
            // 6 object, 7 list, 8 map (9: a long chain of one-element lists)
            const std::uint8_t kind = tag == 9 ? 7 : static_cast<std::uint8_t>(tag);
            const std::size_t count = tag == 9 ? 1 : in.ConsumeIntegralInRange<std::size_t>(0, 3);
            out.push_back(kind);
            put_varint(out, in.ConsumeBool() ? count : count + in.ConsumeIntegralInRange<std::uint64_t>(0, 1 << 20));
            for (std::size_t i = 0; i < count; ++i) {
                if (kind == 6) {
                    put_varint(out, 1);
                    out.push_back('k');
                }
                const int parts = kind == 8 ? 2 : 1;
                for (int p = 0; p < parts; ++p) {
                    Bytes inner;
                    structured(in, inner, tag == 9 ? depth + 1 : depth + 1 + in.ConsumeIntegralInRange<int>(0, 300));
                    put_varint(out, inner.size());
                    out.insert(out.end(), inner.begin(), inner.end());
                }
            }
            return;
        }
    }
}

// The payload of a column of `rows` values, and the encoding to declare.
Content payload_of(FuzzedDataProvider& in, std::uint8_t type, std::uint64_t rows, ColumnEncoding& enc) {
    Content c;
    const int form = in.ConsumeIntegralInRange<int>(0, 5);
    if (form == 0) {  // bytes as they come
        c.head = in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange<std::size_t>(0, 256));
        enc = static_cast<ColumnEncoding>(in.ConsumeIntegralInRange<int>(0, 7));
        return c;
    }
    if (type == TYPE_FLOAT) c.head = {0xFE, 0x04};
    switch (type) {
        case TYPE_INT:
        case TYPE_FLOAT: {
            switch (form % 4) {
                case 0:
                case 1:
                    enc = ColumnEncoding::LINEAR;
                    put_zigzag_varint(c.head, in.ConsumeIntegral<std::int64_t>());
                    put_zigzag_varint(c.head, in.ConsumeIntegralInRange<std::int64_t>(-3, 3));
                    break;
                case 2: {
                    enc = ColumnEncoding::RUN_LENGTH;
                    const std::uint64_t runs = in.ConsumeIntegralInRange<std::uint64_t>(1, 4);
                    put_varint(c.head, runs);
                    std::uint64_t left = rows;
                    for (std::uint64_t r = 0; r < runs; ++r) {
                        const std::uint64_t n =
                            r + 1 == runs ? left : in.ConsumeIntegralInRange<std::uint64_t>(0, left);
                        put_varint(c.head, in.ConsumeBool() ? n : n + 1);
                        put_zigzag_varint(c.head, in.ConsumeIntegralInRange<std::int64_t>(-100, 100));
                        left -= std::min(left, n);
                    }
                    break;
                }
                default:
                    enc = in.ConsumeBool() ? ColumnEncoding::DELTA : ColumnEncoding::BIT_PACKED;
                    if (enc == ColumnEncoding::DELTA) {
                        c.head.push_back(0);
                        c.unit = {static_cast<std::uint8_t>(in.ConsumeIntegralInRange<int>(0, 4))};
                        c.repeats = rows > 0 ? rows - 1 + in.ConsumeIntegralInRange<std::uint64_t>(0, 1) : 0;
                    } else {
                        put_zigzag_varint(c.head, in.ConsumeIntegralInRange<std::int64_t>(-5, 5));
                        const std::uint8_t width = in.ConsumeIntegralInRange<std::uint8_t>(0, 33);
                        c.head.push_back(width);
                        c.unit = {in.ConsumeIntegral<std::uint8_t>()};
                        c.repeats = (rows * width + 7) / 8;
                    }
                    break;
            }
            return c;
        }
        case TYPE_BOOL:
            enc = ColumnEncoding::BITMAP;
            c.unit = {in.ConsumeIntegral<std::uint8_t>()};
            c.repeats = (rows + 7) / 8 + in.ConsumeIntegralInRange<std::uint64_t>(0, 1);
            return c;
        default: {
            enc = ColumnEncoding::PLAIN;
            // Every value alike: a length and that many bytes (text that is
            // valid UTF-8 or not), or a structured value.
            Bytes value;
            if (type >= TYPE_OBJECT) {
                structured(in, value, 0);
            } else {
                const std::size_t len = in.ConsumeIntegralInRange<std::size_t>(0, 200);
                value.assign(len, in.ConsumeIntegralInRange<std::uint8_t>(0x20, 0xFF));
            }
            put_varint(c.unit, value.size());
            c.unit.insert(c.unit.end(), value.begin(), value.end());
            c.repeats = rows;
            if (in.ConsumeBool()) c.tail = in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange<std::size_t>(0, 8));
            return c;
        }
    }
}

struct Entry {
    Bytes block;
    ColumnChunkMeta meta;
    std::uint64_t claimed_text = 0;  // a min_text length claimed, its bytes repeated (0: none)
};

char scratch_name[64];

const char* scratch_path() {
    if (scratch_name[0] == '\0') {
        std::snprintf(scratch_name, sizeof scratch_name, "/tmp/sarn_builder_fuzz_%ld.sarn",
                      static_cast<long>(::getpid()));
        std::atexit([] { ::unlink(scratch_name); });
    }
    return scratch_name;
}

void require_text(const sarn::common::Error& e) {
    if (e.message.empty()) std::abort();
}

// Every reader over the file.
void read_everything(const ReaderLimits& limits, bool filtered, std::uint8_t selector) {
    if (auto r = SarnReader::open(scratch_path(), limits); !r) {
        require_text(r.error());
    } else {
        for (std::size_t k = 0; k < r->chunk_count(); ++k) {
            auto chunk = r->read_chunk(k, true);
            if (!chunk) {
                require_text(chunk.error());
            } else {
                for (const auto& col : chunk->columns)
                    if (!col.column || col.column->length != r->chunk_rows(k)) std::abort();
            }
            for (bool full : {false, true}) {
                ChunkBudget budget(limits.max_chunk_bytes);
                for (std::size_t c = 0; c < r->schema().size(); ++c) {
                    auto m = r->measure_block(k, c, budget, full);
                    if (!m) {
                        require_text(m.error());
                        break;
                    }
                }
            }
        }
    }
    auto table = TableReader::open(scratch_path(), limits);
    if (!table) {
        require_text(table.error());
        return;
    }
    const auto& schema = (*table)->schema();
    AesKey key{};
    key[3] = 7;
    for (std::size_t c = 0; c < schema.size(); ++c)
        if (schema[c].encrypted) (*table)->set_key(c, key);
    if (auto v = (*table)->verify(); !v) require_text(v.error());

    std::vector<std::size_t> columns;
    for (std::size_t c = 0; c < schema.size(); ++c) columns.push_back(c);
    Filter filter;
    if (filtered && !schema.empty()) {
        Predicate p;
        p.column = selector % schema.size();
        p.op = static_cast<CompareOp>((selector >> 3) & 7);
        FilterOperand o;
        o.i = 1;
        o.f = 0.5;
        o.s = "a";
        p.operands = {o};
        if (schema[p.column].type_code < TYPE_OBJECT) filter.any_of = {{p}};
    }
    for (bool as_json : {true, false}) {
        auto scan = Scan::plan(*table, columns, filter, as_json);
        if (!scan) {
            require_text(scan.error());
            continue;
        }
        if (!as_json) {
            BatchStream stream(*scan, 2);
            for (;;) {
                auto b = stream.next();
                if (!b) {
                    require_text(b.error());
                    break;
                }
                if (!*b) break;
                if ((*b)->columns.size() != columns.size()) std::abort();
            }
            continue;
        }
        for (unsigned threads : {1u, 2u}) {
            ArrowArrayStream stream;
            sarn::arrow_bridge::export_stream(std::make_unique<BatchStream>(*scan, threads), &stream);
            drain_stream(stream, columns.size());
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    const std::size_t ncols = in.ConsumeIntegralInRange<std::size_t>(0, 4);
    std::vector<ColumnSchema> schema(ncols);
    for (std::size_t c = 0; c < ncols; ++c) {
        schema[c].name = "c" + std::to_string(c);
        schema[c].type_code = in.ConsumeIntegralInRange<std::uint8_t>(1, 8);
        schema[c].encrypted = in.ConsumeIntegralInRange<int>(0, 9) == 0 ? 1 : 0;
    }
    // Rows per chunk up to past the reader's limit, mostly small.
    std::uint32_t chunk_size;
    switch (in.ConsumeIntegralInRange<int>(0, 3)) {
        case 0: chunk_size = in.ConsumeIntegralInRange<std::uint32_t>(0, (1u << 24) + 1); break;
        case 1: chunk_size = 1u << in.ConsumeIntegralInRange<int>(10, 24); break;
        default: chunk_size = in.ConsumeIntegralInRange<std::uint32_t>(1, 64); break;
    }
    const std::uint64_t cs = chunk_size == 0 ? 1 : chunk_size;
    const std::size_t nchunks = in.ConsumeIntegralInRange<std::size_t>(0, 3);
    const std::uint64_t last = in.ConsumeIntegralInRange<std::uint64_t>(1, cs);
    const std::uint64_t row_count = nchunks == 0 ? 0 : cs * (nchunks - 1) + last;

    std::vector<std::vector<Entry>> chunks(nchunks);
    for (std::size_t k = 0; k < nchunks; ++k) {
        const std::uint64_t rows = k + 1 == nchunks ? last : cs;
        for (std::size_t c = 0; c < ncols; ++c) {
            Entry e;
            ColumnEncoding enc = ColumnEncoding::PLAIN;
            Content content = payload_of(in, schema[c].type_code, rows, enc);
            if (schema[c].encrypted && content.size() <= MATERIAL) {
                AesKey key{};
                key[3] = 7;
                content =
                    Content{encrypt_column_payload(schema[c].name, key, static_cast<std::uint32_t>(k), content.whole()),
                            {},
                            {},
                            0};
            }
            e.block = block_of(in, content);
            if (!e.block.empty() && in.ConsumeIntegralInRange<int>(0, 15) == 0)
                e.block[in.ConsumeIntegralInRange<std::size_t>(0, e.block.size() - 1)] ^=
                    in.ConsumeIntegral<std::uint8_t>();
            e.meta.encoding = enc;
            const int nulls = in.ConsumeIntegralInRange<int>(0, 3);
            e.meta.null_count =
                static_cast<std::uint32_t>(nulls == 0   ? 0
                                           : nulls == 1 ? rows
                                                        : in.ConsumeIntegralInRange<std::uint64_t>(0, rows + 1));
            e.meta.min_int = in.ConsumeIntegralInRange<std::int64_t>(-10, 10);
            e.meta.max_int = in.ConsumeIntegralInRange<std::int64_t>(-10, 10);
            e.meta.min_text = in.ConsumeRandomLengthString(16);
            e.meta.max_text = in.ConsumeRandomLengthString(16);
            switch (in.ConsumeIntegralInRange<int>(0, 3)) {
                case 0: break;
                case 1: e.meta.bloom.fill(0xFF); break;
                default: bloom_insert(e.meta.bloom, e.meta.min_text); bloom_insert(e.meta.bloom, e.meta.max_text);
            }
            if (in.ConsumeIntegralInRange<int>(0, 31) == 0) e.claimed_text = in.ConsumeIntegral<std::uint32_t>() + 1ULL;
            chunks[k].push_back(std::move(e));
        }
    }

    // Header and schema.
    Bytes file{'S', 'A', 'R', 'N'};
    put_u16(file, 2);
    put_u16(file, static_cast<std::uint16_t>(ncols));
    put_u64(file, row_count);
    put_u32(file, static_cast<std::uint32_t>(nchunks));
    put_u32(file, chunk_size);
    put_u64(file, 0);
    file.resize(file.size() + 32, 0);
    Content schema_body;
    for (const auto& col : schema) {
        put_varint(schema_body.head, col.name.size());
        schema_body.head.insert(schema_body.head.end(), col.name.begin(), col.name.end());
        schema_body.head.push_back(col.type_code);
        schema_body.head.push_back(col.encrypted);
    }
    if (in.ConsumeIntegralInRange<int>(0, 15) == 0) {  // bytes past the last entry
        schema_body.unit = {0};
        schema_body.repeats = in.ConsumeIntegral<std::uint32_t>();
    }
    const Bytes schema_block = block_of(in, schema_body);
    put_u32(file, static_cast<std::uint32_t>(schema_block.size()));
    file.insert(file.end(), schema_block.begin(), schema_block.end());
    put_u64(file, 2);
    file.insert(file.end(), {0x02, 0x00});

    // Blocks, then the footer.
    for (auto& chunk : chunks) {
        for (auto& e : chunk) {
            e.meta.offset = file.size();
            e.meta.compressed_len = e.block.size();
            put_u32(file, crc32(e.block));
            put_u64(file, e.block.size());
            file.insert(file.end(), e.block.begin(), e.block.end());
        }
    }
    const std::uint64_t footer_offset = file.size();
    Content footer;
    Bytes* out = &footer.head;
    put_u32(*out, static_cast<std::uint32_t>(nchunks));
    put_u16(*out, static_cast<std::uint16_t>(ncols));
    for (std::size_t k = 0; k < nchunks; ++k) put_u32(*out, static_cast<std::uint32_t>(k + 1 == nchunks ? last : cs));
    for (const auto& chunk : chunks) {
        for (const auto& e : chunk) {
            const ColumnChunkMeta& m = e.meta;
            put_u64(*out, m.offset);
            put_u64(*out, m.compressed_len);
            out->push_back(static_cast<std::uint8_t>(m.encoding));
            put_u32(*out, m.null_count);
            put_zigzag_varint(*out, m.min_int);
            put_zigzag_varint(*out, m.max_int);
            if (e.claimed_text > 0 && out == &footer.head) {
                // A min_text of gigabytes: its bytes repeated, the rest after them.
                put_varint(*out, e.claimed_text);
                footer.unit = {'a'};
                footer.repeats = e.claimed_text;
                out = &footer.tail;
            } else {
                put_varint(*out, m.min_text.size());
                out->insert(out->end(), m.min_text.begin(), m.min_text.end());
            }
            put_varint(*out, m.max_text.size());
            out->insert(out->end(), m.max_text.begin(), m.max_text.end());
            out->insert(out->end(), m.bloom.begin(), m.bloom.end());
        }
    }
    if (footer.repeats == 0 && in.ConsumeIntegralInRange<int>(0, 15) == 0) {  // bytes past the last entry
        footer.unit = {0};
        footer.repeats = in.ConsumeIntegral<std::uint32_t>();
    }
    const Bytes footer_block = block_of(in, footer);
    file.insert(file.end(), footer_block.begin(), footer_block.end());
    put_u64(file, footer_block.size());
    put_u64(file, footer_offset);

    std::FILE* f = std::fopen(scratch_path(), "wb");
    if (!f) std::abort();
    if (std::fwrite(file.data(), 1, file.size(), f) != file.size()) std::abort();
    std::fclose(f);

    ReaderLimits limits;
    limits.max_chunk_bytes = MAX_CHUNK_BYTES;
    read_everything(limits, in.ConsumeBool(), in.ConsumeIntegral<std::uint8_t>());
    return 0;
}
