"""Containers built byte by byte, for the tests of hostile and damaged input.

Everything a container holds is given as it is stored: the compressed block
of each column (its method byte and payload, as the writer of a hostile file
would pick them), the encoding, null count and statistics of its footer
entry.  The builder lays out header, schema, blocks, footer and trailer and
computes every CRC-32, so the reader's checks of structure and checksums
pass and what is tested is what lies beyond them.

Blocks that decode to far more than they take:
  range_one(b, n)      RANGE of one byte value: 10 bytes for n bytes of b
  lz_run(prefix, n)    LZ tokens: `prefix` as literals, then its last byte
                       repeated by matches of 65,535 up to n bytes in all
  lz_range_one(b, n)   LZ_RANGE whose n tokens are all the literal b: no
                       length stated for the content at all
"""

from __future__ import annotations

import pathlib
import struct
import sys
import zlib
from dataclasses import dataclass, field

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "reference"))
import sarn_reference as ref  # noqa: E402

BLOOM_BYTES = 512
MAX_MATCH = 65535

INT, FLOAT, BOOL, TEXT, BYTES, OBJECT, LIST, MAP = range(1, 9)
PLAIN, RUN_LENGTH, DELTA, BITMAP, LINEAR, BIT_PACKED = 0, 1, 2, 4, 6, 7


def u16(v: int) -> bytes:
    return struct.pack("<H", v)


def u32(v: int) -> bytes:
    return struct.pack("<I", v)


def u64(v: int) -> bytes:
    return struct.pack("<Q", v)


def varint(v: int) -> bytes:
    return ref.varint(v)


def zigzag(v: int) -> bytes:
    return ref.varint(ref.zigzag(v))


def plain(values: list[bytes]) -> bytes:
    """A PLAIN payload: each value behind its varint length."""
    return b"".join(varint(len(v)) + v for v in values)


def bloom(values: list[bytes]) -> bytes:
    return ref.membership_filter(values)


# ---- blocks ------------------------------------------------------------------------------


def stored(content: bytes) -> bytes:
    """The stored form (the empty content is the empty block)."""
    return b"\x02" + content if content else b""


def compressed(content: bytes) -> bytes:
    """What the writer's block compressor makes of `content` (small inputs)."""
    return ref.compress_block(content)


def range_one(byte: int, n: int) -> bytes:
    return b"\x04" + u16(1) + bytes([byte]) + u16(16384) + u32(n)


def lz_range_one(byte: int, n: int) -> bytes:
    assert byte != 0xFF
    return b"\x05" + u16(1) + bytes([byte]) + u16(16384) + u32(n)


def _literals(data: bytes) -> bytes:
    return b"".join(b"\xff\x00\x00\x01\x00" if b == 0xFF else bytes([b]) for b in data)


def lz_tokens_run(prefix: bytes, total: int) -> bytes:
    """Tokens for `prefix` followed by its last byte repeated up to `total` bytes."""
    assert prefix and total >= len(prefix)
    out = bytearray(_literals(prefix))
    left = total - len(prefix)
    while left > 0:
        k = min(left, MAX_MATCH)
        if k < 6:
            out += _literals(prefix[-1:] * k)
        else:
            out += b"\xff" + u16(1) + u16(k)
        left -= k
    return bytes(out)


def lz_run(prefix: bytes, total: int, suffix: bytes = b"") -> bytes:
    """An LZ block: `prefix`, its last byte up to `total` bytes, then `suffix`."""
    return b"\x00" + lz_tokens_run(prefix, total) + _literals(suffix)


def lz_repeat(unit: bytes, total: int) -> bytes:
    """An LZ block of `unit` repeated up to `total` bytes (a match may be
    longer than its distance: it repeats what it copies)."""
    out = bytearray(b"\x00" + _literals(unit))
    left = total - len(unit)
    while left > 0:
        k = min(left, MAX_MATCH)
        out += b"\xff" + u16(len(unit)) + u16(k)
        left -= k
    return bytes(out)


def lz_pieces(pieces: list[tuple[bytes, int]]) -> bytes:
    """An LZ block of several runs: each (bytes, total) as lz_tokens_run."""
    return b"\x00" + b"".join(lz_tokens_run(p, n) for p, n in pieces)


# ---- container ---------------------------------------------------------------------------


@dataclass
class Block:
    """One column block and its footer entry."""

    data: bytes  # the compressed block as stored
    encoding: int = PLAIN
    null_count: int = 0
    min_int: int = 0
    max_int: int = 0
    min_text: bytes = b""
    max_text: bytes = b""
    bloom: bytes = bytes(BLOOM_BYTES)

    def entry(self, offset: int) -> bytes:
        return (u64(offset) + u64(len(self.data)) + bytes([self.encoding]) + u32(self.null_count)
                + zigzag(self.min_int) + zigzag(self.max_int)
                + varint(len(self.min_text)) + self.min_text + varint(len(self.max_text)) + self.max_text
                + self.bloom)


@dataclass
class Column:
    name: str
    type_code: int = TEXT
    encrypted: int = 0


@dataclass
class Container:
    columns: list[Column]
    chunk_size: int
    chunks: list[list[Block]] = field(default_factory=list)  # per chunk, one block per column
    rows: int | None = None  # the header's row count; by default what chunk_size implies
    created_at: int = 0
    footer_block: bytes | None = None  # the footer as stored; by default the body stored
    schema_block: bytes | None = None  # the schema as stored; by default the body stored
    footer_tail: bytes = b""  # bytes after the entries, inside the body

    def footer_body(self, offsets: list[list[int]]) -> bytes:
        rows = self.row_count()
        body = bytearray(u32(len(self.chunks)) + u16(len(self.columns)))
        size = max(self.chunk_size, 1)
        for i in range(len(self.chunks)):
            body += u32((min(rows, size * (i + 1)) - size * i) & 0xFFFFFFFF)
        for chunk, at in zip(self.chunks, offsets):
            for block, offset in zip(chunk, at):
                body += block.entry(offset)
        return bytes(body) + self.footer_tail

    def row_count(self) -> int:
        if self.rows is not None:
            return self.rows
        return self.chunk_size * len(self.chunks)

    def build(self) -> bytes:
        schema_body = b"".join(varint(len(c.name.encode())) + c.name.encode() + bytes([c.type_code, c.encrypted])
                               for c in self.columns)
        schema_block = stored(schema_body) if self.schema_block is None else self.schema_block
        out = bytearray(b"SARN" + u16(2) + u16(len(self.columns)) + u64(self.row_count()) + u32(len(self.chunks))
                        + u32(self.chunk_size) + u64(self.created_at) + bytes(32)
                        + u32(len(schema_block)) + schema_block + u64(2) + b"\x02\x00")
        offsets = []
        for chunk in self.chunks:
            at = []
            for block in chunk:
                at.append(len(out))
                out += u32(zlib.crc32(block.data)) + u64(len(block.data)) + block.data
            offsets.append(at)
        footer_offset = len(out)
        footer = self.footer_block if self.footer_block is not None else stored(self.footer_body(offsets))
        out += footer + u64(len(footer)) + u64(footer_offset)
        return bytes(out)

    def write(self, path) -> pathlib.Path:
        path = pathlib.Path(path)
        path.write_bytes(self.build())
        return path


def offsets_of(container: Container) -> list[list[int]]:
    """Where build() puts each block (for a footer made by hand)."""
    schema_len = len(stored(b"".join(varint(len(c.name.encode())) + c.name.encode() + b"xx"
                                     for c in container.columns)))
    at = 4 + 2 + 2 + 8 + 4 + 4 + 8 + 32 + 4 + schema_len + 8 + 2
    out = []
    for chunk in container.chunks:
        row = []
        for block in chunk:
            row.append(at)
            at += 12 + len(block.data)
        out.append(row)
    return out


# ---- columns of one kind -------------------------------------------------------------------


def text_block(values: list[bytes], data: bytes | None = None, null_count: int = 0) -> Block:
    """A text block with the statistics the writer computes."""
    present = values if null_count == 0 else [v for v in values if v]
    return Block(data if data is not None else compressed(plain(values)), PLAIN, null_count,
                 min_text=min(present) if present else b"", max_text=max(present) if present else b"",
                 bloom=bloom(values))


def int_linear(start: int, step: int, rows: int, min_int: int | None = None, max_int: int | None = None,
               null_count: int = 0) -> Block:
    last = start + step * (rows - 1)
    return Block(stored(zigzag(start) + zigzag(step)), LINEAR, null_count,
                 min(start, last) if min_int is None else min_int, max(start, last) if max_int is None else max_int)
