#include "container/column_batch.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

#include "common/utf8.hpp"
#include "container/chunk.hpp"
#include "container/chunk_internal.hpp"
#include "container/value_serial_internal.hpp"

namespace sarn::container {

using internal::decode_integers;
using internal::deserialize_value;

// ---- RawBuffer -----------------------------------------------------------------

namespace {

constexpr std::size_t ALIGNMENT = 64;
alignas(ALIGNMENT) const std::uint8_t EMPTY_BUFFER[ALIGNMENT] = {};

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

std::uint8_t* RawBuffer::data() noexcept {
    return data_ ? data_ : const_cast<std::uint8_t*>(EMPTY_BUFFER);
}
const std::uint8_t* RawBuffer::data() const noexcept { return data_ ? data_ : EMPTY_BUFFER; }

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

// ---- decoding ----------------------------------------------------------------------

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

Error bad(std::string text) { return Error::value(std::move(text)); }

constexpr std::uint64_t MAX_INT32_OFFSET = static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max());

// Marks every cell null.
void all_null(DecodedColumn& c) {
    c.null_count = c.length;
    c.validity.assign((c.length + 7) / 8, 0);
}

// Copies the PLAIN payload's values into offsets and bytes; returns the
// number of empty values.
template <class Off>
Result<std::size_t> split_plain(ByteView in, std::size_t rows, DecodedColumn& out) {
    const std::size_t n = in.size();
    // Every value takes at least its one-byte length.
    if (rows > n) return bad("PLAIN payload of " + std::to_string(n) + " bytes cannot hold " + std::to_string(rows) + " values");
    if (sizeof(Off) == 4 && n - rows > MAX_INT32_OFFSET)
        return bad("PLAIN payload of " + std::to_string(n) + " bytes needs 64-bit offsets");
    out.values.resize((rows + 1) * sizeof(Off));
    out.data.resize(n - rows);  // the values' bytes cannot exceed this
    Off* off = out.values.as<Off>();
    std::uint8_t* d = out.data.data();
    const std::uint8_t* p = in.data();
    std::size_t pos = 0, total = 0, empties = 0;
    off[0] = 0;
    for (std::size_t i = 0; i < rows; ++i) {
        std::uint64_t len;
        if (pos < n && p[pos] < 0x80) {
            len = p[pos++];
        } else if (!get_varint(in, pos, len)) {
            return bad("truncated length of value " + std::to_string(i) + " at payload byte " + std::to_string(pos));
        }
        if (len > n - pos)
            return bad("value " + std::to_string(i) + " of " + std::to_string(len) + " bytes runs past the payload's end");
        if (len > 0) std::memcpy(d + total, p + pos, static_cast<std::size_t>(len));
        else ++empties;
        pos += static_cast<std::size_t>(len);
        total += static_cast<std::size_t>(len);
        off[i + 1] = static_cast<Off>(total);
    }
    if (pos != n) return bad(std::to_string(n - pos) + " unused bytes after the values");
    out.data.resize(total);
    return empties;
}

inline bool is_continuation(std::uint8_t b) noexcept { return (b & 0xC0) == 0x80; }

// Text cells must each be well-formed UTF-8.  The concatenation being
// well-formed and every non-empty cell starting on a character's first byte
// implies it, at the cost of one pass over the bytes.
template <class Off>
Result<void> check_utf8(const DecodedColumn& c) {
    const std::string_view all(reinterpret_cast<const char*>(c.data.data()), c.data.size());
    const Off* off = c.values.as<Off>();
    if (!common::is_valid_utf8(all)) {
        for (std::size_t i = 0; i < c.length; ++i) {
            if (!common::is_valid_utf8(all.substr(static_cast<std::size_t>(off[i]), static_cast<std::size_t>(off[i + 1] - off[i]))))
                return bad("value " + std::to_string(i) + " is not valid UTF-8");
        }
    }
    for (std::size_t i = 0; i < c.length; ++i) {
        if (off[i] != off[i + 1] && is_continuation(c.data.data()[off[i]]))
            return bad("value " + std::to_string(i) + " is not valid UTF-8");
    }
    return {};
}

bool is_integer_encoding(ColumnEncoding e) {
    return e == ColumnEncoding::LINEAR || e == ColumnEncoding::RUN_LENGTH || e == ColumnEncoding::DELTA ||
           e == ColumnEncoding::BIT_PACKED;
}

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

Result<DecodedColumn> decode_column_block(std::uint8_t type_code, const ColumnChunkMeta& meta, ByteView in,
                                          std::size_t rows, bool large_offsets) {
    DecodedColumn c;
    c.type_code = type_code;
    c.layout = layout_for(type_code);
    c.large_offsets = large_offsets;
    c.length = rows;
    const int enc = static_cast<int>(meta.encoding);
    if (!is_known_type_code(type_code)) return bad("unknown type code " + std::to_string(type_code));

    switch (c.layout) {
        case ColumnLayout::Int64:
        case ColumnLayout::Float64: {
            if (!is_integer_encoding(meta.encoding))
                return bad("encoding " + std::to_string(enc) + " cannot hold type code " + std::to_string(type_code));
            if (type_code == TYPE_FLOAT) {
                if (in.size() < 2 || in[0] != FLOAT_MARKER || in[1] != FLOAT_DECIMALS)
                    return bad("float payload does not start with FE 04");
                in = in.subspan(2);
            }
            // The integer encodings take at least a byte per 64 values
            // (BIT_PACKED of width 0 aside, which LINEAR and the run
            // lengths already bound); decode_integers checks the rest.
            auto xs = decode_integers(meta.encoding, in, rows);
            if (!xs) return xs.error();
            c.values.resize(rows * 8);
            if (type_code == TYPE_INT) {
                if (rows > 0) std::memcpy(c.values.data(), xs->data(), rows * 8);
            } else {
                double* out = c.values.as<double>();
                for (std::size_t i = 0; i < rows; ++i) out[i] = static_cast<double>((*xs)[i]) / FLOAT_SCALE;
            }
            if (meta.null_count == rows && rows > 0) all_null(c);
            return c;
        }
        case ColumnLayout::Bool: {
            if (meta.encoding != ColumnEncoding::BITMAP)
                return bad("encoding " + std::to_string(enc) + " cannot hold type code 3");
            if (in.size() != (rows + 7) / 8)
                return bad("BITMAP of " + std::to_string(in.size()) + " bytes for " + std::to_string(rows) + " values");
            if (rows % 8 != 0 && (in.back() >> (rows % 8)) != 0) return bad("BITMAP padding bits are not zero");
            c.values.resize(in.size());
            if (!in.empty()) std::memcpy(c.values.data(), in.data(), in.size());
            if (meta.null_count == rows && rows > 0) all_null(c);
            return c;
        }
        default:
            break;
    }

    if (meta.encoding != ColumnEncoding::PLAIN)
        return bad("encoding " + std::to_string(enc) + " cannot hold type code " + std::to_string(type_code));
    auto empties = large_offsets ? split_plain<std::int64_t>(in, rows, c) : split_plain<std::int32_t>(in, rows, c);
    if (!empties) return empties.error();
    if (c.layout == ColumnLayout::Utf8) {
        auto ok = large_offsets ? check_utf8<std::int64_t>(c) : check_utf8<std::int32_t>(c);
        if (!ok) return ok.error();
    }
    if (c.layout == ColumnLayout::Structured) {
        // Each cell must be exactly one serialized value; the null tag alone
        // is a null cell.
        std::size_t nulls = 0;
        RawBuffer validity;
        validity.assign((rows + 7) / 8, 0xFF);
        for (std::size_t i = 0; i < rows; ++i) {
            const std::string_view cell = c.cell(i);
            const ByteView bytes = as_bytes(cell);
            std::size_t pos = 0;
            auto v = deserialize_value(bytes, pos);
            if (!v) return bad(v.error().message + " at value " + std::to_string(i));
            if (pos != bytes.size()) return bad("value " + std::to_string(i) + " is followed by unused bytes");
            if (v->is_null()) {
                ++nulls;
                validity.data()[i / 8] &= static_cast<std::uint8_t>(~(1u << (i % 8)));
            }
        }
        if (nulls > 0) {
            c.null_count = nulls;
            c.validity = std::move(validity);
        }
        return c;
    }
    // Text and bytes: a null was stored as the empty value.
    if (rows > 0 && meta.null_count == rows) {
        all_null(c);
    } else if (meta.null_count > 0 && meta.null_count == *empties) {
        c.null_count = *empties;
        c.validity.assign((rows + 7) / 8, 0);
        for (std::size_t i = 0; i < rows; ++i) {
            if (c.offset(i) != c.offset(i + 1)) c.validity.data()[i / 8] |= static_cast<std::uint8_t>(1u << (i % 8));
        }
    }
    return c;
}

// ---- statistics ------------------------------------------------------------------------

std::string check_block_statistics(const ColumnChunkMeta& meta, const DecodedColumn& c) {
    const std::size_t rows = c.length;
    if (meta.null_count > rows)
        return "null count " + std::to_string(meta.null_count) + " exceeds the chunk's " + std::to_string(rows) + " rows";
    const bool zero_bloom = std::all_of(meta.bloom.begin(), meta.bloom.end(), [](std::uint8_t b) { return b == 0; });
    const std::uint8_t type = c.type_code;
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
    if (type == TYPE_INT || type == TYPE_BOOL) {
        // Nulls were stored as 0 and are not in the bounds.
        std::int64_t lo = 0, hi = 0;
        for (std::size_t i = 0; i < rows; ++i) {
            const std::int64_t x = type == TYPE_INT ? c.int_at(i) : (c.bool_at(i) ? 1 : 0);
            if (i == 0 || x < lo) lo = x;
            if (i == 0 || x > hi) hi = x;
            if (meta.null_count > 0 && x != 0 && (x < meta.min_int || x > meta.max_int))
                return "value " + std::to_string(x) + " of row " + std::to_string(i) + " lies outside min_int/max_int " +
                       std::to_string(meta.min_int) + "/" + std::to_string(meta.max_int);
        }
        if (meta.null_count == 0 && (lo != meta.min_int || hi != meta.max_int))
            return "min_int/max_int " + std::to_string(meta.min_int) + "/" + std::to_string(meta.max_int) +
                   " but the values range over " + std::to_string(lo) + "/" + std::to_string(hi);
        return {};
    }
    if (type == TYPE_FLOAT) {
        const auto [lo, hi] = stored_float_bounds(meta.min_int, meta.max_int);
        for (std::size_t i = 0; i < rows; ++i) {
            const double x = c.float_at(i);
            if ((x < lo || x > hi) && !(meta.null_count > 0 && x == 0.0)) {
                char text[64];
                std::snprintf(text, sizeof text, "%.4f", x);
                return std::string("value ") + text + " of row " + std::to_string(i) + " lies outside min_int/max_int " +
                       std::to_string(meta.min_int) + "/" + std::to_string(meta.max_int);
            }
        }
        return {};
    }
    if (type == TYPE_TEXT) {
        // The stored cells (nulls as empty texts) rebuild the filter exactly.
        std::array<std::uint8_t, BLOOM_BYTES> bloom{};
        std::string_view lo, hi;
        bool seen = false;
        for (std::size_t i = 0; i < rows; ++i) {
            const std::string_view t = c.cell(i);
            bloom_insert(bloom, t);
            if (!seen || t < lo) lo = t;
            if (!seen || t > hi) hi = t;
            seen = true;
        }
        if (bloom != meta.bloom) return "membership filter does not match the values";
        if (meta.null_count == 0 && (lo != meta.min_text || hi != meta.max_text))
            return "min_text/max_text do not match the values";
        if (meta.null_count > 0 && (meta.max_text > hi || (!meta.min_text.empty() && meta.min_text < lo)))
            return "min_text/max_text lie outside the values";
    }
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
