#include "container/column_batch.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

#include "common/display_text.hpp"
#include "common/utf8.hpp"
#include "container/buffer_cache.hpp"
#include "container/chunk_encode.hpp"
#include "container/value_serial_internal.hpp"

namespace sarn::container {

using internal::deserialize_value;

// ---- RawBuffer -----------------------------------------------------------------

static_assert(RawBuffer::ALIGNMENT == buffer_cache::ALIGNMENT);

RawBuffer& RawBuffer::operator=(RawBuffer&& o) noexcept {
    if (this != &o) {
        buffer_cache::release(data_, capacity_);
        data_ = o.data_;
        size_ = o.size_;
        capacity_ = o.capacity_;
        o.data_ = nullptr;
        o.size_ = o.capacity_ = 0;
    }
    return *this;
}

RawBuffer::~RawBuffer() { buffer_cache::release(data_, capacity_); }

void RawBuffer::resize(std::size_t size) {
    if (size > capacity_) {
        // Rounded up to the alignment, so that word-wise readers may touch the
        // last partial word.
        const std::size_t cap = buffer_cache::capacity_for(std::max(size, capacity_ + capacity_ / 2));
        void* p = buffer_cache::allocate(cap);
        if (!p) throw std::bad_alloc();
        if (size_ > 0) std::memcpy(p, data_, size_);
        buffer_cache::release(data_, capacity_);
        data_ = static_cast<std::uint8_t*>(p);
        capacity_ = cap;
    }
    size_ = size;
}

void RawBuffer::assign(std::size_t size, std::uint8_t value) {
    resize(size);
    if (size > 0) std::memset(data_, value, size);
}

// ---- layouts -----------------------------------------------------------------------

ColumnLayout layout_for(std::uint8_t type_code) noexcept {
    switch (type_code) {
        case TYPE_INT: return ColumnLayout::Int64;
        case TYPE_FLOAT: return ColumnLayout::Float64;
        case TYPE_BOOL: return ColumnLayout::Bool;
        case TYPE_TEXT: return ColumnLayout::Utf8;
        case TYPE_BYTES: return ColumnLayout::Binary;
        default: return ColumnLayout::Structured;
    }
}

namespace {

Error bad(std::string text) { return Error::format(std::move(text)); }

constexpr std::uint64_t MAX_INT32_OFFSET = static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max());

// Where a stored float can lie, given the footer's bounds on its integer
// view: the writer truncates the original for the statistics but rounds it
// (x 10000) for storage, and clamps the scaled value to the i64 range.
double clamp_scaled(long double bound) {
    const long double lo = static_cast<long double>(std::numeric_limits<std::int64_t>::min()) / FLOAT_SCALE;
    const long double hi = static_cast<long double>(std::numeric_limits<std::int64_t>::max()) / FLOAT_SCALE;
    return static_cast<double>(std::clamp(bound, lo, hi));
}

}  // namespace

std::pair<double, double> stored_float_bounds(std::int64_t min_int, std::int64_t max_int) {
    return {clamp_scaled(static_cast<long double>(min_int) - 1), clamp_scaled(static_cast<long double>(max_int) + 1)};
}

// ---- statistics ------------------------------------------------------------------------

namespace {

std::string quoted(std::string_view s) { return common::quoted_text(s, 60); }

std::string int_range(std::int64_t lo, std::int64_t hi) { return std::to_string(lo) + "/" + std::to_string(hi); }

// Integer and boolean blocks.  A null was stored as 0 and is not in the
// bounds, and the bounds are exact: the zeros beyond the null count are
// values, so the bounds are the range of every cell when there are more
// zeros than nulls, and of the cells that are not 0 when there are exactly
// as many (then every 0 is a null).
template <class Get>
std::string check_integer_bounds(const ColumnChunkMeta& meta, std::size_t rows, Get get) {
    std::int64_t lo = 0, hi = 0, nz_lo = 0, nz_hi = 0;
    bool any = false, any_non_zero = false;
    std::size_t zeros = 0;
    for (std::size_t i = 0; i < rows; ++i) {
        const std::int64_t x = get(i);
        lo = any ? std::min(lo, x) : x;
        hi = any ? std::max(hi, x) : x;
        any = true;
        if (x == 0) {
            ++zeros;
        } else {
            nz_lo = any_non_zero ? std::min(nz_lo, x) : x;
            nz_hi = any_non_zero ? std::max(nz_hi, x) : x;
            any_non_zero = true;
        }
    }
    // zeros >= null_count: the caller checked that enough cells hold 0.
    if (meta.null_count > 0 && zeros == meta.null_count) {
        lo = nz_lo;
        hi = nz_hi;
    }
    if (lo != meta.min_int || hi != meta.max_int)
        return "min_int/max_int " + int_range(meta.min_int, meta.max_int) + " but the values" +
               (meta.null_count > 0 ? " that are not null" : "") + " range over " + int_range(lo, hi);
    return {};
}

// Text blocks.  A null was stored as the empty text, which marks the filter
// as the empty text does, so the filter is exact whatever the null count.
// The bounds are over the texts that are not null, and exact: the empty
// cells beyond the null count are values, so min_text is "" when there are
// more empty cells than nulls, and the smallest non-empty cell when there
// are exactly as many (then every empty cell is a null).
std::string check_text_statistics(const ColumnChunkMeta& meta, const DecodedColumn& c) {
    // One pass: the cells' bytes are read once.
    std::array<std::uint8_t, BLOOM_BYTES> bloom{};
    std::string_view lo, hi, nz_lo;
    bool any_non_empty = false;
    std::size_t empties = 0;
    for (std::size_t i = 0; i < c.length; ++i) {
        const std::string_view t = c.cell(i);
        bloom_insert(bloom, t);
        if (i == 0 || t > hi) hi = t;
        if (i == 0 || t < lo) lo = t;
        if (t.empty()) {
            ++empties;
        } else if (!any_non_empty || t < nz_lo) {
            nz_lo = t;
            any_non_empty = true;
        }
    }
    if (bloom != meta.bloom) return "membership filter does not match the values";
    if (meta.null_count > 0 && empties == meta.null_count) lo = nz_lo;
    if (hi != meta.max_text) return "max_text " + quoted(meta.max_text) + " but the largest value is " + quoted(hi);
    if (lo != meta.min_text)
        return "min_text " + quoted(meta.min_text) + " but the smallest value" +
               (meta.null_count > 0 ? " that is not null" : "") + " is " + quoted(lo);
    return {};
}

// How many cells hold what the block's kind stores for a null.
std::size_t cells_that_may_be_null(const DecodedColumn& c) {
    std::size_t n = 0;
    switch (c.layout) {
        case ColumnLayout::Int64: {
            const std::int64_t* x = c.values.as<std::int64_t>();
            for (std::size_t i = 0; i < c.length; ++i) n += x[i] == 0;
            return n;
        }
        case ColumnLayout::Float64: {
            const double* x = c.values.as<double>();
            for (std::size_t i = 0; i < c.length; ++i) n += x[i] == 0.0;
            return n;
        }
        case ColumnLayout::Bool:
            for (std::size_t i = 0; i < c.length; ++i) n += !c.bool_at(i);
            return n;
        case ColumnLayout::Structured: return c.null_count;  // the decoder found every null tag
        default:
            if (c.large_offsets) {
                const std::int64_t* off = c.values.as<std::int64_t>();
                for (std::size_t i = 0; i < c.length; ++i) n += off[i] == off[i + 1];
            } else {
                const std::int32_t* off = c.values.as<std::int32_t>();
                for (std::size_t i = 0; i < c.length; ++i) n += off[i] == off[i + 1];
            }
            return n;
    }
}

}  // namespace

std::string check_block_statistics(const ColumnChunkMeta& meta, const DecodedColumn& c) {
    const std::size_t rows = c.length;
    const std::uint8_t type = c.type_code;
    if (meta.null_count > rows)
        return "null count " + std::to_string(meta.null_count) + " exceeds the chunk's " + std::to_string(rows) +
               " rows";
    // A structured null is a null tag, found exactly; other kinds store a
    // null as 0, false or the empty text, of which there must be enough.
    const std::size_t nullable = cells_that_may_be_null(c);
    if (type >= TYPE_OBJECT ? nullable != meta.null_count : nullable < meta.null_count)
        return "null count " + std::to_string(meta.null_count) + " but " + std::to_string(nullable) +
               (type >= TYPE_OBJECT ? " cells hold a null" : " cells hold the value stored for a null");
    const bool zero_bloom = std::all_of(meta.bloom.begin(), meta.bloom.end(), [](std::uint8_t b) { return b == 0; });
    if (type != TYPE_TEXT) {
        if (!meta.min_text.empty() || !meta.max_text.empty()) return "text statistics on a non-text column";
        if (!zero_bloom) return "membership filter on a non-text column";
    }
    const bool int_stats = type == TYPE_INT || type == TYPE_FLOAT || type == TYPE_BOOL;
    if (!int_stats && (meta.min_int != 0 || meta.max_int != 0))
        return "integer statistics " + std::to_string(meta.min_int) + ".." + std::to_string(meta.max_int) +
               " on a column that keeps none";
    const bool all_null = rows > 0 && meta.null_count == rows;
    if (all_null && (meta.min_int != 0 || meta.max_int != 0 || !meta.min_text.empty() || !meta.max_text.empty()))
        return "statistics on a block whose values are all null";
    if (all_null || rows == 0) {
        if (type == TYPE_TEXT) {
            std::array<std::uint8_t, BLOOM_BYTES> bloom{};
            if (rows > 0) bloom_insert(bloom, {});
            if (bloom != meta.bloom) return "membership filter does not match the values";
        }
        return {};
    }
    if (type == TYPE_INT) return check_integer_bounds(meta, rows, [&](std::size_t i) { return c.int_at(i); });
    if (type == TYPE_BOOL)
        return check_integer_bounds(meta, rows, [&](std::size_t i) { return std::int64_t{c.bool_at(i) ? 1 : 0}; });
    if (type == TYPE_FLOAT) {
        // The bounds are on the original values truncated, the stored values
        // rounded to four decimals: one unit of slack either side.
        const auto [lo, hi] = stored_float_bounds(meta.min_int, meta.max_int);
        for (std::size_t i = 0; i < rows; ++i) {
            const double x = c.float_at(i);
            if ((x < lo || x > hi) && !(meta.null_count > 0 && x == 0.0)) {
                char text[64];
                std::snprintf(text, sizeof text, "%.4f", x);
                return std::string("value ") + text + " of row " + std::to_string(i) +
                       " lies outside min_int/max_int " + int_range(meta.min_int, meta.max_int);
            }
        }
        return {};
    }
    if (type == TYPE_TEXT) return check_text_statistics(meta, c);
    return {};
}

// ---- JSON text of structured values -------------------------------------------------------

namespace {

void json_string(std::string& out, std::string_view s) {
    out.push_back('"');
    for (unsigned char ch : s) {
        switch (ch) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            default:
                if (ch < 0x20) {
                    char esc[8];
                    std::snprintf(esc, sizeof esc, "\\u%04x", ch);
                    out += esc;
                } else {
                    out.push_back(static_cast<char>(ch));
                }
        }
    }
    out.push_back('"');
}

void base64(std::string& out, const Bytes& b) {
    static const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::size_t i = 0;
    for (; i + 3 <= b.size(); i += 3) {
        const std::uint32_t v = (b[i] << 16) | (b[i + 1] << 8) | b[i + 2];
        for (int k = 18; k >= 0; k -= 6) out.push_back(digits[(v >> k) & 63]);
    }
    if (i < b.size()) {
        const std::uint32_t v = (b[i] << 16) | (i + 1 < b.size() ? b[i + 1] << 8 : 0);
        out.push_back(digits[(v >> 18) & 63]);
        out.push_back(digits[(v >> 12) & 63]);
        out.push_back(i + 1 < b.size() ? digits[(v >> 6) & 63] : '=');
        out.push_back('=');
    }
}

bool json_value(std::string& out, const Value& v);

void json_double(std::string& out, double d) {
    if (std::isnan(d)) {
        out += "NaN";
    } else if (std::isinf(d)) {
        out += d < 0 ? "-Infinity" : "Infinity";
    } else {
        char text[40];
        // The shortest text that reads back as the same double.
        for (int precision = 15; precision <= 17; ++precision) {
            std::snprintf(text, sizeof text, "%.*g", precision, d);
            if (std::strtod(text, nullptr) == d) break;
        }
        out += text;
        // Keep it a float for readers that tell 1 from 1.0.
        if (std::strpbrk(text, ".eEn") == nullptr) out += ".0";
    }
}

bool json_value(std::string& out, const Value& v) {
    switch (v.kind()) {
        case ValueKind::Null: out += "null"; return true;
        case ValueKind::Int: out += std::to_string(v.int_value()); return true;
        case ValueKind::Float: json_double(out, v.float_value()); return true;
        case ValueKind::Bool: out += v.bool_value() ? "true" : "false"; return true;
        case ValueKind::Text:
            if (!common::is_valid_utf8(v.text())) return false;
            json_string(out, v.text());
            return true;
        case ValueKind::Bytes:
            out.push_back('"');
            base64(out, v.bytes());
            out.push_back('"');
            return true;
        case ValueKind::Object: {
            out.push_back('{');
            bool first = true;
            for (const auto& [key, value] : v.object().entries) {
                if (!first) out += ", ";
                first = false;
                if (!common::is_valid_utf8(key)) return false;
                json_string(out, key);
                out += ": ";
                if (!json_value(out, value)) return false;
            }
            out.push_back('}');
            return true;
        }
        case ValueKind::List: {
            out.push_back('[');
            bool first = true;
            for (const Value& item : v.list().items) {
                if (!first) out += ", ";
                first = false;
                if (!json_value(out, item)) return false;
            }
            out.push_back(']');
            return true;
        }
        case ValueKind::Map: {
            out.push_back('{');
            bool first = true;
            for (const auto& [key, value] : v.map().pairs) {
                if (!first) out += ", ";
                first = false;
                if (key.kind() == ValueKind::Text) {
                    if (!common::is_valid_utf8(key.text())) return false;
                    json_string(out, key.text());
                } else {
                    std::string key_text;
                    if (!json_value(key_text, key)) return false;
                    json_string(out, key_text);
                }
                out += ": ";
                if (!json_value(out, value)) return false;
            }
            out.push_back('}');
            return true;
        }
    }
    return false;
}

}  // namespace

Result<Value> structured_cell(std::string_view cell) {
    const ByteView bytes = as_bytes(cell);
    std::size_t pos = 0;
    auto v = deserialize_value(bytes, pos);
    if (!v) return v;
    if (pos != bytes.size()) return bad("a serialized value followed by unused bytes");
    return v;
}

std::string value_to_json(const Value& v, bool& ok) {
    std::string out;
    ok = json_value(out, v);
    return out;
}

namespace {

// JSON text appended to a RawBuffer that may not grow past `limit` bytes:
// each append checks first, so a cell of a gigabyte stops at the limit
// instead of being written out whole.
class JsonSink {
public:
    JsonSink(RawBuffer& buf, std::uint64_t limit) : buf_(buf), limit_(limit) {}

    std::uint64_t size() const noexcept { return size_; }
    std::uint64_t left() const noexcept { return limit_ - size_; }
    bool over() const noexcept { return over_; }
    void mark_over() noexcept { over_ = true; }

    bool put(std::string_view s) {
        if (s.size() > limit_ - size_) {
            over_ = true;
            return false;
        }
        if (size_ + s.size() > buf_.size()) buf_.resize(static_cast<std::size_t>(size_ + s.size()));
        if (!s.empty()) std::memcpy(buf_.data() + size_, s.data(), s.size());
        size_ += s.size();
        return true;
    }
    bool put(char c) { return put(std::string_view(&c, 1)); }

    // A JSON string literal of `s`: runs that need no escape go in one piece.
    bool string(std::string_view s) {
        if (!put('"')) return false;
        std::size_t run = 0;
        for (std::size_t i = 0; i < s.size(); ++i) {
            const unsigned char ch = static_cast<unsigned char>(s[i]);
            if (ch >= 0x20 && ch != '"' && ch != '\\') continue;
            if (!put(s.substr(run, i - run))) return false;
            run = i + 1;
            const char* esc = nullptr;
            char buf[8];
            switch (ch) {
                case '"': esc = "\\\""; break;
                case '\\': esc = "\\\\"; break;
                case '\n': esc = "\\n"; break;
                case '\r': esc = "\\r"; break;
                case '\t': esc = "\\t"; break;
                case '\b': esc = "\\b"; break;
                case '\f': esc = "\\f"; break;
                default: std::snprintf(buf, sizeof buf, "\\u%04x", ch); esc = buf;
            }
            if (!put(std::string_view(esc))) return false;
        }
        return put(s.substr(run)) && put('"');
    }

    bool base64(ByteView b) {
        static const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        if ((b.size() + 2) / 3 * 4 > limit_ - size_) {
            over_ = true;
            return false;
        }
        char quad[4];
        std::size_t i = 0;
        for (; i + 3 <= b.size(); i += 3) {
            const std::uint32_t v = (b[i] << 16) | (b[i + 1] << 8) | b[i + 2];
            for (int k = 0; k < 4; ++k) quad[k] = digits[(v >> (18 - 6 * k)) & 63];
            put(std::string_view(quad, 4));
        }
        if (i < b.size()) {
            const std::uint32_t v = (b[i] << 16) | (i + 1 < b.size() ? b[i + 1] << 8 : 0);
            quad[0] = digits[(v >> 18) & 63];
            quad[1] = digits[(v >> 12) & 63];
            quad[2] = i + 1 < b.size() ? digits[(v >> 6) & 63] : '=';
            quad[3] = '=';
            put(std::string_view(quad, 4));
        }
        return true;
    }

private:
    RawBuffer& buf_;
    std::uint64_t limit_;
    std::uint64_t size_ = 0;
    bool over_ = false;
};

// Why writing a cell's JSON stopped.
enum class JsonStop { None, Over, NotUtf8, Damaged };

// A length-prefixed byte string at `pos`.
bool plain_at(ByteView in, std::size_t& pos, ByteView& out) {
    std::uint64_t len;
    if (!get_varint(in, pos, len) || len > in.size() - pos) return false;
    out = in.subspan(pos, static_cast<std::size_t>(len));
    pos += static_cast<std::size_t>(len);
    return true;
}

JsonStop json_serialized(JsonSink& out, ByteView in, int depth);

// The JSON of the serialized value that fills `in` exactly (a cell, or a
// nested value inside its length prefix), written as the value's JSON text
// (json_value) would be, without building the value.
JsonStop json_serialized(JsonSink& out, ByteView in, int depth) {
    auto stop = [&]() { return out.over() ? JsonStop::Over : JsonStop::Damaged; };
    if (depth > MAX_VALUE_NESTING || in.empty()) return JsonStop::Damaged;
    std::size_t pos = 1;
    switch (in[0]) {
        case 0x00: return out.put("null") ? JsonStop::None : stop();
        case 0x01: {
            std::int64_t x;
            if (!get_zigzag_varint(in, pos, x)) return JsonStop::Damaged;
            return out.put(std::to_string(x)) ? JsonStop::None : stop();
        }
        case 0x02: {
            if (in.size() < 9) return JsonStop::Damaged;
            double d;
            const std::uint64_t bits = load_le(in.data() + 1, 8);
            std::memcpy(&d, &bits, 8);
            std::string text;
            json_double(text, d);
            return out.put(text) ? JsonStop::None : stop();
        }
        case 0x03: {
            ByteView t;
            if (!plain_at(in, pos, t)) return JsonStop::Damaged;
            const std::string_view text(reinterpret_cast<const char*>(t.data()), t.size());
            if (!common::is_valid_utf8(text)) return JsonStop::NotUtf8;
            return out.string(text) ? JsonStop::None : stop();
        }
        case 0x04:
            if (in.size() < 2) return JsonStop::Damaged;
            return out.put(in[1] ? "true" : "false") ? JsonStop::None : stop();
        case 0x05: {
            ByteView b;
            if (!plain_at(in, pos, b)) return JsonStop::Damaged;
            return out.put('"') && out.base64(b) && out.put('"') ? JsonStop::None : stop();
        }
        case 0x06:
        case 0x07:
        case 0x08: {
            const std::uint8_t tag = in[0];
            std::uint64_t count;
            if (!get_varint(in, pos, count)) return JsonStop::Damaged;
            if (!out.put(tag == 0x07 ? '[' : '{')) return stop();
            for (std::uint64_t i = 0; i < count; ++i) {
                if (i > 0 && !out.put(", ")) return stop();
                ByteView key, value;
                if (tag == 0x06) {
                    if (!plain_at(in, pos, key)) return JsonStop::Damaged;
                    const std::string_view text(reinterpret_cast<const char*>(key.data()), key.size());
                    if (!common::is_valid_utf8(text)) return JsonStop::NotUtf8;
                    if (!out.string(text) || !out.put(": ")) return stop();
                } else if (tag == 0x08) {
                    if (!plain_at(in, pos, key)) return JsonStop::Damaged;
                    if (!key.empty() && key[0] == 0x03) {
                        std::size_t kp = 1;
                        ByteView t;
                        if (!plain_at(key, kp, t)) return JsonStop::Damaged;
                        const std::string_view text(reinterpret_cast<const char*>(t.data()), t.size());
                        if (!common::is_valid_utf8(text)) return JsonStop::NotUtf8;
                        if (!out.string(text)) return stop();
                    } else {
                        // A key that is not text becomes its JSON text, as a string.
                        RawBuffer scratch;
                        JsonSink key_out(scratch, out.left());
                        if (JsonStop k = json_serialized(key_out, key, depth + 1); k != JsonStop::None) {
                            if (k == JsonStop::Over) out.mark_over();
                            return k;
                        }
                        const std::string_view text(reinterpret_cast<const char*>(scratch.data()),
                                                    static_cast<std::size_t>(key_out.size()));
                        if (!out.string(text)) return stop();
                    }
                    if (!out.put(": ")) return stop();
                }
                if (!plain_at(in, pos, value)) return JsonStop::Damaged;
                if (JsonStop v = json_serialized(out, value, depth + 1); v != JsonStop::None) return v;
            }
            return out.put(tag == 0x07 ? ']' : '}') ? JsonStop::None : stop();
        }
        default: return JsonStop::Damaged;
    }
}

}  // namespace

Result<DecodedColumn> to_json_column(const DecodedColumn& s, std::uint64_t max_bytes, bool* exceeded) {
    DecodedColumn out;
    out.type_code = s.type_code;
    out.layout = ColumnLayout::Utf8;
    out.large_offsets = s.large_offsets;
    out.length = s.length;
    out.null_count = s.null_count;
    if (s.null_count > 0) {
        out.validity.resize(s.validity.size());
        std::memcpy(out.validity.data(), s.validity.data(), s.validity.size());
    }
    const std::size_t width = s.large_offsets ? 8 : 4;
    const std::uint64_t offsets = (std::uint64_t{s.length} + 1) * width + out.validity.size();
    auto over = [&](std::uint64_t needed) {
        if (exceeded) *exceeded = true;
        return bad("the JSON text needs more than " + std::to_string(needed) + " bytes");
    };
    if (offsets > max_bytes) return over(max_bytes);
    out.values.resize((s.length + 1) * width);
    // The text may not pass what is left of the budget, nor what 32-bit
    // offsets can point into.
    const std::uint64_t room = max_bytes - offsets;
    const bool offsets_bind = !s.large_offsets && MAX_INT32_OFFSET < room;
    JsonSink text(out.data, offsets_bind ? MAX_INT32_OFFSET : room);
    auto set_offset = [&](std::size_t i, std::uint64_t v) {
        if (s.large_offsets)
            out.values.as<std::int64_t>()[i] = static_cast<std::int64_t>(v);
        else
            out.values.as<std::int32_t>()[i] = static_cast<std::int32_t>(v);
    };
    set_offset(0, 0);
    for (std::size_t i = 0; i < s.length; ++i) {
        if (s.is_valid(i)) {
            switch (json_serialized(text, as_bytes(s.cell(i)), 0)) {
                case JsonStop::None: break;
                case JsonStop::Over:
                    if (offsets_bind)
                        return bad("JSON text of more than " + std::to_string(MAX_INT32_OFFSET) +
                                   " bytes needs 64-bit offsets");
                    return over(max_bytes);
                case JsonStop::NotUtf8:
                    return bad("value " + std::to_string(i) + " holds text that is not valid UTF-8");
                case JsonStop::Damaged: return bad("a damaged serialized value at value " + std::to_string(i));
            }
        }
        set_offset(i + 1, text.size());
    }
    out.data.resize(static_cast<std::size_t>(text.size()));
    return out;
}

// ---- row selection ---------------------------------------------------------------------------

DecodedColumn take_rows(const DecodedColumn& c, std::span<const std::uint8_t> keep, std::size_t kept) {
    DecodedColumn out;
    out.type_code = c.type_code;
    out.layout = c.layout;
    out.large_offsets = c.large_offsets;
    out.length = kept;
    if (c.null_count > 0) {
        out.validity.assign((kept + 7) / 8, 0);
        std::size_t j = 0, nulls = 0;
        for (std::size_t i = 0; i < c.length; ++i) {
            if (!keep[i]) continue;
            if (c.is_valid(i))
                out.validity.data()[j / 8] |= static_cast<std::uint8_t>(1u << (j % 8));
            else
                ++nulls;
            ++j;
        }
        out.null_count = nulls;
        if (nulls == 0) out.validity = RawBuffer();
    }
    switch (c.layout) {
        case ColumnLayout::Int64:
        case ColumnLayout::Float64: {
            out.values.resize(kept * 8);
            const std::uint64_t* in = c.values.as<std::uint64_t>();
            std::uint64_t* o = out.values.as<std::uint64_t>();
            std::size_t j = 0;
            for (std::size_t i = 0; i < c.length; ++i)
                if (keep[i]) o[j++] = in[i];
            break;
        }
        case ColumnLayout::Bool: {
            out.values.assign((kept + 7) / 8, 0);
            std::size_t j = 0;
            for (std::size_t i = 0; i < c.length; ++i) {
                if (!keep[i]) continue;
                if (c.bool_at(i)) out.values.data()[j / 8] |= static_cast<std::uint8_t>(1u << (j % 8));
                ++j;
            }
            break;
        }
        default: {
            std::size_t bytes = 0;
            for (std::size_t i = 0; i < c.length; ++i)
                if (keep[i]) bytes += static_cast<std::size_t>(c.offset(i + 1) - c.offset(i));
            out.values.resize((kept + 1) * (c.large_offsets ? 8 : 4));
            out.data.resize(bytes);
            std::size_t j = 0, at = 0;
            auto set_offset = [&](std::size_t k, std::size_t v) {
                if (c.large_offsets)
                    out.values.as<std::int64_t>()[k] = static_cast<std::int64_t>(v);
                else
                    out.values.as<std::int32_t>()[k] = static_cast<std::int32_t>(v);
            };
            set_offset(0, 0);
            for (std::size_t i = 0; i < c.length; ++i) {
                if (!keep[i]) continue;
                const std::string_view cell = c.cell(i);
                if (!cell.empty()) std::memcpy(out.data.data() + at, cell.data(), cell.size());
                at += cell.size();
                set_offset(++j, at);
            }
            break;
        }
    }
    return out;
}

}  // namespace sarn::container
