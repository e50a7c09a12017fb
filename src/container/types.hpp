// Shared types and small helpers of the container format: the cell value
// model (Value, Row), the per-column schema and per-chunk metadata records,
// the column encoding codes, varints, CRC-32 and FNV-1a.
//
// Everything here is plain data or a pure function; nothing can fail.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "common/bytes.hpp"
#include "common/result.hpp"

namespace sarn::container {

// The common vocabulary the container speaks in.
using common::as_bytes;
using common::Bytes;
using common::ByteView;
using common::Error;
using common::Result;

class Value;

// How deep structured values may nest (a structure inside a structure is
// one level).  Every reader holds to this one limit, and refuses deeper
// values with the text NESTED_TOO_DEEPLY: they would exhaust the stack of
// whatever walks them.
inline constexpr int MAX_VALUE_NESTING = 1000;
inline constexpr const char* NESTED_TOO_DEEPLY = "structured value nested too deeply";

// The payloads of the three structured kinds.  Each owns its nested values.
struct ObjectValue {
    std::vector<std::pair<std::string, Value>> entries;  // text key, value
};
struct ListValue {
    std::vector<Value> items;
};
struct MapValue {
    std::vector<std::pair<Value, Value>> pairs;  // key, value
};

// The nine kinds of a cell.  The numbering is the order of Value::Storage's
// alternatives, not a file format code.
enum class ValueKind : std::uint8_t { Null, Int, Float, Bool, Text, Bytes, Object, List, Map };

struct NullValue {
    friend bool operator==(NullValue, NullValue) { return true; }
};

// One cell of a row: a tagged value that owns its strings and nested lists;
// copying it copies them deeply.
class Value {
public:
    using Storage =
        std::variant<NullValue, std::int64_t, double, bool, std::string, Bytes, ObjectValue, ListValue, MapValue>;

    Value() = default;  // Null

    static Value null() { return Value(); }
    static Value from_int(std::int64_t v) { return Value(Storage(std::in_place_index<1>, v)); }
    static Value from_float(double v) { return Value(Storage(std::in_place_index<2>, v)); }
    static Value from_bool(bool v) { return Value(Storage(std::in_place_index<3>, v)); }
    static Value from_text(std::string v) { return Value(Storage(std::in_place_index<4>, std::move(v))); }
    static Value from_bytes(Bytes v) { return Value(Storage(std::in_place_index<5>, std::move(v))); }
    static Value from_object(ObjectValue v) { return Value(Storage(std::in_place_index<6>, std::move(v))); }
    static Value from_list(ListValue v) { return Value(Storage(std::in_place_index<7>, std::move(v))); }
    static Value from_map(MapValue v) { return Value(Storage(std::in_place_index<8>, std::move(v))); }

    ValueKind kind() const noexcept { return static_cast<ValueKind>(data_.index()); }
    bool is_null() const noexcept { return data_.index() == 0; }

    // Typed access.  REQUIRES: kind() is the kind asked for.
    std::int64_t int_value() const { return std::get<1>(data_); }
    double float_value() const { return std::get<2>(data_); }
    bool bool_value() const { return std::get<3>(data_); }
    const std::string& text() const { return std::get<4>(data_); }
    const Bytes& bytes() const { return std::get<5>(data_); }
    const ObjectValue& object() const { return std::get<6>(data_); }
    const ListValue& list() const { return std::get<7>(data_); }
    const MapValue& map() const { return std::get<8>(data_); }

    const Storage& data() const noexcept { return data_; }

    // Structural equality; Float compares bit patterns so that NaN equals
    // itself (what a round trip must preserve).
    friend bool operator==(const Value& a, const Value& b);

private:
    explicit Value(Storage s) : data_(std::move(s)) {}
    Storage data_;
};

bool operator==(const ObjectValue& a, const ObjectValue& b);
bool operator==(const ListValue& a, const ListValue& b);
bool operator==(const MapValue& a, const MapValue& b);

// One row: a value per column position.  A row shorter than the schema reads
// as Null in the missing positions.
using Row = std::vector<Value>;

// The column types a schema names, by their type code; the packages show
// them under these names, as Arrow names what a reader gets.
enum class ColumnType : std::uint8_t {
    Int64 = 1,
    Float64 = 2,  // fixed point, four decimals
    Bool = 3,
    String = 4,
    Binary = 5,
    Object = 6,  // structured values (objects, lists, maps)
    List = 7,
    Map = 8,
};

// Column type codes of ColumnSchema::type_code.
inline constexpr std::uint8_t TYPE_INT = static_cast<std::uint8_t>(ColumnType::Int64);
inline constexpr std::uint8_t TYPE_FLOAT = static_cast<std::uint8_t>(ColumnType::Float64);
inline constexpr std::uint8_t TYPE_BOOL = static_cast<std::uint8_t>(ColumnType::Bool);
inline constexpr std::uint8_t TYPE_TEXT = static_cast<std::uint8_t>(ColumnType::String);
inline constexpr std::uint8_t TYPE_BYTES = static_cast<std::uint8_t>(ColumnType::Binary);
inline constexpr std::uint8_t TYPE_OBJECT = static_cast<std::uint8_t>(ColumnType::Object);
inline constexpr std::uint8_t TYPE_LIST = static_cast<std::uint8_t>(ColumnType::List);
inline constexpr std::uint8_t TYPE_MAP = static_cast<std::uint8_t>(ColumnType::Map);

// True for the type codes 1 to 8, the ones this format knows.
inline bool is_known_type_code(std::uint8_t type_code) noexcept { return type_code >= 1 && type_code <= 8; }

// A float column holds its values times FLOAT_SCALE as integers, behind the
// two bytes FLOAT_MARKER and FLOAT_DECIMALS.
inline constexpr std::int64_t FLOAT_SCALE = 10000;
inline constexpr std::uint8_t FLOAT_MARKER = 0xFE;
inline constexpr std::uint8_t FLOAT_DECIMALS = 4;

// One column of a container's schema.
struct ColumnSchema {
    std::string name;
    std::array<std::uint8_t, 32> key{};  // AES-256 key; all zero means "not enciphered"
    std::uint8_t encrypted = 0;  // 1 if the column's blocks are enciphered
    std::uint8_t type_code = TYPE_TEXT;
};

// The one-byte code naming a column block's encoding.
enum class ColumnEncoding : std::uint8_t {
    PLAIN = 0,
    RUN_LENGTH = 1,
    DELTA = 2,
    BITMAP = 4,
    LINEAR = 6,
    BIT_PACKED = 7,
};

inline constexpr std::size_t BLOOM_BYTES = 512;  // 4096-bit membership filter

// One column of one chunk: where its block is and what it holds.
struct ColumnChunkMeta {
    std::uint64_t offset = 0;  // file offset of the column block (its CRC field)
    std::uint64_t compressed_len = 0;  // length of the block's compressed payload
    ColumnEncoding encoding = ColumnEncoding::PLAIN;
    std::uint32_t null_count = 0;
    std::int64_t min_int = 0;
    std::int64_t max_int = 0;
    std::string min_text;
    std::string max_text;
    std::array<std::uint8_t, BLOOM_BYTES> bloom{};
};

// ---- varints -----------------------------------------------------------

// The bytes write_varint and put_varint take for `v`.
inline std::size_t varint_size(std::uint64_t v) noexcept {
    std::size_t n = 1;
    for (; v >= 0x80; v >>= 7) ++n;
    return n;
}

// Writes the unsigned LEB128 form of v at `o` (seven bits per byte, least
// significant group first, high bit set on every byte but the last) and
// returns the position after it: for writers that size their output first.
inline std::uint8_t* write_varint(std::uint8_t* o, std::uint64_t v) noexcept {
    for (; v >= 0x80; v >>= 7) *o++ = static_cast<std::uint8_t>(v | 0x80);
    *o++ = static_cast<std::uint8_t>(v);
    return o;
}

// Appends the same form to `out`.
inline void put_varint(Bytes& out, std::uint64_t v) {
    std::uint8_t bytes[10];  // 64 bits in groups of seven
    out.insert(out.end(), bytes, write_varint(bytes, v));
}

inline std::uint64_t zigzag_encode(std::int64_t n) {
    return (static_cast<std::uint64_t>(n) << 1) ^ static_cast<std::uint64_t>(n >> 63);
}

inline std::int64_t zigzag_decode(std::uint64_t z) { return static_cast<std::int64_t>((z >> 1) ^ (~(z & 1) + 1)); }

inline void put_zigzag_varint(Bytes& out, std::int64_t n) { put_varint(out, zigzag_encode(n)); }

// Reads a varint at `pos`, advancing it.  Fails (returns false, pos
// unspecified) on a varint that runs past the end or does not fit 64 bits.
bool get_varint(ByteView in, std::size_t& pos, std::uint64_t& v) noexcept;

// A zigzag varint at `pos`, as get_varint reads it.
inline bool get_zigzag_varint(ByteView in, std::size_t& pos, std::int64_t& v) noexcept {
    std::uint64_t z;
    if (!get_varint(in, pos, z)) return false;
    v = zigzag_decode(z);
    return true;
}

// Differences and offsets of integer columns wrap like the machine does;
// done in unsigned arithmetic so that the wrap is defined.
inline std::int64_t wrapping_sub(std::int64_t a, std::int64_t b) noexcept {
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) - static_cast<std::uint64_t>(b));
}
inline std::int64_t wrapping_add(std::int64_t a, std::int64_t b) noexcept {
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) + static_cast<std::uint64_t>(b));
}

// ---- little-endian fixed-width fields ------------------------------------

inline void put_u16(Bytes& out, std::uint16_t v) {
    out.push_back(static_cast<std::uint8_t>(v));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
}
inline void put_u32(Bytes& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
inline void put_u64(Bytes& out, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
inline std::uint64_t load_le(const std::uint8_t* p, int width) noexcept {
    std::uint64_t v = 0;
    for (int i = width - 1; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

// ---- checksums and hashes ------------------------------------------------

// CRC-32 of IEEE 802.3 (reflected polynomial 0xEDB88320, initial value all
// ones, final complement), the checksum zlib's crc32 computes.
std::uint32_t crc32(ByteView data) noexcept;

inline constexpr std::uint64_t FNV_OFFSET_BASIS = 0xcbf29ce484222325ULL;
inline constexpr std::uint64_t FNV_PRIME = 0x100000001b3ULL;

// FNV-1a 64-bit hash.
inline std::uint64_t fnv1a_64(std::string_view data) noexcept {
    std::uint64_t h = FNV_OFFSET_BASIS;
    for (unsigned char b : data) h = (h ^ b) * FNV_PRIME;
    return h;
}

}  // namespace sarn::container
