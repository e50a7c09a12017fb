// encode_chunk and append_chunk: chunks encoded on several threads, in any
// order, and appended in order give the bytes of write_chunk; a chunk that
// does not fit the writer is refused without writing anything.
#include <gtest/gtest.h>

#include <array>
#include <fstream>
#include <atomic>
#include <thread>

#include "container_test_support.hpp"
#include "codec/codec.hpp"
#include "container/chunk_decode.hpp"
#include "container/encoded_chunk.hpp"
#include "container/reader.hpp"
#include "container/writer.hpp"
#include "pipeline/chunk_pipeline.hpp"

namespace {

using sarn::common::Bytes;
using sarn::container::ColumnSchema;
using sarn::container::EncodedChunk;
using sarn::container::StreamingSarnWriter;
using sarn::container::TextBatch;
using sarn_test::TempPath;

// Two text columns, the second enciphered (its cipher depends on the chunk
// index), and an integer column that sees the cells as text.
std::vector<ColumnSchema> mixed_schema() {
    std::vector<ColumnSchema> schema{sarn_test::column("name"), sarn_test::column("secret"),
                                     sarn_test::column("n", sarn::container::TYPE_INT)};
    schema[1].encrypted = 1;
    for (std::size_t i = 0; i < schema[1].key.size(); ++i) schema[1].key[i] = static_cast<std::uint8_t>(i * 7);
    return schema;
}

std::vector<TextBatch> batches(std::size_t count, std::size_t rows) {
    std::vector<TextBatch> out;
    for (std::size_t b = 0; b < count; ++b) {
        TextBatch batch(3);
        for (std::size_t r = 0; r < rows; ++r) {
            batch.push_cell("row" + std::to_string(b * rows + r));
            batch.push_cell(r % 5 ? "s" + std::to_string(r % 13) : "");
            batch.push_cell(std::to_string((b * rows + r) * 3));
        }
        out.push_back(std::move(batch));
    }
    return out;
}

Bytes without_time(Bytes f) {
    std::fill(f.begin() + 24, f.begin() + 32, 0);
    return f;
}

// The file write_chunk makes of `input`, creation time zeroed: what every
// other way of appending the same chunks must give.
Bytes written_serially(const std::vector<ColumnSchema>& schema, const std::vector<TextBatch>& input,
                       std::uint32_t chunk_size) {
    TempPath serial("serial.sarn");
    auto w = StreamingSarnWriter::create(serial.str(), schema, chunk_size);
    EXPECT_TRUE(w);
    if (!w) return {};
    for (const TextBatch& b : input) EXPECT_TRUE(w->write_chunk(b));
    EXPECT_TRUE(w->finish());
    return without_time(sarn_test::read_file(serial.str()));
}

TEST(EncodedChunk, ParallelEncodingAppendedInOrderMatchesWriteChunk) {
    const auto schema = mixed_schema();
    const auto input = batches(4, 500);
    TempPath parallel("parallel.sarn");
    std::vector<EncodedChunk> encoded(input.size());
    {
        std::vector<std::thread> threads;
        for (std::size_t i = input.size(); i-- > 0;) {  // started last chunk first
            threads.emplace_back([&, i] {
                auto c = sarn::container::encode_chunk(schema, static_cast<std::uint32_t>(i), input[i]);
                ASSERT_TRUE(c);
                encoded[i] = std::move(*c);
            });
        }
        for (auto& t : threads) t.join();
    }
    auto w = StreamingSarnWriter::create(parallel.str(), schema, 500);
    ASSERT_TRUE(w);
    for (EncodedChunk& c : encoded) ASSERT_TRUE(w->append_chunk(std::move(c)));
    ASSERT_TRUE(w->finish());
    EXPECT_TRUE(written_serially(schema, input, 500) == without_time(sarn_test::read_file(parallel.str())));
}

TEST(EncodedChunk, ChunkThatDoesNotFitIsRefusedAndNothingWritten) {
    const auto schema = mixed_schema();
    const auto input = batches(2, 10);
    TempPath path("refused.sarn");
    auto w = StreamingSarnWriter::create(path.str(), schema, 10);
    ASSERT_TRUE(w);
    const std::uint64_t start = w->position();

    auto second = sarn::container::encode_chunk(schema, 1, input[1]);
    ASSERT_TRUE(second);
    EXPECT_FALSE(w->append_blocks(*second, 1));  // chunk 0 is due, also for its blocks alone
    auto r = w->append_chunk(std::move(*second));
    ASSERT_FALSE(r);
    EXPECT_NE(r.error().message.find("does not fit"), std::string::npos) << r.error().message;

    auto narrow = sarn::container::encode_chunk(std::span<const ColumnSchema>(schema).first(2), 0, input[0]);
    ASSERT_TRUE(narrow);
    EXPECT_FALSE(w->append_chunk(std::move(*narrow)));  // encoded for another schema
    EXPECT_EQ(w->position(), start);
    EXPECT_EQ(w->chunk_count(), 0u);

    auto first = sarn::container::encode_chunk(schema, 0, input[0]);
    ASSERT_TRUE(first);
    EXPECT_FALSE(w->append_blocks(*first, schema.size() + 1));  // no such block
    EXPECT_EQ(first->blocks_written, 0u);
    EXPECT_EQ(w->position(), start);
    EXPECT_TRUE(w->append_chunk(std::move(*first)));
    EXPECT_EQ(w->chunk_count(), 1u);

    // A failing block sink ends the encoding with its error.
    auto failed = sarn::container::encode_chunk(
        schema, 1, input[1], nullptr, nullptr,
        [](EncodedChunk&, std::size_t) -> sarn::common::Result<void> { return sarn::common::Error::io("disk full"); });
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error().message, "disk full");
}

TEST(EncodedChunk, BlocksWrittenAheadGiveTheSameFile) {
    // Chunk 0 hands every block to the writer as it is made, chunk 1 every
    // second one, chunk 2 none; append_chunk then writes what is left.
    const auto schema = mixed_schema();
    const auto input = batches(3, 40);
    TempPath streamed("streamed.sarn");
    auto w = StreamingSarnWriter::create(streamed.str(), schema, 40);
    ASSERT_TRUE(w);
    for (std::uint32_t i = 0; i < input.size(); ++i) {
        std::size_t calls = 0;
        const sarn::container::BlockSink sink = [&](EncodedChunk& chunk, std::size_t complete) {
            EXPECT_EQ(complete, ++calls);
            if (i == 0 || (i == 1 && complete % 2 == 0)) {
                auto r = w->append_blocks(chunk, complete);
                if (r) {
                    EXPECT_EQ(chunk.blocks_written, complete);
                    EXPECT_TRUE(chunk.blocks[complete - 1].data.empty());  // released once written
                }
                return r;
            }
            return sarn::common::Result<void>{};
        };
        auto c = sarn::container::encode_chunk(schema, i, input[i], nullptr, nullptr, sink);
        ASSERT_TRUE(c);
        EXPECT_EQ(calls, schema.size());
        ASSERT_TRUE(w->append_chunk(std::move(*c)));
    }
    ASSERT_TRUE(w->finish());
    EXPECT_TRUE(written_serially(schema, input, 40) == without_time(sarn_test::read_file(streamed.str())));
}

// Many small chunks through the pipeline on several threads: chunks are
// written by encoders and driver alike, the oldest one block by block, and
// the file is the one write_chunk gives.
TEST(ChunkPipelineOrder, ManyChunksOnSeveralThreadsMatchWriteChunk) {
    const auto schema = mixed_schema();
    const auto input = batches(60, 37);
    const Bytes expected = written_serially(schema, input, 37);
    for (unsigned threads : {1u, 2u, 3u, 8u}) {
        TempPath path("piped.sarn");
        auto w = StreamingSarnWriter::create(path.str(), schema, 37);
        ASSERT_TRUE(w);
        {
            sarn::pipeline::ChunkPipeline pipeline(*w, threads);
            auto fresh = batches(input.size(), 37);  // submit() takes the cells over
            for (std::size_t i = 0; i < fresh.size(); ++i) {
                ASSERT_TRUE(pipeline.submit(fresh[i]));
                if (i % 7 == 0) {
                    ASSERT_TRUE(pipeline.poll());
                }
            }
            ASSERT_TRUE(pipeline.finish());
        }
        EXPECT_EQ(w->chunk_count(), input.size());
        ASSERT_TRUE(w->finish());
        EXPECT_TRUE(without_time(sarn_test::read_file(path.str())) == expected) << threads << " threads";
    }
}

TEST(EncodedChunk, StopFlagEndsEncodingEarly) {
    const auto schema = mixed_schema();
    const auto input = batches(1, 100);
    std::atomic<bool> stop{true};
    auto c = sarn::container::encode_chunk(schema, 0, input[0], &stop);
    ASSERT_FALSE(c);
    EXPECT_EQ(c.error().message, sarn::container::STOPPED_TEXT);
}

}  // namespace

namespace {

// The batch's cell index switches from 16-bit to 32-bit ends when a row
// reaches 64 KiB, in the middle of a row and of a batch; every cell reads
// back the same before and after, and after clear().
TEST(TextBatchIndex, RowsPast64KiBWidenTheIndex) {
    TextBatch batch(3);
    {
        // Narrow ends first: the same gather before any row is long.
        for (const char* cell : {"a", "", "bc", "d", "ef", ""}) batch.push_cell(cell);
        std::vector<std::string_view> middle(2);
        batch.column_cells(1, middle.data());
        EXPECT_EQ(middle[0], "");
        EXPECT_EQ(middle[1], "ef");
        batch.clear();
    }
    std::vector<std::array<std::string, 3>> rows = {
        {"a", "", "bc"},
        {std::string(65534, 'x'), "yz", "tail"},  // the row crosses 65,535 bytes at its second cell
        {"d", std::string(70000, 'q'), ""},
        {"", "", "e"},
    };
    for (int pass = 0; pass < 2; ++pass) {
        for (const auto& row : rows)
            for (const auto& cell : row) batch.push_cell(cell);
        ASSERT_EQ(batch.row_count(), rows.size());
        for (std::size_t r = 0; r < rows.size(); ++r)
            for (std::size_t c = 0; c < 3; ++c) EXPECT_EQ(batch.cell(r, c), rows[r][c]) << pass << r << c;
        // The column-wise gather the encoder uses reads the same cells.
        for (std::size_t c = 0; c < 3; ++c) {
            std::vector<std::string_view> column(rows.size());
            batch.column_cells(c, column.data());
            for (std::size_t r = 0; r < rows.size(); ++r) EXPECT_EQ(column[r], rows[r][c]) << pass << r << c;
        }
        batch.clear();
    }
}

// A container written at any compression level reads back, through the
// verifying reader, to the values of the level-1 container: plain, enciphered
// and integer columns, and text columns of a real file.  Level 1 gives the
// bytes of a writer created without a level; no level gives a larger file.
TEST(EncodedChunk, EveryLevelReadsBackTheSameValues) {
    std::vector<TextBatch> input = batches(2, 3000);
    {
        // Flights rows in the first column, so that the deeper levels have
        // real text to work on.
        std::ifstream in(std::string(SARN_DATA_DIR) + "/flights-3m.csv");
        ASSERT_TRUE(in);
        std::string line;
        std::getline(in, line);
        for (TextBatch& b : input) {
            TextBatch with_flights(3);
            for (std::size_t r = 0; r < b.row_count(); ++r) {
                ASSERT_TRUE(std::getline(in, line));
                with_flights.push_cell(line);
                with_flights.push_cell(b.cell(r, 1));
                with_flights.push_cell(b.cell(r, 2));
            }
            b = std::move(with_flights);
        }
    }
    const std::vector<ColumnSchema> schema = mixed_schema();
    const Bytes by_default = written_serially(schema, input, 3000);

    const auto values_of = [&](const std::string& path) {
        std::vector<std::vector<sarn::container::Value>> out;
        auto reader = sarn::container::SarnReader::open(path);
        EXPECT_TRUE(reader) << reader.error().message;
        if (!reader) return out;
        reader->set_column_key(1, schema[1].key);
        for (std::size_t k = 0; k < reader->chunk_count(); ++k) {
            auto chunk = reader->read_chunk(k);
            EXPECT_TRUE(chunk) << chunk.error().message;
            if (!chunk) return out;
            for (auto& col : chunk->columns) {
                std::vector<sarn::container::Value> values;
                for (std::size_t i = 0; i < col.column->length; ++i)
                    values.push_back(sarn::container::stored_value(*col.column, i));
                out.push_back(std::move(values));
            }
        }
        return out;
    };

    std::vector<std::vector<sarn::container::Value>> level1_values;
    std::size_t level1_size = 0;
    std::size_t smaller = 0;
    for (int level = sarn::codec::MIN_LEVEL; level <= sarn::codec::MAX_LEVEL; ++level) {
        TempPath path("level" + std::to_string(level) + ".sarn");
        auto w = StreamingSarnWriter::create(path.str(), schema, 3000, level);
        ASSERT_TRUE(w);
        EXPECT_EQ(w->level(), level);
        for (const TextBatch& b : input) ASSERT_TRUE(w->write_chunk(b));
        ASSERT_TRUE(w->finish());
        const Bytes file = without_time(sarn_test::read_file(path.str()));
        auto values = values_of(path.str());
        ASSERT_EQ(values.size(), 2 * schema.size()) << "level " << level;
        EXPECT_EQ(values[0][17].text(), input[0].cell(17, 0)) << "level " << level;
        if (level == 1) {
            EXPECT_EQ(file, by_default);
            level1_values = std::move(values);
            level1_size = file.size();
            continue;
        }
        EXPECT_TRUE(values == level1_values) << "level " << level;
        EXPECT_LE(file.size(), level1_size) << "level " << level;
        smaller += file.size() < level1_size;

        // encode_chunk at this level, appended by hand, gives the same file.
        TempPath appended("appended" + std::to_string(level) + ".sarn");
        auto a = StreamingSarnWriter::create(appended.str(), schema, 3000, level);
        ASSERT_TRUE(a);
        for (std::uint32_t k = 0; k < input.size(); ++k) {
            auto chunk = sarn::container::encode_chunk(schema, k, input[k], nullptr, nullptr, {}, level);
            ASSERT_TRUE(chunk);
            ASSERT_TRUE(a->append_chunk(std::move(*chunk)));
        }
        ASSERT_TRUE(a->finish());
        EXPECT_EQ(without_time(sarn_test::read_file(appended.str())), file) << "level " << level;
    }
    EXPECT_EQ(smaller, static_cast<std::size_t>(sarn::codec::MAX_LEVEL - 1));
}

TEST(EncodedChunk, IntegerCellsMustBeCanonical) {
    // A batch's integer column is its cells' values; a cell that would not
    // print back as it is (here "+5", and "08") is refused, never stored as 0.
    const std::vector<ColumnSchema> schema{sarn_test::column("n", sarn::container::TYPE_INT)};
    for (const char* bad : {"+5", "08", "", "1.0", "9223372036854775808"}) {
        TextBatch batch(1);
        batch.push_cell("1");
        batch.push_cell(bad);
        auto chunk = sarn::container::encode_chunk(schema, 3, batch);
        ASSERT_FALSE(chunk) << bad;
        EXPECT_EQ(chunk.error().kind, sarn::common::ErrorKind::Input);
        EXPECT_EQ(chunk.error().message,
                  "chunk 3, row 2, column 'n': '" + std::string(bad) + "' " + sarn::container::NOT_INTEGER_TEXT);
    }
    TextBatch good(1);
    for (const char* v : {"-9223372036854775808", "0", "9223372036854775807"}) good.push_cell(v);
    auto chunk = sarn::container::encode_chunk(schema, 0, good);
    ASSERT_TRUE(chunk);
    EXPECT_EQ(chunk->metas[0].min_int, INT64_MIN);
    EXPECT_EQ(chunk->metas[0].max_int, INT64_MAX);
    EXPECT_EQ(chunk->metas[0].null_count, 0u);
}

}  // namespace
