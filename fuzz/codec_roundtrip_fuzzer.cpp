// Round trip of the block codec: any input compresses, at any level, to a
// block that is at most one byte longer than the input, no longer than the
// level-1 block, and decodes back to the input under an output limit of
// exactly the input's length.  Each stage is checked on its own as well, so
// a fault in a method that compress_block rarely picks still surfaces.
//
// The first input byte chooses the level (libdeflate's round-trip target
// does the same); the rest is the input.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "codec/codec.hpp"
#include "codec/codec_internal.hpp"

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

void expect_same(const sarn::common::Result<sarn::common::Bytes>& got, const std::uint8_t* data, std::size_t size) {
    check(got.ok());
    check(got->size() == size);
    check(size == 0 || std::memcmp(got->data(), data, size) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* in, std::size_t in_size) {
    if (in_size == 0) return 0;
    const int level = in[0] % sarn::codec::MAX_LEVEL + 1;
    const std::uint8_t* data = in + 1;
    const std::size_t size = in_size - 1;
    const sarn::common::ByteView input(data, size);

    const sarn::common::Bytes block = sarn::codec::compress_block(input, level);
    check(block.size() <= size + 1);
    check(size != 0 || block.empty());
    expect_same(sarn::codec::decompress_block(block, size), data, size);
    if (size > 0) check(!sarn::codec::decompress_block(block, size - 1).ok());

    if (level > 1) {
        check(block.size() <= sarn::codec::compress_block(input).size());
        expect_same(sarn::codec::internal::lz_decode(sarn::codec::internal::lz_encode_searched(input, level), size),
                    data, size);
    }
    expect_same(sarn::codec::internal::lz_decode(sarn::codec::internal::lz_encode(input), size), data, size);
    expect_same(sarn::codec::internal::huffman_decode(sarn::codec::internal::huffman_encode(input), size), data, size);
    expect_same(sarn::codec::internal::range_decode(sarn::codec::internal::range_encode(input), size), data, size);
    return 0;
}
