// LZ match stage: literals and back-references found through a hash table of
// 4-byte prefixes, chains of at most CHAIN_STEPS entries and a one-position
// look-ahead; and the expansion of the token stream it writes.
//
// Token stream: a byte other than FF is a literal.  FF, u16 distance, u16
// length (little-endian) copies `length` bytes from `distance` bytes back,
// byte by byte (so short distances repeat recent bytes).  FF 00 00 01 00 is
// a literal FF.
//
// Every decision below (which positions are entered into the chains, which
// candidate wins, when the look-ahead defers a match) is part of the format:
// another writer must produce the same tokens for the same input.  The speed
// tricks only compute those decisions faster.
#include <cassert>
#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>
#include <string>

#include "codec/codec.hpp"
#include "codec/codec_internal.hpp"

namespace sarn::codec {

using namespace internal;

namespace {

inline std::uint32_t load_u32(const std::uint8_t* p) {
    std::uint32_t v;
    std::memcpy(&v, p, 4);
    return v;  // little-endian host
}

inline std::uint64_t load_u64(const std::uint8_t* p) {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

inline std::uint32_t hash_of(std::uint32_t v) { return (v * 0x9E3779B1u) >> 16; }

// Number of equal leading bytes of a and b, at most `limit`.
inline std::size_t common_prefix(const std::uint8_t* a, const std::uint8_t* b, std::size_t limit) {
    std::size_t i = 0;
    while (i + 8 <= limit) {
        const std::uint64_t x = load_u64(a + i) ^ load_u64(b + i);
        if (x != 0) return i + static_cast<std::size_t>(__builtin_ctzll(x) >> 3);
        i += 8;
    }
    while (i < limit && a[i] == b[i]) ++i;
    return i;
}

struct Found {
    std::size_t length = 0;
    std::size_t distance = 0;
    bool good_exit = false;  // ended through the GOOD_MATCH exit
};

// Hash chains: `head` maps a hash to the most recently entered position
// (biased, 0 = empty), `prev` links each entered position to the previous
// one with the same hash.
// Links are 32 bits wide unless a biased position could overflow them.
template <typename Link>
class Matcher {
public:
    // The chain links live in a ring of 65,536 entries indexed by position
    // modulo 65,536: a link is only followed from a position less than
    // MAX_DISTANCE behind the one searched, and the position that would
    // overwrite its slot (65,536 later) has not been entered yet at that
    // time.  The ring stays in cache where a table per input byte would not.
    Matcher(const std::uint8_t* in, std::size_t n)
        : in_(in),
          own_head_(new Link[HASH_SLOTS]()),
          own_prev_(new Link[std::min<std::size_t>(n, PREV_SLOTS)]),
          head_(own_head_.get()),
          prev_(own_prev_.get()) {}

    // With borrowed tables: `head` of HASH_SLOTS entries (zero-filled here)
    // and `prev` of PREV_SLOTS.
    Matcher(const std::uint8_t* in, Link* head, Link* prev) : in_(in), head_(head), prev_(prev) {
        std::fill_n(head_, HASH_SLOTS, Link{0});
    }

    // Enters position p unless it (or a later position) was entered already.
    // Positions are entered in increasing order, so one mark suffices.
    void enter(std::size_t p) {
        if (p < next_enter_) return;
        enter_new(p);
    }

    // Enters p, which must not have been entered (p >= next_entered()).
    void enter_new(std::size_t p) {
        const std::uint32_t h = hash_of(load_u32(in_ + p));
        prev_[p & PREV_MASK] = head_[h];
        head_[h] = static_cast<Link>(p + LINK_BIAS);
        next_enter_ = p + 1;
    }

    std::size_t next_entered() const { return next_enter_; }

    // Starts loading the chain head that entering p will read (p + 4 <= n).
    // The head table is larger than the first-level cache, and its slot for
    // the next position is otherwise fetched only when that position is
    // entered, at the front of a search's dependent loads.
    void prefetch_head(std::size_t p) const { __builtin_prefetch(&head_[hash_of(load_u32(in_ + p))]); }

    // Searches the chain of position j (entered last) for the longest earlier
    // match, comparing at most `limit` bytes.  Only lengths above
    // `floor_len` are of interest: a candidate that differs from j at that
    // offset cannot exceed it and is skipped after one byte compare.  With
    // floor_len 0 this is the full search; a result not above floor_len
    // means that none was found.
    Found search(std::size_t j, std::size_t limit, std::size_t floor_len = 0) const {
        Found best;
        best.length = floor_len;
        const std::uint8_t* cur = in_ + j;
        const std::uint32_t cur4 = load_u32(cur);
        // Entry 1 is j itself (just entered); entries 2..CHAIN_STEPS follow.
        // Links hold position + LINK_BIAS and an empty link 0, so the end of
        // a chain looks like a position too far back: one distance test ends
        // the walk for both.
        const std::size_t biased_j = j + LINK_BIAS;
        Link e = prev_[j & PREV_MASK];
#pragma GCC unroll 8
        for (int step = 1; step < CHAIN_STEPS; ++step) {
            if (biased_j - e > MAX_DISTANCE) break;
            const std::size_t q = e - LINK_BIAS;
            e = prev_[q & PREV_MASK];
            const std::uint8_t* cand = in_ + q;
            if (cand[best.length] != cur[best.length] || load_u32(cand) != cur4) continue;
            const std::size_t len = 4 + common_prefix(cand + 4, cur + 4, limit - 4);
            if (len > best.length) {
                best.length = len;
                best.distance = j - q;
                if (len > GOOD_MATCH) {
                    best.good_exit = true;
                    break;
                }
                // Nothing can beat a match that reaches the limit.
                if (len == limit) break;
            }
        }
        return best;
    }

private:
    // A link is position + LINK_BIAS; 0 (the zero-filled table) is an empty
    // link, seen from any position as more than MAX_DISTANCE back.
    static constexpr std::size_t LINK_BIAS = MAX_DISTANCE + 1;

public:
    static constexpr std::size_t PREV_SLOTS = std::size_t{1} << 16;

    // Whether links of this width hold every biased position of an input of
    // n bytes.
    static bool fits(std::size_t n) { return n <= std::numeric_limits<Link>::max() - LINK_BIAS; }

private:
    static constexpr std::size_t PREV_MASK = PREV_SLOTS - 1;
    static_assert(PREV_SLOTS > MAX_DISTANCE, "a followed link must not have been overwritten");

    const std::uint8_t* in_;
    std::unique_ptr<Link[]> own_head_;  // the tables, when not borrowed
    std::unique_ptr<Link[]> own_prev_;
    Link* head_;
    Link* prev_;  // written before read, no fill needed
    std::size_t next_enter_ = 0;
};

// Output buffer with amortised growth and unchecked appends after reserve().
class TokenWriter {
public:
    explicit TokenWriter(std::size_t initial) : buf_(std::max<std::size_t>(initial, 64)) {}
    // Writes into `storage`, whose capacity is reused.
    TokenWriter(Bytes storage, std::size_t initial) : buf_(std::move(storage)) {
        buf_.resize(std::max<std::size_t>(initial, 64));
    }

    void reserve(std::size_t extra) {
        if (buf_.size() - pos_ < extra) buf_.resize(std::max(buf_.size() * 2, pos_ + extra));
    }

    // Literal run, FF bytes escaped.  Runs are mostly a few bytes long, so
    // they are copied a word at a time with an inline FF test rather than
    // through memchr and memcpy calls.
    void literals(const std::uint8_t* p, std::size_t count) {
        const std::uint8_t* const end = p + count;
        // Room for the run unescaped plus one word of overrun; each FF
        // reserves its four extra bytes when met.
        reserve(count + 8);
        while (end - p >= 8) {
            const std::uint64_t w = load_u64(p);
            const std::uint64_t x = ~w;  // FF bytes become zero bytes
            const std::uint64_t zero = (x - 0x0101010101010101ull) & ~x & 0x8080808080808080ull;
            std::memcpy(buf_.data() + pos_, &w, 8);
            if (zero == 0) {
                pos_ += 8;
                p += 8;
                continue;
            }
            // The lowest flagged byte is the first FF (flags above it may be
            // false, those below cannot be).
            const std::size_t plain = static_cast<std::size_t>(__builtin_ctzll(zero) >> 3);
            pos_ += plain;
            p += plain + 1;
            escaped_ff(static_cast<std::size_t>(end - p));
        }
        while (p < end) {
            if (*p == 0xFF) {
                ++p;
                escaped_ff(static_cast<std::size_t>(end - p));
            } else {
                buf_[pos_++] = *p++;
            }
        }
    }

    void match(std::size_t distance, std::size_t length) {
        reserve(5);
        std::uint8_t* o = buf_.data() + pos_;
        o[0] = 0xFF;
        o[1] = static_cast<std::uint8_t>(distance);
        o[2] = static_cast<std::uint8_t>(distance >> 8);
        o[3] = static_cast<std::uint8_t>(length);
        o[4] = static_cast<std::uint8_t>(length >> 8);
        pos_ += 5;
    }

private:
    // Writes an escaped FF, keeping room for `rest` more literal bytes and a
    // word of overrun after it.
    void escaped_ff(std::size_t rest) {
        reserve(5 + rest + 8);
        static constexpr std::uint8_t kEscapedFF[5] = {0xFF, 0x00, 0x00, 0x01, 0x00};
        std::memcpy(buf_.data() + pos_, kEscapedFF, 5);
        pos_ += 5;
    }

public:
    Bytes finish() && {
        buf_.resize(pos_);
        return std::move(buf_);
    }

private:
    Bytes buf_;
    std::size_t pos_ = 0;
};

}  // namespace

Bytes internal::escape_literals(ByteView input) {
    TokenWriter w(input.size());
    w.literals(input.data(), input.size());
    return std::move(w).finish();
}

namespace {

template <typename Link>
void lz_run(ByteView input, Matcher<Link>& m, TokenWriter& out) {
    const std::uint8_t* in = input.data();
    const std::size_t n = input.size();
    const std::size_t searchable_end = n - 4;  // positions at or past it are never searched
    std::size_t j = 0;
    std::size_t run_start = 0;
    // A look-ahead result stays valid for the next step: nothing is entered
    // between the look-ahead at j + 1 and the search at j + 1.
    bool have_pending = false;
    Found pending;

    while (j < searchable_end) {
        m.prefetch_head(j + 1);  // the next position, after a literal or a deferred match
        m.enter(j);
        Found best;
        if (have_pending) {
            best = pending;
            have_pending = false;
        } else {
            best = m.search(j, std::min(n - j, MAX_MATCH));
        }
        if (best.length < MIN_MATCH) {
            ++j;
            continue;
        }
        if (!best.good_exit && j + 1 < searchable_end) {
            m.enter(j + 1);
            // Only a look-ahead match at least two bytes longer changes the
            // decision, and only then is its result used (at the next step).
            // The floor stays at most GOOD_MATCH: the look-ahead's own search
            // ends at its first match above GOOD_MATCH even when that match
            // is too short to change the decision.
            const std::size_t limit1 = std::min(n - j - 1, MAX_MATCH);
            const std::size_t floor_len = std::min(best.length + 1, GOOD_MATCH);
            const Found next = best.length + 1 < limit1 ? m.search(j + 1, limit1, floor_len) : Found{};
            if (next.length >= MIN_MATCH && next.length >= best.length + 2) {
                pending = next;
                have_pending = true;
                ++j;
                continue;
            }
        }
        if (j + best.length < searchable_end) m.prefetch_head(j + best.length);
        out.literals(in + run_start, j - run_start);
        out.match(best.distance, best.length);
        const std::size_t step = best.length < 33 ? 1 : (best.length <= 64 ? 2 : 4);
        // Positions already entered (j and the look-ahead's j + 1) are
        // skipped; every later one is new.
        const std::size_t enter_end = std::min(j + best.length, searchable_end);
        std::size_t k = j + 1;
        while (k < enter_end && k < m.next_entered()) k += step;
        for (; k < enter_end; k += step) m.enter_new(k);
        j += best.length;
        run_start = j;
    }
    out.literals(in + run_start, n - run_start);
}

template <typename Link>
Bytes lz_encode_with(ByteView input) {
    Matcher<Link> m(input.data(), input.size());
    TokenWriter out(input.size() / 2 + 64);
    lz_run(input, m, out);
    return std::move(out).finish();
}

}  // namespace

Bytes internal::lz_encode(ByteView input) {
    if (input.size() <= 4) return internal::escape_literals(input);
    if (Matcher<std::uint32_t>::fits(input.size())) return lz_encode_with<std::uint32_t>(input);
    return lz_encode_with<std::uint64_t>(input);
}

void internal::lz_encode(ByteView input, Bytes& out, LzTables& tables) {
    if (input.size() <= 4 || !Matcher<std::uint32_t>::fits(input.size())) {
        out = internal::lz_encode(input);
        return;
    }
    if (!tables.head) tables.head.reset(new std::uint32_t[HASH_SLOTS]);
    if (!tables.prev) tables.prev.reset(new std::uint32_t[Matcher<std::uint32_t>::PREV_SLOTS]);
    Matcher<std::uint32_t> m(input.data(), tables.head.get(), tables.prev.get());
    TokenWriter writer(std::move(out), input.size() / 2 + 64);
    lz_run(input, m, writer);
    out = std::move(writer).finish();
}

namespace {

Error corrupt(const char* what) { return Error::value(std::string("Corrupt compressed block: ") + what); }

}  // namespace

Result<std::size_t> internal::lz_output_length(ByteView tokens) {
    const std::uint8_t* t = tokens.data();
    const std::uint8_t* const t_end = t + tokens.size();
    std::size_t pos = 0;
    while (t < t_end) {
        if (*t != 0xFF && t_end - t >= 8) {
            // Literals eight at a time, as lz_decode takes them: most runs
            // between matches are short, and a memchr call per run cost more
            // than the scan itself.
            const std::uint64_t x = ~load_u64(t);  // FF bytes become zero bytes
            const std::uint64_t zero = (x - 0x0101010101010101ull) & ~x & 0x8080808080808080ull;
            const std::size_t count = zero != 0 ? static_cast<std::size_t>(__builtin_ctzll(zero) >> 3) : 8;
            pos += count;
            t += count;
            continue;
        }
        if (*t != 0xFF) {
            const void* ff = std::memchr(t, 0xFF, static_cast<std::size_t>(t_end - t));
            const std::uint8_t* stop = ff ? static_cast<const std::uint8_t*>(ff) : t_end;
            pos += static_cast<std::size_t>(stop - t);
            t = stop;
            continue;
        }
        if (t_end - t < 5) return corrupt("truncated match token");
        const std::size_t distance = t[1] | (std::size_t{t[2]} << 8);
        const std::size_t length = t[3] | (std::size_t{t[4]} << 8);
        t += 5;
        if (distance == 0) {
            if (length != 1) return corrupt("match token with distance 0");
            ++pos;
            continue;
        }
        if (length == 0) return corrupt("match token of length 0");
        if (distance > pos) return corrupt("match reaches before the start of the output");
        pos += length;
    }
    return pos;
}

Result<Bytes> internal::lz_decode(ByteView tokens, std::size_t max_output, bool* exceeded, std::size_t* needed) {
    const std::uint8_t* t = tokens.data();
    const std::uint8_t* const t_end = t + tokens.size();
    // Slack past the logical end lets short copies run a word at a time.
    constexpr std::size_t SLACK = 16;
    // The output's length, from a walk over the tokens (which checks them as
    // the expansion would): the output is allocated once, at that length,
    // and a token stream that expands past the limit is refused before
    // anything is allocated for it.
    auto length = lz_output_length(tokens);
    if (!length) return std::move(length).error();
    if (*length > max_output) {
        if (exceeded) *exceeded = true;
        if (needed) *needed = *length;
        return corrupt("output exceeds its limit");
    }
    // The walk has checked every token and that the output ends at
    // *length, so the expansion below neither grows the buffer nor checks
    // the tokens again.
    Bytes out(*length + SLACK);
    std::size_t pos = 0;

    while (t < t_end) {
        if (*t != 0xFF && t_end - t >= 8) {
            // Literals eight at a time: find the first FF (if any) in the next
            // word, store the whole word and keep the bytes before the FF.
            const std::uint64_t w = load_u64(t);
            const std::uint64_t x = ~w;  // FF bytes become zero bytes
            const std::uint64_t zero = (x - 0x0101010101010101ull) & ~x & 0x8080808080808080ull;
            const std::size_t count = zero != 0 ? static_cast<std::size_t>(__builtin_ctzll(zero) >> 3) : 8;
            std::memcpy(out.data() + pos, &w, 8);
            pos += count;
            t += count;
            continue;
        }
        if (*t != 0xFF) {
            const void* ff = std::memchr(t, 0xFF, static_cast<std::size_t>(t_end - t));
            const std::uint8_t* stop = ff ? static_cast<const std::uint8_t*>(ff) : t_end;
            const std::size_t count = static_cast<std::size_t>(stop - t);
            std::memcpy(out.data() + pos, t, count);
            pos += count;
            t = stop;
            continue;
        }
        const std::size_t distance = t[1] | (std::size_t{t[2]} << 8);
        const std::size_t match_length = t[3] | (std::size_t{t[4]} << 8);
        t += 5;
        if (distance == 0) {  // the escaped literal FF
            out[pos++] = 0xFF;
            continue;
        }
        assert(match_length != 0 && distance <= pos && pos + match_length <= *length);
        std::uint8_t* dst = out.data() + pos;
        const std::uint8_t* src = dst - distance;
        if (distance >= 8) {
            // Each 8-byte step reads only bytes already written; the last
            // step may write into the slack.
            for (std::size_t i = 0; i < match_length; i += 8) std::memcpy(dst + i, src + i, 8);
        } else if (distance == 1) {
            std::memset(dst, *src, match_length);
        } else {
            for (std::size_t i = 0; i < match_length; ++i) dst[i] = src[i];
        }
        pos += match_length;
    }
    out.resize(pos);
    return out;
}

}  // namespace sarn::codec
