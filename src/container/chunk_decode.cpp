#include "container/chunk_decode.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <string>

#include "common/utf8.hpp"
#include "container/chunk_internal.hpp"
#include "container/value_serial_internal.hpp"

namespace sarn::container {

using internal::check_value;
using internal::decode_integers_into;

namespace {

Error bad(std::string text) { return Error::format(std::move(text)); }

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
    if (rows > n)
        return bad("PLAIN payload of " + std::to_string(n) + " bytes cannot hold " + std::to_string(rows) + " values");
    if (sizeof(Off) == 4 && n - rows > MAX_INT32_OFFSET)
        return bad("PLAIN payload of " + std::to_string(n) + " bytes needs 64-bit offsets");
    out.values.resize((rows + 1) * sizeof(Off));
    // The values' bytes cannot exceed n - rows; the slack lets short values
    // be copied as one fixed 16-byte move.
    out.data.resize(n - rows + 16);
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
        // The values still to come take at least a length byte each: that
        // keeps the bytes copied within the buffer sized above.
        if (len > n - pos || n - pos - len < rows - i - 1)
            return bad("value " + std::to_string(i) + " of " + std::to_string(len) +
                       " bytes runs past the payload's end");
        if (len <= 16 && n - pos >= 16) {
            std::memcpy(d + total, p + pos, 16);  // what lies past len is overwritten or beyond the end
        } else if (len > 0) {
            std::memcpy(d + total, p + pos, static_cast<std::size_t>(len));
        }
        if (len == 0) ++empties;
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
            if (!common::is_valid_utf8(
                    all.substr(static_cast<std::size_t>(off[i]), static_cast<std::size_t>(off[i + 1] - off[i]))))
                return bad("value " + std::to_string(i) + " is not valid UTF-8");
        }
    }
    for (std::size_t i = 0; i < c.length; ++i) {
        if (off[i] != off[i + 1] && is_continuation(c.data.data()[off[i]]))
            return bad("value " + std::to_string(i) + " is not valid UTF-8");
    }
    return {};
}

}  // namespace

bool is_integer_encoding(ColumnEncoding e) noexcept {
    return e == ColumnEncoding::LINEAR || e == ColumnEncoding::RUN_LENGTH || e == ColumnEncoding::DELTA ||
           e == ColumnEncoding::BIT_PACKED;
}

Result<void> internal::decode_integers_into(ColumnEncoding encoding, ByteView in, std::size_t rows, std::int64_t* xs) {
    std::size_t pos = 0;
    switch (encoding) {
        case ColumnEncoding::LINEAR: {
            std::int64_t x0, step;
            if (!get_zigzag_varint(in, pos, x0) || !get_zigzag_varint(in, pos, step))
                return bad("truncated LINEAR payload");
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
            if (runs > rows)
                return bad("RUN_LENGTH has " + std::to_string(runs) + " runs for " + std::to_string(rows) + " values");
            std::size_t filled = 0;
            for (std::uint64_t r = 0; r < runs; ++r) {
                std::uint64_t count;
                std::int64_t value;
                if (!get_varint(in, pos, count) || !get_zigzag_varint(in, pos, value))
                    return bad("truncated RUN_LENGTH run");
                if (count == 0) return bad("RUN_LENGTH run of length 0");
                if (count > rows - filled)
                    return bad("RUN_LENGTH runs cover more than " + std::to_string(rows) + " values");
                std::fill_n(xs + filled, static_cast<std::size_t>(count), value);
                filled += static_cast<std::size_t>(count);
            }
            if (filled != rows)
                return bad("RUN_LENGTH runs cover " + std::to_string(filled) + " of " + std::to_string(rows) +
                           " values");
            break;
        }
        case ColumnEncoding::DELTA: {
            if (rows > in.size()) return bad("DELTA payload too short for " + std::to_string(rows) + " values");
            std::int64_t x = 0;
            for (std::size_t i = 0; i < rows; ++i) {
                std::int64_t d;
                if (!get_zigzag_varint(in, pos, d)) return bad("truncated DELTA payload at value " + std::to_string(i));
                x = i == 0 ? d : wrapping_add(x, d);
                xs[i] = x;
            }
            break;
        }
        case ColumnEncoding::BIT_PACKED: {
            std::int64_t min;
            if (!get_zigzag_varint(in, pos, min) || pos >= in.size()) return bad("truncated BIT_PACKED header");
            unsigned width = in[pos++];
            if (width > 32) return bad("BIT_PACKED width " + std::to_string(width) + " exceeds 32");
            std::uint64_t need = (static_cast<std::uint64_t>(rows) * width + 7) / 8;
            if (need != in.size() - pos)
                return bad("BIT_PACKED needs " + std::to_string(need) + " data bytes, has " +
                           std::to_string(in.size() - pos));
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
        default: return bad("encoding " + std::to_string(static_cast<int>(encoding)) + " is not an integer encoding");
    }
    if (pos != in.size()) return bad(std::to_string(in.size() - pos) + " unused bytes after the values");
    return {};
}

Result<std::vector<std::int64_t>> internal::decode_integers(ColumnEncoding encoding, ByteView in, std::size_t rows) {
    if (!is_integer_encoding(encoding))
        return bad("encoding " + std::to_string(static_cast<int>(encoding)) + " is not an integer encoding");
    std::vector<std::int64_t> xs(rows);
    if (auto r = decode_integers_into(encoding, in, rows, xs.data()); !r) return std::move(r).error();
    return xs;
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
            // Decoded straight into the column's buffer (the caller has
            // weighed its rows x 8 bytes against its budget); a float
            // column's values then become doubles where they lie.
            c.values.resize(rows * 8);
            std::int64_t* xs = c.values.as<std::int64_t>();
            if (auto r = decode_integers_into(meta.encoding, in, rows, xs); !r) return std::move(r).error();
            if (type_code == TYPE_FLOAT) {
                double* out = c.values.as<double>();
                for (std::size_t i = 0; i < rows; ++i) out[i] = static_cast<double>(xs[i]) / FLOAT_SCALE;
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
        default: break;
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
            auto v = check_value(bytes, pos);
            if (!v) return bad(v.error().message + " at value " + std::to_string(i));
            if (pos != bytes.size()) return bad("value " + std::to_string(i) + " is followed by unused bytes");
            if (bytes[0] == 0x00) {
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

Value stored_value(const DecodedColumn& c, std::size_t i) {
    switch (c.layout) {
        case ColumnLayout::Int64: return Value::from_int(c.int_at(i));
        case ColumnLayout::Float64: return Value::from_float(c.float_at(i));
        case ColumnLayout::Bool: return Value::from_bool(c.bool_at(i));
        case ColumnLayout::Utf8: return Value::from_text(std::string(c.cell(i)));
        case ColumnLayout::Binary: {
            const ByteView b = as_bytes(c.cell(i));
            return Value::from_bytes(Bytes(b.begin(), b.end()));
        }
        case ColumnLayout::Structured: {
            // The decoder checked that every cell is one serialized value.
            auto v = structured_cell(c.cell(i));
            return v ? std::move(*v) : Value();
        }
    }
    return Value();
}

}  // namespace sarn::container
