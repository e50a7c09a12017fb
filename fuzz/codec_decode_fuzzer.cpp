// Decoding arbitrary bytes: the block decoder (whose first byte selects one
// of the six methods) and each stage decoder on the same bytes must return
// an error or an output within the limit, and never read or write out of
// bounds (the sanitizers check that).  The block read a piece at a time
// (BlockReader) must give the same content whenever the whole read gives one.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "codec/codec.hpp"
#include "codec/codec_internal.hpp"

namespace {

constexpr std::size_t LIMIT = 1 << 20;

void check_bounded(const sarn::common::Result<sarn::common::Bytes>& r) {
    if (r.ok() && r->size() > LIMIT) std::abort();
    if (!r.ok() && r.error().message.empty()) std::abort();
}

// The content read in pieces of `piece` bytes, up to LIMIT + 1 of them.
sarn::common::Result<sarn::common::Bytes> read_in_pieces(sarn::common::ByteView block, std::size_t piece) {
    auto reader = sarn::codec::BlockReader::open(block);
    if (!reader) return std::move(reader).error();
    sarn::common::Bytes out;
    while (out.size() <= LIMIT) {
        const std::size_t at = out.size();
        out.resize(at + piece);
        auto k = reader->read(out.data() + at, piece);
        if (!k) return std::move(k).error();
        out.resize(at + *k);
        if (*k < piece) break;
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const sarn::common::ByteView bytes(data, size);
    bool exceeded = false;
    auto whole = sarn::codec::decompress_block(bytes, LIMIT, &exceeded);
    check_bounded(whole);
    if (whole.ok()) {
        // The same content in pieces (whose size the input's length picks).
        auto pieces = read_in_pieces(bytes, 1 + size % 977);
        if (!pieces.ok() || *pieces != *whole) std::abort();
    } else if (exceeded) {
        // Too large for the limit is not damage: read in pieces it goes past it.
        auto pieces = read_in_pieces(bytes, 4096);
        if (pieces.ok() && pieces->size() <= LIMIT) std::abort();
    }
    if (size > 0) {
        const sarn::common::ByteView payload = bytes.subspan(1);
        check_bounded(sarn::codec::internal::lz_decode(payload, LIMIT));
        check_bounded(sarn::codec::internal::huffman_decode(payload, LIMIT));
        check_bounded(sarn::codec::internal::range_decode(payload, LIMIT));
    }
    return 0;
}
