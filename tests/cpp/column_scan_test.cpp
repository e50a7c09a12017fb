// Decoding column blocks into buffers, scans with filters that skip chunks,
// and the Arrow C stream over them, on containers written by the writer.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "arrow_bridge/arrow_export.hpp"
#include "container/chunk.hpp"
#include "container/column_batch.hpp"
#include "query/scan.hpp"
#include "container/writer.hpp"
#include "container_test_support.hpp"

using namespace sarn::container;
using namespace sarn::query;
using sarn_test::TempPath;

namespace {

const AesKey KEY = [] {
    AesKey k{};
    for (std::size_t i = 0; i < k.size(); ++i) k[i] = static_cast<std::uint8_t>(i * 7 + 1);
    return k;
}();

// Columns: k int, x float, ok bool, t text, y bytes, l list, s text enciphered.
std::vector<ColumnSchema> typed_schema() {
    std::vector<ColumnSchema> s = {sarn_test::column("k", TYPE_INT),   sarn_test::column("x", TYPE_FLOAT),
                                   sarn_test::column("ok", TYPE_BOOL), sarn_test::column("t", TYPE_TEXT),
                                   sarn_test::column("y", TYPE_BYTES), sarn_test::column("l", TYPE_LIST),
                                   sarn_test::column("s", TYPE_TEXT)};
    s[6].encrypted = 1;
    s[6].key = KEY;
    return s;
}

// Row i of the typed file; rows 3..5 (chunk 1) are all null, row 7 has nulls.
Row typed_row(std::size_t i) {
    if (i >= 3 && i < 6) return Row(7);
    const auto n = static_cast<std::int64_t>(i);
    Row r = {Value::from_int(n * 10 - 20),
             Value::from_float(static_cast<double>(n) / 4),
             Value::from_bool(i % 2 == 0),
             Value::from_text(i == 7 ? "" : "t" + std::to_string(i)),
             Value::from_bytes(Bytes{static_cast<std::uint8_t>(i), 0xFF}),
             Value::from_list(ListValue{{Value::from_int(n), Value::null()}}),
             Value::from_text("secret " + std::to_string(i))};
    if (i == 7) {
        r[0] = Value::null();
        r[6] = Value::null();
    }
    return r;
}

std::string write_typed(const TempPath& path, std::size_t rows, std::uint32_t chunk_size) {
    auto w = StreamingSarnWriter::create(path.str(), typed_schema(), chunk_size);
    EXPECT_TRUE(w.ok());
    for (std::size_t at = 0; at < rows; at += chunk_size) {
        std::vector<Row> chunk;
        for (std::size_t i = at; i < std::min<std::size_t>(rows, at + chunk_size); ++i) chunk.push_back(typed_row(i));
        EXPECT_TRUE(w->write_chunk(chunk).ok());
    }
    EXPECT_TRUE(w->finish().ok());
    return path.str();
}

std::shared_ptr<TableReader> open_keyed(const std::string& path) {
    auto t = TableReader::open(path);
    EXPECT_TRUE(t.ok()) << (t.ok() ? "" : t.error().message);
    (*t)->set_key(6, KEY);
    return *t;
}

}  // namespace

TEST(ColumnDecode, PlainLengthsMustLeaveRoomForTheValuesAfterThem) {
    // rows, payload, ok
    const struct {
        std::size_t rows;
        Bytes payload;
        bool ok;
    } cases[] = {
        {3, {0x02, 'b', 'c'}, false},  // the first value would take the bytes of the next two lengths
        {2, {0x01, 'a', 0x00}, true},
        {2, {0x01, 'a'}, false},  // one value short
        {1, {0x01, 'a', 0x00}, false},  // a byte left over
        {1, {0x80}, false},  // truncated varint
        {1, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}, false},
        {2, {0x01, 0x80, 0x01, 0xBF}, false},  // text that is not UTF-8 (a cell starting mid-character)
    };
    for (const auto& c : cases) {
        ColumnChunkMeta meta;
        auto r = decode_column_block(TYPE_TEXT, meta, c.payload, c.rows, false);
        EXPECT_EQ(r.ok(), c.ok) << c.rows << " rows, " << c.payload.size() << " bytes";
        auto b = decode_column_block(TYPE_BYTES, meta, c.payload, c.rows, true);
        if (c.ok) {
            EXPECT_TRUE(b.ok());
        }
    }
}

TEST(ColumnDecode, EveryKindRoundTripsThroughTheWriter) {
    TempPath path("typed.sarn");
    write_typed(path, 9, 3);
    auto t = open_keyed(path.str());
    ASSERT_EQ(t->chunk_count(), 3u);
    for (std::size_t chunk = 0; chunk < 3; ++chunk) {
        std::vector<DecodedColumn> cols;
        for (std::size_t c = 0; c < 7; ++c) {
            auto d = t->read_column(chunk, c);
            ASSERT_TRUE(d.ok()) << d.error().message;
            EXPECT_EQ(check_block_statistics(t->reader().block_meta(chunk, c), *d), "");
            cols.push_back(std::move(*d));
        }
        for (std::size_t j = 0; j < 3; ++j) {
            const std::size_t i = chunk * 3 + j;
            if (chunk == 1) {  // every cell null: every column says so
                for (const auto& c : cols) EXPECT_FALSE(c.is_valid(j));
                continue;
            }
            const auto n = static_cast<std::int64_t>(i);
            // A null integer among values reads as the 0 stored for it.
            EXPECT_TRUE(cols[0].is_valid(j));
            EXPECT_EQ(cols[0].int_at(j), i == 7 ? 0 : n * 10 - 20);
            EXPECT_EQ(cols[1].float_at(j), static_cast<double>(n) / 4);
            EXPECT_EQ(cols[2].bool_at(j), i % 2 == 0);
            // "" in a block with no null is a value; the enciphered null of row
            // 7 is the only empty cell of its block, so it reads as null.
            EXPECT_TRUE(cols[3].is_valid(j));
            EXPECT_EQ(cols[3].cell(j), i == 7 ? "" : "t" + std::to_string(i));
            EXPECT_EQ(cols[4].cell(j), std::string({static_cast<char>(i), '\xFF'}));
            EXPECT_EQ(cols[6].is_valid(j), i != 7);
            if (i != 7) {
                EXPECT_EQ(cols[6].cell(j), "secret " + std::to_string(i));
            }
            auto json = to_json_column(cols[5]);
            ASSERT_TRUE(json.ok());
            EXPECT_EQ(json->cell(j), "[" + std::to_string(i) + ", null]");
        }
    }
}

TEST(ColumnDecode, MissingAndWrongKeysAreRefusedNamingTheColumn) {
    TempPath path("keys.sarn");
    write_typed(path, 9, 3);
    auto t = TableReader::open(path.str());
    ASSERT_TRUE(t.ok());
    auto missing = (*t)->read_column(0, 6);
    ASSERT_FALSE(missing.ok());
    EXPECT_NE(missing.error().message.find("column 's' is enciphered"), std::string::npos);
    AesKey wrong = KEY;
    wrong[0] ^= 1;
    (*t)->set_key(6, wrong);
    auto bad = (*t)->read_column(0, 6);
    ASSERT_FALSE(bad.ok());
    EXPECT_NE(bad.error().message.find("chunk 0, column 6 ('s')"), std::string::npos) << bad.error().message;
}

// The one statistics check: a block written with its true statistics
// passes, and each kind of disagreement a damaged or hostile footer can hold
// is found, in every column kind.
TEST(BlockStatistics, EachDisagreementIsFound) {
    struct Block {
        std::uint8_t type;
        std::vector<Value> values;
    };
    auto encoded = [](const Block& b, ColumnChunkMeta& meta) {
        std::vector<const Value*> refs;
        for (const Value& v : b.values) refs.push_back(&v);
        Bytes payload = encode_column_with_stats(b.type, refs, meta);
        auto c = decode_column_block(b.type, meta, payload, b.values.size(), false);
        EXPECT_TRUE(c.ok()) << c.error().message;
        return std::move(*c);
    };
    const Value null;
    const Block ints{TYPE_INT, {Value::from_int(5), Value::from_int(-3), Value::from_int(7)}};
    const Block ints_with_null{TYPE_INT, {null, Value::from_int(5), Value::from_int(7)}};
    const Block all_null{TYPE_INT, {null, null}};
    const Block bools{TYPE_BOOL, {Value::from_bool(true), Value::from_bool(true)}};
    const Block floats{TYPE_FLOAT, {Value::from_float(2.75), Value::from_float(-1.5)}};
    const Block texts{TYPE_TEXT, {Value::from_text("b"), Value::from_text("a"), Value::from_text("c")}};
    const Block texts_with_null{TYPE_TEXT, {Value::from_text("b"), null, Value::from_text("c")}};
    const Block zero_and_null{TYPE_INT, {Value::from_int(0), null, Value::from_int(5)}};
    const Block empty_and_null{TYPE_TEXT, {Value::from_text(""), null, Value::from_text("a")}};
    const Block bytes{TYPE_BYTES, {Value::from_bytes({1, 2})}};
    const Block lists{TYPE_LIST, {null, Value::from_list(ListValue{{Value::from_int(1)}})}};
    const struct Case {
        const char* name;
        const Block* block;
        void (*damage)(ColumnChunkMeta&);
        const char* fault;
    } cases[] = {
        {"int min", &ints, [](ColumnChunkMeta& m) { m.min_int = -4; },
         "min_int/max_int -4/7 but the values range over -3/7"},
        {"int value outside, nulls", &ints_with_null, [](ColumnChunkMeta& m) { m.min_int = 6; },
         "min_int/max_int 6/7 but the values that are not null range over 5/7"},
        {"int bound not a value, nulls", &ints_with_null, [](ColumnChunkMeta& m) { m.min_int = 4; },
         "min_int/max_int 4/7 but the values that are not null range over 5/7"},
        // A zero beyond the null count is a value: the bounds must take it in.
        {"int zero beside a null", &zero_and_null, [](ColumnChunkMeta& m) { m.min_int = 5; },
         "min_int/max_int 5/5 but the values that are not null range over 0/5"},
        {"int null count", &ints_with_null, [](ColumnChunkMeta& m) { m.null_count = 2; },
         "null count 2 but 1 cells hold the value stored for a null"},
        {"null count over rows", &ints, [](ColumnChunkMeta& m) { m.null_count = 4; },
         "null count 4 exceeds the chunk's 3 rows"},
        {"all null with bounds", &all_null, [](ColumnChunkMeta& m) { m.max_int = 1; },
         "statistics on a block whose values are all null"},
        {"bool bounds", &bools, [](ColumnChunkMeta& m) { m.min_int = 0; },
         "min_int/max_int 0/1 but the values range over 1/1"},
        {"float bounds", &floats, [](ColumnChunkMeta& m) { m.max_int = 1; },
         "value 2.7500 of row 0 lies outside min_int/max_int -1/1"},
        {"text min", &texts, [](ColumnChunkMeta& m) { m.min_text = "0"; },
         "min_text \"0\" but the smallest value is \"a\""},
        {"text max", &texts, [](ColumnChunkMeta& m) { m.max_text = "cc"; },
         "max_text \"cc\" but the largest value is \"c\""},
        {"text max, nulls", &texts_with_null, [](ColumnChunkMeta& m) { m.max_text = "b"; },
         "max_text \"b\" but the largest value is \"c\""},
        {"text min, nulls", &texts_with_null, [](ColumnChunkMeta& m) { m.min_text = "bb"; },
         "min_text \"bb\" but the smallest value that is not null is \"b\""},
        {"text min above a value, nulls", &texts_with_null, [](ColumnChunkMeta& m) { m.min_text = "c"; },
         "min_text \"c\" but the smallest value that is not null is \"b\""},
        // An empty text beyond the null count is a value, the smallest: a
        // filter == "" trusting min_text "a" would skip a matching row.
        {"text empty beside a null", &empty_and_null, [](ColumnChunkMeta& m) { m.min_text = "a"; },
         "min_text \"a\" but the smallest value that is not null is \"\""},
        {"text filter", &texts, [](ColumnChunkMeta& m) { m.bloom[0] ^= 1; },
         "membership filter does not match the values"},
        {"text null count", &texts, [](ColumnChunkMeta& m) { m.null_count = 1; },
         "null count 1 but 0 cells hold the value stored for a null"},
        {"integer bounds on text", &texts, [](ColumnChunkMeta& m) { m.min_int = 3; },
         "integer statistics 3..0 on a column that keeps none"},
        {"filter on bytes", &bytes, [](ColumnChunkMeta& m) { m.bloom[7] = 1; },
         "membership filter on a non-text column"},
        {"text bounds on bytes", &bytes, [](ColumnChunkMeta& m) { m.max_text = "x"; },
         "text statistics on a non-text column"},
        {"structured null count", &lists, [](ColumnChunkMeta& m) { m.null_count = 0; },
         "null count 0 but 1 cells hold a null"},
    };
    for (const Case& c : cases) {
        ColumnChunkMeta meta;
        const DecodedColumn column = encoded(*c.block, meta);
        EXPECT_EQ(check_block_statistics(meta, column), "") << c.name << ": the true statistics";
        c.damage(meta);
        EXPECT_EQ(check_block_statistics(meta, column), c.fault) << c.name;
    }
}

// Skipping chunks from the footer must never change which rows a filter
// keeps: compare each scan with the same predicates applied to every chunk.
TEST(Scan, SkippingChunksNeverChangesTheRows) {
    TempPath path("prune.sarn");
    write_typed(path, 40, 4);
    auto t = open_keyed(path.str());
    std::mt19937 rng(7);
    const std::size_t columns[] = {0, 1, 2, 3, 6};
    std::size_t skipped_total = 0;
    for (int q = 0; q < 400; ++q) {
        Predicate p;
        p.column = columns[rng() % 5];
        p.op = static_cast<CompareOp>(rng() % 8);
        const int count = (p.op == CompareOp::In || p.op == CompareOp::NotIn) ? static_cast<int>(rng() % 4) : 1;
        for (int k = 0; k < count; ++k) {
            FilterOperand o;
            const std::int64_t v = static_cast<std::int64_t>(rng() % 50);
            o.i = p.column == 2 ? v % 2 : v * 10 - 20 - static_cast<std::int64_t>(rng() % 3);
            o.f = static_cast<double>(v) / 4 + (rng() % 2 ? 0.1 : 0);
            o.s = (p.column == 6 ? "secret " : "t") + std::to_string(v);
            if (rng() % 5 == 0) o.s.clear();
            p.operands.push_back(o);
        }
        Filter f;
        f.any_of = {{p}};
        auto scan = Scan::plan(t, {p.column}, f, false);
        ASSERT_TRUE(scan.ok());
        skipped_total += (*scan)->chunks_skipped();
        std::size_t via_scan = 0, everywhere = 0;
        for (std::size_t chunk : (*scan)->chunks()) {
            auto b = (*scan)->read(chunk);
            ASSERT_TRUE(b.ok());
            via_scan += b->num_rows;
        }
        for (std::size_t chunk = 0; chunk < t->chunk_count(); ++chunk) {
            auto c = t->read_column(chunk, p.column);
            ASSERT_TRUE(c.ok());
            std::vector<std::uint8_t> keep(c->length, 1);
            apply_predicate(*c, p, keep);
            everywhere += static_cast<std::size_t>(std::count(keep.begin(), keep.end(), 1));
        }
        EXPECT_EQ(via_scan, everywhere) << "query " << q << " column " << p.column << " op " << static_cast<int>(p.op);
    }
    EXPECT_GT(skipped_total, 400u);  // the footer does rule chunks out
}

TEST(Scan, StreamHandsOutChunksInFileOrderOnSeveralThreads) {
    TempPath path("order.sarn");
    write_typed(path, 40, 2);
    auto t = open_keyed(path.str());
    for (unsigned threads : {1u, 2u, 5u}) {
        auto scan = Scan::plan(t, {0, 3}, {}, false);
        ASSERT_TRUE(scan.ok());
        BatchStream stream(*scan, threads);
        std::size_t expected_chunk = 0;
        for (;;) {
            auto b = stream.next();
            ASSERT_TRUE(b.ok());
            if (!*b) break;
            EXPECT_EQ((*b)->chunk, expected_chunk++);
        }
        EXPECT_EQ(expected_chunk, 20u);
        EXPECT_EQ(stream.stats().chunks_read, 20u);
        EXPECT_EQ(stream.stats().rows_read, 40u);
    }
}

TEST(ArrowExport, StreamCarriesSchemaAndBuffers) {
    TempPath path("arrow.sarn");
    write_typed(path, 9, 3);
    auto t = open_keyed(path.str());
    auto scan = Scan::plan(t, {0, 1, 2, 3, 4, 5, 6}, {}, true);
    ASSERT_TRUE(scan.ok());
    ArrowArrayStream stream;
    sarn::arrow_bridge::export_stream(std::make_unique<BatchStream>(*scan, 2), &stream);
    ArrowSchema schema;
    ASSERT_EQ(stream.get_schema(&stream, &schema), 0);
    EXPECT_STREQ(schema.format, "+s");
    ASSERT_EQ(schema.n_children, 7);
    const char* formats[] = {"l", "g", "b", "u", "z", "u", "u"};
    for (int i = 0; i < 7; ++i) EXPECT_STREQ(schema.children[i]->format, formats[i]);
    EXPECT_STREQ(schema.children[3]->name, "t");
    EXPECT_EQ(schema.children[0]->metadata, nullptr);
    schema.release(&schema);
    EXPECT_EQ(schema.release, nullptr);

    int batches = 0;
    for (;;) {
        ArrowArray a;
        ASSERT_EQ(stream.get_next(&stream, &a), 0);
        if (!a.release) break;
        ASSERT_EQ(a.length, 3);
        ASSERT_EQ(a.n_children, 7);
        ArrowArray* k = a.children[0];
        ArrowArray* text = a.children[3];
        if (batches == 1) {
            EXPECT_EQ(k->null_count, 3);
            EXPECT_NE(k->buffers[0], nullptr);
        } else {
            EXPECT_EQ(k->null_count, 0);
            const auto* values = static_cast<const std::int64_t*>(k->buffers[1]);
            EXPECT_EQ(values[0], batches * 30 - 20);
            const auto* offsets = static_cast<const std::int32_t*>(text->buffers[1]);
            const auto* bytes = static_cast<const char*>(text->buffers[2]);
            EXPECT_EQ(std::string(bytes + offsets[0], bytes + offsets[1]), "t" + std::to_string(batches * 3));
        }
        // A consumer may move a child out and release it on its own.
        ArrowArray moved = *a.children[4];
        a.children[4]->release = nullptr;
        moved.release(&moved);
        a.release(&a);
        ++batches;
    }
    EXPECT_EQ(batches, 3);
    stream.release(&stream);
    EXPECT_EQ(stream.release, nullptr);
}

TEST(ArrowExport, DamagedBlockFailsTheStreamWithItsPlace) {
    TempPath path("damaged.sarn");
    write_typed(path, 9, 3);
    Bytes bytes = sarn_test::read_file(path.str());
    auto t = open_keyed(path.str());
    const std::uint64_t at = t->reader().block_meta(2, 3).offset + 13;
    bytes[at] ^= 0x40;
    sarn_test::write_file(path.str(), bytes);
    t = open_keyed(path.str());
    auto scan = Scan::plan(t, {3}, {}, true);
    ASSERT_TRUE(scan.ok());
    ArrowArrayStream stream;
    sarn::arrow_bridge::export_stream(std::make_unique<BatchStream>(*scan, 2), &stream);
    int rc = 0;
    for (int i = 0; i < 3 && rc == 0; ++i) {
        ArrowArray a;
        rc = stream.get_next(&stream, &a);
        if (rc == 0) a.release(&a);
    }
    EXPECT_EQ(rc, EIO);
    const std::string error = stream.get_last_error(&stream);
    EXPECT_NE(error.find("chunk 2, column 3 ('t'), block at offset"), std::string::npos) << error;
    EXPECT_NE(error.find("CRC-32"), std::string::npos) << error;
    stream.release(&stream);
}
