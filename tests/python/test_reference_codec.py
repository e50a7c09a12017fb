"""The native block codec against the pure Python one in tests/reference,
byte for byte, on inputs built to reach every path of compress_block: each
of the six methods winning, the 511/512-byte token stream threshold, long
and maximal LZ matches, the look-ahead, literal FF escapes, Huffman trees
deeper than 15 levels and range coder carries.

The native side runs through the codec_tool program (SARN_CODEC_TOOL), in
one batch for all inputs of a test.
"""

import collections
import os
import pathlib
import random
import struct
import subprocess
import sys

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "reference"))
import sarn_reference as ref  # noqa: E402

CODEC_TOOL = os.environ.get("SARN_CODEC_TOOL")
pytestmark = pytest.mark.skipif(not CODEC_TOOL, reason="SARN_CODEC_TOOL is not set")


def native_blocks(inputs):
    """compress_block of every input, through one codec_tool --batch run."""
    request = b"".join(struct.pack("<I", len(data)) + data for data in inputs)
    done = subprocess.run([CODEC_TOOL, "--batch"], input=request, capture_output=True, check=True, timeout=120)
    out, pos, blocks = done.stdout, 0, []
    while pos < len(out):
        (size,) = struct.unpack_from("<I", out, pos)
        blocks.append(out[pos + 4:pos + 4 + size])
        pos += 4 + size
    assert len(blocks) == len(inputs)
    return blocks


def first_difference(a: bytes, b: bytes) -> str:
    i = next((k for k in range(min(len(a), len(b))) if a[k] != b[k]), min(len(a), len(b)))
    return f"lengths {len(a)} / {len(b)}, first difference at {i}: {a[i:i + 12].hex(' ')} / {b[i:i + 12].hex(' ')}"


def assert_same_blocks(named_inputs):
    names = [name for name, _ in named_inputs]
    inputs = [data for _, data in named_inputs]
    wrong = []
    for name, data, native in zip(names, inputs, native_blocks(inputs)):
        expected = ref.compress_block(data)
        if native != expected:
            wrong.append(f"{name} ({len(data)} bytes, native / reference): {first_difference(native, expected)}")
    assert not wrong, "\n".join(wrong)


# --- input builders ----------------------------------------------------------


ALL_BYTES = range(256)


def random_bytes(rng, n, alphabet=ALL_BYTES, weights=None):
    return bytes(rng.choices(list(alphabet), weights=weights, k=n))


def no_ff_random(rng, n):
    return random_bytes(rng, n, range(255))


def words_text(rng, n, vocabulary=200):
    """Text-like bytes: words of a small vocabulary, so LZ finds matches."""
    words = ["".join(rng.choice("etaoinshrdlucmfwypvbgkqjxz") for _ in range(rng.randint(2, 9)))
             for _ in range(vocabulary)]
    out = []
    size = 0
    while size < n:
        w = rng.choice(words) + rng.choice("     ,.\n")
        out.append(w)
        size += len(w)
    return "".join(out).encode()[:n]


def fibonacci_counts(rng, symbols, top=0xFF, k=None):
    """A shuffle in which the byte values occur with Fibonacci counts (the
    shape that makes the deepest Huffman trees), `top` the most frequent."""
    counts = [1, 1]
    while len(counts) < symbols:
        counts.append(counts[-1] + counts[-2])
    values = [v for v in range(1, 256) if v != top][:symbols - 1] + [top]
    data = [v for v, c in zip(values, counts) for _ in range(c)]
    rng.shuffle(data)
    return bytes(data)


def with_tail_match(rng, prefix_len, match_len, tail_len):
    """Random literals, one copy of an earlier stretch, random literals: a
    token stream of exactly prefix_len + 5 + tail_len bytes."""
    prefix = no_ff_random(rng, prefix_len)
    return prefix + prefix[100:100 + match_len] + no_ff_random(rng, tail_len)


def uniform_with_copies(rng, n, k, every=0, copy=0):
    """Uniform over k byte values (so Huffman's whole-bit lengths waste more
    than the range coder's table costs), with a copy of `copy` earlier bytes
    after every `every` new ones."""
    out = bytearray()
    while len(out) < n:
        out += random_bytes(rng, every or n, range(k))
        if copy and len(out) > copy:
            start = rng.randrange(len(out) - copy)
            out += out[start:start + copy]
    return bytes(out[:n])


# --- tests -------------------------------------------------------------------

WORKED_EXAMPLES = [
    ("empty", b""),
    ("one zero byte", b"\x00"),
    ("one FF", b"\xff"),
    ("nine a", b"a" * 9),
    ("ten a", b"a" * 10),
    ("twenty FF", b"\xff" * 20),
    ("look-ahead example", b"Pqrstu!#qrstuvwxy$Pqrstuvwxy"),
    ("abcdefgh three times", b"abcdefgh" * 3),
    ("aaaabbc", b"aaaabbc"),
    ("nine FF", b"\xff" * 9),
    ("ten FF", b"\xff" * 10),
]


def test_short_and_worked_inputs():
    cases = list(WORKED_EXAMPLES)
    cases += [(f"all {n} bytes of value {v:02x}", bytes([v]) * n) for n in range(1, 24) for v in (0, 0x61, 0xFF)]
    cases += [(f"{n} distinct bytes", bytes(range(256 - n, 256))) for n in range(1, 30)]
    assert_same_blocks(cases)


def test_every_method_wins_somewhere():
    rng = random.Random(1)
    # (name, input, the method that wins)
    cases = [
        ("random: stored", no_ff_random(rng, 3000), ref.STORED),
        ("short repeats: lz", words_text(rng, 400), ref.LZ),
        ("a random block repeated: lz past 512 tokens", no_ff_random(rng, 700) * 8, ref.LZ),
        ("words: lz huffman", words_text(rng, 20000), ref.LZ_HUFFMAN),
        ("skewed letters with FF: huffman",
         fibonacci_counts(rng, 14, top=0xFF) + random_bytes(rng, 400, b"abcdefgh"), ref.HUFFMAN),
        ("48 values uniform: range", uniform_with_copies(rng, 20000, 48), ref.RANGE),
        ("52 values uniform with copies: lz range", uniform_with_copies(rng, 30000, 52, 2000, 60), ref.LZ_RANGE),
    ]
    assert_same_blocks([(name, data) for name, data, _ in cases])
    assert [ref.compress_block(data)[0] for _, data, _ in cases] == [method for _, _, method in cases]


def test_token_stream_around_512_bytes():
    rng = random.Random(2)
    cases = []
    for tail in range(4, 10):  # token streams of 509 .. 514 bytes
        data = with_tail_match(rng, 500, 24, tail)
        assert len(ref.lz_encode(data)) == 505 + tail
        cases.append((f"token stream {505 + tail}", data))
    for n in (510, 511, 512, 513):  # no match: the stream equals the input
        cases.append((f"{n} random bytes", no_ff_random(rng, n)))
    assert_same_blocks(cases)


def test_long_and_maximal_matches():
    rng = random.Random(3)
    seed = no_ff_random(rng, 5000)
    cases = [
        ("one byte repeated past the maximum match", b"z" * 140000),
        ("pattern repeated past the maximum match", b"0123456789" * 14000),
        ("long copies at several distances", seed + seed[:3000] + no_ff_random(rng, 50) + seed[1000:4000]),
        ("matches of 128 to 140 bytes", b"".join(seed[:k] + no_ff_random(rng, 20) for k in range(128, 141))),
        ("FF runs", (b"\xff" * 300 + b"x") * 30),
        ("match ending at the last byte", seed[:200] + seed[:200]),
        ("distance 65535 and 65536", seed[:10] + no_ff_random(rng, 65525) + seed[:10] + b"|" + seed[:10]),
    ]
    ref.STATS.clear()
    assert_same_blocks(cases)
    assert ref.STATS["lz maximum match"] > 0 and ref.STATS["lz good-match exit"] > 0, dict(ref.STATS)


def test_look_ahead_ends_at_its_own_good_match():
    # At j the best match is 127 bytes, so the look-ahead searches j + 1.
    # Its nearest candidate gives 128 bytes, which ends that search above
    # GOOD_MATCH before the 129-byte candidate farther back is compared; 128
    # is not two longer than 127, so the match at j stays.
    x = bytes(range(1, 200))
    data = x[1:130] + b"\xe1" + x[0:127] + b"\xe2" + x[1:129] + b"\xe3" + x[0:130]
    assert ref.lz_encode(data).endswith(b"\xe3\xff\x01\x01\x7f\x00\x80\x81\x82")
    # The neighbours: 126 or 129 bytes at j, 129 or 130 bytes nearest at j + 1.
    cases = [("look-ahead ends at 128", data)]
    for at_j, near in ((126, 128), (127, 129), (127, 130)):
        cases.append((f"{at_j} at j, {near} nearest at j + 1",
                      x[1:130] + b"\xe1" + x[0:at_j] + b"\xe2" + x[1:1 + near] + b"\xe3" + x[0:150]))
    assert_same_blocks(cases)


def test_huffman_trees_deeper_than_15_levels():
    # Fibonacci counts over 18 or more values give a tree deeper than 15
    # levels; over 20 and more one halving of the counts is not enough.
    # The raw input's Huffman form wins in each case, so its table is in
    # the block.
    rng = random.Random(4)
    cases = [(f"fibonacci counts over {k} values", fibonacci_counts(rng, k)) for k in (20, 22)]
    cases += [(f"fibonacci counts over {k} values, no FF", fibonacci_counts(rng, k, top=0x41)) for k in (18, 21)]
    assert_same_blocks(cases)
    for name, data in cases:
        ref.STATS.clear()
        ref.huffman_encode(data)
        assert ref.STATS["huffman counts halved"] >= 1, name
        assert ref.compress_block(data)[0] == ref.HUFFMAN, name


def steered_to_carry(data: bytes, start: int, steps: int):
    """`data` with the `steps` bytes after `start` replaced so that the
    range coder's interval closes in on a point just above a multiple of
    2^24: the bytes it writes meanwhile end in a run of FF, and the carry
    that finally crosses the point runs through that whole run.  The bytes
    after the steered ones are reshuffled so that every value keeps its
    count, which keeps the frequency table of `data`.  None when the
    interval at `start` has no such point."""
    n = len(data)
    counts = collections.Counter(data)
    freq = ref.scaled_frequencies([counts[v] for v in range(256)], n)
    cum = [sum(freq[:v]) for v in range(256)]
    present = [v for v in range(256) if freq[v]]

    # The encoder's state as exact integers: `value` is everything written
    # so far followed by the 32-bit low, so carries need no care here.
    value, rng_, written = 0, ref.MASK32, 0

    def code(v):
        nonlocal value, rng_, written
        r = rng_ >> ref.FREQ_BITS
        value += r * cum[v]
        rng_ = r * freq[v]
        while rng_ <= 0xFFFF:
            value, rng_, written = value << 8, rng_ << 8, written + 1

    for v in data[:start]:
        code(v)
    low = value & ref.MASK32
    point = -(-low // (1 << 24)) * (1 << 24)
    if not low < point < low + (rng_ >> ref.FREQ_BITS) * ref.FREQ_TOTAL:
        return None
    # The target, one unit above the point at a precision of 40 more bytes.
    extra = 8 * (written + 40)
    target = ((value - low + point) << (extra - 8 * written)) + 1
    steered = []
    for _ in range(steps):
        r = rng_ >> ref.FREQ_BITS
        offset = (target - (value << (extra - 8 * written))) // (r << (extra - 8 * written))
        choice = [v for v in present if cum[v] <= offset < cum[v] + freq[v]]
        if not choice:
            return None
        steered.append(choice[0])
        code(choice[0])
    rest = counts - collections.Counter(data[:start]) - collections.Counter(steered)
    if sum(rest.values()) != n - start - steps:
        return None  # a value ran out
    tail = [v for v, c in sorted(rest.items()) for _ in range(c)]
    random.Random(start).shuffle(tail)
    return data[:start] + bytes(steered) + bytes(tail)


def test_range_coder_carries():
    rng = random.Random(5)
    cases = [(f"{k} values uniform, {n} bytes", uniform_with_copies(rng, n, k)) for n, k in ((2000, 48), (8000, 48), (30000, 50))]
    base = uniform_with_copies(random.Random(7), 20000, 48)
    for steps in (8, 20, 40):
        for start in range(100, 3000, 37):
            steered = steered_to_carry(base, start, steps)
            if steered is not None:
                ref.STATS.clear()
                ref.range_encode(steered)
                if ref.STATS["range carry through FF"]:
                    cases.append((f"carry through FF bytes, {steps} steered", steered))
                    break
    assert len(cases) == 6
    assert_same_blocks(cases)
    ref.STATS.clear()
    for _name, data in cases[:3]:
        ref.compress_block(data)
    assert ref.STATS["range carry"] > 0, dict(ref.STATS)
    for name, data in cases[3:]:
        ref.STATS.clear()
        assert ref.compress_block(data)[0] == ref.RANGE, name
        assert ref.STATS["range carry through FF"] > 0, name


def exact_counts(rng, counts):
    data = [v for v, c in counts.items() for _ in range(c)]
    rng.shuffle(data)
    return bytes(data)


def test_range_frequency_scaling():
    # Flooring leaves the scaled sum short, or raising rare values to 1
    # pushes it over: the two correction loops and their tie rules.  Each
    # input is range coded in the end, so the table is in the block.
    rng = random.Random(8)
    over = {v: 1000 for v in range(48)} | {v: 1 for v in range(200, 240)}
    short_ties = {v: 1000 + v % 2 for v in range(60, 108)}
    short_top = {v: 1000 for v in range(60, 108)} | {0: 1001}
    cases = [
        ("sum over 16384", exact_counts(rng, over)),
        ("sum short, ties at the top count", exact_counts(rng, short_ties)),
        ("sum short, one top count at value 0", exact_counts(rng, short_top)),
    ]
    assert_same_blocks(cases)
    for (name, data), counts in zip(cases, (over, short_ties, short_top)):
        n = len(data)
        floored = sum(max(1, c * ref.FREQ_TOTAL // n) for c in counts.values())
        assert floored != ref.FREQ_TOTAL, name
        assert ref.compress_block(data)[0] == ref.RANGE, name


def test_random_and_structured_inputs():
    """A broad sweep: random lengths, alphabets, skews and repeat structure."""
    rng = random.Random(6)
    cases = []
    for i in range(120):
        n = rng.choice([10, 11, 50, 300, 511, 512, 700, 2000, 6000])
        kind = i % 6
        if kind == 0:
            data = random_bytes(rng, n, range(rng.randint(1, 256)))
        elif kind == 1:
            k = rng.randint(2, 40)
            data = random_bytes(rng, n, range(256 - k, 256), [rng.random() ** 3 + 0.001 for _ in range(k)])
        elif kind == 2:
            data = words_text(rng, n, rng.randint(3, 300))
        elif kind == 3:
            unit = random_bytes(rng, rng.randint(1, 40), range(250, 256))
            data = (unit * (n // len(unit) + 1))[:n]
        elif kind == 4:
            data = bytearray(words_text(rng, n))
            for _ in range(n // 50):
                data[rng.randrange(n)] = 0xFF
            data = bytes(data)
        else:
            parts = [no_ff_random(rng, rng.randint(1, 30))]
            while sum(map(len, parts)) < n:
                src = rng.choice(parts)
                parts.append(src[rng.randrange(len(src)):] if rng.random() < 0.5 else no_ff_random(rng, 7))
            data = b"".join(parts)[:n]
        cases.append((f"sweep {i} kind {kind}", data))
    ref.STATS.clear()
    assert_same_blocks(cases)
    assert ref.STATS["lz look-ahead taken"] > 0 and ref.STATS["ff literal"] > 0, dict(ref.STATS)
