"""A second, independent writer of SARN containers for CSV input, in plain
Python.

It exists to be compared byte for byte with the native module: it is slow
and simple on purpose, written to read as a description of the format.
Everything the native writer decides is decided here too:

  container_from_csv    the CSV dialect, batching into chunks of CHUNK_SIZE
                        rows, header, column blocks, footer and trailer
  text column           PLAIN payload, min/max text, 4096-bit membership filter
  compress_block        the block codec: method choice among six forms
  lz_encode             LZ tokens with 4-byte hash chains and look-ahead
  huffman_encode        canonical Huffman with a 15-bit limit
  range_encode          static 14-bit range coder

Only text columns are covered, since that is all the CSV pipeline writes.
"""

from __future__ import annotations

import collections
import struct
import zlib

# How often the rarer paths of the codec ran since the last clear(); the
# tests read it to show that their inputs reach every path.
STATS: collections.Counter = collections.Counter()

# ---------------------------------------------------------------------------
# Small helpers
# ---------------------------------------------------------------------------

MASK32 = 0xFFFFFFFF
MASK64 = 0xFFFFFFFFFFFFFFFF


def u16(v: int) -> bytes:
    return struct.pack("<H", v)


def u32(v: int) -> bytes:
    return struct.pack("<I", v)


def u64(v: int) -> bytes:
    return struct.pack("<Q", v)


def varint(v: int) -> bytes:
    """Unsigned LEB128: seven bits a byte, low group first."""
    out = bytearray()
    while True:
        byte = v & 0x7F
        v >>= 7
        if v:
            out.append(byte | 0x80)
        else:
            out.append(byte)
            return bytes(out)


def zigzag(v: int) -> int:
    return ((v << 1) ^ (v >> 63)) & MASK64


# ---------------------------------------------------------------------------
# LZ stage
# ---------------------------------------------------------------------------

MIN_MATCH = 6
MAX_MATCH = 65535
MAX_DISTANCE = 65535
GOOD_MATCH = 127
CHAIN_STEPS = 8
HASH_SLOTS = 65536

# A literal FF is the match token with distance 0 and length 1.
FF_LITERAL = b"\xff\x00\x00\x01\x00"


def escape_literals(data: bytes) -> bytes:
    """Every byte as a literal token: FF becomes its five-byte escape."""
    STATS["ff literal"] += data.count(0xFF)
    return data.replace(b"\xff", FF_LITERAL)


def _match_length(data: bytes, q: int, p: int, limit: int) -> int:
    """Number of equal bytes at q.. and p.. (q < p), at most `limit`.

    The source may overlap the target; the comparison is on the input
    itself, so that does not matter.  Whole slices are compared first only
    to keep the reference quick on long repeats."""
    length = 0
    step = 64
    while length + step <= limit and data[q + length:q + length + step] == data[p + length:p + length + step]:
        length += step
    while length < limit and data[q + length] == data[p + length]:
        length += 1
    return length


def lz_encode(data: bytes) -> bytes:
    n = len(data)
    assert n >= 10
    head = [0] * HASH_SLOTS  # most recent position + 1 for each hash, 0 = none
    prev = [0] * n  # per entered position: the chain's previous entry (+1)
    entered = bytearray(n)

    def hash_at(p: int) -> int:
        v = data[p] | (data[p + 1] << 8) | (data[p + 2] << 16) | (data[p + 3] << 24)
        return ((v * 0x9E3779B1) & MASK32) >> 16

    def enter(p: int) -> None:
        if entered[p]:
            return
        entered[p] = 1
        h = hash_at(p)
        prev[p] = head[h]
        head[h] = p + 1

    def search(p: int) -> tuple[int, int, bool]:
        """Best (length, distance) at p and whether the good-match exit
        ended the walk.  p has been entered, so the first entry is p itself
        and counts as one of the eight.  The look-ahead uses this very
        search, so it too stops at its first length above GOOD_MATCH, even
        one too short to beat the match at j by two."""
        limit = min(n - p, MAX_MATCH)
        best_len = 0
        best_dist = 0
        prefix = data[p:p + 4]
        entry = head[hash_at(p)]
        visited = 0
        while entry != 0 and visited < CHAIN_STEPS:
            visited += 1
            q = entry - 1
            d = p - q
            if d > MAX_DISTANCE:
                break
            if d != 0 and data[q:q + 4] == prefix:
                length = 4 + _match_length(data, q + 4, p + 4, limit - 4)
                if length > best_len:
                    best_len, best_dist = length, d
                if best_len > GOOD_MATCH:
                    return best_len, best_dist, True
            entry = prev[q]
        return best_len, best_dist, False

    out = bytearray()
    literal_start = 0
    j = 0
    while j < n:
        if j >= n - 4:
            j += 1  # the last four positions are never entered nor searched
            continue
        enter(j)
        best_len, best_dist, good_exit = search(j)
        STATS["lz good-match exit"] += good_exit
        if best_len < MIN_MATCH:
            j += 1
            continue
        # Only the good-match exit skips the look-ahead; a walk that ran out
        # of entries, distance or steps is an ordinary end.
        if not good_exit and j + 1 < n - 4:
            enter(j + 1)
            next_len, _, _ = search(j + 1)
            if next_len >= MIN_MATCH and next_len >= best_len + 2:
                STATS["lz look-ahead taken"] += 1
                j += 1  # leave j as a literal, take the longer match next
                continue
        out += escape_literals(data[literal_start:j])
        out += b"\xff" + u16(best_dist) + u16(best_len)
        if best_len == MAX_MATCH:
            STATS["lz maximum match"] += 1
        step = 1 if best_len < 33 else (2 if best_len <= 64 else 4)
        k = 1
        while k < best_len and j + k < n - 4:
            enter(j + k)
            k += step
        j += best_len
        literal_start = j
    out += escape_literals(data[literal_start:])
    return bytes(out)


# ---------------------------------------------------------------------------
# Huffman coder
# ---------------------------------------------------------------------------

MAX_CODE_LEN = 15


class _Node:
    __slots__ = ("count", "symbol", "left", "right")

    def __init__(self, count, symbol=None, left=None, right=None):
        self.count = count
        self.symbol = symbol
        self.left = left
        self.right = right


class _Heap:
    """Binary heap in an array, least count at the root, with exactly the
    push and pop moves the format fixes: ties are never broken by symbol,
    so these moves decide the code lengths of equal counts."""

    def __init__(self):
        self.a: list[_Node] = []

    def __len__(self):
        return len(self.a)

    def _sift_up(self, i: int, node: _Node) -> None:
        a = self.a
        while i > 0:
            parent = (i - 1) // 2
            if node.count < a[parent].count:
                a[i] = a[parent]
                i = parent
            else:
                break
        a[i] = node

    def push(self, node: _Node) -> None:
        self.a.append(node)
        self._sift_up(len(self.a) - 1, node)

    def pop(self) -> _Node:
        a = self.a
        last = a.pop()
        if not a:
            return last
        result = a[0]
        size = len(a)
        hole = 0
        while 2 * hole + 2 < size:
            left, right = 2 * hole + 1, 2 * hole + 2
            child = right if a[right].count <= a[left].count else left
            a[hole] = a[child]
            hole = child
        if 2 * hole + 1 < size:
            a[hole] = a[2 * hole + 1]
            hole = 2 * hole + 1
        self._sift_up(hole, last)
        return result


def _tree_lengths(counts: list[int]) -> dict[int, int]:
    """Code length per occurring symbol from one run of the heap procedure."""
    heap = _Heap()
    for symbol in range(256):
        if counts[symbol]:
            heap.push(_Node(counts[symbol], symbol))
    while len(heap) > 1:
        a = heap.pop()
        b = heap.pop()
        heap.push(_Node(a.count + b.count, left=a, right=b))
    root = heap.pop()
    lengths: dict[int, int] = {}
    stack = [(root, 0)]
    while stack:
        node, depth = stack.pop()
        if node.symbol is not None:
            lengths[node.symbol] = depth
        else:
            stack.append((node.right, depth + 1))
            stack.append((node.left, depth + 1))
    return lengths


def huffman_code_lengths(counts: list[int]) -> dict[int, int]:
    """Lengths of the heap-built tree; a tree deeper than 15 levels is
    rebuilt from halved counts (never below 1) until it fits."""
    counts = list(counts)
    while True:
        lengths = _tree_lengths(counts)
        if max(lengths.values()) <= MAX_CODE_LEN:
            return lengths
        STATS["huffman counts halved"] += 1
        counts = [0 if c == 0 else max(1, c // 2) for c in counts]


def canonical_codes(lengths: dict[int, int]) -> dict[int, tuple[int, int]]:
    codes = {}
    code = 0
    prev_len = 0
    for i, (length, symbol) in enumerate(sorted((n, s) for s, n in lengths.items())):
        if i:
            code = (code + 1) << (length - prev_len)
        codes[symbol] = (code, length)
        prev_len = length
    return codes


def huffman_encode(data: bytes) -> bytes:
    n = len(data)
    if n == 0:
        return b""
    counts = [0] * 256
    for b in data:
        counts[b] += 1
    present = [s for s in range(256) if counts[s]]
    if len(present) == 1:
        return b"\xff\x01" + bytes([present[0]]) + b"\x01" + u32(n) + bytes((n + 7) // 8)

    lengths = huffman_code_lengths(counts)
    codes = canonical_codes(lengths)
    out = bytearray()
    if len(present) <= 126:
        out.append(0xFF)
        out.append(len(present))
        for s in present:
            out += bytes((s, lengths[s]))
    else:
        out.append(0xFE)
        out += bytes(lengths.get(s, 0) for s in range(256))
    out += u32(n)

    # Bit stream, most significant bit first, zero-padded to a whole byte.
    as_bits = {s: format(code, f"0{length}b") for s, (code, length) in codes.items()}
    bits = "".join(as_bits[b] for b in data)
    bits += "0" * (-len(bits) % 8)
    out += int(bits, 2).to_bytes(len(bits) // 8, "big")
    return bytes(out)


# ---------------------------------------------------------------------------
# Range coder
# ---------------------------------------------------------------------------

FREQ_BITS = 14
FREQ_TOTAL = 1 << FREQ_BITS


def scaled_frequencies(counts: list[int], n: int) -> list[int]:
    freq = [0] * 256
    for s in range(256):
        if counts[s]:
            freq[s] = max(1, counts[s] * FREQ_TOTAL // n)
    total = sum(freq)
    if total < FREQ_TOTAL:
        # The whole shortfall goes to the most frequent value, the highest
        # byte value among equal counts.
        top = max(range(256), key=lambda s: (counts[s], s))
        freq[top] += FREQ_TOTAL - total
    while total > FREQ_TOTAL:
        top = max((s for s in range(256) if freq[s] >= 2), key=lambda s: (freq[s], s))
        freq[top] -= 1
        total -= 1
    return freq


def range_encode(data: bytes) -> bytes:
    n = len(data)
    if n == 0:
        return b""
    counts = [0] * 256
    for b in data:
        counts[b] += 1
    present = [s for s in range(256) if counts[s]]
    if len(present) == 1:
        return u16(1) + bytes([present[0]]) + u16(FREQ_TOTAL) + u32(n)

    freq = scaled_frequencies(counts, n)
    cum = [0] * 256
    running = 0
    for s in range(256):
        cum[s] = running
        running += freq[s]

    out = bytearray(u16(len(present)))
    for s in present:
        out += bytes([s]) + u16(freq[s])
    out += u32(n)

    coded = bytearray()
    low = 0
    rng = MASK32
    for s in data:
        r = rng >> FREQ_BITS
        low += r * cum[s]
        if low > MASK32:
            # Carry out of the 32-bit register into the bytes already out.
            STATS["range carry"] += 1
            low &= MASK32
            i = len(coded) - 1
            while coded[i] == 0xFF:
                STATS["range carry through FF"] += 1
                coded[i] = 0
                i -= 1
            assert i >= 0
            coded[i] += 1
        rng = r * freq[s]
        while rng <= 0xFFFF:
            coded.append(low >> 24)
            low = (low << 8) & MASK32
            rng <<= 8
    coded += struct.pack(">I", low)
    return bytes(out + coded)


# ---------------------------------------------------------------------------
# Block compressor
# ---------------------------------------------------------------------------

LZ, LZ_HUFFMAN, STORED, HUFFMAN, RANGE, LZ_RANGE = range(6)


def compress_block(data: bytes) -> bytes:
    n = len(data)
    if n == 0:
        return b""
    tokens = escape_literals(data) if n <= 9 else lz_encode(data)
    L = len(tokens)
    # Short token streams never meet the entropy coders.
    if L < 512:
        chosen = LZ if L < n else STORED
        STATS[f"method {chosen}"] += 1
        return bytes([LZ]) + tokens if chosen == LZ else bytes([STORED]) + data

    payloads = {LZ: tokens, STORED: data}
    payloads[LZ_HUFFMAN] = huffman_encode(tokens)
    # Huffman on the raw input only when LZ saved less than 15 %.
    if n >= 512 and 100 * L > 85 * n:
        payloads[HUFFMAN] = huffman_encode(data)
    # The range coder only when Huffman on the tokens stays at 70 % of the
    # stored size or above.
    if not 100 * (1 + len(payloads[LZ_HUFFMAN])) < 70 * (n + 1):
        payloads[LZ_RANGE] = range_encode(tokens)
        if n >= 256:
            payloads[RANGE] = range_encode(data)

    # Smallest wins; RANGE takes any tie, then LZ_RANGE, STORED, LZ_HUFFMAN,
    # HUFFMAN and LZ in that order.
    size = {method: 1 + len(p) for method, p in payloads.items()}
    smallest = min(s for method, s in size.items() if method != RANGE)
    if RANGE in size and size[RANGE] <= smallest:
        chosen = RANGE
    else:
        chosen = next(m for m in (LZ_RANGE, STORED, LZ_HUFFMAN, HUFFMAN, LZ) if size.get(m) == smallest)
    STATS[f"method {chosen}"] += 1
    return bytes([chosen]) + payloads[chosen]


# ---------------------------------------------------------------------------
# Text columns
# ---------------------------------------------------------------------------

BLOOM_BITS = 4096
BLOOM_SEEDS = (0x9E3779B97F4A7C15, 0x6C62272E07BB0142, 0xBF58476D1CE4E5B9)
BLOOM_MULTIPLIER = 0x517CC1B727220A95

ENCODING_PLAIN = 0
TYPE_TEXT = 4


def membership_filter(values: list[bytes]) -> bytes:
    bloom = bytearray(BLOOM_BITS // 8)
    for value in values:
        for seed in BLOOM_SEEDS:
            h = seed
            for b in value:
                h = ((h ^ b) * BLOOM_MULTIPLIER) & MASK64
            bit = h % BLOOM_BITS
            bloom[bit // 8] |= 1 << (bit % 8)
    return bytes(bloom)


def plain_text_payload(values: list[bytes]) -> bytes:
    return b"".join(varint(len(v)) + v for v in values)


class ColumnMeta:
    def __init__(self, offset, compressed_len, values):
        self.offset = offset
        self.compressed_len = compressed_len
        self.encoding = ENCODING_PLAIN
        self.null_count = 0  # CSV rows are padded with empty texts, never null
        self.min_int = 0
        self.max_int = 0
        self.min_text = min(values)  # bytes order: unsigned, a prefix first
        self.max_text = max(values)
        self.bloom = membership_filter(values)

    def footer_entry(self) -> bytes:
        return (
            u64(self.offset)
            + u64(self.compressed_len)
            + bytes([self.encoding])
            + u32(self.null_count)
            + varint(zigzag(self.min_int))
            + varint(zigzag(self.max_int))
            + varint(len(self.min_text)) + self.min_text
            + varint(len(self.max_text)) + self.max_text
            + self.bloom
        )


# ---------------------------------------------------------------------------
# Container
# ---------------------------------------------------------------------------

MAGIC = b"SARN"
FORMAT_VERSION = 2
CHUNK_SIZE = 65536


def container_header(names: list[bytes], chunk_size: int, created_at: int) -> bytes:
    schema_body = b"".join(varint(len(name)) + name + bytes([TYPE_TEXT, 0]) for name in names)
    schema_block = compress_block(schema_body)
    dict_block = compress_block(b"\x00")
    return (
        MAGIC
        + u16(FORMAT_VERSION)
        + u16(len(names))
        + u64(0)  # row_count, patched at the end
        + u32(0)  # chunk_count, patched at the end
        + u32(chunk_size)
        + u64(created_at)
        + bytes(32)
        + u32(len(schema_block)) + schema_block
        + u64(len(dict_block)) + dict_block
    )


def write_container(names: list[bytes], rows: list[list[bytes]], created_at: int,
                    chunk_size: int = CHUNK_SIZE) -> bytes:
    """A whole container for text rows (each row exactly len(names) long)."""
    out = bytearray(container_header(names, chunk_size, created_at))
    chunks: list[list[ColumnMeta]] = []
    for start in range(0, len(rows), chunk_size):
        batch = rows[start:start + chunk_size]
        metas = []
        for column in range(len(names)):
            values = [row[column] for row in batch]
            block = compress_block(plain_text_payload(values))
            metas.append(ColumnMeta(len(out), len(block), values))
            out += u32(zlib.crc32(block)) + u64(len(block)) + block
        chunks.append(metas)

    total_rows = len(rows)
    footer = bytearray(u32(len(chunks)) + u16(len(names)))
    for i in range(len(chunks)):
        footer += u32((min(total_rows, chunk_size * (i + 1)) - chunk_size * i) & MASK32)
    for metas in chunks:
        for meta in metas:
            footer += meta.footer_entry()
    footer_offset = len(out)
    footer_block = compress_block(bytes(footer))
    out += footer_block + u64(len(footer_block)) + u64(footer_offset)
    out[8:20] = u64(total_rows) + u32(len(chunks))
    return bytes(out)


# ---------------------------------------------------------------------------
# CSV dialect
# ---------------------------------------------------------------------------

# The characters with the Unicode White_Space property (str.strip() without
# an argument differs: it also strips U+001C..U+001F).
WHITE_SPACE = (
    "\t\n\v\f\r \x85\xa0\u1680"
    + "".join(chr(c) for c in range(0x2000, 0x200B))
    + "\u2028\u2029\u202f\u205f\u3000"
)


def csv_lines(data: bytes) -> list[str]:
    """Lines end at LF, with one CR right before it removed too; a last line
    without LF still counts.  Raises UnicodeDecodeError on non-UTF-8."""
    parts = data.split(b"\n")
    tail = parts.pop()
    lines = [p[:-1] if p.endswith(b"\r") else p for p in parts]
    if tail:
        lines.append(tail)
    return [line.decode("utf-8") for line in lines]


def trim(text: str) -> str:
    return text.strip(WHITE_SPACE)


def split_fields(line: str) -> list[bytes]:
    return [trim(piece).encode("utf-8") for piece in line.split(",")]


def container_from_csv(csv_bytes: bytes, created_at: int) -> bytes:
    lines = csv_lines(csv_bytes)
    if not lines:
        raise ValueError("CSV file is empty")
    names = split_fields(lines[0])
    rows = []
    for line in lines[1:]:
        if not trim(line):
            continue  # blank lines are neither rows nor counted
        pieces = split_fields(line)[:len(names)]
        rows.append(pieces + [b""] * (len(names) - len(pieces)))
    return write_container(names, rows, created_at)
