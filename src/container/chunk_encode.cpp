#include "container/chunk_encode.hpp"

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

#include "container/chunk_internal.hpp"
#include "container/value_serial_internal.hpp"

namespace sarn::container {

using namespace internal;

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
        case TYPE_BOOL: return encode_bitmap(values);
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

std::int64_t internal::integer_view(const Value& v) noexcept {
    switch (v.kind()) {
        case ValueKind::Int: return v.int_value();
        case ValueKind::Float: return saturating_i64(std::trunc(v.float_value()));
        case ValueKind::Bool: return v.bool_value() ? 1 : 0;
        default: return 0;
    }
}

std::int64_t internal::scaled_float_view(const Value& v) noexcept {
    double x = 0.0;
    if (v.kind() == ValueKind::Float)
        x = v.float_value();
    else if (v.kind() == ValueKind::Int)
        x = static_cast<double>(v.int_value());
    // The product is rounded to double first; std::round then takes halves
    // away from zero (0.00005 -> 1, -0.00005 -> -1).
    return saturating_i64(std::round(x * static_cast<double>(FLOAT_SCALE)));
}

bool internal::boolean_view(const Value& v) noexcept {
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

Bytes internal::encode_linear(std::span<const std::int64_t> xs) {
    Bytes out;
    std::int64_t x0 = xs.empty() ? 0 : xs[0];
    std::int64_t step = xs.size() < 2 ? 0 : wrapping_sub(xs[1], xs[0]);
    put_zigzag_varint(out, x0);
    put_zigzag_varint(out, step);
    return out;
}

Bytes internal::encode_run_length(std::span<const std::int64_t> xs) {
    std::vector<std::pair<std::int64_t, std::uint64_t>> runs;
    for (std::int64_t x : xs) {
        if (!runs.empty() && runs.back().first == x)
            ++runs.back().second;
        else
            runs.emplace_back(x, 1);
    }
    Bytes out;
    put_varint(out, runs.size());
    for (const auto& [value, count] : runs) {
        put_varint(out, count);
        put_zigzag_varint(out, value);
    }
    return out;
}

Bytes internal::encode_delta(std::span<const std::int64_t> xs) {
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

Bytes internal::encode_bit_packed(std::span<const std::int64_t> xs) {
    Range r = range_of(xs);
    unsigned width = r.span() == 0 ? 0 : static_cast<unsigned>(std::bit_width(r.span()));
    Bytes out;
    put_zigzag_varint(out, r.min);
    out.push_back(static_cast<std::uint8_t>(width));
    if (width == 0) return out;
    out.reserve(out.size() + (xs.size() * width + 7) / 8);
    const std::uint64_t mask = width >= 64 ? ~0ULL : (1ULL << width) - 1;
    std::uint64_t acc = 0;  // pending bits, least significant first
    unsigned pending = 0;  // always < 8 between values, so acc never overflows
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

EncodedColumn internal::encode_integers(std::span<const std::int64_t> xs) {
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

// ---- encode_column ---------------------------------------------------------------

EncodedColumn internal::encode_column(std::uint8_t type_code, std::span<const Value* const> values) {
    return encode_any(type_code, values);
}

EncodedColumn internal::encode_column(std::uint8_t type_code, std::span<const Value> values) {
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

// A text of up to eight bytes as one little-endian word, zero-padded: the
// bytes are read with loads that stay inside the text (it may end at the
// end of its buffer), and the word is built in registers.  Copying the
// bytes through memory instead costs a stalled store-to-load forward on
// every cell.
inline std::uint64_t short_text_word(const char* p, std::size_t n) noexcept {
    auto u32 = [](const char* q) {
        std::uint32_t v;
        std::memcpy(&v, q, 4);
        return static_cast<std::uint64_t>(v);
    };
    if (n >= 4) return u32(p) | (u32(p + n - 4) << (8 * (n - 4)));  // the two halves may overlap
    if (n == 0) return 0;
    const auto b = [p](std::size_t i) { return static_cast<std::uint64_t>(static_cast<unsigned char>(p[i])); };
    return b(0) | (b(n / 2) << (8 * (n / 2))) | (b(n - 1) << (8 * (n - 1)));
}

// One text of a column with, for texts of up to eight bytes, its word.
struct ShortText {
    std::string_view text;
    std::uint64_t word = 0;  // valid when text.size() <= 8

    bool is_short() const noexcept { return text.size() <= 8; }
};

// Byte-wise unsigned order, a proper prefix first.  Two short texts compare
// as their big-endian words (the zero padding sorts like the end of the
// text, the length breaking the tie), which settles most cells without a
// library call.
inline bool text_less(const ShortText& a, const ShortText& b) noexcept {
    if (a.is_short() && b.is_short()) {
        const std::uint64_t x = __builtin_bswap64(a.word), y = __builtin_bswap64(b.word);
        return x != y ? x < y : a.text.size() < b.text.size();
    }
    if (!a.text.empty() && !b.text.empty() && a.text[0] != b.text[0]) {
        return static_cast<unsigned char>(a.text[0]) < static_cast<unsigned char>(b.text[0]);
    }
    return a.text < b.text;
}

// A direct-mapped memory of texts of up to eight bytes seen recently in
// one column, so that repeats can skip the filter's hashing.
class RecentShortTexts {
public:
    // True when `t` (short) is remembered; otherwise remembers it and
    // returns false.
    bool seen(const ShortText& t) noexcept {
        const std::uint64_t key = t.word;
        const std::uint8_t tag = static_cast<std::uint8_t>(t.text.size() + 1);  // 0 marks an empty slot
        const std::size_t slot = ((key + t.text.size()) * 0x9E3779B97F4A7C15ull) >> (64 - SLOT_BITS);
        if (tags_[slot] == tag && keys_[slot] == key) return true;
        tags_[slot] = tag;
        keys_[slot] = key;
        return false;
    }

private:
    static constexpr int SLOT_BITS = 10;  // 9 KiB: holds the few hundred values of a code column with few collisions
    std::array<std::uint64_t, std::size_t{1} << SLOT_BITS> keys_{};
    std::array<std::uint8_t, std::size_t{1} << SLOT_BITS> tags_{};
};

}  // namespace

Bytes encode_text_column(TextColumnView column, ColumnChunkMeta& meta) {
    Bytes out;
    encode_text_column(column, meta, out);
    return out;
}

void encode_text_column(TextColumnView column, ColumnChunkMeta& meta, Bytes& out) {
    const std::size_t n = column.texts.size();
    const bool any_null_flags = !column.null_flags.empty();
    // Room for every text and its length: exact when counted here, else
    // bounded by giving every length the size of the longest one's.
    std::size_t room = 0;
    if (column.text_bytes != TextColumnView::NOT_COUNTED) {
        room = column.text_bytes + n * varint_size(column.longest);
    } else {
        for (std::string_view t : column.texts) room += t.size() + varint_size(t.size());
    }
    // Written through a pointer, with a word of slack so that a short text
    // goes out as one 8-byte store.
    constexpr std::size_t SLACK = 8;
    out.resize(room + SLACK);
    std::uint8_t* o = out.data();

    std::uint32_t nulls = 0;
    bool seen = false;
    ShortText min_text, max_text;
    meta.bloom.fill(0);
    RecentShortTexts recent;
    for (std::size_t i = 0; i < n; ++i) {
        ShortText t{column.texts[i]};
        const std::size_t size = t.text.size();
        o = write_varint(o, size);
        // Nulls read as the empty text in the filter, so they mark the same
        // bits.  A value already entered sets no new bit, and columns repeat
        // their short values a lot.
        if (t.is_short()) {
            t.word = short_text_word(t.text.data(), size);
            std::memcpy(o, &t.word, 8);
            if (!recent.seen(t)) bloom_insert(meta.bloom, t.text);
        } else {
            std::memcpy(o, t.text.data(), size);
            bloom_insert(meta.bloom, t.text);
        }
        o += size;
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
    out.resize(static_cast<std::size_t>(o - out.data()));
    meta.encoding = ColumnEncoding::PLAIN;
    meta.null_count = nulls;
    meta.min_int = 0;
    meta.max_int = 0;
    meta.min_text.assign(min_text.text);
    meta.max_text.assign(max_text.text);
}

void encode_int_column(std::span<const std::int64_t> values, ColumnChunkMeta& meta, Bytes& out) {
    std::int64_t lo = I64_MAX, hi = I64_MIN;
    for (const std::int64_t x : values) {
        lo = x < lo ? x : lo;
        hi = x > hi ? x : hi;
    }
    const bool seen = !values.empty();
    EncodedColumn enc = encode_integers(values);
    meta.encoding = enc.encoding;
    meta.null_count = 0;
    meta.min_int = seen ? lo : 0;
    meta.max_int = seen ? hi : 0;
    meta.min_text.clear();
    meta.max_text.clear();
    meta.bloom.fill(0);
    out = std::move(enc.payload);
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

}  // namespace sarn::container
