// The look-ahead's own search ends at its first match longer than
// GOOD_MATCH, like the search at j does, even when that match is too short
// to change the decision.  Found by comparing the block codec with the pure
// Python writer in tests/reference.
#include <gtest/gtest.h>

#include <cstdint>

#include "codec/codec.hpp"
#include "codec/codec_internal.hpp"

namespace {

using sarn::common::Bytes;

Bytes slice(const Bytes& b, std::size_t from, std::size_t to) { return Bytes(b.begin() + from, b.begin() + to); }

void append(Bytes& out, const Bytes& part) { out.insert(out.end(), part.begin(), part.end()); }

TEST(LzLookAhead, EndsAtItsOwnGoodMatch) {
    Bytes x;
    for (int v = 1; v < 200; ++v) x.push_back(static_cast<std::uint8_t>(v));
    // Earlier copies, farthest first: 129 bytes that match from j + 1, 127
    // bytes that match from j, 128 bytes that match from j + 1.  Then j.
    Bytes input;
    append(input, slice(x, 1, 130));
    input.push_back(0xE1);
    append(input, slice(x, 0, 127));
    input.push_back(0xE2);
    append(input, slice(x, 1, 129));
    input.push_back(0xE3);
    append(input, slice(x, 0, 130));

    // At j the best match is 127 bytes (distance 257), no early end, so the
    // look-ahead searches j + 1.  Its nearest candidate gives 128 bytes,
    // which ends that search: the 129-byte candidate behind it is never
    // compared, and 128 is not two longer than 127.  So the match at j
    // stays, followed by the three bytes no match covers.
    const Bytes tokens = sarn::codec::internal::lz_encode(input);
    const Bytes tail = {0xE3, 0xFF, 0x01, 0x01, 0x7F, 0x00, 0x80, 0x81, 0x82};
    ASSERT_GE(tokens.size(), tail.size());
    EXPECT_EQ(Bytes(tokens.end() - static_cast<std::ptrdiff_t>(tail.size()), tokens.end()), tail);
}

}  // namespace
