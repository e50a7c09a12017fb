#include "container/types.hpp"

#include <bit>
#include <cstring>

namespace sarn::container {

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

// Slicing by eight: table k advances a byte through k further zero bytes, so
// eight input bytes fold into the remainder with eight independent lookups.
constexpr std::array<std::array<std::uint32_t, 256>, 8> make_crc_slices() {
    std::array<std::array<std::uint32_t, 256>, 8> t{};
    t[0] = make_crc_table();
    for (std::size_t k = 1; k < 8; ++k) {
        for (std::size_t b = 0; b < 256; ++b) t[k][b] = (t[k - 1][b] >> 8) ^ t[0][t[k - 1][b] & 0xFF];
    }
    return t;
}

constexpr auto CRC_SLICES = make_crc_slices();
static_assert(std::endian::native == std::endian::little, "crc32 loads words little-endian");

bool same_float(double a, double b) {
    std::uint64_t x, y;
    std::memcpy(&x, &a, 8);
    std::memcpy(&y, &b, 8);
    return x == y;
}

}  // namespace

std::uint32_t crc32(ByteView data) noexcept {
    std::uint32_t c = 0xFFFFFFFFu;
    const std::uint8_t* p = data.data();
    std::size_t n = data.size();
    for (; n >= 8; p += 8, n -= 8) {
        std::uint32_t lo, hi;
        std::memcpy(&lo, p, 4);  // the reflected CRC consumes bytes little-endian
        std::memcpy(&hi, p + 4, 4);
        lo ^= c;
        c = CRC_SLICES[7][lo & 0xFF] ^ CRC_SLICES[6][(lo >> 8) & 0xFF] ^
            CRC_SLICES[5][(lo >> 16) & 0xFF] ^ CRC_SLICES[4][lo >> 24] ^
            CRC_SLICES[3][hi & 0xFF] ^ CRC_SLICES[2][(hi >> 8) & 0xFF] ^
            CRC_SLICES[1][(hi >> 16) & 0xFF] ^ CRC_SLICES[0][hi >> 24];
    }
    for (; n > 0; ++p, --n) c = CRC_TABLE[(c ^ *p) & 0xFF] ^ (c >> 8);
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

}  // namespace sarn::container
