// BlockReader: a block's content a piece at a time.
//
// The stored form is its own content and the Huffman forms decode whole at
// the first read (a code takes at least a bit, so their output is at most
// eight times the block).  A range-coded payload decodes in order, keeping
// its registers between reads.  The LZ forms expand their tokens into a
// window that keeps the last MAX_DISTANCE bytes of content, the farthest a
// match reaches back, so the content never has to be held whole; a match
// cut by the end of a read goes on at the next one.  Tokens of an LZ_RANGE
// block are range-decoded a piece at a time into a small buffer: a block of
// a few bytes can state billions of them.
#include <algorithm>
#include <cstring>
#include <limits>
#include <string>

#include "codec/codec.hpp"
#include "codec/codec_internal.hpp"

namespace sarn::codec {

using namespace internal;

namespace {

Error corrupt(const char* what) { return Error::value(std::string("Corrupt compressed block: ") + what); }

// Content kept behind the read position for the matches to come.
constexpr std::size_t WINDOW_KEEP = MAX_DISTANCE;
// Room for new content beyond it, refilled whenever it has been read.
constexpr std::size_t WINDOW_SPAN = 256 * 1024;
// Range-decoded tokens held at once.
constexpr std::size_t TOKEN_PIECE = 64 * 1024;

}  // namespace

struct BlockReader::State {
    BlockMethod method = BlockMethod::STORED;
    ByteView payload;
    std::optional<std::size_t> declared;
    std::uint64_t position = 0;
    bool ended = false;

    // Content served as it stands: the stored payload, or a Huffman block decoded.
    ByteView plain;
    std::size_t plain_at = 0;
    Bytes owned;  // the decoded Huffman content, or the decoded Huffman tokens
    bool decoded = false;

    // The range decoder of a RANGE block's content or an LZ_RANGE block's tokens.
    std::optional<RangeStream> range;

    // LZ expansion.
    ByteView tokens;  // the tokens at hand: all of them, or a decoded piece
    std::size_t tok_at = 0;
    Bytes tok_buf;
    Bytes window;
    std::size_t win_len = 0, win_read = 0;
    std::size_t match_left = 0, match_dist = 0;
    std::uint64_t produced = 0;

    bool is_lz() const {
        return method == BlockMethod::LZ || method == BlockMethod::LZ_HUFFMAN || method == BlockMethod::LZ_RANGE;
    }

    // Decodes the Huffman payload on first use.
    Result<void> decode_huffman() {
        if (decoded) return {};
        decoded = true;
        auto out = huffman_decode(payload, std::numeric_limits<std::size_t>::max());
        if (!out) return std::move(out).error();
        owned = std::move(*out);
        if (method == BlockMethod::HUFFMAN)
            plain = owned;
        else
            tokens = owned;
        return {};
    }

    // More tokens when the ones at hand are used up: true when there are.
    Result<bool> refill() {
        if (tok_at < tokens.size()) return true;
        if (!range || range->left() == 0) return false;
        const std::size_t k = std::min(range->left(), TOKEN_PIECE);
        if (tok_buf.size() < TOKEN_PIECE) tok_buf.resize(TOKEN_PIECE);
        if (auto r = range->decode(tok_buf.data(), k); !r) return std::move(r).error();
        tokens = ByteView(tok_buf.data(), k);
        tok_at = 0;
        return true;
    }

    // The next `k` token bytes, across pieces; false when the tokens end first.
    Result<bool> take(std::uint8_t* out, std::size_t k) {
        for (std::size_t i = 0; i < k; ++i) {
            auto more = refill();
            if (!more) return std::move(more).error();
            if (!*more) return false;
            out[i] = tokens[tok_at++];
        }
        return true;
    }

    // Expands tokens into the window until `room` new bytes are there or the
    // tokens end.  Returns how many were made (0: the content is complete).
    Result<std::size_t> produce(std::size_t room) {
        std::uint8_t* const w = window.data();
        std::size_t made = 0;
        while (made < room) {
            if (match_left > 0) {
                const std::size_t k = std::min(match_left, room - made);
                std::uint8_t* dst = w + win_len;
                const std::uint8_t* src = dst - match_dist;
                if (match_dist >= k) {
                    std::memcpy(dst, src, k);
                } else {
                    for (std::size_t i = 0; i < k; ++i) dst[i] = src[i];
                }
                win_len += k;
                made += k;
                match_left -= k;
                continue;
            }
            auto more = refill();
            if (!more) return std::move(more).error();
            if (!*more) break;
            if (tokens[tok_at] != 0xFF) {
                // A run of literals, up to the next FF or the room left.
                const std::size_t k = std::min(tokens.size() - tok_at, room - made);
                const std::uint8_t* t = tokens.data() + tok_at;
                const void* ff = std::memchr(t, 0xFF, k);
                const std::size_t run = ff ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(ff) - t) : k;
                std::memcpy(w + win_len, t, run);
                win_len += run;
                made += run;
                tok_at += run;
                continue;
            }
            std::uint8_t head[5];
            auto whole = take(head, 5);
            if (!whole) return std::move(whole).error();
            if (!*whole) return corrupt("truncated match token");
            const std::size_t distance = head[1] | (std::size_t{head[2]} << 8);
            const std::size_t length = head[3] | (std::size_t{head[4]} << 8);
            if (distance == 0) {
                if (length != 1) return corrupt("match token with distance 0");
                w[win_len++] = 0xFF;
                ++made;
                continue;
            }
            if (length == 0) return corrupt("match token of length 0");
            if (distance > produced + made) return corrupt("match reaches before the start of the output");
            match_left = length;
            match_dist = distance;
        }
        produced += made;
        return made;
    }

    // The checks at the end of the content.
    Result<void> finish() {
        ended = true;
        if (range) return range->finish();
        return {};
    }

    // Up to `n` bytes into `dst` (nullptr: skipped).
    Result<std::size_t> read(std::uint8_t* dst, std::size_t n) {
        std::size_t out = 0;
        while (out < n && !ended) {
            if (is_lz()) {
                if (win_read < win_len) {
                    const std::size_t k = std::min(win_len - win_read, n - out);
                    if (dst) std::memcpy(dst + out, window.data() + win_read, k);
                    win_read += k;
                    out += k;
                    continue;
                }
                if (method == BlockMethod::LZ_HUFFMAN && !decoded) {
                    if (auto r = decode_huffman(); !r) return std::move(r).error();
                }
                if (window.empty()) window.resize(WINDOW_KEEP + WINDOW_SPAN);
                if (win_len > WINDOW_KEEP) {
                    // Everything made has been read: keep only what matches may reach.
                    std::memmove(window.data(), window.data() + win_len - WINDOW_KEEP, WINDOW_KEEP);
                    win_len = win_read = WINDOW_KEEP;
                }
                auto made = produce(window.size() - win_len);
                if (!made) return std::move(made).error();
                if (*made == 0) {
                    if (auto r = finish(); !r) return std::move(r).error();
                }
                continue;
            }
            if (method == BlockMethod::RANGE) {
                const std::size_t k = std::min<std::size_t>(range->left(), n - out);
                if (k == 0) {
                    if (auto r = finish(); !r) return std::move(r).error();
                    continue;
                }
                if (dst) {
                    if (auto r = range->decode(dst + out, k); !r) return std::move(r).error();
                } else {
                    std::uint8_t scratch[4096];
                    const std::size_t part = std::min(k, sizeof scratch);
                    if (auto r = range->decode(scratch, part); !r) return std::move(r).error();
                    out += part;
                    continue;
                }
                out += k;
                continue;
            }
            if (method == BlockMethod::HUFFMAN && !decoded) {
                if (auto r = decode_huffman(); !r) return std::move(r).error();
            }
            const std::size_t k = std::min(plain.size() - plain_at, n - out);
            if (k == 0) {
                ended = true;
                continue;
            }
            if (dst) std::memcpy(dst + out, plain.data() + plain_at, k);
            plain_at += k;
            out += k;
        }
        position += out;
        return out;
    }
};

BlockReader::BlockReader(std::unique_ptr<State> state) : state_(std::move(state)) {}
BlockReader::BlockReader(BlockReader&&) noexcept = default;
BlockReader& BlockReader::operator=(BlockReader&&) noexcept = default;
BlockReader::~BlockReader() = default;

Result<BlockReader> BlockReader::open(ByteView block) {
    auto s = std::make_unique<State>();
    if (block.empty()) {
        s->declared = 0;
        s->ended = true;
        return BlockReader(std::move(s));
    }
    s->payload = block.subspan(1);
    switch (block[0]) {
        case static_cast<std::uint8_t>(BlockMethod::STORED):
            s->method = BlockMethod::STORED;
            s->plain = s->payload;
            s->declared = s->payload.size();
            break;
        case static_cast<std::uint8_t>(BlockMethod::LZ):
            s->method = BlockMethod::LZ;
            s->tokens = s->payload;
            break;
        case static_cast<std::uint8_t>(BlockMethod::HUFFMAN):
        case static_cast<std::uint8_t>(BlockMethod::LZ_HUFFMAN): {
            s->method = static_cast<BlockMethod>(block[0]);
            auto n = huffman_declared_length(s->payload);
            if (!n) return std::move(n).error();
            if (s->method == BlockMethod::HUFFMAN) s->declared = *n;
            break;
        }
        case static_cast<std::uint8_t>(BlockMethod::RANGE):
        case static_cast<std::uint8_t>(BlockMethod::LZ_RANGE): {
            s->method = static_cast<BlockMethod>(block[0]);
            auto rs = RangeStream::open(s->payload);
            if (!rs) return std::move(rs).error();
            if (s->method == BlockMethod::RANGE) s->declared = rs->length();
            s->range.emplace(std::move(*rs));
            break;
        }
        default: return Error::value("Corrupt compressed block: unknown method byte " + std::to_string(block[0]));
    }
    return BlockReader(std::move(s));
}

std::optional<std::size_t> BlockReader::declared_length() const noexcept { return state_->declared; }

std::uint64_t BlockReader::position() const noexcept { return state_->position; }

Result<std::size_t> BlockReader::read(std::uint8_t* dst, std::size_t n) { return state_->read(dst, n); }

Result<std::uint64_t> BlockReader::skip(std::uint64_t n) {
    std::uint64_t done = 0;
    while (done < n) {
        const std::size_t part = static_cast<std::size_t>(std::min<std::uint64_t>(n - done, std::uint64_t{1} << 30));
        auto k = state_->read(nullptr, part);
        if (!k) return std::move(k).error();
        done += *k;
        if (*k < part) break;
    }
    return done;
}

Result<std::optional<std::size_t>> declared_length(ByteView block) {
    if (block.empty()) return std::optional<std::size_t>(0);
    const ByteView payload = block.subspan(1);
    switch (block[0]) {
        case static_cast<std::uint8_t>(BlockMethod::STORED): return std::optional<std::size_t>(payload.size());
        case static_cast<std::uint8_t>(BlockMethod::HUFFMAN): {
            auto n = huffman_declared_length(payload);
            if (!n) return std::move(n).error();
            return std::optional<std::size_t>(*n);
        }
        case static_cast<std::uint8_t>(BlockMethod::RANGE): {
            auto rs = RangeStream::open(payload);
            if (!rs) return std::move(rs).error();
            return std::optional<std::size_t>(rs->length());
        }
        case static_cast<std::uint8_t>(BlockMethod::LZ):
        case static_cast<std::uint8_t>(BlockMethod::LZ_HUFFMAN):
        case static_cast<std::uint8_t>(BlockMethod::LZ_RANGE): return std::optional<std::size_t>();
        default: break;
    }
    return Error::value("Corrupt compressed block: unknown method byte " + std::to_string(block[0]));
}

}  // namespace sarn::codec
