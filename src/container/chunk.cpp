#include "container/chunk.hpp"

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

namespace sarn::container {

namespace {

constexpr std::int64_t I64_MAX = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t I64_MIN = std::numeric_limits<std::int64_t>::min();

// Truncated (already integral or to be truncated) double to i64, saturating
// at the bounds; NaN gives 0.
std::int64_t saturating_i64(double d) noexcept {
    if (std::isnan(d)) return 0;
    if (d >= 9223372036854775808.0) return I64_MAX;
    if (d < -9223372036854775808.0) return I64_MIN;
    return static_cast<std::int64_t>(d);  // truncates toward zero
}

// Differences and offsets wrap like the machine does; done in unsigned
// arithmetic so that the wrap is defined.
std::int64_t wrapping_sub(std::int64_t a, std::int64_t b) noexcept {
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) - static_cast<std::uint64_t>(b));
}
std::int64_t wrapping_add(std::int64_t a, std::int64_t b) noexcept {
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) + static_cast<std::uint64_t>(b));
}

void put_plain(Bytes& out, ByteView bytes) {
    put_varint(out, bytes.size());
    out.insert(out.end(), bytes.begin(), bytes.end());
}

// The three seeds of the membership filter's hashes and their multiplier.
constexpr std::uint64_t BLOOM_SEEDS[3] = {0x9e3779b97f4a7c15ULL, 0x6c62272e07bb0142ULL, 0xbf58476d1ce4e5b9ULL};
constexpr std::uint64_t BLOOM_MULTIPLIER = 0x517cc1b727220a95ULL;

Bytes encode_bitmap(std::span<const Value* const> values) {
    Bytes out((values.size() + 7) / 8, 0);
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (values[i] && boolean_view(*values[i])) out[i / 8] |= static_cast<std::uint8_t>(1u << (i % 8));
    }
    return out;
}

Bytes encode_values(std::uint8_t type_code, std::span<const Value* const> values) {
    static const Value null_value;
    auto at = [&](std::size_t i) -> const Value& { return values[i] ? *values[i] : null_value; };
    switch (type_code) {
        case TYPE_BOOL:
            return encode_bitmap(values);
        case TYPE_TEXT: {
            Bytes out;
            for (std::size_t i = 0; i < values.size(); ++i) {
                const Value& v = at(i);
                put_plain(out, v.kind() == ValueKind::Text ? as_bytes(v.text()) : ByteView());
            }
            return out;
        }
        case TYPE_BYTES: {
            Bytes out;
            for (std::size_t i = 0; i < values.size(); ++i) {
                const Value& v = at(i);
                put_plain(out, v.kind() == ValueKind::Bytes ? ByteView(v.bytes()) : ByteView());
            }
            return out;
        }
        default: {  // structured
            Bytes out, scratch;
            for (std::size_t i = 0; i < values.size(); ++i) {
                scratch.clear();
                serialize_value_into(scratch, at(i));
                put_plain(out, scratch);
            }
            return out;
        }
    }
}

ColumnEncoding encoding_for(std::uint8_t type_code) {
    return type_code == TYPE_BOOL ? ColumnEncoding::BITMAP : ColumnEncoding::PLAIN;
}

EncodedColumn encode_any(std::uint8_t type_code, std::span<const Value* const> values) {
    if (type_code == TYPE_INT || type_code == TYPE_FLOAT) {
        std::vector<std::int64_t> xs(values.size());
        static const Value null_value;
        for (std::size_t i = 0; i < values.size(); ++i) {
            const Value& v = values[i] ? *values[i] : null_value;
            xs[i] = type_code == TYPE_INT ? integer_view(v) : scaled_float_view(v);
        }
        EncodedColumn enc = encode_integers(xs);
        if (type_code == TYPE_FLOAT) {
            Bytes prefixed;
            prefixed.reserve(enc.payload.size() + 2);
            prefixed.push_back(FLOAT_MARKER);
            prefixed.push_back(FLOAT_DECIMALS);
            prefixed.insert(prefixed.end(), enc.payload.begin(), enc.payload.end());
            enc.payload = std::move(prefixed);
        }
        return enc;
    }
    return {encoding_for(type_code), encode_values(type_code, values)};
}

}  // namespace

// ---- views -------------------------------------------------------------------

std::int64_t integer_view(const Value& v) noexcept {
    switch (v.kind()) {
        case ValueKind::Int: return v.int_value();
        case ValueKind::Float: return saturating_i64(std::trunc(v.float_value()));
        case ValueKind::Bool: return v.bool_value() ? 1 : 0;
        default: return 0;
    }
}

std::int64_t scaled_float_view(const Value& v) noexcept {
    double x = 0.0;
    if (v.kind() == ValueKind::Float) x = v.float_value();
    else if (v.kind() == ValueKind::Int) x = static_cast<double>(v.int_value());
    // The product is rounded to double first; std::round then takes halves
    // away from zero (0.00005 -> 1, -0.00005 -> -1).
    return saturating_i64(std::round(x * static_cast<double>(FLOAT_SCALE)));
}

bool boolean_view(const Value& v) noexcept {
    switch (v.kind()) {
        case ValueKind::Bool: return v.bool_value();
        case ValueKind::Int: return v.int_value() != 0;
        case ValueKind::Text: {
            const std::string& t = v.text();
            if (t == "1") return true;
            if (t.size() != 4) return false;
            static const char true_text[] = "true";
            for (std::size_t i = 0; i < 4; ++i) {
                char c = t[i];
                if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
                if (c != true_text[i]) return false;
            }
            return true;
        }
        default: return false;
    }
}

// ---- integer pipeline -----------------------------------------------------------

Bytes encode_linear(std::span<const std::int64_t> xs) {
    Bytes out;
    std::int64_t x0 = xs.empty() ? 0 : xs[0];
    std::int64_t step = xs.size() < 2 ? 0 : wrapping_sub(xs[1], xs[0]);
    put_zigzag_varint(out, x0);
    put_zigzag_varint(out, step);
    return out;
}

Bytes encode_run_length(std::span<const std::int64_t> xs) {
    std::vector<std::pair<std::int64_t, std::uint64_t>> runs;
    for (std::int64_t x : xs) {
        if (!runs.empty() && runs.back().first == x) ++runs.back().second;
        else runs.emplace_back(x, 1);
    }
    Bytes out;
    put_varint(out, runs.size());
    for (const auto& [value, count] : runs) {
        put_varint(out, count);
        put_zigzag_varint(out, value);
    }
    return out;
}

Bytes encode_delta(std::span<const std::int64_t> xs) {
    Bytes out;
    out.reserve(xs.size() + 8);
    for (std::size_t i = 0; i < xs.size(); ++i) put_zigzag_varint(out, i == 0 ? xs[0] : wrapping_sub(xs[i], xs[i - 1]));
    return out;
}

namespace {

struct Range {
    std::int64_t min = 0, max = 0;
    std::uint64_t span() const noexcept { return static_cast<std::uint64_t>(max) - static_cast<std::uint64_t>(min); }
};

Range range_of(std::span<const std::int64_t> xs) {
    Range r;
    if (xs.empty()) return r;
    r.min = r.max = xs[0];
    for (std::int64_t x : xs) {
        if (x < r.min) r.min = x;
        if (x > r.max) r.max = x;
    }
    return r;
}

}  // namespace

Bytes encode_bit_packed(std::span<const std::int64_t> xs) {
    Range r = range_of(xs);
    unsigned width = r.span() == 0 ? 0 : static_cast<unsigned>(std::bit_width(r.span()));
    Bytes out;
    put_zigzag_varint(out, r.min);
    out.push_back(static_cast<std::uint8_t>(width));
    if (width == 0) return out;
    out.reserve(out.size() + (xs.size() * width + 7) / 8);
    const std::uint64_t mask = width >= 64 ? ~0ULL : (1ULL << width) - 1;
    std::uint64_t acc = 0;  // pending bits, least significant first
    unsigned pending = 0;   // always < 8 between values, so acc never overflows
    for (std::int64_t x : xs) {
        acc |= (static_cast<std::uint64_t>(wrapping_sub(x, r.min)) & mask) << pending;
        pending += width;
        while (pending >= 8) {
            out.push_back(static_cast<std::uint8_t>(acc));
            acc >>= 8;
            pending -= 8;
        }
    }
    if (pending > 0) out.push_back(static_cast<std::uint8_t>(acc));
    return out;
}

EncodedColumn encode_integers(std::span<const std::int64_t> xs) {
    const std::size_t n = xs.size();
    bool progression = true;
    if (n > 2) {
        const std::int64_t step = wrapping_sub(xs[1], xs[0]);
        for (std::size_t i = 2; i < n && progression; ++i) progression = wrapping_sub(xs[i], xs[i - 1]) == step;
    }
    if (progression) return {ColumnEncoding::LINEAR, encode_linear(xs)};

    Bytes rle = encode_run_length(xs);
    Bytes delta = encode_delta(xs);
    Bytes packed;
    std::uint64_t l_bp = std::numeric_limits<std::uint64_t>::max();
    if (range_of(xs).span() <= 0xFFFFFFFFULL) {
        packed = encode_bit_packed(xs);
        l_bp = packed.size();
    }
    if (l_bp <= rle.size() && l_bp <= delta.size()) return {ColumnEncoding::BIT_PACKED, std::move(packed)};
    if (rle.size() < delta.size()) return {ColumnEncoding::RUN_LENGTH, std::move(rle)};
    return {ColumnEncoding::DELTA, std::move(delta)};
}

// ---- structured values ----------------------------------------------------------

void serialize_value_into(Bytes& out, const Value& v) {
    switch (v.kind()) {
        case ValueKind::Null:
            out.push_back(0x00);
            break;
        case ValueKind::Int:
            out.push_back(0x01);
            put_zigzag_varint(out, v.int_value());
            break;
        case ValueKind::Float: {
            out.push_back(0x02);
            std::uint64_t bits;
            double d = v.float_value();
            std::memcpy(&bits, &d, 8);
            put_u64(out, bits);
            break;
        }
        case ValueKind::Text:
            out.push_back(0x03);
            put_plain(out, as_bytes(v.text()));
            break;
        case ValueKind::Bool:
            out.push_back(0x04);
            out.push_back(v.bool_value() ? 1 : 0);
            break;
        case ValueKind::Bytes:
            out.push_back(0x05);
            put_plain(out, v.bytes());
            break;
        case ValueKind::Object: {
            out.push_back(0x06);
            const auto& entries = v.object().entries;
            put_varint(out, entries.size());
            for (const auto& [key, value] : entries) {
                put_plain(out, as_bytes(key));
                put_plain(out, serialize_value(value));
            }
            break;
        }
        case ValueKind::List: {
            out.push_back(0x07);
            const auto& items = v.list().items;
            put_varint(out, items.size());
            for (const Value& item : items) put_plain(out, serialize_value(item));
            break;
        }
        case ValueKind::Map: {
            out.push_back(0x08);
            const auto& pairs = v.map().pairs;
            put_varint(out, pairs.size());
            for (const auto& [key, value] : pairs) {
                put_plain(out, serialize_value(key));
                put_plain(out, serialize_value(value));
            }
            break;
        }
    }
}

Bytes serialize_value(const Value& v) {
    Bytes out;
    serialize_value_into(out, v);
    return out;
}

// ---- encode_column ---------------------------------------------------------------

EncodedColumn encode_column(std::uint8_t type_code, std::span<const Value* const> values) {
    return encode_any(type_code, values);
}

EncodedColumn encode_column(std::uint8_t type_code, std::span<const Value> values) {
    std::vector<const Value*> refs(values.size());
    for (std::size_t i = 0; i < values.size(); ++i) refs[i] = &values[i];
    return encode_any(type_code, refs);
}

// ---- statistics ---------------------------------------------------------------------

void bloom_insert(std::array<std::uint8_t, BLOOM_BYTES>& bloom, std::string_view bytes) noexcept {
    // The three hashes run in one pass: their multiply chains are
    // independent, so they overlap in the pipeline.
    std::uint64_t h[3] = {BLOOM_SEEDS[0], BLOOM_SEEDS[1], BLOOM_SEEDS[2]};
    for (unsigned char b : bytes) {
        h[0] = (h[0] ^ b) * BLOOM_MULTIPLIER;
        h[1] = (h[1] ^ b) * BLOOM_MULTIPLIER;
        h[2] = (h[2] ^ b) * BLOOM_MULTIPLIER;
    }
    for (std::uint64_t x : h) {
        std::uint64_t bit = x % (BLOOM_BYTES * 8);
        bloom[bit / 8] |= static_cast<std::uint8_t>(1u << (bit % 8));
    }
}

namespace {

// Byte-wise unsigned order, a proper prefix first.  Most values of a column
// already differ in their first byte, which settles the order without a
// library call.
inline bool text_less(std::string_view a, std::string_view b) noexcept {
    if (!a.empty() && !b.empty() && a[0] != b[0]) {
        return static_cast<unsigned char>(a[0]) < static_cast<unsigned char>(b[0]);
    }
    return a < b;
}

// A direct-mapped memory of texts of up to eight bytes seen recently in
// one column, so that repeats can skip the filter's hashing.
class RecentShortTexts {
public:
    // True when `t` is remembered; otherwise remembers it and returns false.
    bool seen(std::string_view t) noexcept {
        if (t.size() > 8) return false;
        std::uint64_t key = 0;
        if (!t.empty()) std::memcpy(&key, t.data(), t.size());  // an empty view may have no data
        const std::uint8_t tag = static_cast<std::uint8_t>(t.size() + 1);  // 0 marks an empty slot
        const std::size_t slot = ((key + t.size()) * 0x9E3779B97F4A7C15ull) >> (64 - SLOT_BITS);
        if (tags_[slot] == tag && keys_[slot] == key) return true;
        tags_[slot] = tag;
        keys_[slot] = key;
        return false;
    }

private:
    static constexpr int SLOT_BITS = 9;
    std::array<std::uint64_t, std::size_t{1} << SLOT_BITS> keys_{};
    std::array<std::uint8_t, std::size_t{1} << SLOT_BITS> tags_{};
};

}  // namespace

Bytes encode_text_column(TextColumnView column, ColumnChunkMeta& meta) {
    const std::size_t n = column.texts.size();
    const bool any_null_flags = !column.null_flags.empty();
    std::size_t total = 0;
    for (std::string_view t : column.texts) total += t.size() + 1;
    Bytes out;
    out.reserve(total + n);  // lengths of 128 bytes and more take a second varint byte

    std::uint32_t nulls = 0;
    bool seen = false;
    std::string_view min_text, max_text;
    meta.bloom.fill(0);
    RecentShortTexts recent;
    for (std::size_t i = 0; i < n; ++i) {
        std::string_view t = column.texts[i];
        put_plain(out, as_bytes(t));
        // Nulls read as the empty text in the filter, so they mark the same
        // bits.  A value already entered sets no new bit, and columns repeat
        // their short values a lot.
        if (!recent.seen(t)) bloom_insert(meta.bloom, t);
        if (any_null_flags && column.null_flags[i]) {
            ++nulls;
            continue;
        }
        if (!seen) {
            min_text = max_text = t;
            seen = true;
        } else if (text_less(t, min_text)) {
            min_text = t;
        } else if (text_less(max_text, t)) {
            max_text = t;
        }
    }
    meta.encoding = ColumnEncoding::PLAIN;
    meta.null_count = nulls;
    meta.min_int = 0;
    meta.max_int = 0;
    meta.min_text.assign(min_text);
    meta.max_text.assign(max_text);
    return out;
}

Bytes encode_column_with_stats(std::uint8_t type_code, std::span<const Value* const> values, ColumnChunkMeta& meta) {
    const std::size_t n = values.size();
    if (type_code == TYPE_TEXT) {
        std::vector<std::string_view> texts(n);
        std::vector<std::uint8_t> null_flags(n);
        for (std::size_t i = 0; i < n; ++i) {
            const Value* v = values[i];
            null_flags[i] = !v || v->is_null();
            if (v && v->kind() == ValueKind::Text) texts[i] = v->text();
        }
        return encode_text_column({texts, null_flags}, meta);
    }

    std::uint32_t nulls = 0;
    bool seen = false;  // a non-null value was seen: the bounds are real
    std::int64_t lo = I64_MAX, hi = I64_MIN;
    const bool integer_stats = type_code == TYPE_INT || type_code == TYPE_FLOAT || type_code == TYPE_BOOL;
    for (const Value* v : values) {
        if (!v || v->is_null()) {
            ++nulls;
            continue;
        }
        if (!integer_stats) continue;
        // A boolean column stores the boolean view, so its bounds describe that.
        std::int64_t x = type_code == TYPE_BOOL ? (boolean_view(*v) ? 1 : 0) : integer_view(*v);
        seen = true;
        if (x < lo) lo = x;
        if (x > hi) hi = x;
    }
    EncodedColumn enc = encode_any(type_code, values);
    meta.encoding = enc.encoding;
    meta.null_count = nulls;
    meta.min_int = seen ? lo : 0;
    meta.max_int = seen ? hi : 0;
    meta.min_text.clear();
    meta.max_text.clear();
    meta.bloom.fill(0);
    return std::move(enc.payload);
}

// ---- decoders ---------------------------------------------------------------------

namespace {

Error bad(std::string text) { return Error::value(std::move(text)); }

bool read_zigzag(ByteView in, std::size_t& pos, std::int64_t& v) {
    std::uint64_t z;
    if (!get_varint(in, pos, z)) return false;
    v = zigzag_decode(z);
    return true;
}

constexpr int MAX_NESTING = 1000;  // deeper structures would exhaust the stack

Result<Value> deserialize_at(ByteView in, std::size_t& pos, int depth);

// A length-prefixed nested serialization that must fill its prefix exactly.
Result<Value> nested(ByteView in, std::size_t& pos, int depth) {
    std::uint64_t len;
    if (!get_varint(in, pos, len) || len > in.size() - pos) return bad("truncated nested value");
    ByteView inner = in.subspan(pos, static_cast<std::size_t>(len));
    pos += static_cast<std::size_t>(len);
    std::size_t p = 0;
    auto v = deserialize_at(inner, p, depth + 1);
    if (!v) return v;
    if (p != inner.size()) return bad("nested value shorter than its length prefix");
    return v;
}

Result<std::string> plain_string(ByteView in, std::size_t& pos) {
    std::uint64_t len;
    if (!get_varint(in, pos, len) || len > in.size() - pos) return bad("truncated string");
    std::string s(reinterpret_cast<const char*>(in.data() + pos), static_cast<std::size_t>(len));
    pos += static_cast<std::size_t>(len);
    return s;
}

Result<Value> deserialize_at(ByteView in, std::size_t& pos, int depth) {
    if (depth > MAX_NESTING) return bad("structured value nested too deeply");
    if (pos >= in.size()) return bad("truncated value: missing tag");
    std::uint8_t tag = in[pos++];
    switch (tag) {
        case 0x00: return Value::null();
        case 0x01: {
            std::int64_t x;
            if (!read_zigzag(in, pos, x)) return bad("truncated integer");
            return Value::from_int(x);
        }
        case 0x02: {
            if (in.size() - pos < 8) return bad("truncated float");
            std::uint64_t bits = load_le(in.data() + pos, 8);
            pos += 8;
            double d;
            std::memcpy(&d, &bits, 8);
            return Value::from_float(d);
        }
        case 0x03: {
            auto s = plain_string(in, pos);
            if (!s) return s.error();
            return Value::from_text(std::move(*s));
        }
        case 0x04: {
            if (pos >= in.size()) return bad("truncated boolean");
            std::uint8_t b = in[pos++];
            if (b > 1) return bad("boolean byte " + std::to_string(b) + " is neither 0 nor 1");
            return Value::from_bool(b == 1);
        }
        case 0x05: {
            auto s = plain_string(in, pos);
            if (!s) return s.error();
            return Value::from_bytes(Bytes(s->begin(), s->end()));
        }
        case 0x06:
        case 0x07:
        case 0x08: {
            std::uint64_t count;
            if (!get_varint(in, pos, count)) return bad("truncated element count");
            // Every element takes at least one byte: a count beyond the
            // remaining bytes is corrupt, and checking first bounds the vector.
            if (count > in.size() - pos) return bad("element count " + std::to_string(count) + " exceeds the data");
            if (tag == 0x06) {
                ObjectValue obj;
                obj.entries.reserve(static_cast<std::size_t>(count));
                for (std::uint64_t i = 0; i < count; ++i) {
                    auto key = plain_string(in, pos);
                    if (!key) return key.error();
                    auto v = nested(in, pos, depth);
                    if (!v) return v;
                    obj.entries.emplace_back(std::move(*key), std::move(*v));
                }
                return Value::from_object(std::move(obj));
            }
            if (tag == 0x07) {
                ListValue list;
                list.items.reserve(static_cast<std::size_t>(count));
                for (std::uint64_t i = 0; i < count; ++i) {
                    auto v = nested(in, pos, depth);
                    if (!v) return v;
                    list.items.push_back(std::move(*v));
                }
                return Value::from_list(std::move(list));
            }
            MapValue map;
            map.pairs.reserve(static_cast<std::size_t>(count));
            for (std::uint64_t i = 0; i < count; ++i) {
                auto k = nested(in, pos, depth);
                if (!k) return k;
                auto v = nested(in, pos, depth);
                if (!v) return v;
                map.pairs.emplace_back(std::move(*k), std::move(*v));
            }
            return Value::from_map(std::move(map));
        }
        default:
            return bad("unknown value tag " + std::to_string(tag));
    }
}

bool is_integer_encoding(ColumnEncoding e) {
    return e == ColumnEncoding::LINEAR || e == ColumnEncoding::RUN_LENGTH || e == ColumnEncoding::DELTA ||
           e == ColumnEncoding::BIT_PACKED;
}

}  // namespace

Result<Value> deserialize_value(ByteView in, std::size_t& pos) { return deserialize_at(in, pos, 0); }

Result<std::vector<std::int64_t>> decode_integers(ColumnEncoding encoding, ByteView in, std::size_t rows) {
    std::size_t pos = 0;
    std::vector<std::int64_t> xs;
    switch (encoding) {
        case ColumnEncoding::LINEAR: {
            std::int64_t x0, step;
            if (!read_zigzag(in, pos, x0) || !read_zigzag(in, pos, step)) return bad("truncated LINEAR payload");
            xs.resize(rows);
            std::int64_t x = x0;
            for (std::size_t i = 0; i < rows; ++i) {
                xs[i] = x;
                x = wrapping_add(x, step);
            }
            break;
        }
        case ColumnEncoding::RUN_LENGTH: {
            std::uint64_t runs;
            if (!get_varint(in, pos, runs)) return bad("truncated RUN_LENGTH run count");
            if (runs > rows) return bad("RUN_LENGTH has " + std::to_string(runs) + " runs for " + std::to_string(rows) + " values");
            xs.reserve(rows);
            for (std::uint64_t r = 0; r < runs; ++r) {
                std::uint64_t count;
                std::int64_t value;
                if (!get_varint(in, pos, count) || !read_zigzag(in, pos, value)) return bad("truncated RUN_LENGTH run");
                if (count == 0) return bad("RUN_LENGTH run of length 0");
                if (count > rows - xs.size()) return bad("RUN_LENGTH runs cover more than " + std::to_string(rows) + " values");
                xs.insert(xs.end(), static_cast<std::size_t>(count), value);
            }
            if (xs.size() != rows) return bad("RUN_LENGTH runs cover " + std::to_string(xs.size()) + " of " + std::to_string(rows) + " values");
            break;
        }
        case ColumnEncoding::DELTA: {
            if (rows > in.size()) return bad("DELTA payload too short for " + std::to_string(rows) + " values");
            xs.resize(rows);
            std::int64_t x = 0;
            for (std::size_t i = 0; i < rows; ++i) {
                std::int64_t d;
                if (!read_zigzag(in, pos, d)) return bad("truncated DELTA payload at value " + std::to_string(i));
                x = i == 0 ? d : wrapping_add(x, d);
                xs[i] = x;
            }
            break;
        }
        case ColumnEncoding::BIT_PACKED: {
            std::int64_t min;
            if (!read_zigzag(in, pos, min) || pos >= in.size()) return bad("truncated BIT_PACKED header");
            unsigned width = in[pos++];
            if (width > 32) return bad("BIT_PACKED width " + std::to_string(width) + " exceeds 32");
            std::uint64_t need = (static_cast<std::uint64_t>(rows) * width + 7) / 8;
            if (need != in.size() - pos) return bad("BIT_PACKED needs " + std::to_string(need) + " data bytes, has " + std::to_string(in.size() - pos));
            xs.resize(rows);
            std::uint64_t acc = 0;
            unsigned have = 0;
            const std::uint64_t mask = (1ULL << width) - 1;
            for (std::size_t i = 0; i < rows; ++i) {
                while (have < width) {
                    acc |= static_cast<std::uint64_t>(in[pos++]) << have;
                    have += 8;
                }
                std::uint64_t off = acc & mask;
                acc = width == 0 ? acc : acc >> width;
                have -= width;
                xs[i] = wrapping_add(min, static_cast<std::int64_t>(off));
            }
            if (have > 0 && acc != 0) return bad("BIT_PACKED padding bits are not zero");
            break;
        }
        default:
            return bad("encoding " + std::to_string(static_cast<int>(encoding)) + " is not an integer encoding");
    }
    if (pos != in.size()) return bad(std::to_string(in.size() - pos) + " unused bytes after the values");
    return xs;
}

Result<std::vector<Value>> decode_column(std::uint8_t type_code, ColumnEncoding encoding, ByteView in, std::size_t rows) {
    const int enc = static_cast<int>(encoding);
    std::vector<Value> values;
    if (type_code == TYPE_INT || type_code == TYPE_FLOAT) {
        if (!is_integer_encoding(encoding))
            return bad("encoding " + std::to_string(enc) + " cannot hold type code " + std::to_string(type_code));
        if (type_code == TYPE_FLOAT) {
            if (in.size() < 2 || in[0] != FLOAT_MARKER || in[1] != FLOAT_DECIMALS)
                return bad("float payload does not start with FE 04");
            in = in.subspan(2);
        }
        auto xs = decode_integers(encoding, in, rows);
        if (!xs) return xs.error();
        values.reserve(rows);
        for (std::int64_t x : *xs)
            values.push_back(type_code == TYPE_INT ? Value::from_int(x)
                                                   : Value::from_float(static_cast<double>(x) / FLOAT_SCALE));
        return values;
    }
    if (type_code == TYPE_BOOL) {
        if (encoding != ColumnEncoding::BITMAP) return bad("encoding " + std::to_string(enc) + " cannot hold type code 3");
        if (in.size() != (rows + 7) / 8)
            return bad("BITMAP of " + std::to_string(in.size()) + " bytes for " + std::to_string(rows) + " values");
        if (rows % 8 != 0 && (in.back() >> (rows % 8)) != 0) return bad("BITMAP padding bits are not zero");
        values.reserve(rows);
        for (std::size_t i = 0; i < rows; ++i) values.push_back(Value::from_bool((in[i / 8] >> (i % 8)) & 1));
        return values;
    }
    if (!is_known_type_code(type_code)) return bad("unknown type code " + std::to_string(type_code));
    if (encoding != ColumnEncoding::PLAIN)
        return bad("encoding " + std::to_string(enc) + " cannot hold type code " + std::to_string(type_code));
    // Every value takes at least its one-byte length.
    if (rows > in.size()) return bad("PLAIN payload of " + std::to_string(in.size()) + " bytes cannot hold " + std::to_string(rows) + " values");
    values.reserve(rows);
    std::size_t pos = 0;
    for (std::size_t i = 0; i < rows; ++i) {
        if (type_code == TYPE_TEXT || type_code == TYPE_BYTES) {
            auto s = plain_string(in, pos);
            if (!s) return bad(s.error().message + " at value " + std::to_string(i));
            if (type_code == TYPE_TEXT) values.push_back(Value::from_text(std::move(*s)));
            else values.push_back(Value::from_bytes(Bytes(s->begin(), s->end())));
        } else {
            auto v = nested(in, pos, 0);
            if (!v) return bad(v.error().message + " at value " + std::to_string(i));
            values.push_back(std::move(*v));
        }
    }
    if (pos != in.size()) return bad(std::to_string(in.size() - pos) + " unused bytes after the values");
    return values;
}

}  // namespace sarn::container
