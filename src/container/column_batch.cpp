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
#include "container/chunk_encode.hpp"
#include "container/value_serial_internal.hpp"

namespace sarn::container {

using internal::deserialize_value;

// ---- RawBuffer -----------------------------------------------------------------

namespace {

constexpr std::size_t ALIGNMENT = RawBuffer::ALIGNMENT;

}  // namespace

RawBuffer& RawBuffer::operator=(RawBuffer&& o) noexcept {
    if (this != &o) {
        std::free(data_);
        data_ = o.data_;
        size_ = o.size_;
        capacity_ = o.capacity_;
        o.data_ = nullptr;
        o.size_ = o.capacity_ = 0;
    }
    return *this;
}

RawBuffer::~RawBuffer() { std::free(data_); }

void RawBuffer::resize(std::size_t size) {
    if (size > capacity_) {
        // Rounded up to the alignment, so that word-wise readers may touch the
        // last partial word.
        const std::size_t cap = (std::max(size, capacity_ + capacity_ / 2) + ALIGNMENT - 1) / ALIGNMENT * ALIGNMENT;
        void* p = std::aligned_alloc(ALIGNMENT, cap);
        if (!p) throw std::bad_alloc();
        if (size_ > 0) std::memcpy(p, data_, size_);
        std::free(data_);
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
// bounds: without nulls the bounds are exactly the values' range; with some,
// every value but 0 lies within them, and each bound is one of the values
// (0 among them, since a null was stored as 0).
template <class Get>
std::string check_integer_bounds(const ColumnChunkMeta& meta, std::size_t rows, Get get) {
    std::int64_t lo = get(0), hi = lo;
    bool min_seen = false, max_seen = false;
    for (std::size_t i = 0; i < rows; ++i) {
        const std::int64_t x = get(i);
        lo = std::min(lo, x);
        hi = std::max(hi, x);
        min_seen = min_seen || x == meta.min_int;
        max_seen = max_seen || x == meta.max_int;
        if (meta.null_count > 0 && x != 0 && (x < meta.min_int || x > meta.max_int))
            return "value " + std::to_string(x) + " of row " + std::to_string(i) + " lies outside min_int/max_int " +
                   int_range(meta.min_int, meta.max_int);
    }
    if (meta.null_count == 0 && (lo != meta.min_int || hi != meta.max_int))
        return "min_int/max_int " + int_range(meta.min_int, meta.max_int) + " but the values range over " + int_range(lo, hi);
    if (!min_seen || !max_seen)
        return "min_int/max_int " + int_range(meta.min_int, meta.max_int) + " but " +
               std::to_string(min_seen ? meta.max_int : meta.min_int) + " is none of the values";
    return {};
}

// Text blocks.  A null was stored as the empty text, which marks the filter
// as the empty text does, so the filter is exact whatever the null count.
// The bounds are over the texts that are not null: without nulls they are
// exactly the cells' range; with some, the largest cell is max_text (an
// empty null cannot be larger), and min_text is a cell no larger than any
// non-empty cell.
std::string check_text_statistics(const ColumnChunkMeta& meta, const DecodedColumn& c) {
    // One pass: the cells' bytes are read once.  With nulls, `lo` is the
    // smallest non-empty cell.
    const bool nulls = meta.null_count > 0;
    std::array<std::uint8_t, BLOOM_BYTES> bloom{};
    std::string_view lo = c.cell(0), hi = lo;
    bool min_seen = false, any_non_empty = false;
    for (std::size_t i = 0; i < c.length; ++i) {
        const std::string_view t = c.cell(i);
        bloom_insert(bloom, t);
        if (t > hi) hi = t;
        if (!nulls) {
            if (t < lo) lo = t;
        } else {
            if (!t.empty() && (!any_non_empty || t < lo)) lo = t, any_non_empty = true;
            min_seen = min_seen || t == meta.min_text;
        }
    }
    if (bloom != meta.bloom) return "membership filter does not match the values";
    if (hi != meta.max_text) return "max_text " + quoted(meta.max_text) + " but the largest value is " + quoted(hi);
    if (!nulls) {
        if (lo != meta.min_text) return "min_text " + quoted(meta.min_text) + " but the smallest value is " + quoted(lo);
        return {};
    }
    if (!min_seen) return "min_text " + quoted(meta.min_text) + " is none of the values";
    if (any_non_empty && lo < meta.min_text)
        return "min_text " + quoted(meta.min_text) + " but the value " + quoted(lo) + " is smaller";
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
        case ColumnLayout::Structured:
            return c.null_count;  // the decoder found every null tag
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
        return "null count " + std::to_string(meta.null_count) + " exceeds the chunk's " + std::to_string(rows) + " rows";
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
                return std::string("value ") + text + " of row " + std::to_string(i) + " lies outside min_int/max_int " +
                       int_range(meta.min_int, meta.max_int);
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

Result<DecodedColumn> to_json_column(const DecodedColumn& s) {
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
    std::string text;
    std::vector<std::uint64_t> ends(s.length + 1, 0);
    for (std::size_t i = 0; i < s.length; ++i) {
        if (s.is_valid(i)) {
            const ByteView bytes = as_bytes(s.cell(i));
            std::size_t pos = 0;
            auto v = deserialize_value(bytes, pos);
            if (!v) return bad(v.error().message + " at value " + std::to_string(i));
            if (!json_value(text, *v)) return bad("value " + std::to_string(i) + " holds text that is not valid UTF-8");
        }
        ends[i + 1] = text.size();
    }
    if (!s.large_offsets && text.size() > MAX_INT32_OFFSET)
        return bad("JSON text of " + std::to_string(text.size()) + " bytes needs 64-bit offsets");
    out.values.resize((s.length + 1) * (s.large_offsets ? 8 : 4));
    for (std::size_t i = 0; i <= s.length; ++i) {
        if (s.large_offsets) out.values.as<std::int64_t>()[i] = static_cast<std::int64_t>(ends[i]);
        else out.values.as<std::int32_t>()[i] = static_cast<std::int32_t>(ends[i]);
    }
    out.data.resize(text.size());
    if (!text.empty()) std::memcpy(out.data.data(), text.data(), text.size());
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
            if (c.is_valid(i)) out.validity.data()[j / 8] |= static_cast<std::uint8_t>(1u << (j % 8));
            else ++nulls;
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
                if (c.large_offsets) out.values.as<std::int64_t>()[k] = static_cast<std::int64_t>(v);
                else out.values.as<std::int32_t>()[k] = static_cast<std::int32_t>(v);
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
