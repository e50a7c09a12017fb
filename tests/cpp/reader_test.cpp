// Round trips through the verifying reader, and the reader's answers to
// truncated, corrupted and hostile files.
#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <limits>
#include <random>

#include "container_test_support.hpp"
#include "container/chunk.hpp"
#include "container/chunk_decode.hpp"
#include "container/chunk_internal.hpp"
#include "container/reader.hpp"

namespace {

using sarn::common::Bytes;
using sarn::container::ColumnSchema;
using sarn::container::Row;
using sarn::container::SarnReader;
using sarn::container::StreamingSarnWriter;
using sarn::container::Value;
using sarn_test::column;
using sarn_test::TempPath;

constexpr std::int64_t I64_MAX = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t I64_MIN = std::numeric_limits<std::int64_t>::min();

// Random values of every kind, with the awkward ones over-represented.
class ValueMaker {
public:
    explicit ValueMaker(unsigned seed) : rng_(seed) {}

    Value any(int depth = 0) {
        switch (rng_() % (depth < 3 ? 12 : 9)) {
            case 0: return Value();
            case 1: {
                static const std::int64_t picks[] = {0, 1, -1, I64_MAX, I64_MIN, 4096, -70000};
                return Value::from_int(rng_() % 2 ? picks[rng_() % 7] : static_cast<std::int64_t>(rng_()));
            }
            case 2: {
                static const double picks[] = {0.0,
                                               -0.0,
                                               1.5,
                                               -2.25,
                                               0.00005,
                                               -0.00005,
                                               1e300,
                                               -1e300,
                                               std::nan(""),
                                               std::numeric_limits<double>::infinity(),
                                               -std::numeric_limits<double>::infinity(),
                                               123456.78901};
                return Value::from_float(picks[rng_() % 12]);
            }
            case 3: return Value::from_bool(rng_() % 2);
            case 4:
            case 5: {
                static const char* picks[] = {"",  "1", "true", "TRUE", "yes", "a", "ab", "b", "\xC3\xA9t\xC3\xA9",
                                              "42"};
                if (rng_() % 4 == 0) return Value::from_text(std::string(130 + rng_() % 200, 'x'));
                return Value::from_text(picks[rng_() % 10]);
            }
            case 6: {
                Bytes b(rng_() % 5);
                for (auto& x : b) x = static_cast<std::uint8_t>(rng_());
                return Value::from_bytes(b);
            }
            case 7:
            case 8: return Value::from_int(static_cast<std::int64_t>(rng_() % 10));
            case 9: {
                sarn::container::ObjectValue o;
                for (unsigned i = rng_() % 3; i > 0; --i)
                    o.entries.emplace_back("k" + std::to_string(i), any(depth + 1));
                return Value::from_object(std::move(o));
            }
            case 10: {
                sarn::container::ListValue l;
                for (unsigned i = rng_() % 4; i > 0; --i) l.items.push_back(any(depth + 1));
                return Value::from_list(std::move(l));
            }
            default: {
                sarn::container::MapValue m;
                for (unsigned i = rng_() % 3; i > 0; --i) m.pairs.emplace_back(any(depth + 1), any(depth + 1));
                return Value::from_map(std::move(m));
            }
        }
    }

    std::mt19937& rng() { return rng_; }

private:
    std::mt19937 rng_;
};

// What the reader gives back for a value written into a column of this type.
Value encoded_view(std::uint8_t type_code, const Value& v) {
    switch (type_code) {
        case sarn::container::TYPE_INT: return Value::from_int(sarn::container::internal::integer_view(v));
        case sarn::container::TYPE_FLOAT:
            return Value::from_float(static_cast<double>(sarn::container::internal::scaled_float_view(v)) / 10000.0);
        case sarn::container::TYPE_BOOL: return Value::from_bool(sarn::container::internal::boolean_view(v));
        case sarn::container::TYPE_TEXT:
            return Value::from_text(v.kind() == sarn::container::ValueKind::Text ? v.text() : "");
        case sarn::container::TYPE_BYTES:
            return Value::from_bytes(v.kind() == sarn::container::ValueKind::Bytes ? v.bytes() : Bytes{});
        default: return v;
    }
}

sarn::container::AesKey key_of(std::uint8_t seed) {
    sarn::container::AesKey key;
    for (int i = 0; i < 32; ++i) key[i] = static_cast<std::uint8_t>(seed + 7 * i);
    return key;
}

std::vector<ColumnSchema> every_type_schema() {
    std::vector<ColumnSchema> schema;
    for (std::uint8_t t = 1; t <= 8; ++t) schema.push_back(column("c" + std::to_string(t), t));
    // Enciphered columns of three kinds, and one flagged with the all-zero key.
    for (std::uint8_t t : {sarn::container::TYPE_TEXT, sarn::container::TYPE_INT, sarn::container::TYPE_LIST}) {
        ColumnSchema c = column("secret" + std::to_string(t), t);
        c.encrypted = 1;
        c.key = key_of(t);
        schema.push_back(c);
    }
    ColumnSchema zero = column("zero_key", sarn::container::TYPE_TEXT);
    zero.encrypted = 1;
    schema.push_back(zero);
    return schema;
}

TEST(ReaderRoundTrip, EveryTypeCodeComesBackAsItsEncodedView) {
    const std::vector<ColumnSchema> schema = every_type_schema();
    ValueMaker make(11);
    std::vector<Row> rows;
    for (int r = 0; r < 130; ++r) {
        Row row;
        // Some rows are short: their missing cells read as Null.
        const std::size_t width = make.rng()() % 5 == 0 ? make.rng()() % schema.size() : schema.size();
        for (std::size_t c = 0; c < width; ++c) row.push_back(make.any());
        rows.push_back(std::move(row));
    }
    TempPath path("every_type.sarn");
    const std::uint32_t chunk_size = 50;
    {
        auto w = StreamingSarnWriter::create(path.str(), schema, chunk_size);
        ASSERT_TRUE(w);
        for (std::size_t at = 0; at < rows.size(); at += chunk_size) {
            std::size_t n = std::min<std::size_t>(chunk_size, rows.size() - at);
            ASSERT_TRUE(w->write_chunk(std::span<const Row>(rows).subspan(at, n)));
        }
        ASSERT_TRUE(w->finish());
    }
    auto reader = SarnReader::open(path.str());
    ASSERT_TRUE(reader) << reader.error().message;
    EXPECT_EQ(reader->header().row_count, 130u);
    ASSERT_EQ(reader->chunk_count(), 3u);
    EXPECT_EQ(reader->chunk_rows(2), 30u);
    for (std::size_t c = 0; c < schema.size(); ++c) {
        EXPECT_EQ(reader->schema()[c].name, schema[c].name);
        EXPECT_EQ(reader->schema()[c].type_code, schema[c].type_code);
        EXPECT_EQ(reader->schema()[c].encrypted, schema[c].encrypted);
        if (schema[c].encrypted) reader->set_column_key(c, schema[c].key);
    }
    std::size_t row = 0;
    for (std::size_t k = 0; k < reader->chunk_count(); ++k) {
        auto chunk = reader->read_chunk(k);
        ASSERT_TRUE(chunk) << chunk.error().message;
        for (std::size_t r = 0; r < reader->chunk_rows(k); ++r, ++row) {
            for (std::size_t c = 0; c < schema.size(); ++c) {
                const Value original = c < rows[row].size() ? rows[row][c] : Value();
                EXPECT_EQ(sarn::container::stored_value(*chunk->columns[c].column, r),
                          encoded_view(schema[c].type_code, original))
                    << "row " << row << " column " << schema[c].name;
            }
        }
    }
    EXPECT_EQ(row, rows.size());
}

TEST(ReaderRoundTrip, EncipheredBlocksDifferAndNeedTheirKey) {
    // The same text column written plain, flagged with the zero key, and enciphered.
    std::vector<Row> rows;
    for (int i = 0; i < 40; ++i) rows.push_back({Value::from_text("value " + std::to_string(i % 7))});
    Bytes blocks[3];
    for (int variant = 0; variant < 3; ++variant) {
        ColumnSchema c = column("name");
        c.encrypted = variant > 0;
        if (variant == 2) c.key = key_of(1);
        TempPath path("enc" + std::to_string(variant) + ".sarn");
        auto w = StreamingSarnWriter::create(path.str(), {c}, 40);
        ASSERT_TRUE(w);
        ASSERT_TRUE(w->write_chunk(rows));
        const auto meta = w->chunks()[0][0];
        ASSERT_TRUE(w->finish());
        Bytes f = sarn_test::read_file(path.str());
        blocks[variant].assign(f.begin() + static_cast<std::ptrdiff_t>(meta.offset),
                               f.begin() + static_cast<std::ptrdiff_t>(meta.offset + 12 + meta.compressed_len));
        if (variant == 2) {
            auto reader = SarnReader::open(path.str());
            ASSERT_TRUE(reader);
            // Without the key the stored bytes are not the text payload.
            auto keyless = reader->read_chunk(0);
            EXPECT_TRUE(!keyless || sarn::container::stored_value(*keyless->columns[0].column, 0) != rows[0][0]);
            reader->set_column_key(0, key_of(1));
            auto chunk = reader->read_chunk(0);
            ASSERT_TRUE(chunk) << chunk.error().message;
            for (std::size_t r = 0; r < rows.size(); ++r)
                EXPECT_EQ(sarn::container::stored_value(*chunk->columns[0].column, r), rows[r][0]);
        }
    }
    EXPECT_EQ(blocks[0], blocks[1]);  // an all-zero key enciphers nothing
    EXPECT_NE(blocks[0], blocks[2]);
}

// A small container of three column kinds in two chunks.
Bytes small_container(const std::string& path) {
    std::vector<ColumnSchema> schema{column("t"), column("i", sarn::container::TYPE_INT),
                                     column("s", sarn::container::TYPE_LIST)};
    ValueMaker make(5);
    std::vector<Row> rows;
    for (int r = 0; r < 24; ++r) {
        rows.push_back({Value::from_text("row" + std::to_string(r % 5)), Value::from_int(r * r - 40), make.any(1)});
    }
    auto w = StreamingSarnWriter::create(path, schema, 16);
    EXPECT_TRUE(w);
    EXPECT_TRUE(w->write_chunk(std::span<const Row>(rows).first(16)));
    EXPECT_TRUE(w->write_chunk(std::span<const Row>(rows).subspan(16)));
    EXPECT_TRUE(w->finish());
    return sarn_test::read_file(path);
}

// Opens and reads every chunk; returns the first error text, or "" when the
// whole file reads.
std::string read_all(const std::string& path, sarn::container::ReaderLimits limits = {}) {
    auto reader = SarnReader::open(path, limits);
    if (!reader) return reader.error().message;
    for (std::size_t k = 0; k < reader->chunk_count(); ++k) {
        auto chunk = reader->read_chunk(k);
        if (!chunk) return chunk.error().message;
    }
    return "";
}

TEST(ReaderRobustness, EveryTruncationIsRefused) {
    TempPath path("trunc.sarn");
    const Bytes full = small_container(path.str());
    ASSERT_EQ(read_all(path.str()), "");
    for (std::size_t len = 0; len < full.size(); ++len) {
        sarn_test::write_file(path.str(), Bytes(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(len)));
        const std::string error = read_all(path.str());
        EXPECT_NE(error, "") << "truncated to " << len;
    }
}

TEST(ReaderRobustness, CorruptedBytesAreFoundOrHarmless) {
    TempPath path("flip.sarn");
    const Bytes full = small_container(path.str());
    auto reader = SarnReader::open(path.str());
    ASSERT_TRUE(reader);
    // Byte ranges of the column blocks: a change there must fail the CRC (or the head checks).
    std::vector<std::pair<std::uint64_t, std::uint64_t>> blocks;
    for (std::size_t k = 0; k < reader->chunk_count(); ++k)
        for (std::size_t c = 0; c < reader->schema().size(); ++c)
            blocks.emplace_back(reader->block_offset(k, c),
                                reader->block_offset(k, c) + 12 + reader->block_length(k, c));
    for (std::size_t at = 0; at < full.size(); ++at) {
        for (std::uint8_t flip : {0x01, 0x80, 0xFF}) {
            Bytes bad = full;
            bad[at] ^= flip;
            sarn_test::write_file(path.str(), bad);
            const std::string error = read_all(path.str());
            bool in_block = false;
            for (auto [from, to] : blocks) in_block = in_block || (at >= from && at < to);
            // The fixed header fields (but created_at, 24..31, which nothing
            // checks) and every byte of a column block are checked; a changed
            // letter of a stored column name or footer statistic may not be.
            if (in_block || at < 24 || (at >= 32 && at < 64)) {
                EXPECT_NE(error, "") << "byte " << at << " ^ " << int(flip);
            }
        }
    }
}

Bytes with_footer(const Bytes& file, std::uint64_t footer_offset, const Bytes& body) {
    Bytes out(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(footer_offset));
    out.push_back(0x02);  // stored block
    out.insert(out.end(), body.begin(), body.end());
    sarn::container::put_u64(out, body.size() + 1);
    sarn::container::put_u64(out, footer_offset);
    return out;
}

void set_counts(Bytes& file, std::uint64_t rows, std::uint32_t chunks, std::uint32_t chunk_size) {
    for (int i = 0; i < 8; ++i) file[8 + i] = static_cast<std::uint8_t>(rows >> (8 * i));
    for (int i = 0; i < 4; ++i) file[16 + i] = static_cast<std::uint8_t>(chunks >> (8 * i));
    for (int i = 0; i < 4; ++i) file[20 + i] = static_cast<std::uint8_t>(chunk_size >> (8 * i));
}

// One footer column entry.
void entry(Bytes& body, std::uint64_t offset, std::uint64_t len, std::uint8_t encoding) {
    sarn::container::put_u64(body, offset);
    sarn::container::put_u64(body, len);
    body.push_back(encoding);
    sarn::container::put_u32(body, 0);
    body.insert(body.end(), {0x00, 0x00, 0x00, 0x00});
    body.insert(body.end(), sarn::container::BLOOM_BYTES, 0);
}

TEST(ReaderRobustness, HostileFootersAreRefusedWithTheirPlace) {
    // One integer column, one chunk of 4 rows: LINEAR 0, step 1.
    TempPath path("hostile.sarn");
    {
        auto w = StreamingSarnWriter::create(path.str(), {column("n", sarn::container::TYPE_INT)}, 4);
        ASSERT_TRUE(w);
        std::vector<Row> rows;
        for (int i = 0; i < 4; ++i) rows.push_back({Value::from_int(i)});
        ASSERT_TRUE(w->write_chunk(rows));
        ASSERT_TRUE(w->finish());
    }
    const Bytes good = sarn_test::read_file(path.str());
    auto reader = SarnReader::open(path.str());
    ASSERT_TRUE(reader);
    const auto meta = reader->block_meta(0, 0);
    const std::uint64_t header_size = reader->header().header_size;
    const std::uint64_t footer_offset = reader->header().footer_offset;
    reader = sarn::common::Error::io("closed");

    struct Case {
        const char* name;
        std::uint64_t rows;
        std::uint32_t chunks, chunk_size;
        Bytes body;
        const char* expect;
    };
    std::vector<Case> cases;
    {
        Bytes b;  // a chunk count that the body cannot hold
        sarn::container::put_u32(b, 0xFFFFFFFF);
        sarn::container::put_u16(b, 1);
        cases.push_back({"chunk count", 4, 0xFFFFFFFF, 4, b, "cannot fit in the"});
    }
    {
        Bytes b;  // a block that reaches into the footer
        sarn::container::put_u32(b, 1);
        sarn::container::put_u16(b, 1);
        sarn::container::put_u32(b, 4);
        entry(b, header_size, meta.compressed_len + 1, 6);
        cases.push_back({"block length", 4, 1, 4, b, "runs into the footer"});
    }
    {
        Bytes b;  // a block that starts elsewhere
        sarn::container::put_u32(b, 1);
        sarn::container::put_u16(b, 1);
        sarn::container::put_u32(b, 4);
        entry(b, header_size + 1, meta.compressed_len, 6);
        cases.push_back({"block offset", 4, 1, 4, b, "expected"});
    }
    {
        Bytes b;  // 4e9 rows in one chunk of a LINEAR column: the limit stops it
        sarn::container::put_u32(b, 1);
        sarn::container::put_u16(b, 1);
        sarn::container::put_u32(b, 4000000000u);
        entry(b, header_size, meta.compressed_len, 6);
        cases.push_back({"rows", 4000000000u, 1, 4000000000u, b, "more than a reader decodes"});
    }
    {
        Bytes b;  // row counts that chunk_size and row_count do not give
        sarn::container::put_u32(b, 1);
        sarn::container::put_u16(b, 1);
        sarn::container::put_u32(b, 3);
        entry(b, header_size, meta.compressed_len, 6);
        cases.push_back({"row count", 4, 1, 4, b, "give 4"});
    }
    {
        Bytes b;  // an encoding that does not fit the integer column
        sarn::container::put_u32(b, 1);
        sarn::container::put_u16(b, 1);
        sarn::container::put_u32(b, 4);
        entry(b, header_size, meta.compressed_len, 4);
        cases.push_back({"encoding", 4, 1, 4, b, "cannot hold type code 1"});
    }
    {
        Bytes b;  // a complete footer, but a header whose counts were never patched
        sarn::container::put_u32(b, 1);
        sarn::container::put_u16(b, 1);
        sarn::container::put_u32(b, 4);
        entry(b, header_size, meta.compressed_len, 6);
        cases.push_back({"unpatched", 0, 0, 4, b, "header not patched"});
    }
    for (const Case& c : cases) {
        Bytes file = with_footer(good, footer_offset, c.body);
        set_counts(file, c.rows, c.chunks, c.chunk_size);
        sarn_test::write_file(path.str(), file);
        const std::string error = read_all(path.str());
        EXPECT_NE(error.find(c.expect), std::string::npos) << c.name << ": " << error;
        EXPECT_EQ(error.rfind(path.str(), 0), 0u) << c.name << ": the error names the file";
    }

    // The unchanged footer, restored through the same helper, reads cleanly.
    Bytes body;
    sarn::container::put_u32(body, 1);
    sarn::container::put_u16(body, 1);
    sarn::container::put_u32(body, 4);
    entry(body, header_size, meta.compressed_len, 6);
    sarn_test::write_file(path.str(), with_footer(good, footer_offset, body));
    EXPECT_EQ(read_all(path.str()), "");
}

TEST(ReaderRobustness, NotAContainer) {
    TempPath path("other.sarn");
    struct Case {
        Bytes bytes;
        const char* expect;
    } cases[] = {
        {{}, "too short"},
        {Bytes(200, 'x'), "bad magic"},
        {[] {
             Bytes b{'S', 'A', 'R', 'N', 3, 0};
             b.resize(200);
             return b;
         }(),
         "unsupported SARN version 3"},
    };
    for (const auto& c : cases) {
        sarn_test::write_file(path.str(), c.bytes);
        auto r = SarnReader::open(path.str());
        ASSERT_FALSE(r);
        EXPECT_NE(r.error().message.find(c.expect), std::string::npos) << r.error().message;
        EXPECT_EQ(r.error().kind, sarn::common::ErrorKind::Format) << c.expect;
        EXPECT_EQ(r.error().message.rfind(path.str() + ": ", 0), 0u) << r.error().message;
    }
}

// A failed system call keeps its errno and the file, so that callers raise
// the platform's own error; a damaged file is a Format error, wherever the
// damage is found.
TEST(ReaderRobustness, ErrorsKeepTheirKindAndCause) {
    TempPath missing("no_such_file.sarn");
    auto r = SarnReader::open(missing.str());
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind, sarn::common::ErrorKind::Io);
    EXPECT_EQ(r.error().errnum, ENOENT);
    EXPECT_EQ(r.error().path, missing.str());
    EXPECT_EQ(r.error().message.rfind("Cannot open " + missing.str() + ": ", 0), 0u) << r.error().message;

    auto folder = SarnReader::open("/tmp");
    ASSERT_FALSE(folder);
    EXPECT_EQ(folder.error().kind, sarn::common::ErrorKind::Io);
    EXPECT_EQ(folder.error().errnum, EISDIR);

    TempPath path("damaged_block.sarn");
    Bytes file = small_container(path.str());
    auto reader = SarnReader::open(path.str());
    ASSERT_TRUE(reader);
    const auto meta = reader->block_meta(1, 2);
    file[meta.offset + 12 + meta.compressed_len / 2] ^= 0x10;
    sarn_test::write_file(path.str(), file);
    for (bool decode : {false, true}) {
        auto chunk = reader->read_chunk(1, decode);
        ASSERT_FALSE(chunk);
        EXPECT_EQ(chunk.error().kind, sarn::common::ErrorKind::Format);
        EXPECT_EQ(chunk.error().message.rfind(path.str() + ": chunk 1, column 2 ('s'), block at offset " +
                                                  std::to_string(meta.offset) + ": CRC-32 mismatch",
                                              0),
                  0u)
            << chunk.error().message;
    }
}

TEST(ReaderRoundTrip, RealCsvRowsThroughATextBatch) {
    // The rows of a real file, as the CSV pipeline hands them over.
    std::ifstream in(std::string(SARN_DATA_DIR) + "/airports.csv");
    ASSERT_TRUE(in);
    std::string line;
    std::getline(in, line);
    std::vector<ColumnSchema> schema;
    for (std::size_t start = 0;;) {
        std::size_t comma = line.find(',', start);
        schema.push_back(column(line.substr(start, comma - start)));
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    sarn::container::TextBatch batch(schema.size());
    std::vector<std::vector<std::string>> expected;
    while (std::getline(in, line)) {
        std::vector<std::string> cells;
        for (std::size_t start = 0;;) {
            std::size_t comma = line.find(',', start);
            cells.push_back(line.substr(start, comma - start));
            if (comma == std::string::npos) break;
            start = comma + 1;
        }
        cells.resize(schema.size());
        for (const auto& cell : cells) batch.push_cell(cell);
        expected.push_back(cells);
    }
    TempPath path("airports.sarn");
    auto w = StreamingSarnWriter::create(path.str(), schema, 65536);
    ASSERT_TRUE(w);
    ASSERT_TRUE(w->write_chunk(batch));
    ASSERT_TRUE(w->finish());
    auto reader = SarnReader::open(path.str());
    ASSERT_TRUE(reader) << reader.error().message;
    auto chunk = reader->read_chunk(0);
    ASSERT_TRUE(chunk) << chunk.error().message;
    ASSERT_EQ(reader->chunk_rows(0), expected.size());
    for (std::size_t r = 0; r < expected.size(); ++r)
        for (std::size_t c = 0; c < schema.size(); ++c) ASSERT_EQ(chunk->columns[c].column->cell(r), expected[r][c]);
}

}  // namespace
