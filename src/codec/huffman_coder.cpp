// Static order-0 canonical Huffman coder over bytes.
//
// Payload: a table form byte (FF: pair list of (value, length) for at most
// 126 distinct values; FE: 256 lengths), the number of coded bytes as u32,
// then the codes most significant bit first, the last byte filled with zero
// bits.
//
// The code lengths come from one particular tree construction: a binary heap
// in an array whose push and pop procedures fix how equal counts are ordered.
// Lengths are part of the format, so the heap below follows that procedure
// step by step instead of using a generic priority queue.  A tree deeper than
// MAX_CODE_LEN is rebuilt from halved counts (never below 1) until it fits.
#include <algorithm>
#include <cstring>
#include <string>

#include "codec/codec.hpp"
#include "codec/codec_internal.hpp"

namespace sarn::codec {

using namespace internal;

namespace {

constexpr std::uint8_t FORM_PAIRS = 0xFF;
constexpr std::uint8_t FORM_FULL = 0xFE;
constexpr int PAIR_LIST_MAX = 126;

struct Tree {
    // Nodes 0..255 are the leaves (byte values), internal nodes follow.
    std::uint16_t left[511];
    std::uint16_t right[511];
    // The heap holds each node's count beside it, so that a comparison
    // reads the heap line rather than a second table.
    struct Entry {
        std::uint64_t count;
        std::uint16_t node;
    };
    Entry heap[256];
    int heap_size = 0;
    int node_count = 256;

    // Puts `e` into the hole at `i`, moving it up past every parent whose
    // count is strictly larger.
    void sift_up(int i, Entry e) {
        while (i > 0) {
            const int parent = (i - 1) / 2;
            if (!(e.count < heap[parent].count)) break;
            heap[i] = heap[parent];
            i = parent;
        }
        heap[i] = e;
    }

    void push(Entry e) { sift_up(heap_size++, e); }

    Entry pop() {
        const Entry y = heap[--heap_size];
        if (heap_size == 0) return y;
        const Entry result = heap[0];
        int hole = 0;
        for (;;) {
            const int l = 2 * hole + 1;
            const int r = l + 1;
            if (r < heap_size) {
                // The right child moves up when both counts are equal.
                const int child = heap[r].count <= heap[l].count ? r : l;
                heap[hole] = heap[child];
                hole = child;
                continue;
            }
            if (l < heap_size) {
                heap[hole] = heap[l];
                hole = l;
            }
            break;
        }
        sift_up(hole, y);
        return result;
    }
};

// Builds the tree for `counts` (at least two present) and stores each leaf's
// depth in `lengths`; returns the greatest depth.
int build_lengths(const std::array<std::uint64_t, 256>& counts, std::array<int, 256>& lengths) {
    Tree t;
    for (int s = 0; s < 256; ++s) {
        if (counts[s] == 0) continue;
        t.push({counts[s], static_cast<std::uint16_t>(s)});
    }
    while (t.heap_size > 1) {
        const Tree::Entry a = t.pop();
        const Tree::Entry b = t.pop();
        const int node = t.node_count++;
        t.left[node] = a.node;
        t.right[node] = b.node;
        t.push({a.count + b.count, static_cast<std::uint16_t>(node)});
    }
    lengths.fill(0);
    int max_depth = 0;
    struct Item {
        std::uint16_t node;
        int depth;
    };
    Item stack[512];
    int sp = 0;
    stack[sp++] = {t.heap[0].node, 0};
    while (sp > 0) {
        const Item it = stack[--sp];
        if (it.node < 256) {
            lengths[it.node] = it.depth;
            max_depth = std::max(max_depth, it.depth);
        } else {
            stack[sp++] = {t.right[it.node], it.depth + 1};
            stack[sp++] = {t.left[it.node], it.depth + 1};
        }
    }
    return max_depth;
}

std::array<std::uint64_t, 256> widen(const std::array<std::uint32_t, 256>& counts) {
    std::array<std::uint64_t, 256> c{};
    for (int s = 0; s < 256; ++s) c[s] = counts[s];
    return c;
}

int present_values(const std::array<std::uint32_t, 256>& counts) {
    int k = 0;
    for (std::uint32_t c : counts) k += c != 0;
    return k;
}

struct Codes {
    std::uint32_t code[256];
    std::uint8_t length[256];
};

// Canonical codes: values ordered by (length, value), each code the previous
// plus one, shifted left by the growth in length.
void assign_codes(const std::array<std::uint8_t, 256>& lengths, Codes& codes) {
    std::uint32_t next = 0;
    int prev_len = 0;
    bool first = true;
    for (int len = 1; len <= MAX_CODE_LEN; ++len) {
        for (int s = 0; s < 256; ++s) {
            if (lengths[s] != len) continue;
            if (first) {
                next = 0;
                first = false;
            } else {
                next = (next + 1) << (len - prev_len);
            }
            prev_len = len;
            codes.code[s] = next;
        }
    }
    for (int s = 0; s < 256; ++s) codes.length[s] = lengths[s];
}

std::size_t table_size(int present) {
    return present <= PAIR_LIST_MAX ? 2 + 2 * static_cast<std::size_t>(present) : 257;
}

}  // namespace

std::array<std::uint32_t, 256> internal::byte_counts(ByteView input) {
    // Four interleaved tables keep repeated bytes from stalling on one
    // counter.
    std::array<std::array<std::uint32_t, 256>, 4> c{};
    const std::uint8_t* p = input.data();
    const std::size_t n = input.size();
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        ++c[0][p[i]];
        ++c[1][p[i + 1]];
        ++c[2][p[i + 2]];
        ++c[3][p[i + 3]];
    }
    for (; i < n; ++i) ++c[0][p[i]];
    std::array<std::uint32_t, 256> total{};
    for (int s = 0; s < 256; ++s) total[s] = c[0][s] + c[1][s] + c[2][s] + c[3][s];
    return total;
}

int internal::huffman_tree_depth(const std::array<std::uint32_t, 256>& counts) {
    if (present_values(counts) < 2) return 0;
    std::array<int, 256> lengths;
    return build_lengths(widen(counts), lengths);
}

std::array<std::uint8_t, 256> internal::huffman_code_lengths(const std::array<std::uint32_t, 256>& counts) {
    std::array<std::uint8_t, 256> out{};
    const int present = present_values(counts);
    if (present == 0) return out;
    if (present == 1) {
        for (int s = 0; s < 256; ++s)
            if (counts[s] != 0) out[s] = 1;
        return out;
    }
    std::array<std::uint64_t, 256> c = widen(counts);
    std::array<int, 256> lengths;
    while (build_lengths(c, lengths) > MAX_CODE_LEN) {
        // Halving flattens the distribution; counts of 1 stay 1, so the
        // loop ends at the latest when all counts are 1 (depth 8).
        for (auto& x : c)
            if (x != 0) x = std::max<std::uint64_t>(1, x / 2);
    }
    for (int s = 0; s < 256; ++s) out[s] = static_cast<std::uint8_t>(lengths[s]);
    return out;
}

internal::HuffmanPlan internal::plan_huffman(const std::array<std::uint32_t, 256>& counts) {
    HuffmanPlan plan;
    plan.counts = counts;
    const int present = present_values(counts);
    if (present == 0) return plan;
    plan.lengths = huffman_code_lengths(counts);
    std::uint64_t bits = 0;
    for (int s = 0; s < 256; ++s) bits += std::uint64_t{counts[s]} * plan.lengths[s];
    plan.size = table_size(present) + 4 + static_cast<std::size_t>((bits + 7) / 8);
    return plan;
}

std::size_t internal::huffman_encoded_size(const std::array<std::uint32_t, 256>& counts) {
    return plan_huffman(counts).size;
}

Bytes internal::huffman_encode(ByteView input) {
    return internal::huffman_encode_planned(input, plan_huffman(byte_counts(input)));
}

Bytes internal::huffman_encode_planned(ByteView input, const HuffmanPlan& plan, std::size_t headroom) {
    const std::size_t n = input.size();
    if (n == 0) return Bytes(headroom);
    const std::array<std::uint8_t, 256>& lengths = plan.lengths;
    const int present = present_values(plan.counts);
    Codes codes;
    assign_codes(lengths, codes);
    // Eight bytes of slack: the bit writer stores whole words.
    Bytes out(headroom + plan.size + 8);
    std::uint8_t* o = out.data() + headroom;
    if (present <= PAIR_LIST_MAX) {
        *o++ = FORM_PAIRS;
        *o++ = static_cast<std::uint8_t>(present);
        for (int s = 0; s < 256; ++s) {
            if (lengths[s] == 0) continue;
            *o++ = static_cast<std::uint8_t>(s);
            *o++ = lengths[s];
        }
    } else {
        *o++ = FORM_FULL;
        std::memcpy(o, lengths.data(), 256);
        o += 256;
    }
    const std::uint32_t n32 = static_cast<std::uint32_t>(n);
    std::memcpy(o, &n32, 4);  // little-endian host
    o += 4;

    // Codes are shifted in at the bottom of a 64-bit accumulator whose low
    // `pending` bits are not yet stored (bits above them are stale); whole
    // bytes are stored eight at a time, big-endian.  After a store fewer
    // than 8 bits are pending, so three codes of up to MAX_CODE_LEN bits
    // always fit before the next one.
    static_assert(8 + 3 * MAX_CODE_LEN <= 64, "three codes must fit beside a partial byte");
    std::uint64_t acc = 0;
    int pending = 0;
    const auto put = [&](std::uint8_t s) {
        acc = (acc << codes.length[s]) | codes.code[s];
        pending += codes.length[s];
    };
    // Called with at least one bit pending.
    const auto store = [&] {
        const std::uint64_t be = __builtin_bswap64(acc << (64 - pending));
        std::memcpy(o, &be, 8);
        o += pending >> 3;
        pending &= 7;
    };
    const std::uint8_t* p = input.data();
    std::size_t i = 0;
    for (; i + 3 <= n; i += 3) {
        put(p[i]);
        put(p[i + 1]);
        put(p[i + 2]);
        store();
    }
    for (; i < n; ++i) {
        put(p[i]);
        store();
    }
    if (pending > 0) *o++ = static_cast<std::uint8_t>(acc << (8 - pending));  // zero-filled last byte
    out.resize(static_cast<std::size_t>(o - out.data()));
    return out;
}

namespace {

Error corrupt(const char* what) { return Error::value(std::string("Corrupt Huffman payload: ") + what); }

inline std::uint64_t load_be64(const std::uint8_t* p) {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    return __builtin_bswap64(v);
}

}  // namespace

namespace {

// Table-driven canonical decoding.  The primary table is indexed by the next
// PRIMARY_BITS bits and yields one or two whole codes that fit in them (two
// when the second also fits), so short codes, the common ones, decode two at
// a time from a 4 KiB table.  Longer codes take the canonical route: per
// length, the first code and where its values start in the (length, value)
// order.
class HuffmanDecoder {
public:
    static constexpr int PRIMARY_BITS = 10;

    explicit HuffmanDecoder(const std::array<std::uint8_t, 256>& lengths) {
        // Canonical order and per-length first codes.
        int count[MAX_CODE_LEN + 1] = {};
        for (int s = 0; s < 256; ++s) count[lengths[s]] += lengths[s] != 0;
        int offset = 0;
        std::uint32_t code = 0;
        for (int len = 1; len <= MAX_CODE_LEN; ++len) {
            code <<= 1;
            first_code_[len] = code;
            first_index_[len] = offset;
            count_[len] = count[len];
            code += static_cast<std::uint32_t>(count[len]);
            offset += count[len];
        }
        int at[MAX_CODE_LEN + 1];
        for (int len = 1; len <= MAX_CODE_LEN; ++len) at[len] = first_index_[len];
        for (int s = 0; s < 256; ++s)
            if (lengths[s] != 0) sorted_[at[lengths[s]]++] = static_cast<std::uint8_t>(s);

        // Single codes of up to PRIMARY_BITS bits.
        std::uint16_t single[1 << PRIMARY_BITS] = {};  // value | length << 8; 0 = longer or invalid
        for (int len = 1; len <= PRIMARY_BITS; ++len) {
            for (int k = 0; k < count_[len]; ++k) {
                const std::uint32_t c = first_code_[len] + static_cast<std::uint32_t>(k);
                const int span = 1 << (PRIMARY_BITS - len);
                const std::uint16_t e = static_cast<std::uint16_t>(sorted_[first_index_[len] + k] | (len << 8));
                for (int x = 0; x < span; ++x) single[(c << (PRIMARY_BITS - len)) + static_cast<std::uint32_t>(x)] = e;
            }
        }
        // Pairs: the first code, then a second one if it fits in the rest.
        for (int idx = 0; idx < (1 << PRIMARY_BITS); ++idx) {
            const std::uint16_t a = single[idx];
            if (a == 0) {
                primary_[idx] = 0;
                continue;
            }
            const int la = a >> 8;
            const std::uint16_t b = single[(idx << la) & ((1 << PRIMARY_BITS) - 1)];
            const int lb = b >> 8;
            if (b != 0 && la + lb <= PRIMARY_BITS) {
                primary_[idx] =
                    (a & 0xFF) | ((b & 0xFF) << 8) | (static_cast<std::uint32_t>(la + lb) << 18) | (2u << 16);
            } else {
                primary_[idx] = (a & 0xFF) | (static_cast<std::uint32_t>(la) << 18) | (1u << 16);
            }
        }
    }

    // Decodes from the top bits of `w` (at least 15 valid) into out[0] and,
    // when two codes were read, out[1].  Returns (bits consumed) << 2 | codes
    // read, or 0 for a bit pattern that starts no code.
    int step(std::uint64_t w, std::uint8_t* out) const {
        const std::uint32_t e = primary_[w >> (64 - PRIMARY_BITS)];
        if (e != 0) {
            out[0] = static_cast<std::uint8_t>(e);
            out[1] = static_cast<std::uint8_t>(e >> 8);
            return static_cast<int>(((e >> 18) << 2) | ((e >> 16) & 3));
        }
        for (int len = PRIMARY_BITS + 1; len <= MAX_CODE_LEN; ++len) {
            const std::uint32_t c = static_cast<std::uint32_t>(w >> (64 - len));
            if (c - first_code_[len] < static_cast<std::uint32_t>(count_[len])) {
                out[0] = sorted_[first_index_[len] + static_cast<int>(c - first_code_[len])];
                return (len << 2) | 1;
            }
        }
        return 0;
    }

    // Bits of the first code at the top of `w` (a valid code).
    int first_length(std::uint64_t w) const {
        const std::uint32_t e = primary_[w >> (64 - PRIMARY_BITS)];
        if ((e >> 16 & 3) == 1) return static_cast<int>(e >> 18);
        return single_length(w);
    }

private:
    int single_length(std::uint64_t w) const {
        for (int len = 1; len <= MAX_CODE_LEN; ++len) {
            const std::uint32_t c = static_cast<std::uint32_t>(w >> (64 - len));
            if (c - first_code_[len] < static_cast<std::uint32_t>(count_[len])) return len;
        }
        return 0;
    }

    // value1 | value2 << 8 | codes read << 16 | bits << 18; 0 = no whole code
    // in PRIMARY_BITS bits.
    std::uint32_t primary_[1 << PRIMARY_BITS];
    std::uint32_t first_code_[MAX_CODE_LEN + 1] = {};
    int first_index_[MAX_CODE_LEN + 1] = {};
    int count_[MAX_CODE_LEN + 1] = {};
    std::uint8_t sorted_[256] = {};
};

}  // namespace

Result<Bytes> internal::huffman_decode(ByteView payload, std::size_t max_output, bool* exceeded) {
    if (payload.empty()) return Bytes{};
    const std::uint8_t* p = payload.data();
    const std::size_t size = payload.size();
    std::array<std::uint8_t, 256> lengths{};
    std::size_t at = 1;
    if (p[0] == FORM_PAIRS) {
        if (size < 2) return corrupt("truncated table");
        const int g = p[1];
        at = 2;
        if (g == 0) return corrupt("empty table");
        if (size - at < 2 * static_cast<std::size_t>(g)) return corrupt("truncated table");
        int last = -1;
        for (int i = 0; i < g; ++i) {
            const int value = p[at];
            const int len = p[at + 1];
            at += 2;
            if (value <= last) return corrupt("table values out of order");
            if (len < 1 || len > MAX_CODE_LEN) return corrupt("code length out of range");
            lengths[value] = static_cast<std::uint8_t>(len);
            last = value;
        }
    } else if (p[0] == FORM_FULL) {
        if (size < 257) return corrupt("truncated table");
        for (int s = 0; s < 256; ++s) {
            if (p[1 + s] > MAX_CODE_LEN) return corrupt("code length out of range");
            lengths[s] = p[1 + s];
        }
        at = 257;
    } else {
        return corrupt("unknown table form");
    }
    if (size - at < 4) return corrupt("truncated length");
    std::uint32_t n32;
    std::memcpy(&n32, p + at, 4);
    at += 4;
    const std::size_t n = n32;
    const std::uint8_t* stream = p + at;
    const std::size_t stream_size = size - at;

    int max_len = 0;
    int min_len = MAX_CODE_LEN + 1;
    std::uint64_t kraft = 0;  // in units of 2^-MAX_CODE_LEN
    for (int s = 0; s < 256; ++s) {
        if (lengths[s] == 0) continue;
        max_len = std::max<int>(max_len, lengths[s]);
        min_len = std::min<int>(min_len, lengths[s]);
        kraft += std::uint64_t{1} << (MAX_CODE_LEN - lengths[s]);
    }
    if (max_len == 0) return corrupt("no code lengths");
    if (kraft > (std::uint64_t{1} << MAX_CODE_LEN)) return corrupt("code lengths overfill the code space");
    if (n > max_output) {
        if (exceeded) *exceeded = true;
        return corrupt("decoded length exceeds its limit");
    }
    // Every byte costs at least min_len bits, so a short stream cannot claim
    // a huge output (and make us allocate for it).
    if (n > stream_size * 8 / static_cast<std::size_t>(min_len)) return corrupt("bit stream too short");

    const HuffmanDecoder dec(lengths);
    Bytes out(n);
    std::uint8_t* o = out.data();
    std::uint64_t bitpos = 0;
    std::size_t i = 0;
    // Fast part: whole 8-byte loads stay inside the stream.  One load holds
    // at least 57 valid bits: three table steps of up to 15 bits each.  Each
    // step writes two bytes (the second may be overwritten later), so six
    // bytes of output room are kept.
    if (stream_size >= 8) {
        const std::uint64_t fast_end = (stream_size - 8) * 8;
        while (i + 6 <= n && bitpos <= fast_end) {
            std::uint64_t w = load_be64(stream + (bitpos >> 3)) << (bitpos & 7);
            for (int k = 0; k < 3; ++k) {
                const int used = dec.step(w, o + i);
                if (used <= 0) return corrupt("invalid code");
                i += static_cast<std::size_t>(used & 3);
                const int bits = used >> 2;
                w <<= bits;
                bitpos += static_cast<std::uint64_t>(bits);
            }
        }
    }
    // The tail, one byte at a time from a zero-padded window.
    while (i < n) {
        const std::size_t byte = static_cast<std::size_t>(bitpos >> 3);
        if (byte >= stream_size) return corrupt("bit stream too short");
        std::uint64_t w = 0;
        for (std::size_t k = 0; k < 8; ++k) w = (w << 8) | (byte + k < stream_size ? stream[byte + k] : 0);
        w <<= (bitpos & 7);
        std::uint8_t two[2] = {0, 0};  // step() fills both when it decodes two codes
        const int used = dec.step(w, two);
        if (used <= 0) return corrupt("invalid code");
        o[i++] = two[0];
        int bits = used >> 2;
        if ((used & 3) == 2) {
            // Take the second byte only if it is wanted; otherwise count
            // only the first code's bits.
            if (i < n) {
                o[i++] = two[1];
            } else {
                bits = dec.first_length(w);
            }
        }
        bitpos += static_cast<std::uint64_t>(bits);
    }
    if (bitpos > std::uint64_t{stream_size} * 8) return corrupt("bit stream too short");
    if ((bitpos + 7) / 8 != stream_size) return corrupt("trailing bytes after the bit stream");
    return out;
}

Result<std::size_t> internal::huffman_declared_length(ByteView payload) {
    if (payload.empty()) return std::size_t{0};  // encodes nothing, as huffman_decode reads it
    std::size_t at = 0;
    if (payload[0] == FORM_PAIRS) {
        if (payload.size() < 2 || payload[1] == 0) return corrupt("truncated table");
        at = 2 + 2 * static_cast<std::size_t>(payload[1]);
    } else if (payload[0] == FORM_FULL) {
        at = 257;
    } else {
        return corrupt("unknown table form");
    }
    if (payload.size() < at + 4) return corrupt("truncated length");
    std::uint32_t n32;
    std::memcpy(&n32, payload.data() + at, 4);
    return std::size_t{n32};
}

}  // namespace sarn::codec
