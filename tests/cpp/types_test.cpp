// Varints, zigzag, CRC-32, FNV-1a and the value model.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "container/types.hpp"

namespace {

using sarn::common::Bytes;

TEST(Varint, EncodesGroupsLeastSignificantFirst) {
    struct Case {
        std::uint64_t v;
        Bytes bytes;
    } cases[] = {
        {0, {0x00}},
        {127, {0x7F}},
        {128, {0x80, 0x01}},
        {200, {0xC8, 0x01}},  // a 200-byte column name
        {16384, {0x80, 0x80, 0x01}},
        {std::numeric_limits<std::uint64_t>::max(), {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}},
    };
    for (const auto& c : cases) {
        Bytes out;
        sarn::container::put_varint(out, c.v);
        EXPECT_EQ(out, c.bytes) << c.v;
        std::size_t pos = 0;
        std::uint64_t back = 0;
        ASSERT_TRUE(sarn::container::get_varint(out, pos, back));
        EXPECT_EQ(back, c.v);
        EXPECT_EQ(pos, out.size());
    }
}

TEST(Varint, RejectsTruncatedAndOverlongInput) {
    const Bytes bad[] = {
        {},
        {0x80},
        {0xFF, 0xFF},
        // eleven bytes, and a tenth byte carrying more than the top bit
        {0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x01},
        {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x02},
    };
    for (const Bytes& b : bad) {
        std::size_t pos = 0;
        std::uint64_t v;
        EXPECT_FALSE(sarn::container::get_varint(b, pos, v)) << b.size();
    }
}

TEST(Zigzag, SmallMagnitudesStaySmall) {
    struct Case {
        std::int64_t n;
        Bytes bytes;
    } cases[] = {
        {0, {0x00}},
        {-1, {0x01}},
        {1, {0x02}},
        {-64, {0x7F}},
        {64, {0x80, 0x01}},
        {std::numeric_limits<std::int64_t>::max(), {0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}},
        {std::numeric_limits<std::int64_t>::min(), {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}},
    };
    for (const auto& c : cases) {
        Bytes out;
        sarn::container::put_zigzag_varint(out, c.n);
        EXPECT_EQ(out, c.bytes) << c.n;
        EXPECT_EQ(sarn::container::zigzag_decode(sarn::container::zigzag_encode(c.n)), c.n);
    }
}

TEST(Crc32, MatchesTheIeeeCheckValues) {
    EXPECT_EQ(sarn::container::crc32(sarn::common::as_bytes("")), 0x00000000u);
    EXPECT_EQ(sarn::container::crc32(sarn::common::as_bytes("123456789")), 0xCBF43926u);
    EXPECT_EQ(sarn::container::crc32(sarn::common::as_bytes("The quick brown fox jumps over the lazy dog")),
              0x414FA339u);
}

// The word-at-a-time and folding CRCs must agree with the plain bit-by-bit
// definition at every length and alignment, not only on the check strings:
// short inputs, the 16-byte folds past the 64-byte lanes, and tails.
TEST(Crc32, AgreesWithTheBitwiseDefinition) {
    auto bitwise = [](const std::uint8_t* p, std::size_t n) {
        std::uint32_t c = 0xFFFFFFFFu;
        for (std::size_t i = 0; i < n; ++i) {
            c ^= p[i];
            for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
        }
        return c ^ 0xFFFFFFFFu;
    };
    std::vector<std::uint8_t> data(3000);
    std::uint32_t x = 12345;
    for (auto& b : data) b = static_cast<std::uint8_t>((x = x * 1103515245u + 12345u) >> 16);
    for (std::size_t offset = 0; offset < 8; ++offset) {
        for (std::size_t n = 0; n + offset <= data.size(); n += (n < 160 ? 1 : 37)) {
            EXPECT_EQ(sarn::container::crc32(sarn::common::ByteView(data.data() + offset, n)),
                      bitwise(data.data() + offset, n))
                << "offset " << offset << " length " << n;
        }
    }
}

TEST(Fnv1a64, MatchesPublishedValues) {
    EXPECT_EQ(sarn::container::fnv1a_64(""), 0xcbf29ce484222325ULL);
    EXPECT_EQ(sarn::container::fnv1a_64("a"), 0xaf63dc4c8601ec8cULL);
    EXPECT_EQ(sarn::container::fnv1a_64("foobar"), 0x85944171f73967e8ULL);
}

TEST(Value, CopiesDeeplyAndComparesStructurally) {
    sarn::container::ListValue inner{{sarn::container::Value::from_int(1), sarn::container::Value::from_text("x")}};
    sarn::container::ObjectValue obj;
    obj.entries.emplace_back("k", sarn::container::Value::from_list(inner));
    sarn::container::Value a = sarn::container::Value::from_object(obj);
    sarn::container::Value b = a;
    EXPECT_EQ(a, b);
    // The copy owns its nested list: changing the source object changes nothing.
    obj.entries[0].second = sarn::container::Value::null();
    EXPECT_EQ(b.object().entries[0].second.list().items[1].text(), "x");

    EXPECT_EQ(sarn::container::Value::from_float(std::nan("")), sarn::container::Value::from_float(std::nan("")));
    EXPECT_FALSE(sarn::container::Value::from_float(0.0) == sarn::container::Value::from_float(-0.0));
    EXPECT_FALSE(sarn::container::Value::from_int(1) == sarn::container::Value::from_bool(true));
    EXPECT_FALSE(sarn::container::Value::from_text("a") == sarn::container::Value::from_bytes({'a'}));
    EXPECT_TRUE(sarn::container::Value().is_null());
}

}  // namespace
