// Decoding arbitrary bytes: the block decoder (whose first byte selects one
// of the six methods) and each stage decoder on the same bytes must return
// an error or an output within the limit, and never read or write out of
// bounds (the sanitizers check that).
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const sarn::common::ByteView bytes(data, size);
    check_bounded(sarn::codec::decompress_block(bytes, LIMIT));
    if (size > 0) {
        const sarn::common::ByteView payload = bytes.subspan(1);
        check_bounded(sarn::codec::internal::lz_decode(payload, LIMIT));
        check_bounded(sarn::codec::internal::huffman_decode(payload, LIMIT));
        check_bounded(sarn::codec::internal::range_decode(payload, LIMIT));
    }
    return 0;
}
