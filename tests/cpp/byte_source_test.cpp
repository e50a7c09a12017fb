// Reading containers through a source that fetches: coalescing of ranges,
// the pieces a FetchedRanges holds, and the requests open() and scans send
// (counted by a source that serves a file's bytes from memory, as an object
// store would a range at a time).
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

#include "container/byte_source.hpp"
#include "container/writer.hpp"
#include "container_test_support.hpp"
#include "query/scan.hpp"

using namespace sarn::container;
using namespace sarn::query;
using sarn_test::TempPath;

namespace {

// The bytes of a file, served a range at a time like an object in a store:
// every range is one request, recorded.
class MemorySource final : public ByteSource {
public:
    MemorySource(std::string name, Bytes data) : name_(std::move(name)), data_(std::move(data)) {}

    const std::string& name() const noexcept override { return name_; }
    std::uint64_t size() const noexcept override { return size_override_ ? *size_override_ : data_.size(); }
    bool fetches() const noexcept override { return true; }
    Result<Bytes> read_at(std::uint64_t offset, std::uint64_t length) const override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            requests_.push_back({offset, length});
        }
        if (fail_) return Error::os(EACCES, "Access Denied", name_);
        if (offset > data_.size() || length > data_.size() - offset) {
            // A store answers a range past the end with what it has.
            return Error::format("unexpected end of file at offset " + std::to_string(data_.size()));
        }
        count(length, 1);
        return Bytes(data_.begin() + static_cast<std::ptrdiff_t>(offset),
                     data_.begin() + static_cast<std::ptrdiff_t>(offset + length));
    }

    std::vector<ByteRange> requests() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return requests_;
    }
    void clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.clear();
    }
    void fail_from_now() { fail_ = true; }
    void claim_size(std::uint64_t n) { size_override_ = n; }

private:
    std::string name_;
    Bytes data_;
    std::optional<std::uint64_t> size_override_;
    std::atomic<bool> fail_{false};
    mutable std::mutex mutex_;
    mutable std::vector<ByteRange> requests_;
};

Bytes file_bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

// 40 chunks of 100 rows: `k` ascending integers (so a range filter keeps a
// run of chunks), `t` text, `u` a long text that makes the blocks large.
std::string write_sorted(const TempPath& path) {
    std::vector<ColumnSchema> schema = {sarn_test::column("k", TYPE_INT), sarn_test::column("t", TYPE_TEXT),
                                        sarn_test::column("u", TYPE_TEXT)};
    auto w = StreamingSarnWriter::create(path.str(), schema, 100);
    EXPECT_TRUE(w.ok());
    std::uint64_t noise = 12345;
    for (int chunk = 0; chunk < 40; ++chunk) {
        std::vector<Row> rows;
        for (int i = 0; i < 100; ++i) {
            const int k = chunk * 100 + i;
            std::string u;
            for (int j = 0; j < 40; ++j) {
                noise = noise * 6364136223846793005ULL + 1442695040888963407ULL;
                u.push_back(static_cast<char>('a' + (noise >> 60)));
            }
            rows.push_back({Value::from_int(k), Value::from_text("t" + std::to_string(k % 7)), Value::from_text(u)});
        }
        EXPECT_TRUE(w->write_chunk(rows).ok());
    }
    EXPECT_TRUE(w->finish().ok());
    return path.str();
}

std::vector<std::int64_t> read_k(const std::shared_ptr<TableReader>& t, Filter filter, unsigned threads) {
    auto scan = Scan::plan(t, {0}, std::move(filter), false);
    EXPECT_TRUE(scan.ok());
    BatchStream stream(*scan, threads);
    std::vector<std::int64_t> out;
    for (;;) {
        auto b = stream.next();
        EXPECT_TRUE(b.ok()) << (b.ok() ? "" : b.error().message);
        if (!b.ok() || !*b) break;
        for (std::size_t i = 0; i < (*b)->num_rows; ++i) out.push_back((*b)->columns[0].int_at(i));
    }
    return out;
}

Filter k_between(std::int64_t lo, std::int64_t hi) {
    Predicate a{0, CompareOp::Ge, {FilterOperand{lo, 0, {}}}};
    Predicate b{0, CompareOp::Le, {FilterOperand{hi, 0, {}}}};
    return Filter{{{a, b}}};
}

}  // namespace

TEST(Coalesce, MergesNeighboursOnlyWhileTheGapsStaySmall) {
    struct Case {
        std::vector<ByteRange> in;
        CoalescePolicy policy;
        std::vector<ByteRange> out;
    };
    const CoalescePolicy def{};
    const std::vector<Case> cases = {
        {{}, def, {}},
        {{{5, 0}}, def, {}},  // empty ranges need no request
        {{{100, 10}, {0, 10}}, def, {{0, 10}, {100, 10}}},  // sorted; a gap larger than an eighth stays
        {{{0, 10}, {10, 10}}, def, {{0, 20}}},  // touching
        {{{0, 10}, {5, 20}, {8, 2}}, def, {{0, 25}}},  // overlapping and contained
        {{{0, 800}, {900, 100}}, def, {{0, 1000}}},  // a gap of 100 for 900 needed: within an eighth
        {{{0, 800}, {920, 99}}, def, {{0, 800}, {920, 99}}},  // 120 is more than 899 / 8
        // The gaps of a run add up: 25 + 25 is more than an eighth of 300.
        {{{0, 100}, {125, 100}, {250, 100}}, def, {{0, 225}, {250, 100}}},
        {{{0, 1000000}, {1000010, 1000000}}, {4, 1 << 30}, {{0, 1000000}, {1000010, 1000000}}},  // max_gap
        {{{0, 600}, {600, 600}, {1200, 400}}, {64, 1000}, {{0, 600}, {600, 1000}}},  // touching: up to max_request
        {{{0, 600}, {610, 600}}, {64, 1000}, {{0, 600}, {610, 600}}},  // a bridged gap too
        {{{0, 1500}, {1400, 600}}, {64, 1000}, {{0, 2000}}},  // overlapping: one request, however long
    };
    for (std::size_t i = 0; i < cases.size(); ++i) EXPECT_EQ(coalesce(cases[i].in, cases[i].policy), cases[i].out) << i;
}

TEST(FetchedRanges, EnsureFetchesOnlyWhatNoPieceHoldsAndJoinsThePieces) {
    Bytes data(1000);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 31);
    auto base = std::make_shared<MemorySource>("mem://x", data);
    FetchedRanges held(base);
    held.add(100, Bytes(data.begin() + 100, data.begin() + 200));
    held.add(300, Bytes(data.begin() + 300, data.begin() + 350));
    ASSERT_TRUE(held.ensure({150, 250}).ok());  // 150..400: misses 200..300 and 350..400
    EXPECT_EQ(base->requests(), (std::vector<ByteRange>{{200, 100}, {350, 50}}));
    EXPECT_EQ(held.held(), 300u);  // one piece, 100..400
    base->clear();
    auto inside = held.read_at(120, 270);
    ASSERT_TRUE(inside.ok());
    EXPECT_EQ(*inside, Bytes(data.begin() + 120, data.begin() + 390));
    EXPECT_TRUE(base->requests().empty());
    ASSERT_TRUE(held.ensure({100, 300}).ok());  // held already
    EXPECT_TRUE(base->requests().empty());
    auto outside = held.read_at(390, 20);  // runs past the piece: the base serves it
    ASSERT_TRUE(outside.ok());
    EXPECT_EQ(*outside, Bytes(data.begin() + 390, data.begin() + 410));
    EXPECT_EQ(base->requests(), (std::vector<ByteRange>{{390, 20}}));
}

TEST(FetchingSource, OpenAsksForTheHeadAndTheTailAtOnce) {
    TempPath path("fetch_open.sarn");
    const Bytes data = file_bytes(write_sorted(path));
    auto source = std::make_shared<MemorySource>("s3://bucket/sorted.sarn", data);
    auto t = TableReader::open(source);
    ASSERT_TRUE(t.ok()) << t.error().message;
    EXPECT_EQ((*t)->path(), "s3://bucket/sorted.sarn");
    EXPECT_EQ((*t)->chunk_count(), 40u);
    const auto opened = source->requests();
    ASSERT_LE(opened.size(), 2u);
    std::uint64_t fetched = 0;
    for (const auto& r : opened) fetched += r.length;
    EXPECT_EQ(fetched, std::min<std::uint64_t>(data.size(), 16 * 1024 + 64 * 1024));
}

TEST(FetchingSource, ALongFooterTakesOneMoreRequestForWhatTheTailMissed) {
    // 400 chunks of one row in 16 columns of random text: a footer longer
    // than the 64 KiB tail open() asks for first.
    TempPath path("fetch_long_footer.sarn");
    std::vector<ColumnSchema> schema;
    for (int c = 0; c < 16; ++c) schema.push_back(sarn_test::column("c" + std::to_string(c), TYPE_TEXT));
    auto w = StreamingSarnWriter::create(path.str(), schema, 1);
    ASSERT_TRUE(w.ok());
    std::uint64_t noise = 99;
    for (int i = 0; i < 400; ++i) {
        Row row;
        for (int c = 0; c < 16; ++c) {
            std::string text;
            for (int j = 0; j < 16; ++j) {
                noise = noise * 6364136223846793005ULL + 1442695040888963407ULL;
                text.push_back(static_cast<char>('a' + (noise >> 60)));
            }
            row.push_back(Value::from_text(text));
        }
        const std::vector<Row> one = {row};
        ASSERT_TRUE(w->write_chunk(one).ok());
    }
    ASSERT_TRUE(w->finish().ok());
    const Bytes data = file_bytes(path.str());
    auto source = std::make_shared<MemorySource>("s3://bucket/long.sarn", data);
    auto t = TableReader::open(source);
    ASSERT_TRUE(t.ok()) << t.error().message;
    const auto& h = (*t)->reader().header();
    ASSERT_GT(h.footer_len + 16, 64u * 1024) << "the footer must be longer than the tail";
    const auto opened = source->requests();
    ASSERT_EQ(opened.size(), 3u);
    // The third asks for exactly what the tail did not hold.
    EXPECT_EQ(opened[2], (ByteRange{h.footer_offset, data.size() - 64 * 1024 - h.footer_offset}));
}

TEST(FetchingSource, ScansFetchOnlyTheBlocksOfTheChunksAndColumnsTheyNeed) {
    TempPath path("fetch_scan.sarn");
    const std::string local = write_sorted(path);
    auto file = TableReader::open(local);
    ASSERT_TRUE(file.ok());
    auto source = std::make_shared<MemorySource>("s3://bucket/sorted.sarn", file_bytes(local));
    auto remote = TableReader::open(source);
    ASSERT_TRUE(remote.ok());
    for (unsigned threads : {1u, 2u, 4u}) {
        // Rows 1250..1849: chunks 12 to 18 survive the footer.
        source->clear();
        const auto before = source->counts();
        const auto got = read_k(*remote, k_between(1250, 1849), threads);
        EXPECT_EQ(got, read_k(*file, k_between(1250, 1849), threads)) << threads;
        ASSERT_EQ(got.size(), 600u);
        // Needed: column k of chunks 12..18; the other columns lie between,
        // and are far larger than an eighth of it: never fetched.
        std::uint64_t needed = 0;
        for (std::size_t chunk = 12; chunk <= 18; ++chunk) needed += (*remote)->reader().block_range(chunk, 0).length;
        const auto after = source->counts();
        EXPECT_EQ(after.bytes - before.bytes, needed) << threads;
        for (const ByteRange& r : source->requests()) {
            bool inside_a_k_block = false;
            for (std::size_t chunk = 12; chunk <= 18; ++chunk) {
                const ByteRange b = (*remote)->reader().block_range(chunk, 0);
                inside_a_k_block |= r.offset == b.offset && r.length == b.length;
            }
            EXPECT_TRUE(inside_a_k_block) << threads << ": " << r.offset << "+" << r.length;
        }
    }
    // Every column of every chunk: the chunk data (this file is small: one
    // window, one request).
    source->clear();
    auto all = Scan::plan(*remote, {0, 1, 2}, Filter{}, false);
    ASSERT_TRUE(all.ok());
    BatchStream stream(*all, 2);
    std::size_t rows = 0;
    for (;;) {
        auto b = stream.next();
        ASSERT_TRUE(b.ok()) << b.error().message;
        if (!*b) break;
        rows += (*b)->num_rows;
    }
    EXPECT_EQ(rows, 4000u);
    const auto& h = (*remote)->reader().header();
    std::uint64_t fetched = 0;
    for (const ByteRange& r : source->requests()) fetched += r.length;
    EXPECT_EQ(fetched, h.footer_offset - h.header_size);
}

TEST(FetchingSource, FailuresReachTheReaderAndEndTheStream) {
    TempPath path("fetch_fail.sarn");
    const Bytes data = file_bytes(write_sorted(path));
    // A failed request: its error, with the object's name, from next().
    auto denied = std::make_shared<MemorySource>("s3://bucket/denied.sarn", data);
    auto t = TableReader::open(denied);
    ASSERT_TRUE(t.ok());
    denied->fail_from_now();
    auto scan = Scan::plan(*t, {0, 1}, Filter{}, false);
    ASSERT_TRUE(scan.ok());
    for (unsigned threads : {1u, 3u}) {
        BatchStream stream(*scan, threads);
        auto b = stream.next();
        ASSERT_FALSE(b.ok());
        EXPECT_EQ(b.error().errnum, EACCES);
        auto after = stream.next();  // the stream is at its end
        ASSERT_TRUE(after.ok());
        EXPECT_FALSE(*after);
    }
    // An object cut short: open() finds no sound trailer.
    auto cut = std::make_shared<MemorySource>("s3://bucket/cut.sarn", Bytes(data.begin(), data.end() - 1000));
    auto opened = TableReader::open(cut);
    ASSERT_FALSE(opened.ok());
    EXPECT_EQ(opened.error().kind, sarn::common::ErrorKind::Format);
    EXPECT_EQ(opened.error().message.rfind("s3://bucket/cut.sarn: incomplete container", 0), 0u)
        << opened.error().message;
    // An object that serves fewer bytes than its size said (it changed
    // after its size was taken): a fault of the file at the offset.
    auto shrunk = std::make_shared<MemorySource>("s3://bucket/shrunk.sarn", Bytes(data.begin(), data.end() - 1000));
    shrunk->claim_size(data.size());
    auto short_read = TableReader::open(shrunk);
    ASSERT_FALSE(short_read.ok());
    EXPECT_EQ(short_read.error().kind, sarn::common::ErrorKind::Format);
    EXPECT_NE(short_read.error().message.find("unexpected end of file"), std::string::npos)
        << short_read.error().message;
}

TEST(FetchingSource, VerifyFetchesEachChunkInOneRequest) {
    TempPath path("fetch_verify.sarn");
    auto source = std::make_shared<MemorySource>("s3://bucket/v.sarn", file_bytes(write_sorted(path)));
    auto t = TableReader::open(source);
    ASSERT_TRUE(t.ok());
    source->clear();
    auto verified = (*t)->verify();
    ASSERT_TRUE(verified.ok()) << verified.error().message;
    EXPECT_EQ(source->requests().size(), 40u);
}
