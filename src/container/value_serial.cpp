#include "container/value_serial_internal.hpp"

#include <algorithm>
#include <cstring>

#include "common/utf8.hpp"
#include <string>

namespace sarn::container::internal {

// ---- writing ---------------------------------------------------------------

void serialize_value_into(Bytes& out, const Value& v) {
    switch (v.kind()) {
        case ValueKind::Null: out.push_back(0x00); break;
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

// ---- reading ---------------------------------------------------------------

namespace {

Error bad(std::string text) { return Error::value(std::move(text)); }

}  // namespace

Result<std::string> read_plain_string(ByteView in, std::size_t& pos) {
    std::uint64_t len;
    if (!get_varint(in, pos, len) || len > in.size() - pos) return bad("truncated string");
    std::string s(reinterpret_cast<const char*>(in.data() + pos), static_cast<std::size_t>(len));
    pos += static_cast<std::size_t>(len);
    return s;
}

namespace {

Result<Value> deserialize_at(ByteView in, std::size_t& pos, int depth);

// The fewest bytes one element of a structure takes: a list item its length
// prefix and a tag; an object entry a key length, a value length and a tag;
// a map pair two length prefixes and two tags.
std::uint64_t min_element_bytes(std::uint8_t tag) { return tag == 0x07 ? 2 : tag == 0x06 ? 3 : 4; }

// Room reserved for `count` elements: no more than the bytes left can hold.
std::size_t reservable(std::uint64_t count, std::size_t left, std::uint8_t tag) {
    return static_cast<std::size_t>(std::min<std::uint64_t>(count, left / min_element_bytes(tag)));
}

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

Result<Value> deserialize_at(ByteView in, std::size_t& pos, int depth) {
    if (depth > MAX_VALUE_NESTING) return bad(NESTED_TOO_DEEPLY);
    if (pos >= in.size()) return bad("truncated value: missing tag");
    std::uint8_t tag = in[pos++];
    switch (tag) {
        case 0x00: return Value::null();
        case 0x01: {
            std::int64_t x;
            if (!get_zigzag_varint(in, pos, x)) return bad("truncated integer");
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
            auto s = read_plain_string(in, pos);
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
            auto s = read_plain_string(in, pos);
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
                obj.entries.reserve(reservable(count, in.size() - pos, tag));
                for (std::uint64_t i = 0; i < count; ++i) {
                    auto key = read_plain_string(in, pos);
                    if (!key) return key.error();
                    auto v = nested(in, pos, depth);
                    if (!v) return v;
                    obj.entries.emplace_back(std::move(*key), std::move(*v));
                }
                return Value::from_object(std::move(obj));
            }
            if (tag == 0x07) {
                ListValue list;
                list.items.reserve(reservable(count, in.size() - pos, tag));
                for (std::uint64_t i = 0; i < count; ++i) {
                    auto v = nested(in, pos, depth);
                    if (!v) return v;
                    list.items.push_back(std::move(*v));
                }
                return Value::from_list(std::move(list));
            }
            MapValue map;
            map.pairs.reserve(reservable(count, in.size() - pos, tag));
            for (std::uint64_t i = 0; i < count; ++i) {
                auto k = nested(in, pos, depth);
                if (!k) return k;
                auto v = nested(in, pos, depth);
                if (!v) return v;
                map.pairs.emplace_back(std::move(*k), std::move(*v));
            }
            return Value::from_map(std::move(map));
        }
        default: return bad("unknown value tag " + std::to_string(tag));
    }
}

}  // namespace

namespace {

Result<void> check_at(ByteView in, std::size_t& pos, int depth);

Result<void> check_nested(ByteView in, std::size_t& pos, int depth) {
    std::uint64_t len;
    if (!get_varint(in, pos, len) || len > in.size() - pos) return bad("truncated nested value");
    ByteView inner = in.subspan(pos, static_cast<std::size_t>(len));
    pos += static_cast<std::size_t>(len);
    std::size_t p = 0;
    if (auto r = check_at(inner, p, depth + 1); !r) return r;
    if (p != inner.size()) return bad("nested value shorter than its length prefix");
    return {};
}

// Texts inside a value (text values, object keys) that are not UTF-8 cannot
// be read as text by any reader: check_value refuses them as the rest.
constexpr const char* TEXT_NOT_UTF8 = "a text inside the value is not valid UTF-8";

std::string_view as_text(ByteView b) { return {reinterpret_cast<const char*>(b.data()), b.size()}; }

// deserialize_at's checks, in the same order and with the same texts,
// without building the value; and the texts inside it UTF-8.
Result<void> check_at(ByteView in, std::size_t& pos, int depth) {
    if (depth > MAX_VALUE_NESTING) return bad(NESTED_TOO_DEEPLY);
    if (pos >= in.size()) return bad("truncated value: missing tag");
    const std::uint8_t tag = in[pos++];
    switch (tag) {
        case 0x00: return {};
        case 0x01: {
            std::int64_t x;
            if (!get_zigzag_varint(in, pos, x)) return bad("truncated integer");
            return {};
        }
        case 0x02:
            if (in.size() - pos < 8) return bad("truncated float");
            pos += 8;
            return {};
        case 0x03:
        case 0x05: {
            std::uint64_t len;
            if (!get_varint(in, pos, len) || len > in.size() - pos) return bad("truncated string");
            if (tag == 0x03 && !common::is_valid_utf8(as_text(in.subspan(pos, static_cast<std::size_t>(len)))))
                return bad(TEXT_NOT_UTF8);
            pos += static_cast<std::size_t>(len);
            return {};
        }
        case 0x04: {
            if (pos >= in.size()) return bad("truncated boolean");
            const std::uint8_t b = in[pos++];
            if (b > 1) return bad("boolean byte " + std::to_string(b) + " is neither 0 nor 1");
            return {};
        }
        case 0x06:
        case 0x07:
        case 0x08: {
            std::uint64_t count;
            if (!get_varint(in, pos, count)) return bad("truncated element count");
            if (count > in.size() - pos) return bad("element count " + std::to_string(count) + " exceeds the data");
            for (std::uint64_t i = 0; i < count; ++i) {
                if (tag == 0x06) {
                    std::uint64_t len;
                    if (!get_varint(in, pos, len) || len > in.size() - pos) return bad("truncated string");
                    if (!common::is_valid_utf8(as_text(in.subspan(pos, static_cast<std::size_t>(len)))))
                        return bad(TEXT_NOT_UTF8);
                    pos += static_cast<std::size_t>(len);
                } else if (tag == 0x08) {
                    if (auto k = check_nested(in, pos, depth); !k) return k;
                }
                if (auto v = check_nested(in, pos, depth); !v) return v;
            }
            return {};
        }
        default: return bad("unknown value tag " + std::to_string(tag));
    }
}

}  // namespace

Result<Value> deserialize_value(ByteView in, std::size_t& pos) { return deserialize_at(in, pos, 0); }

Result<void> check_value(ByteView in, std::size_t& pos) { return check_at(in, pos, 0); }

Result<Value> deserialize_prefixed_value(ByteView in, std::size_t& pos) { return nested(in, pos, 0); }

}  // namespace sarn::container::internal
