// Deeper LZ parses for the compression levels above 1.
//
// Level 1's parse (lz_stage.cpp) is fixed to the byte and stays as it is.
// The levels above it write the same token stream, which every reader
// already expands, but search harder and choose better:
//
// - The match finder hashes six bytes (every match is at least MIN_MATCH =
//   6 long, so positions whose first six bytes differ need never meet in a
//   chain), enters every position, and walks chains of up to `chain` steps.
// - The lazy parser (levels 2 to 4) takes the longest match at a position
//   unless one of the next `lookahead` positions starts a clearly better
//   one, judged by length against the rough bit price of the distance.
// - The optimal parser (levels 5 and up) finds, for every position, the
//   matches of increasing length along its chain and a few farther ones as
//   long as the longest so far, then picks the cheapest
//   path through the block by dynamic programming.  The price of a token is
//   the price of its bytes under an order-0 model of the token stream that
//   the block's entropy coder will code: a match is five bytes FF dd dd ll
//   ll, so a match whose distance and length bytes are common costs less
//   than an equally long one whose bytes are rare, and the parse can shorten
//   a match, or take a farther one, to land on cheap bytes.  The model is
//   first taken from a greedy parse, then from each parse in turn; the
//   cheapest parse under the Huffman code of its own bytes is kept.
//
// Nothing here depends on anything but the input bytes and the level.
#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include "codec/codec.hpp"
#include "codec/codec_internal.hpp"

namespace sarn::codec {

using namespace internal;

namespace {

inline std::uint64_t load_u64(const std::uint8_t* p) {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    return v;  // little-endian host
}

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

constexpr int SEARCH_HASH_BITS = 17;
constexpr std::size_t RING_SLOTS = std::size_t{1} << 16;
constexpr std::size_t RING_MASK = RING_SLOTS - 1;
static_assert(RING_SLOTS > MAX_DISTANCE, "a followed link must not have been overwritten");

// Hash chains over six-byte prefixes.  Links hold position + LINK_BIAS, so
// the zero-filled table's empty link looks like a position more than
// MAX_DISTANCE back and one distance test ends a walk for both.  The links
// live in a ring indexed by position modulo 65,536, as in level 1's
// matcher: a link is only followed less than MAX_DISTANCE back.
class ChainMatcher {
public:
    static constexpr std::size_t LINK_BIAS = MAX_DISTANCE + 1;

    // Whether 32-bit links hold every biased position of an n-byte input.
    static bool fits(std::size_t n) { return n <= std::numeric_limits<std::uint32_t>::max() - LINK_BIAS; }

    // REQUIRES: fits(n).
    ChainMatcher(const std::uint8_t* in, std::size_t n, SearchTables& tables) : in_(in), n_(n) {
        if (!tables.head) tables.head.reset(new std::uint32_t[std::size_t{1} << SEARCH_HASH_BITS]);
        if (!tables.prev) tables.prev.reset(new std::uint32_t[RING_SLOTS]);
        head_ = tables.head.get();
        prev_ = tables.prev.get();
        std::fill_n(head_, std::size_t{1} << SEARCH_HASH_BITS, 0u);
        last_start_ = n >= MIN_MATCH ? n - MIN_MATCH : 0;
    }

    // Whether a match can start at p (six bytes remain).
    bool searchable(std::size_t p) const { return n_ >= MIN_MATCH && p <= last_start_; }
    std::size_t last_start() const { return last_start_; }

    // Enters every position up to and including p that is not entered yet.
    // REQUIRES: searchable(p).
    void enter_through(std::size_t p) {
        for (; next_ <= p; ++next_) {
            const std::uint32_t h = hash6(next_);
            prev_[next_ & RING_MASK] = head_[h];
            head_[h] = static_cast<std::uint32_t>(next_ + LINK_BIAS);
        }
    }

    // Walks the chain of p (entered) over at most `steps` earlier positions
    // and calls visit(length, distance) for each candidate longer than every
    // one before it (so lengths and distances both increase), and, with
    // `ties`, for each one as long as the longest so far as well (a farther
    // copy of the same length may have cheaper distance bytes).  Once a
    // candidate reaches `good` bytes only a quarter of the steps left are
    // walked.  Stops at a length of `nice` or more, or one that reaches the
    // end of the input or MAX_MATCH.  Returns the longest length found
    // (MIN_MATCH - 1 if none).
    template <typename Visit>
    std::size_t walk(std::size_t p, int steps, std::size_t good, std::size_t nice, bool ties, Visit&& visit) const {
        const std::size_t limit = std::min(n_ - p, MAX_MATCH);
        std::size_t best = MIN_MATCH - 1;
        const std::uint8_t* cur = in_ + p;
        const std::size_t biased_p = p + LINK_BIAS;
        std::uint32_t e = prev_[p & RING_MASK];
        bool shortened = false;
        for (int step = 0; step < steps; ++step) {
            if (biased_p - e > MAX_DISTANCE) break;
            const std::size_t q = e - LINK_BIAS;
            e = prev_[q & RING_MASK];
            const std::uint8_t* cand = in_ + q;
            // A candidate that differs at offset `best` cannot be longer, nor
            // one that differs at `best - 1` as long.
            const std::size_t probe = ties ? best - 1 : best;
            if (cand[probe] != cur[probe]) continue;
            const std::size_t len = common_prefix(cand, cur, limit);
            if (len > best) {
                best = len;
                visit(len, p - q);
                if (len >= nice || len == limit) break;
                if (len >= good && !shortened) {
                    shortened = true;
                    steps = step + 1 + (steps - step - 1) / 4;
                }
            } else if (ties && len == best) {
                visit(len, p - q);
            }
        }
        return best;
    }

private:
    std::uint32_t hash6(std::size_t p) const {
        std::uint64_t v;
        if (p + 8 <= n_) {
            v = load_u64(in_ + p) << 16;
        } else {
            v = 0;
            std::memcpy(&v, in_ + p, 6);
            v <<= 16;
        }
        return static_cast<std::uint32_t>((v * 0x9E3779B97F4A7C15ull) >> (64 - SEARCH_HASH_BITS));
    }

    const std::uint8_t* in_;
    std::size_t n_;
    std::size_t last_start_ = 0;
    std::size_t next_ = 0;  // the first position not entered yet
    std::uint32_t* head_;
    std::uint32_t* prev_;  // written before read, no fill needed
};

// Appends tokens to a byte buffer and counts the token bytes as it goes.
class TokenSink {
public:
    explicit TokenSink(Bytes& out) : out_(out) {}

    void literal(std::uint8_t b) {
        if (b == 0xFF) {
            static constexpr std::uint8_t ESCAPED_FF[5] = {0xFF, 0x00, 0x00, 0x01, 0x00};
            out_.insert(out_.end(), ESCAPED_FF, ESCAPED_FF + 5);
        } else {
            out_.push_back(b);
        }
    }
    void literals(const std::uint8_t* p, std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) literal(p[i]);
    }
    void match(std::size_t distance, std::size_t length) {
        const std::uint8_t t[5] = {0xFF, static_cast<std::uint8_t>(distance), static_cast<std::uint8_t>(distance >> 8),
                                   static_cast<std::uint8_t>(length), static_cast<std::uint8_t>(length >> 8)};
        out_.insert(out_.end(), t, t + 5);
    }

private:
    Bytes& out_;
};

// ---- lazy parse ------------------------------------------------------------

struct Match {
    std::size_t length = 0;
    std::size_t distance = 0;
};

// A rough price of a match in quarter bytes: each byte it covers saves about
// a literal, and a farther distance needs rarer distance bytes.
inline long match_gain(const Match& m) {
    return static_cast<long>(4 * m.length) - static_cast<long>(std::bit_width(m.distance));
}

void lazy_parse(ByteView input, const LevelParams& params, SearchTables& tables, Bytes& out) {
    const std::uint8_t* in = input.data();
    const std::size_t n = input.size();
    TokenSink sink(out);
    ChainMatcher m(in, n, tables);
    const auto longest = [&](std::size_t p) {
        Match best;
        m.enter_through(p);
        m.walk(p, params.chain, params.good, params.nice, false, [&](std::size_t len, std::size_t dist) {
            best.length = len;
            best.distance = dist;
        });
        return best;
    };
    std::size_t j = 0;
    std::size_t run_start = 0;
    while (m.searchable(j)) {
        Match best = longest(j);
        if (best.length < MIN_MATCH) {
            ++j;
            continue;
        }
        // Look ahead while a later start pays for the literals it leaves:
        // each costs about one byte (4 quarter bytes).
        while (best.length < params.nice) {
            bool moved = false;
            for (int k = 1; k <= params.lookahead; ++k) {
                if (!m.searchable(j + k)) break;
                const Match next = longest(j + k);
                if (next.length >= MIN_MATCH && match_gain(next) > match_gain(best) + 4 * k) {
                    j += k;
                    best = next;
                    moved = true;
                    break;
                }
            }
            if (!moved) break;
        }
        sink.literals(in + run_start, j - run_start);
        sink.match(best.distance, best.length);
        j += best.length;
        run_start = j;
    }
    sink.literals(in + run_start, n - run_start);
}

// ---- optimal parse ---------------------------------------------------------

// Prices are in sixteenths of a bit.
constexpr std::uint32_t PRICE_ONE_BIT = 16;
// No byte is priced above this: a byte the model has not seen yet is rare,
// not impossible, and a cap keeps a window's total price within 32 bits.
constexpr std::uint32_t PRICE_MAX = 20 * PRICE_ONE_BIT;

// log2(x) in sixteenths of a bit (rounded down), for x >= 1.  Integers only,
// by repeated squaring of the mantissa: prices, and so the blocks, must not
// depend on a platform's floating-point library.
std::uint32_t log2_sixteenths(std::uint64_t x) {
    const int e = std::bit_width(x) - 1;
    // The mantissa in [1, 2) with 31 fraction bits.
    std::uint64_t m = e >= 31 ? x >> (e - 31) : x << (31 - e);
    std::uint32_t r = static_cast<std::uint32_t>(e) << 4;
    for (int bit = 3; bit >= 0; --bit) {
        m = (m * m) >> 31;  // below 2^32 squared: fits
        if (m >= (std::uint64_t{1} << 32)) {
            m >>= 1;
            r |= 1u << bit;
        }
    }
    return r;
}

struct Prices {
    std::uint32_t byte[256];  // one token byte
    std::uint32_t literal[256];  // a literal token (FF in its escaped form)

    // From the counts of token bytes: -log2 of each byte's share, at least
    // one bit (a Huffman code spends no less).  A byte not seen is priced
    // as if seen half a time.
    void from_counts(const std::array<std::uint32_t, 256>& counts) {
        std::uint64_t total = 0;
        for (std::uint32_t c : counts) total += c;
        // In halves, so that an unseen byte's half count is a whole one.
        const std::uint32_t log_total = log2_sixteenths(2 * std::max<std::uint64_t>(total, 1));
        for (int s = 0; s < 256; ++s) {
            const std::uint32_t log_count = log2_sixteenths(counts[s] != 0 ? 2 * std::uint64_t{counts[s]} : 1);
            const std::uint32_t price = log_total > log_count ? log_total - log_count : 0;
            byte[s] = std::clamp(price, PRICE_ONE_BIT, PRICE_MAX);
        }
        for (int s = 0; s < 256; ++s) literal[s] = byte[s];
        literal[0xFF] = byte[0xFF] + 3 * byte[0x00] + byte[0x01];
    }

    std::uint32_t pair(std::size_t v) const { return byte[v & 0xFF] + byte[v >> 8]; }
};

struct Candidate {
    std::uint16_t distance;
    std::uint16_t length;
};

// Positions of one window of the parse: the window bounds the memory of the
// per-position tables (at most 4 bytes per candidate, MAX_CANDIDATES of them,
// and 12 bytes per position: 34 MiB in the worst case, a few MiB on text).
// Matches are cut at its end; on the sample files a window of 1 MiB instead
// saved less than 0.02 %.
constexpr std::size_t OPT_WINDOW = std::size_t{1} << 18;
// Lengths of a candidate beyond this are not tried one by one: only the
// candidate's full length is.  Shorter cuts of a long match rarely pay, and
// trying each would cost time in proportion to the length.
constexpr std::size_t OPT_CUT_LIMIT = 300;
// Candidates kept per position: the chain walk's increasing lengths and a
// few ties of each length rarely come near it.
constexpr std::size_t MAX_CANDIDATES = 32;
// Farther copies as long as the longest so far kept per length: enough to
// offer the parse a choice of distance bytes.  Columns of codes give every
// position dozens of equal candidates, and keeping them all costs the parse
// several times its time for a few bytes.
constexpr std::size_t MAX_TIES = 4;

class OptimalParser {
public:
    OptimalParser(ByteView input, const LevelParams& params, SearchTables& tables)
        : in_(input.data()),
          n_(input.size()),
          params_(params),
          matcher_(in_, n_, tables) {}

    void run(Bytes& out) {
        for (std::size_t w0 = 0; w0 < n_; w0 += OPT_WINDOW) {
            const std::size_t w1 = std::min(n_, w0 + OPT_WINDOW);
            parse_window(w0, w1, out);
        }
    }

private:
    // Finds the candidates of every position in [w0, w1), each cut to end
    // at w1.  Past a match of `nice` bytes or more the positions inside it
    // are entered but not searched: the match will be taken whole.
    void find_candidates(std::size_t w0, std::size_t w1) {
        const std::size_t m = w1 - w0;
        starts_.assign(m + 1, 0);
        cands_.clear();
        std::size_t skip_until = w0;
        for (std::size_t p = w0; p < w1; ++p) {
            starts_[p - w0] = static_cast<std::uint32_t>(cands_.size());
            if (!matcher_.searchable(p)) continue;
            matcher_.enter_through(p);
            if (p < skip_until) continue;
            const std::size_t room = w1 - p;
            if (room < MIN_MATCH) continue;
            // Cut to the window, a longer candidate can become as long as
            // an earlier one: it is then kept as a tie.
            std::size_t cut_prev = MIN_MATCH - 1;
            std::size_t ties = 0;
            const std::size_t first = cands_.size();
            const std::size_t longest = matcher_.walk(
                p, params_.chain, params_.good, params_.nice, true, [&](std::size_t len, std::size_t dist) {
                    const std::size_t cut = std::min(len, room);
                    if (cut < cut_prev || (cut == cut_prev && ++ties > MAX_TIES)) return;
                    if (cut > cut_prev) ties = 0;
                    const Candidate c{static_cast<std::uint16_t>(dist), static_cast<std::uint16_t>(cut)};
                    if (cands_.size() - first < MAX_CANDIDATES) {
                        cands_.push_back(c);
                    } else if (cut > cut_prev) {
                        cands_.back() = c;  // full: a longer one still goes in
                    }
                    cut_prev = cut;
                });
            if (longest >= params_.nice) skip_until = p + longest;
        }
        starts_[m] = static_cast<std::uint32_t>(cands_.size());
    }

    // Counts of the token bytes of the greedy parse of the window: the
    // longest candidate wherever there is one.
    std::array<std::uint32_t, 256> greedy_counts(std::size_t w0, std::size_t w1) const {
        std::array<std::uint32_t, 256> counts{};
        const std::size_t m = w1 - w0;
        std::size_t i = 0;
        while (i < m) {
            if (starts_[i] != starts_[i + 1]) {
                const Candidate c = cands_[starts_[i + 1] - 1];
                ++counts[0xFF];
                ++counts[c.distance & 0xFF];
                ++counts[c.distance >> 8];
                ++counts[c.length & 0xFF];
                ++counts[c.length >> 8];
                i += c.length;
            } else {
                const std::uint8_t b = in_[w0 + i];
                if (b == 0xFF) {
                    ++counts[0xFF];
                    counts[0x00] += 3;
                    ++counts[0x01];
                } else {
                    ++counts[b];
                }
                ++i;
            }
        }
        return counts;
    }

    // The cheapest path through the window under `prices`: per position the
    // step that reaches it (length 0 for a literal).
    void shortest_path(std::size_t w0, std::size_t w1, const Prices& prices) {
        const std::size_t m = w1 - w0;
        constexpr std::uint32_t INF = std::numeric_limits<std::uint32_t>::max();
        node_.assign(m + 1, Node{INF, 0, 0});
        node_[0].price = 0;
        const std::uint8_t* in = in_ + w0;
        // The price of each length's two bytes, for the lengths tried one
        // by one.
        std::uint32_t len_price[OPT_CUT_LIMIT + 1];
        for (std::size_t len = MIN_MATCH; len <= OPT_CUT_LIMIT; ++len) len_price[len] = prices.pair(len);
        // Cheapest distance price among the candidates of a position that
        // are at least as long as candidate k: a shorter cut of a farther
        // match may have cheaper distance bytes.
        std::uint32_t suffix_price[MAX_CANDIDATES];
        std::uint16_t suffix_dist[MAX_CANDIDATES];
        for (std::size_t i = 0; i < m; ++i) {
            Node* const at_i = node_.data() + i;
            const std::uint32_t base = at_i->price;
            {
                const std::uint32_t p = base + prices.literal[in[i]];
                if (p < at_i[1].price) at_i[1] = Node{p, 0, 0};
            }
            const std::uint32_t first = starts_[i], last = starts_[i + 1];
            if (first == last) continue;
            const std::size_t count = last - first;
            const Candidate* c = cands_.data() + first;
            std::uint32_t best = INF;
            std::uint16_t best_d = 0;
            for (std::size_t k = count; k-- > 0;) {
                const std::uint32_t dp = prices.pair(c[k].distance);
                if (dp < best) {
                    best = dp;
                    best_d = c[k].distance;
                }
                suffix_price[k] = best;
                suffix_dist[k] = best_d;
            }
            const std::uint32_t head = base + prices.byte[0xFF];
            std::size_t len = MIN_MATCH;
            for (std::size_t k = 0; k < count; ++k) {
                const std::size_t top = c[k].length;
                if (top < len) continue;  // a tie, already covered through the suffix
                const std::uint32_t at = head + suffix_price[k];
                const std::uint16_t d = suffix_dist[k];
                const std::size_t cut_top = std::min(top, OPT_CUT_LIMIT);
                for (; len <= cut_top; ++len) {
                    const std::uint32_t p = at + len_price[len];
                    if (p < at_i[len].price) at_i[len] = Node{p, static_cast<std::uint16_t>(len), d};
                }
                if (top > cut_top) {
                    const std::uint32_t p = at + prices.pair(top);
                    if (p < at_i[top].price) at_i[top] = Node{p, static_cast<std::uint16_t>(top), d};
                    len = top + 1;
                }
            }
        }
    }

    // Writes the path found by shortest_path as tokens to `out` and counts
    // their bytes.
    void emit_path(std::size_t w0, std::size_t w1, Bytes& out) {
        const std::size_t m = w1 - w0;
        path_.clear();
        for (std::size_t i = m; i > 0;) {
            const std::size_t len = node_[i].length;
            if (len == 0) {
                path_.push_back(0);
                --i;
            } else {
                path_.push_back(static_cast<std::uint32_t>(len) | static_cast<std::uint32_t>(node_[i].distance) << 16);
                i -= len;
            }
        }
        TokenSink sink(out);
        std::size_t i = w0;
        for (std::size_t k = path_.size(); k-- > 0;) {
            const std::uint32_t s = path_[k];
            if (s == 0) {
                sink.literal(in_[i++]);
            } else {
                sink.match(s >> 16, s & 0xFFFF);
                i += s & 0xFFFF;
            }
        }
    }

    void parse_window(std::size_t w0, std::size_t w1, Bytes& out) {
        find_candidates(w0, w1);
        Prices prices;
        prices.from_counts(greedy_counts(w0, w1));
        Bytes best;
        std::size_t best_size = std::numeric_limits<std::size_t>::max();
        for (int pass = 0; pass < params_.passes; ++pass) {
            shortest_path(w0, w1, prices);
            trial_.clear();
            emit_path(w0, w1, trial_);
            const std::array<std::uint32_t, 256> counts = byte_counts(trial_);
            // Kept by what the Huffman coder would make of it: a later
            // pass prices by the earlier pass's bytes, which is not always
            // better.
            const std::size_t size = plan_huffman(counts).size;
            if (size >= best_size) break;  // pricing by this parse's bytes did not pay
            best_size = size;
            best.swap(trial_);
            prices.from_counts(counts);
        }
        out.insert(out.end(), best.begin(), best.end());
    }

    const std::uint8_t* in_;
    std::size_t n_;
    LevelParams params_;
    ChainMatcher matcher_;
    std::vector<std::uint32_t> starts_;  // per window position, its first candidate in cands_
    std::vector<Candidate> cands_;  // per position, lengths not decreasing
    // Per window position: the cheapest price to reach it and the step
    // that does (length 0 for a literal).
    struct Node {
        std::uint32_t price;
        std::uint16_t length;
        std::uint16_t distance;
    };
    std::vector<Node> node_;
    std::vector<std::uint32_t> path_;
    Bytes trial_;
};

// The levels.  Chain steps and look-ahead grow with the level; from level 5
// the parse is the optimal one, with more passes at the top.  The `good`
// lengths of the priced levels were measured at level 9 on the sample files:
// walking a quarter of the chain past a 64-byte candidate took zipcodes.csv
// from 1.3 to 2.2 MB/s for 26 bytes and birdstrikes.csv from 0.9 to 1.0 MB/s
// for 0.3 %, and left flights-3m.csv unchanged.
constexpr LevelParams LEVELS[MAX_LEVEL + 1] = {
    // chain, lookahead, passes, good, nice, all_methods
    {},  // unused
    {8, 1, 0, 128, GOOD_MATCH + 1, false},  // level 1: the fixed parse of lz_stage.cpp
    {16, 1, 0, 256, 256, false},
    {32, 2, 0, 256, 256, false},
    {64, 2, 0, 512, 512, false},
    {32, 0, 1, 32, 256, true},
    {64, 0, 2, 48, 512, true},
    {128, 0, 2, 64, 1024, true},
    {192, 0, 3, 64, 2048, true},
    {256, 0, 4, 64, 4096, true},
};

}  // namespace

const LevelParams& internal::level_params(int level) { return LEVELS[std::clamp(level, MIN_LEVEL, MAX_LEVEL)]; }

void internal::lz_encode_searched(ByteView input, int level, Bytes& out, SearchTables& tables) {
    out.clear();
    const LevelParams& params = level_params(level);
    // Level 1's parse is lz_encode's; so is that of an input within 64 KiB
    // of 4 GiB, whose biased positions 32-bit links cannot hold.
    if (level <= MIN_LEVEL || !ChainMatcher::fits(input.size())) {
        out = lz_encode(input);
        return;
    }
    out.reserve(input.size() / 2 + 64);
    if (params.passes > 0) {
        OptimalParser(input, params, tables).run(out);
    } else {
        lazy_parse(input, params, tables, out);
    }
}

Bytes internal::lz_encode_searched(ByteView input, int level) {
    SearchTables tables;
    Bytes out;
    lz_encode_searched(input, level, out, tables);
    return out;
}

}  // namespace sarn::codec
