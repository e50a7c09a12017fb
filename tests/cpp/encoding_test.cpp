// Column encoders, views, statistics and the membership filter, and the
// decoders that undo them.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <random>
#include <string_view>

#include "container_test_support.hpp"
#include "container/chunk.hpp"
#include "container/chunk_encode.hpp"
#include "container/chunk_internal.hpp"
#include "container/value_serial_internal.hpp"

namespace {

using sarn::common::Bytes;
using sarn::container::ColumnEncoding;
using sarn::container::Value;
using sarn_test::integer;
using sarn_test::real;
using sarn_test::text;

constexpr std::int64_t I64_MAX = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t I64_MIN = std::numeric_limits<std::int64_t>::min();

sarn::container::internal::EncodedColumn encode_ints(std::vector<std::int64_t> xs) {
    std::vector<Value> values;
    for (auto x : xs) values.push_back(integer(x));
    return sarn::container::internal::encode_column(sarn::container::TYPE_INT, values);
}

TEST(IntegerPipeline, ChoosesAndWritesTheWorkedExamples) {
    struct Case {
        std::vector<std::int64_t> xs;
        ColumnEncoding encoding;
        Bytes payload;
    } cases[] = {
        {{5}, ColumnEncoding::LINEAR, {0x0A, 0x00}},
        {{1, 2, 3, 4}, ColumnEncoding::LINEAR, {0x02, 0x02}},
        {{7, 7, 7}, ColumnEncoding::LINEAR, {0x0E, 0x00}},
        {{3, -100}, ColumnEncoding::LINEAR, {0x06, 0xCD, 0x01}},  // two values are always a progression
        {{1, 1, 1, 1, 2, 2, 2, 2}, ColumnEncoding::BIT_PACKED, {0x02, 0x01, 0xF0}},
    };
    for (auto& c : cases) {
        auto enc = encode_ints(c.xs);
        EXPECT_EQ(enc.encoding, c.encoding) << c.xs.size();
        EXPECT_EQ(enc.payload, c.payload) << c.xs.size();
    }
    // The last case spelled out: RLE 02 06 00 01 FE FF..01 (14 bytes) against
    // DELTA 00 00 00 00 00 00 FE FF..01 (16 bytes): RUN_LENGTH is shorter.
    auto rle_case = encode_ints({0, 0, 0, 0, 0, 0, I64_MAX});
    EXPECT_EQ(sarn::container::internal::encode_run_length(std::vector<std::int64_t>{0, 0, 0, 0, 0, 0, I64_MAX}).size(),
              14u);
    EXPECT_EQ(rle_case.encoding, ColumnEncoding::RUN_LENGTH);
}

TEST(IntegerPipeline, EachEncodingsBytes) {
    std::vector<std::int64_t> xs{1, 1, 1, 1, 2, 2, 2, 2};
    EXPECT_EQ(sarn::container::internal::encode_run_length(xs), (Bytes{0x02, 0x04, 0x02, 0x04, 0x04}));
    EXPECT_EQ(sarn::container::internal::encode_delta(xs), (Bytes{0x02, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00}));
    EXPECT_EQ(sarn::container::internal::encode_bit_packed(xs), (Bytes{0x02, 0x01, 0xF0}));
    // Width 3, values spanning byte boundaries: offsets 5,0,7 -> bits 101 000 111.
    EXPECT_EQ(sarn::container::internal::encode_bit_packed(std::vector<std::int64_t>{15, 10, 17}),
              (Bytes{0x14, 0x03, 0xC5, 0x01}));
    // Constant columns have width 0 and no data bytes.
    EXPECT_EQ(sarn::container::internal::encode_bit_packed(std::vector<std::int64_t>{-3, -3}), (Bytes{0x05, 0x00}));
}

TEST(IntegerPipeline, TiesAndRangeLimits) {
    // RLE and DELTA of equal length (13 bytes each), BIT_PACKED not allowed
    // (range 2^41 > 2^32 - 1): the tie goes to DELTA.
    std::vector<std::int64_t> wide{-(std::int64_t{1} << 40), std::int64_t{1} << 40, std::int64_t{1} << 40,
                                   std::int64_t{1} << 40};
    auto rle = sarn::container::internal::encode_run_length(wide),
         delta = sarn::container::internal::encode_delta(wide);
    ASSERT_EQ(rle.size(), delta.size());
    EXPECT_EQ(encode_ints(wide).encoding, ColumnEncoding::DELTA);

    // Range exactly 0xFFFFFFFF may bit-pack (width 32); one more may not.
    // Distinct large values: four bytes each bit-packed, five or more otherwise.
    std::vector<std::int64_t> at_limit{0, 0xFFFFFFFFLL};
    for (std::int64_t i = 0; i < 10; ++i) at_limit.push_back(0x90000000LL + i * i * 0x01010101LL);
    auto packed = encode_ints(at_limit);
    EXPECT_EQ(packed.encoding, ColumnEncoding::BIT_PACKED);
    EXPECT_EQ(packed.payload[1], 32);
    std::vector<std::int64_t> over = at_limit;
    over[1] = 0x100000000LL;
    EXPECT_NE(encode_ints(over).encoding, ColumnEncoding::BIT_PACKED);

    // Differences wrap: i64 min, max, min is no progression, but max, min
    // (two values) and a wrapping progression are LINEAR.
    EXPECT_NE(encode_ints({I64_MIN, I64_MAX, I64_MIN}).encoding, ColumnEncoding::LINEAR);
    EXPECT_EQ(encode_ints({I64_MAX - 1, I64_MAX, I64_MIN}).encoding, ColumnEncoding::LINEAR);
}

TEST(Views, IntegerScaledAndBoolean) {
    const double nan = std::nan("");
    const double inf = std::numeric_limits<double>::infinity();
    struct IntCase {
        Value v;
        std::int64_t view;
    } ints[] = {
        {integer(-7), -7},
        {real(2.75), 2},
        {real(-2.75), -2},
        {real(1e300), I64_MAX},
        {real(-inf), I64_MIN},
        {real(nan), 0},
        {Value::from_bool(true), 1},
        {text("12"), 0},
        {Value(), 0},
        {real(9223372036854775807.0), I64_MAX},
        {real(-9223372036854775808.0), I64_MIN},
    };
    for (const auto& c : ints) EXPECT_EQ(sarn::container::internal::integer_view(c.v), c.view);

    struct ScaledCase {
        Value v;
        std::int64_t view;
    } scaled[] = {
        {real(1.5), 15000}, {real(2.25), 22500},  {real(0.00005), 1},          {real(-0.00005), -1},
        {real(0.00035), 4},  // x * 10000 rounds to 3.5 in double, then away from zero
        {real(0.00004), 0}, {integer(3), 30000},  {Value::from_bool(true), 0}, {Value(), 0},
        {real(nan), 0},     {real(inf), I64_MAX}, {real(-1e300), I64_MIN},     {integer(I64_MAX), I64_MAX},
    };
    for (const auto& c : scaled) EXPECT_EQ(sarn::container::internal::scaled_float_view(c.v), c.view);

    struct BoolCase {
        Value v;
        bool view;
    } bools[] = {
        {text("TRUE"), true},   {text("True"), true},
        {text("1"), true},      {text("yes"), false},
        {text("true "), false}, {text("01"), false},
        {integer(-5), true},    {integer(0), false},
        {real(1.0), false},     {Value::from_bool(true), true},
        {Value(), false},
    };
    for (const auto& c : bools) EXPECT_EQ(sarn::container::internal::boolean_view(c.v), c.view);
}

TEST(EncodeColumn, FixedFormsPerTypeCode) {
    // float: FE 04, then LINEAR of 15000 and step 7500
    std::vector<Value> floats{real(1.5), real(2.25)};
    auto f = sarn::container::internal::encode_column(sarn::container::TYPE_FLOAT, floats);
    EXPECT_EQ(f.encoding, ColumnEncoding::LINEAR);
    EXPECT_EQ(f.payload, (Bytes{0xFE, 0x04, 0xB0, 0xEA, 0x01, 0x98, 0x75}));

    std::vector<Value> bools{text("TRUE"), text("yes"), text("1")};
    auto b = sarn::container::internal::encode_column(sarn::container::TYPE_BOOL, bools);
    EXPECT_EQ(b.encoding, ColumnEncoding::BITMAP);
    EXPECT_EQ(b.payload, (Bytes{0x05}));

    std::vector<Value> nine(9, Value::from_bool(true));
    EXPECT_EQ(sarn::container::internal::encode_column(sarn::container::TYPE_BOOL, nine).payload, (Bytes{0xFF, 0x01}));

    std::vector<Value> texts{Value(), text(""), text("ab"), integer(5)};
    auto t = sarn::container::internal::encode_column(sarn::container::TYPE_TEXT, texts);
    EXPECT_EQ(t.encoding, ColumnEncoding::PLAIN);
    EXPECT_EQ(t.payload, (Bytes{0x00, 0x00, 0x02, 'a', 'b', 0x00}));

    std::vector<Value> bytes{Value::from_bytes({0xFF, 0x00}), text("x"), Value()};
    EXPECT_EQ(sarn::container::internal::encode_column(sarn::container::TYPE_BYTES, bytes).payload,
              (Bytes{0x02, 0xFF, 0x00, 0x00, 0x00}));

    std::vector<Value> list{Value::from_list({{integer(1), Value()}})};
    EXPECT_EQ(sarn::container::internal::serialize_value(list[0]), (Bytes{0x07, 0x02, 0x02, 0x01, 0x02, 0x01, 0x00}));
    EXPECT_EQ(sarn::container::internal::encode_column(sarn::container::TYPE_LIST, list).payload,
              (Bytes{0x07, 0x07, 0x02, 0x02, 0x01, 0x02, 0x01, 0x00}));
}

TEST(SerializeValue, EveryKind) {
    sarn::container::ObjectValue obj;
    obj.entries.emplace_back("k", integer(-1));
    sarn::container::MapValue map;
    map.pairs.emplace_back(text("a"), Value::from_bool(true));
    struct Case {
        Value v;
        Bytes bytes;
    } cases[] = {
        {Value(), {0x00}},
        {integer(64), {0x01, 0x80, 0x01}},
        {real(1.0), {0x02, 0, 0, 0, 0, 0, 0, 0xF0, 0x3F}},
        {text("hi"), {0x03, 0x02, 'h', 'i'}},
        {Value::from_bool(true), {0x04, 0x01}},
        {Value::from_bytes({0xAB}), {0x05, 0x01, 0xAB}},
        {Value::from_object(obj), {0x06, 0x01, 0x01, 'k', 0x02, 0x01, 0x01}},
        {Value::from_map(map), {0x08, 0x01, 0x03, 0x03, 0x01, 'a', 0x02, 0x04, 0x01}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(sarn::container::internal::serialize_value(c.v), c.bytes);
        std::size_t pos = 0;
        auto back = sarn::container::internal::deserialize_value(c.bytes, pos);
        ASSERT_TRUE(back) << back.error().message;
        EXPECT_EQ(*back, c.v);
        EXPECT_EQ(pos, c.bytes.size());
    }
}

TEST(MembershipFilter, EmptyTextSetsItsThreeBits) {
    std::array<std::uint8_t, sarn::container::BLOOM_BYTES> bloom{};
    sarn::container::bloom_insert(bloom, "");
    int set = 0;
    for (int bit = 0; bit < 4096; ++bit) set += (bloom[bit / 8] >> (bit % 8)) & 1;
    EXPECT_EQ(set, 3);
    for (int bit : {3093, 322, 1465}) EXPECT_TRUE((bloom[bit / 8] >> (bit % 8)) & 1) << bit;
}

sarn::container::ColumnChunkMeta stats(std::uint8_t type_code, const std::vector<Value>& values) {
    std::vector<const Value*> refs;
    for (const auto& v : values) refs.push_back(&v);
    sarn::container::ColumnChunkMeta meta;
    (void)sarn::container::encode_column_with_stats(type_code, refs, meta);
    return meta;
}

TEST(ColumnStatistics, DescribeTheStoredValues) {
    // Text: first value sets both bounds, byte-wise order, prefix first, nulls skipped.
    auto t = stats(sarn::container::TYPE_TEXT, {Value(), text("b"), text("a"), text("ab")});
    EXPECT_EQ(t.min_text, "a");
    EXPECT_EQ(t.max_text, "b");
    EXPECT_EQ(t.null_count, 1u);
    EXPECT_EQ(t.min_int, 0);
    EXPECT_EQ(t.max_int, 0);
    auto high = stats(sarn::container::TYPE_TEXT, {text("\xC3\xA9"), text("z")});  // bytes compare unsigned
    EXPECT_EQ(high.max_text, "\xC3\xA9");

    auto all_null = stats(sarn::container::TYPE_TEXT, {Value(), Value()});
    EXPECT_EQ(all_null.null_count, 2u);
    EXPECT_EQ(all_null.min_text, "");
    EXPECT_EQ(all_null.max_text, "");
    std::array<std::uint8_t, sarn::container::BLOOM_BYTES> empty_bits{};
    sarn::container::bloom_insert(empty_bits, "");
    EXPECT_EQ(all_null.bloom, empty_bits);  // nulls mark the empty text's bits

    auto f = stats(sarn::container::TYPE_FLOAT, {real(2.75), Value(), real(-1.5)});
    EXPECT_EQ(f.min_int, -1);
    EXPECT_EQ(f.max_int, 2);
    EXPECT_EQ(f.null_count, 1u);

    auto i = stats(sarn::container::TYPE_INT, {text("99"), real(1e300)});
    EXPECT_EQ(i.min_int, 0);
    EXPECT_EQ(i.max_int, I64_MAX);

    // A column whose only value is the i64 maximum keeps it as both bounds
    // (settling on "no value seen", not on the start value).
    auto max_only = stats(sarn::container::TYPE_INT, {integer(I64_MAX), Value()});
    EXPECT_EQ(max_only.min_int, I64_MAX);
    EXPECT_EQ(max_only.max_int, I64_MAX);
    auto nulls_only = stats(sarn::container::TYPE_INT, {Value(), Value()});
    EXPECT_EQ(nulls_only.min_int, 0);
    EXPECT_EQ(nulls_only.max_int, 0);

    // A boolean column's bounds follow the bits it stores: "true" counts as 1.
    auto b = stats(sarn::container::TYPE_BOOL, {text("true"), text("true")});
    EXPECT_EQ(b.min_int, 1);
    EXPECT_EQ(b.max_int, 1);
    auto b2 = stats(sarn::container::TYPE_BOOL, {integer(7), text("no")});
    EXPECT_EQ(b2.min_int, 0);
    EXPECT_EQ(b2.max_int, 1);

    auto other = stats(sarn::container::TYPE_BYTES, {Value::from_bytes({1}), Value()});
    EXPECT_EQ(other.null_count, 1u);
    EXPECT_EQ(other.bloom, (std::array<std::uint8_t, sarn::container::BLOOM_BYTES>{}));
}

TEST(ColumnStatistics, TextBoundsAndPayloadMatchAPlainRendition) {
    // Short texts take a word-wise path: lengths on both sides of eight
    // bytes, zero bytes (which look like the padding), high bytes, proper
    // prefixes and repeats, checked against std::string order and the
    // length-prefixed form written the plain way.
    std::mt19937 rng(7);
    const char alphabet[] = {'\0', '\x01', 'a', 'b', '\x7F', '\x80', '\xFF'};
    for (int round = 0; round < 300; ++round) {
        const std::size_t rows = 1 + rng() % 40;
        std::vector<std::string> cells(rows);
        std::vector<std::uint8_t> nulls(rows);
        for (std::size_t i = 0; i < rows; ++i) {
            if (i > 0 && rng() % 4 == 0) {
                cells[i] = cells[rng() % i];  // a repeat, or a prefix of an earlier cell
                cells[i].resize(rng() % (cells[i].size() + 1));
            } else {
                cells[i].resize(rng() % 16 == 0 ? 120 + rng() % 20 : rng() % 12);  // some lengths take two bytes
                for (char& c : cells[i]) c = alphabet[rng() % sizeof alphabet];
            }
            nulls[i] = rng() % 8 == 0;
            if (nulls[i]) cells[i].clear();
        }
        std::vector<std::string_view> views(cells.begin(), cells.end());
        sarn::container::ColumnChunkMeta meta;
        Bytes payload;
        sarn::container::encode_text_column({views, nulls}, meta, payload);
        // The same when the caller counted the sizes (as a batch's gather does).
        std::size_t bytes = 0, longest = 0;
        for (const std::string& c : cells) bytes += c.size(), longest = std::max(longest, c.size());
        sarn::container::ColumnChunkMeta counted_meta;
        Bytes counted;
        sarn::container::encode_text_column({views, nulls, bytes, longest}, counted_meta, counted);
        ASSERT_EQ(counted, payload) << round;
        EXPECT_EQ(counted_meta.min_text, meta.min_text) << round;

        Bytes expected;
        std::optional<std::string> lo, hi;
        std::uint32_t null_count = 0;
        for (std::size_t i = 0; i < rows; ++i) {
            sarn::container::internal::put_plain(expected, sarn::common::as_bytes(cells[i]));
            if (nulls[i]) {
                ++null_count;
                continue;
            }
            // std::string compares char_traits<char>, which orders bytes unsigned.
            if (!lo || cells[i] < *lo) lo = cells[i];
            if (!hi || *hi < cells[i]) hi = cells[i];
        }
        ASSERT_EQ(payload, expected) << round;
        EXPECT_EQ(meta.min_text, lo.value_or("")) << round;
        EXPECT_EQ(meta.max_text, hi.value_or("")) << round;
        EXPECT_EQ(meta.null_count, null_count) << round;
        std::array<std::uint8_t, sarn::container::BLOOM_BYTES> bloom{};
        for (const std::string& c : cells) sarn::container::bloom_insert(bloom, c);
        EXPECT_EQ(meta.bloom, bloom) << round;
    }
}

TEST(DecodeColumn, IntegerEncodingsRoundTrip) {
    const std::vector<std::vector<std::int64_t>> columns{
        {42},
        {I64_MIN, I64_MAX},
        {I64_MAX - 1, I64_MAX, I64_MIN, I64_MIN + 1},
        {1, 1, 1, 1, 2, 2, 2, 2},
        {0, std::int64_t{1} << 40, 0},
        {0, 0, 0, 0, 0, 0, I64_MAX},
        {I64_MIN, 0, I64_MAX, -1, 1},
        {0, 0xFFFFFFFFLL, 17, 3, 0xFFFFFFFFLL},
    };
    for (const auto& xs : columns) {
        auto enc = encode_ints(xs);
        auto back = sarn::container::internal::decode_integers(enc.encoding, enc.payload, xs.size());
        ASSERT_TRUE(back) << back.error().message;
        EXPECT_EQ(*back, xs);
        // Every encoding of the pipeline decodes, not only the chosen one.
        for (auto [e, bytes] : {std::pair{ColumnEncoding::RUN_LENGTH, sarn::container::internal::encode_run_length(xs)},
                                std::pair{ColumnEncoding::DELTA, sarn::container::internal::encode_delta(xs)}}) {
            auto again = sarn::container::internal::decode_integers(e, bytes, xs.size());
            ASSERT_TRUE(again) << again.error().message;
            EXPECT_EQ(*again, xs);
        }
    }
}

TEST(DecodeColumn, RejectsMalformedPayloads) {
    struct Case {
        std::uint8_t type;
        ColumnEncoding enc;
        Bytes payload;
        std::size_t rows;
    } cases[] = {
        {sarn::container::TYPE_INT, ColumnEncoding::LINEAR, {0x02}, 3},  // truncated
        {sarn::container::TYPE_INT, ColumnEncoding::LINEAR, {0x02, 0x02, 0x00}, 3},  // trailing byte
        {sarn::container::TYPE_INT, ColumnEncoding::PLAIN, {0x00}, 1},  // wrong encoding for type
        {sarn::container::TYPE_INT, ColumnEncoding::RUN_LENGTH, {0x01, 0x05, 0x00}, 3},  // runs cover too much
        {sarn::container::TYPE_INT, ColumnEncoding::RUN_LENGTH, {0x01, 0x02, 0x00}, 3},  // too little
        {sarn::container::TYPE_INT, ColumnEncoding::RUN_LENGTH, {0x02, 0x00, 0x00, 0x03, 0x00}, 3},  // empty run
        {sarn::container::TYPE_INT, ColumnEncoding::RUN_LENGTH, {0xFF, 0xFF, 0xFF, 0xFF, 0x0F}, 3},  // absurd run count
        {sarn::container::TYPE_INT, ColumnEncoding::DELTA, {0x02, 0x02}, 3},
        {sarn::container::TYPE_INT, ColumnEncoding::BIT_PACKED, {0x00, 0x21}, 1},  // width 33
        {sarn::container::TYPE_INT, ColumnEncoding::BIT_PACKED, {0x00, 0x04, 0xFF}, 3},  // too few data bytes
        {sarn::container::TYPE_INT, ColumnEncoding::BIT_PACKED, {0x00, 0x04, 0xF0}, 1},  // padding not zero
        {sarn::container::TYPE_FLOAT, ColumnEncoding::LINEAR, {0xFE, 0x03, 0x00, 0x00}, 1},  // wrong decimals
        {sarn::container::TYPE_FLOAT, ColumnEncoding::LINEAR, {0xFE}, 1},
        {sarn::container::TYPE_BOOL, ColumnEncoding::BITMAP, {0x01, 0x00}, 3},  // too long
        {sarn::container::TYPE_BOOL, ColumnEncoding::BITMAP, {0x08}, 3},  // padding bit set
        {sarn::container::TYPE_BOOL, ColumnEncoding::LINEAR, {0x00}, 3},
        {sarn::container::TYPE_TEXT, ColumnEncoding::PLAIN, {0x05, 'a'}, 1},  // length past end
        {sarn::container::TYPE_TEXT, ColumnEncoding::PLAIN, {0x00, 0x00}, 1},  // trailing
        {sarn::container::TYPE_TEXT, ColumnEncoding::PLAIN, {0x00}, 4000000000u},  // count beyond the data
        {sarn::container::TYPE_TEXT, ColumnEncoding::BITMAP, {0x00}, 1},
        {sarn::container::TYPE_OBJECT, ColumnEncoding::PLAIN, {0x01, 0x09}, 1},  // unknown tag
        {sarn::container::TYPE_LIST, ColumnEncoding::PLAIN, {0x03, 0x07, 0x05, 0x00}, 1},  // element count too big
        {sarn::container::TYPE_LIST, ColumnEncoding::PLAIN, {0x02, 0x04, 0x02}, 1},  // bool byte 2
        {sarn::container::TYPE_LIST, ColumnEncoding::PLAIN, {0x03, 0x01, 0x01, 0x00}, 1},  // nested shorter than prefix
        {sarn::container::TYPE_TEXT, ColumnEncoding::PLAIN, {0x02, 0xC3, 0x28}, 1},  // not UTF-8
        {sarn::container::TYPE_TEXT,
         ColumnEncoding::PLAIN,
         {0x01, 0xC3, 0x01, 0xA9},
         2},  // a character split between cells
        {sarn::container::TYPE_BYTES, ColumnEncoding::LINEAR, {0x00, 0x00}, 1},
        {sarn::container::TYPE_LIST, ColumnEncoding::PLAIN, {0x02, 0x00, 0x00}, 1},  // a value, then an unused byte
        {9, ColumnEncoding::PLAIN, {0x00}, 1},  // unknown type code
    };
    for (const auto& c : cases) {
        sarn::container::ColumnChunkMeta meta;
        meta.encoding = c.enc;
        for (bool large : {false, true}) {
            auto r = sarn::container::decode_column_block(c.type, meta, c.payload, c.rows, large);
            EXPECT_FALSE(r) << "type " << int(c.type) << " payload size " << c.payload.size();
            if (!r) {
                EXPECT_EQ(r.error().kind, sarn::common::ErrorKind::Format);
                EXPECT_FALSE(r.error().message.empty());
            }
        }
    }
}

TEST(DecodeColumn, DeepNestingIsAnErrorNotACrash) {
    // 5,000 nested single-element lists: each level is 07 01 <len> ...
    Bytes inner{0x00};
    for (int depth = 0; depth < 5000; ++depth) {
        Bytes outer{0x07, 0x01};
        sarn::container::put_varint(outer, inner.size());
        outer.insert(outer.end(), inner.begin(), inner.end());
        inner.swap(outer);
    }
    std::size_t pos = 0;
    EXPECT_FALSE(sarn::container::internal::deserialize_value(inner, pos));
}

}  // namespace
