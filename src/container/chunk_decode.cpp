#include "container/chunk_decode.hpp"

#include <string>

#include "container/chunk_internal.hpp"
#include "container/value_serial_internal.hpp"

namespace sarn::container {

using namespace internal;

namespace {

Error bad(std::string text) { return Error::value(std::move(text)); }

bool is_integer_encoding(ColumnEncoding e) {
    return e == ColumnEncoding::LINEAR || e == ColumnEncoding::RUN_LENGTH || e == ColumnEncoding::DELTA ||
           e == ColumnEncoding::BIT_PACKED;
}

}  // namespace

Result<std::vector<std::int64_t>> internal::decode_integers(ColumnEncoding encoding, ByteView in, std::size_t rows) {
    std::size_t pos = 0;
    std::vector<std::int64_t> xs;
    switch (encoding) {
        case ColumnEncoding::LINEAR: {
            std::int64_t x0, step;
            if (!get_zigzag_varint(in, pos, x0) || !get_zigzag_varint(in, pos, step)) return bad("truncated LINEAR payload");
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
                if (!get_varint(in, pos, count) || !get_zigzag_varint(in, pos, value)) return bad("truncated RUN_LENGTH run");
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
            auto s = read_plain_string(in, pos);
            if (!s) return bad(s.error().message + " at value " + std::to_string(i));
            if (type_code == TYPE_TEXT) values.push_back(Value::from_text(std::move(*s)));
            else values.push_back(Value::from_bytes(Bytes(s->begin(), s->end())));
        } else {
            auto v = deserialize_prefixed_value(in, pos);
            if (!v) return bad(v.error().message + " at value " + std::to_string(i));
            values.push_back(std::move(*v));
        }
    }
    if (pos != in.size()) return bad(std::to_string(in.size() - pos) + " unused bytes after the values");
    return values;
}

}  // namespace sarn::container
