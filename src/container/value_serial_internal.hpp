// Value serialization: the self-describing form of one cell (a tag byte,
// then a body) that structured columns store, and the length-prefixed byte
// string (a varint length, then the bytes) that text, bytes and structured
// columns, and the nested parts of a structured value, are made of.
//
// Tags: 0 null; 1 integer (zigzag varint); 2 float (the IEEE 754 bits,
// little-endian); 3 text and 5 bytes (length-prefixed); 4 boolean (one byte,
// 0 or 1); 6 object (a count, then per entry a length-prefixed key and a
// length-prefixed serialized value); 7 list (a count, then length-prefixed
// serialized items); 8 map (a count, then length-prefixed serialized keys and
// values).
//
// Only the chunk encoder and decoder of this folder (and the tests) use it:
// outside the container, values travel as whole columns.
#pragma once

#include <cstddef>
#include <string>

#include "common/result.hpp"
#include "container/types.hpp"

namespace sarn::container::internal {

// Appends `bytes` with its varint length in front.
inline void put_plain(Bytes& out, ByteView bytes) {
    put_varint(out, bytes.size());
    out.insert(out.end(), bytes.begin(), bytes.end());
}

// One length-prefixed byte string from `pos` (advancing it).
Result<std::string> read_plain_string(ByteView in, std::size_t& pos);

// The self-describing form of `v`.
Bytes serialize_value(const Value& v);
void serialize_value_into(Bytes& out, const Value& v);

// One serialized value from `pos` (advancing it).  Structures nested more
// than MAX_VALUE_NESTING deep are refused: decoding them would exhaust the
// stack.  Room for a structure's elements is reserved only as far as the
// bytes left can hold them.
Result<Value> deserialize_value(ByteView in, std::size_t& pos);

// The same checks as deserialize_value, with the same error texts, without
// building the value, and that every text inside it (text values, object
// keys) is UTF-8, as reading it as text needs: what a decoder runs over
// every cell of a block before anything is built from it.
Result<void> check_value(ByteView in, std::size_t& pos);

// One serialized value inside a length prefix, which it must fill exactly.
Result<Value> deserialize_prefixed_value(ByteView in, std::size_t& pos);

}  // namespace sarn::container::internal
