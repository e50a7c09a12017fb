// Internals shared by the two readers of column blocks, SarnReader
// (reader.cpp) and the column scan (scan.cpp): positioned reads of the
// file, the size of a block's head, the bound on a payload's decompressed
// size and the form of a CRC in an error text.
#pragma once

#include <cstdint>
#include <string>

#include "common/result.hpp"
#include "container/types.hpp"

namespace sarn::container::internal {

// CRC-32 and payload length in front of each column block.
inline constexpr std::uint64_t BLOCK_HEAD = 12;

// `v` as eight hex digits after "0x", as error texts show a CRC.
std::string hex32(std::uint32_t v);

// Reads exactly `size` bytes at `offset` of the open file `fd`; an early
// end of file is an error that names the offset.
Result<Bytes> read_at(int fd, std::uint64_t offset, std::uint64_t size);

// Largest payload a column of `rows` values can decompress to, by type
// code: the integer encodings take at most 20 bytes a value plus a head
// (the float marker among it), a bitmap one bit a value; text, bytes and
// structured values have no such bound.  Never more than `limit`.
std::uint64_t payload_bound(std::uint8_t type_code, std::uint64_t rows, std::uint64_t limit);

}  // namespace sarn::container::internal
