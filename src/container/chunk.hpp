// Column payloads: how the values of one column of one chunk are laid out
// in the payload of a column block.  This header gathers the two sides:
// chunk_encode.hpp (values to payload, with the footer's statistics) and
// chunk_decode.hpp (payload back to values, checked).  Their internals, and
// the self-describing form of one value, are in chunk_internal.hpp and
// value_serial_internal.hpp.
//
// Payload forms per column type code:
//   1 integer  integer view of each value, through the integer pipeline
//   2 float    0xFE 0x04, then the integer pipeline over value x 10000
//              (rounded half away from zero): four decimals are kept
//   3 boolean  BITMAP, one bit per value, least significant bit first
//   4 text     PLAIN: per value a varint length and the bytes
//   5 bytes    PLAIN, as text
//   6-8        PLAIN over serialize_value of each value
//
// The integer pipeline picks LINEAR for arithmetic progressions (and for at
// most two values), otherwise the shortest of RUN_LENGTH, DELTA and
// BIT_PACKED, ties going to BIT_PACKED, then DELTA.  The number of values is
// never stored: a reader takes it from the chunk's row count.
#pragma once

#include "container/chunk_decode.hpp"
#include "container/chunk_encode.hpp"
