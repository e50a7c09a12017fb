// Decoding arbitrary bytes: the block decoder (whose first byte selects one
// of the six methods) and each stage decoder on the same bytes must return
// an error or an output within the limit, and never read or write out of
// bounds (the sanitizers check that).
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "sarn_v2/codec.hpp"

namespace {

constexpr std::size_t LIMIT = 1 << 20;

void check_bounded(const sarn::Result<sarn::Bytes>& r) {
    if (r.ok() && r->size() > LIMIT) std::abort();
    if (!r.ok() && r.error().message.empty()) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const sarn::ByteView bytes(data, size);
    check_bounded(sarn::decompress_block(bytes, LIMIT));
    if (size > 0) {
        const sarn::ByteView payload = bytes.subspan(1);
        check_bounded(sarn::lz_decode(payload, LIMIT));
        check_bounded(sarn::huffman_decode(payload, LIMIT));
        check_bounded(sarn::range_decode(payload, LIMIT));
    }
    return 0;
}
