#include "sarn_v2/types.hpp"

#include <cstring>

namespace sarn {

namespace {

// The byte-at-a-time table of the reflected CRC: entry b is the remainder of
// b shifted through eight steps of the polynomial.  Computed at compile time.
constexpr std::array<std::uint32_t, 256> make_crc_table() {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t b = 0; b < 256; ++b) {
        std::uint32_t c = b;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
        table[b] = c;
    }
    return table;
}

constexpr std::array<std::uint32_t, 256> CRC_TABLE = make_crc_table();

bool same_float(double a, double b) {
    std::uint64_t x, y;
    std::memcpy(&x, &a, 8);
    std::memcpy(&y, &b, 8);
    return x == y;
}

}  // namespace

std::uint32_t crc32(ByteView data) noexcept {
    std::uint32_t c = 0xFFFFFFFFu;
    for (std::uint8_t b : data) c = CRC_TABLE[(c ^ b) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

bool get_varint(ByteView in, std::size_t& pos, std::uint64_t& v) noexcept {
    v = 0;
    for (int shift = 0; shift < 64; shift += 7) {
        if (pos >= in.size()) return false;
        std::uint8_t b = in[pos++];
        std::uint64_t group = b & 0x7F;
        // The tenth byte may only carry the single top bit.
        if (shift == 63 && group > 1) return false;
        v |= group << shift;
        if (!(b & 0x80)) return true;
    }
    return false;
}

bool operator==(const Value& a, const Value& b) {
    if (a.kind() != b.kind()) return false;
    if (a.kind() == ValueKind::Float) return same_float(a.float_value(), b.float_value());
    return a.data() == b.data();
}

bool operator==(const ObjectValue& a, const ObjectValue& b) { return a.entries == b.entries; }
bool operator==(const ListValue& a, const ListValue& b) { return a.items == b.items; }
bool operator==(const MapValue& a, const MapValue& b) { return a.pairs == b.pairs; }

}  // namespace sarn
