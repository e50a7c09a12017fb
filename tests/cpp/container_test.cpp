// The container writer: header, footer and trailer bytes, chunk bookkeeping,
// the text-batch path, failures and a writer dropped without finish.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <random>
#include <sys/resource.h>

#include "container_test_support.hpp"
#include "container/chunk.hpp"
#include "codec/codec.hpp"
#include "container/reader.hpp"

namespace {

using sarn::common::Bytes;
using sarn::container::ColumnSchema;
using sarn::container::Row;
using sarn::container::StreamingSarnWriter;
using sarn::container::Value;
using sarn_test::column;
using sarn_test::le;
using sarn_test::TempPath;
using sarn_test::text;

std::vector<ColumnSchema> text_schema(std::initializer_list<const char*> names) {
    std::vector<ColumnSchema> schema;
    for (const char* n : names) schema.push_back(column(n));
    return schema;
}

Bytes slice(const Bytes& b, std::size_t from, std::size_t len) {
    return Bytes(b.begin() + static_cast<std::ptrdiff_t>(from), b.begin() + static_cast<std::ptrdiff_t>(from + len));
}

TEST(ContainerHeader, ThreeColumnSchemaAndEmptyFooter) {
    TempPath path("three.sarn");
    auto w = StreamingSarnWriter::create(path.str(), text_schema({"a", "bc", "d"}), 65536);
    ASSERT_TRUE(w) << w.error().message;
    EXPECT_EQ(w->position(), 92u);
    auto summary = w->finish();
    ASSERT_TRUE(summary) << summary.error().message;
    EXPECT_EQ(*summary, "SARN v2 (streaming): 0 rows \xC3\x97 3 cols | 0 chunks | dict: 0 entries");

    Bytes f = sarn_test::read_file(path.str());
    ASSERT_EQ(f.size(), 92u + 7 + 16);
    EXPECT_EQ(slice(f, 0, 8), (Bytes{'S', 'A', 'R', 'N', 0x02, 0x00, 0x03, 0x00}));
    EXPECT_EQ(le(f, 8, 8), 0u);  // row_count
    EXPECT_EQ(le(f, 16, 4), 0u);  // chunk_count
    EXPECT_EQ(le(f, 20, 4), 65536u);
    const std::uint64_t created = le(f, 24, 8);
    EXPECT_GT(created, 1700000000u);
    EXPECT_EQ(slice(f, 32, 32), Bytes(32, 0));
    EXPECT_EQ(slice(f, 64, 28),
              (Bytes{0x0E, 0x00, 0x00, 0x00, 0x02, 0x01, 0x61, 0x04, 0x00, 0x02, 0x62, 0x63, 0x04, 0x00,
                     0x01, 0x64, 0x04, 0x00, 0x02, 0,    0,    0,    0,    0,    0,    0,    0x02, 0x00}));
    // Footer: no chunks, three columns, stored; then footer_len 7 and footer_offset 92.
    EXPECT_EQ(slice(f, 92, 7), (Bytes{0x02, 0x00, 0x00, 0x00, 0x00, 0x03, 0x00}));
    EXPECT_EQ(le(f, 99, 8), 7u);
    EXPECT_EQ(le(f, 107, 8), 92u);
}

TEST(ContainerHeader, EmptySchemaLongNamesAndChunkSizeZero) {
    TempPath path("empty.sarn");
    auto w = StreamingSarnWriter::create(path.str(), {}, 0);
    ASSERT_TRUE(w);
    EXPECT_EQ(w->position(), 78u);
    EXPECT_EQ(w->chunk_size(), 1u);  // the writer's own value is raised to 1
    ASSERT_TRUE(w->finish());
    Bytes f = sarn_test::read_file(path.str());
    EXPECT_EQ(le(f, 6, 2), 0u);
    EXPECT_EQ(le(f, 20, 4), 0u);  // the header keeps the 0 it was given
    EXPECT_EQ(le(f, 64, 4), 0u);  // empty schema body: a zero-length block
    EXPECT_EQ(slice(f, 68, 10), (Bytes{0x02, 0, 0, 0, 0, 0, 0, 0, 0x02, 0x00}));
    EXPECT_EQ(le(f, f.size() - 8, 8), 78u);

    // A 200-byte name has the two-byte length varint C8 01.
    TempPath path2("long.sarn");
    auto w2 = StreamingSarnWriter::create(path2.str(), {column(std::string(200, 'n'))}, 1);
    ASSERT_TRUE(w2);
    ASSERT_TRUE(w2->finish());
    Bytes body = *sarn::codec::decompress_block(
        slice(sarn_test::read_file(path2.str()), 68, le(sarn_test::read_file(path2.str()), 64, 4)), 1000);
    ASSERT_EQ(body.size(), 204u);
    EXPECT_EQ(body[0], 0xC8);
    EXPECT_EQ(body[1], 0x01);
    EXPECT_EQ(body[202], 0x04);
    EXPECT_EQ(body[203], 0x00);
}

TEST(ContainerCreate, RefusesWhatItCannotWrite) {
    auto missing = StreamingSarnWriter::create("/nonexistent-dir/x.sarn", text_schema({"a"}), 10);
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().message, "Cannot create /nonexistent-dir/x.sarn: No such file or directory (os error 2)");

    TempPath wide("wide.sarn");
    std::vector<ColumnSchema> schema(65536, column("c"));
    auto refused = StreamingSarnWriter::create(wide.str(), schema, 10);
    ASSERT_FALSE(refused);
    EXPECT_NE(refused.error().message.find("65536 columns"), std::string::npos) << refused.error().message;
    EXPECT_FALSE(std::filesystem::exists(wide.str()));  // refused before the file was touched

    schema.pop_back();  // 65,535 columns still fit the header
    auto widest = StreamingSarnWriter::create(wide.str(), schema, 10);
    ASSERT_TRUE(widest) << widest.error().message;
    ASSERT_TRUE(widest->finish());
    EXPECT_EQ(le(sarn_test::read_file(wide.str()), 6, 2), 65535u);

    TempPath odd("odd.sarn");
    auto unknown = StreamingSarnWriter::create(odd.str(), {column("x", 9)}, 10);
    ASSERT_FALSE(unknown);
    EXPECT_NE(unknown.error().message.find("unknown type code 9"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(odd.str()));
}

TEST(ContainerWriter, ChunksFooterAndHeaderPatch) {
    TempPath path("rows.sarn");
    auto w = StreamingSarnWriter::create(path.str(), text_schema({"k", "v"}), 65536);
    ASSERT_TRUE(w);
    // 100,000 rows in one full chunk and one partial chunk.
    std::vector<Row> rows;
    rows.reserve(65536);
    for (int part = 0; part < 2; ++part) {
        rows.clear();
        const int n = part == 0 ? 65536 : 100000 - 65536;
        for (int i = 0; i < n; ++i) rows.push_back({text(std::to_string(i % 1000)), text("v")});
        ASSERT_TRUE(w->write_chunk(rows));
    }
    EXPECT_EQ(w->chunk_count(), 2u);
    EXPECT_EQ(w->total_rows(), 100000u);
    const auto chunks = w->chunks();
    ASSERT_EQ(chunks.size(), 2u);
    EXPECT_EQ(chunks[0][0].offset, 78u + 9);  // the schema body 01 6B 04 00 01 76 04 00, stored
    EXPECT_EQ(chunks[0][1].offset, chunks[0][0].offset + 12 + chunks[0][0].compressed_len);
    EXPECT_EQ(chunks[1][0].offset, chunks[0][1].offset + 12 + chunks[0][1].compressed_len);
    EXPECT_EQ(chunks[0][0].min_text, "0");
    EXPECT_EQ(chunks[0][0].max_text, "999");
    const std::uint64_t footer_offset = w->position();
    ASSERT_TRUE(w->finish());

    Bytes f = sarn_test::read_file(path.str());
    EXPECT_EQ(le(f, 8, 8), 100000u);
    EXPECT_EQ(le(f, 16, 4), 2u);
    EXPECT_EQ(le(f, f.size() - 8, 8), footer_offset);
    EXPECT_EQ(footer_offset + le(f, f.size() - 16, 8) + 16, f.size());
    auto reader = sarn::container::SarnReader::open(path.str());
    ASSERT_TRUE(reader) << reader.error().message;
    EXPECT_EQ(reader->chunk_rows(0), 65536u);
    EXPECT_EQ(reader->chunk_rows(1), 34464u);
}

TEST(ContainerFooter, EntryBytesOfIntegerAndTextColumns) {
    TempPath path("footer.sarn");
    auto w = StreamingSarnWriter::create(path.str(), {column("n", sarn::container::TYPE_INT), column("t")}, 2);
    ASSERT_TRUE(w);
    std::vector<Row> rows{{sarn_test::integer(-64), text("b")}, {sarn_test::integer(64), text("a")}};
    ASSERT_TRUE(w->write_chunk(rows));
    const auto metas = w->chunks()[0];
    ASSERT_TRUE(w->finish());

    Bytes f = sarn_test::read_file(path.str());
    const std::uint64_t footer_len = le(f, f.size() - 16, 8), footer_offset = le(f, f.size() - 8, 8);
    auto body = sarn::codec::decompress_block(slice(f, footer_offset, footer_len), 1 << 20);
    ASSERT_TRUE(body);

    Bytes expected{0x01, 0x00, 0x00, 0x00, 0x02, 0x00, 0x02, 0x00, 0x00, 0x00};  // 1 chunk, 2 columns, 2 rows
    sarn::container::put_u64(expected, metas[0].offset);
    sarn::container::put_u64(expected, metas[0].compressed_len);
    expected.insert(expected.end(), {0x06, 0, 0, 0, 0, 0x7F, 0x80, 0x01, 0x00, 0x00});  // LINEAR, min -64, max 64
    expected.insert(expected.end(), sarn::container::BLOOM_BYTES, 0);
    sarn::container::put_u64(expected, metas[1].offset);
    sarn::container::put_u64(expected, metas[1].compressed_len);
    expected.insert(expected.end(), {0x00, 0, 0, 0, 0, 0x00, 0x00, 0x01, 'a', 0x01, 'b'});  // PLAIN, texts a..b
    std::array<std::uint8_t, sarn::container::BLOOM_BYTES> bloom{};
    sarn::container::bloom_insert(bloom, "b");
    sarn::container::bloom_insert(bloom, "a");
    expected.insert(expected.end(), bloom.begin(), bloom.end());
    EXPECT_EQ(*body, expected);

    // Each column block: CRC-32 of the payload, its u64 length, the payload.
    for (const auto& m : metas) {
        Bytes payload = slice(f, m.offset + 12, m.compressed_len);
        EXPECT_EQ(le(f, m.offset, 4), sarn::container::crc32(payload));
        EXPECT_EQ(le(f, m.offset + 4, 8), m.compressed_len);
    }
    EXPECT_EQ(metas[0].offset, 78u + 9);
    EXPECT_EQ(metas[1].offset, metas[0].offset + 12 + metas[0].compressed_len);
    EXPECT_EQ(footer_offset, metas[1].offset + 12 + metas[1].compressed_len);
}

TEST(ContainerWriter, IdenticalChunksAreBothWrittenInFull) {
    TempPath path("twice.sarn");
    auto w = StreamingSarnWriter::create(path.str(), {column("n", sarn::container::TYPE_INT)}, 3);
    ASSERT_TRUE(w);
    std::vector<Row> rows{{sarn_test::integer(5)}, {sarn_test::integer(9)}, {sarn_test::integer(-2)}};
    ASSERT_TRUE(w->write_chunk(rows));
    ASSERT_TRUE(w->write_chunk(rows));
    const auto c = w->chunks();  // a copy: finish releases the writer's index
    EXPECT_EQ(c[0][0].offset, 78u + 5);  // the schema body 01 6E 01 00, stored
    EXPECT_EQ(c[1][0].offset, c[0][0].offset + 12 + c[0][0].compressed_len);
    EXPECT_EQ(c[0][0].compressed_len, c[1][0].compressed_len);
    ASSERT_TRUE(w->finish());
    Bytes f = sarn_test::read_file(path.str());
    const std::size_t len = 12 + c[0][0].compressed_len;
    EXPECT_EQ(slice(f, c[0][0].offset, len), slice(f, c[1][0].offset, len));
}

TEST(ContainerWriter, TextBatchWritesTheSameBytesAsRows) {
    // Text, integer and boolean columns, a batch narrower than the schema,
    // and cells of 0, 1 and 200 bytes.  A batch's integer column holds
    // canonical integer texts: the values of the rows' Int cells.
    std::vector<ColumnSchema> schema{column("t"), column("i", sarn::container::TYPE_INT),
                                     column("b", sarn::container::TYPE_BOOL), column("f", sarn::container::TYPE_FLOAT),
                                     column("missing")};
    std::mt19937 rng(7);
    sarn::container::TextBatch batch(4);
    std::vector<Row> rows;
    for (int r = 0; r < 3000; ++r) {
        Row row;
        for (int c = 0; c < 4; ++c) {
            if (c == 1) {
                // Small values, and values far past 32 bits of either sign.
                const std::int64_t v = rng() % 3
                                           ? static_cast<std::int64_t>(rng() % 100) - 50
                                           : (static_cast<std::int64_t>(rng() % 2000001) - 1000000) * 4000000000LL;
                batch.push_cell(std::to_string(v));
                row.push_back(Value::from_int(v));
                continue;
            }
            std::string cell;
            switch (rng() % 4) {
                case 0: break;
                case 1: cell = "true"; break;
                case 2: cell = std::to_string(rng() % 100); break;
                default: cell = std::string(200, static_cast<char>('a' + rng() % 26));
            }
            batch.push_cell(cell);
            row.push_back(text(cell));
        }
        rows.push_back(std::move(row));
    }
    TempPath a("rows.sarn"), b("batch.sarn");
    for (int pass = 0; pass < 2; ++pass) {
        auto w = StreamingSarnWriter::create(pass == 0 ? a.str() : b.str(), schema, 3000);
        ASSERT_TRUE(w);
        ASSERT_TRUE(pass == 0 ? w->write_chunk(rows) : w->write_chunk(batch));
        ASSERT_TRUE(w->finish());
    }
    Bytes fa = sarn_test::read_file(a.str()), fb = sarn_test::read_file(b.str());
    ASSERT_EQ(fa.size(), fb.size());
    std::fill(fa.begin() + 24, fa.begin() + 32, 0);  // created_at may differ
    std::fill(fb.begin() + 24, fb.begin() + 32, 0);
    EXPECT_TRUE(fa == fb);

    auto reader = sarn::container::SarnReader::open(b.str());
    ASSERT_TRUE(reader) << reader.error().message;
    EXPECT_EQ(reader->block_meta(0, 4).null_count, 3000u);  // the column the batch lacks is Null
}

TEST(ContainerWriter, ZeroRowsWriteNothing) {
    TempPath path("zero.sarn");
    auto w = StreamingSarnWriter::create(path.str(), text_schema({"a"}), 10);
    ASSERT_TRUE(w);
    ASSERT_TRUE(w->write_chunk(std::span<const Row>()));
    ASSERT_TRUE(w->write_chunk(sarn::container::TextBatch(1)));
    EXPECT_EQ(w->chunk_count(), 0u);
    EXPECT_EQ(w->position(), 78u + 4 + 1);
    ASSERT_TRUE(w->finish());
    EXPECT_FALSE(w->finish());  // spent
}

TEST(ContainerWriter, DroppedWithoutFinishLeavesHeaderAndBlocks) {
    TempPath path("dropped.sarn");
    std::uint64_t position = 0;
    {
        auto w = StreamingSarnWriter::create(path.str(), text_schema({"a", "b"}), 2);
        ASSERT_TRUE(w);
        std::vector<Row> rows{{text("x"), text("y")}, {text("z")}};
        ASSERT_TRUE(w->write_chunk(rows));
        ASSERT_TRUE(w->write_chunk(rows));
        position = w->position();
        // Nothing has reached the disk yet: it is all in the buffer.
        EXPECT_EQ(std::filesystem::file_size(path.str()), 0u);
    }
    Bytes f = sarn_test::read_file(path.str());
    EXPECT_EQ(f.size(), position);  // header and blocks, no footer or trailer
    EXPECT_EQ(le(f, 8, 8), 0u);
    EXPECT_EQ(le(f, 16, 4), 0u);
    auto reader = sarn::container::SarnReader::open(path.str());
    ASSERT_FALSE(reader);
    EXPECT_NE(reader.error().message.find("incomplete container"), std::string::npos) << reader.error().message;
    EXPECT_NE(reader.error().message.find("never finished"), std::string::npos) << reader.error().message;
}

// Random bytes do not compress, so a chunk of them overflows the write buffer.
std::vector<Row> incompressible_rows(std::size_t rows, std::size_t cell_bytes) {
    std::mt19937_64 rng(1);
    std::vector<Row> out;
    for (std::size_t r = 0; r < rows; ++r) {
        std::string cell(cell_bytes, '\0');
        for (auto& ch : cell) ch = static_cast<char>(rng());
        out.push_back({text(std::move(cell))});
    }
    return out;
}

TEST(ContainerWriter, WriteFailureKeepsTheBookkeeping) {
    if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    auto w = StreamingSarnWriter::create("/dev/full", {column("a"), column("b")}, 1024);
    ASSERT_TRUE(w) << w.error().message;
    std::vector<Row> small{{text("1"), text("2")}};
    ASSERT_TRUE(w->write_chunk(small));  // fits in the buffer
    const std::uint64_t before = w->position();

    // Column a overflows the buffer, so its block must go to the file, which fails.
    auto big = incompressible_rows(1024, sarn::container::WRITE_BUFFER_SIZE / 1024 + 64);
    auto failed = w->write_chunk(big);
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error().message, "No space left on device (os error 28)");
    EXPECT_EQ(w->chunk_count(), 1u);
    EXPECT_EQ(w->total_rows(), 1u);
    EXPECT_EQ(w->chunks().size(), 1u);
    EXPECT_EQ(w->position(), before);  // no column of the failed chunk completed

    auto finished = w->finish();
    ASSERT_FALSE(finished);
    EXPECT_EQ(finished.error().message, "No space left on device (os error 28)");
}

TEST(ContainerWriter, FinishReportsAFailedFlush) {
    if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    auto w = StreamingSarnWriter::create("/dev/full", {column("a")}, 4);
    ASSERT_TRUE(w);
    std::vector<Row> rows{{text("x")}};
    ASSERT_TRUE(w->write_chunk(rows));
    auto finished = w->finish();
    ASSERT_FALSE(finished);
    EXPECT_EQ(finished.error().message, "No space left on device (os error 28)");
}

}  // namespace
