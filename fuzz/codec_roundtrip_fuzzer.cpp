// Round trip of the block codec: any input compresses to a block that is at
// most one byte longer than the input and decodes back to the input, under
// an output limit of exactly the input's length.  Each stage is checked on
// its own as well, so a fault in a method that compress_block rarely picks
// still surfaces.
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

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const sarn::common::ByteView input(data, size);

    const sarn::common::Bytes block = sarn::codec::compress_block(input);
    check(block.size() <= size + 1);
    check(size != 0 || block.empty());
    expect_same(sarn::codec::decompress_block(block, size), data, size);

    expect_same(sarn::codec::internal::lz_decode(sarn::codec::internal::lz_encode(input), size), data, size);
    expect_same(sarn::codec::internal::huffman_decode(sarn::codec::internal::huffman_encode(input), size), data, size);
    expect_same(sarn::codec::internal::range_decode(sarn::codec::internal::range_encode(input), size), data, size);
    return 0;
}
