// Static order-0 range coder over bytes, frequencies scaled to FREQ_TOTAL.
//
// Payload: u16 K (distinct values), K times (u8 value, u16 frequency), u32
// n, then the coded bytes ending with the final `low` big-endian.  A single
// distinct value needs no coded bytes at all.
//
// `low` is a 32-bit register, but the coded bytes are one big-endian number:
// an addition that carries out of `low` must increment the bytes already
// written.  The encoder keeps `low` in 64 bits and, on a carry, walks back
// over the output turning FF bytes into 00 until one byte absorbs the +1.
// Every FF byte is turned back at most once per time it is written, so the
// walk costs amortised constant time per byte.
#include <algorithm>
#include <cstring>
#include <string>

#include "codec/codec.hpp"
#include "codec/codec_internal.hpp"

namespace sarn::codec {

using namespace internal;

std::array<std::uint32_t, 256> internal::range_frequencies(const std::array<std::uint32_t, 256>& counts) {
    std::array<std::uint32_t, 256> freq{};
    std::uint64_t n = 0;
    for (std::uint32_t c : counts) n += c;
    if (n == 0) return freq;
    std::uint64_t sum = 0;
    for (int s = 0; s < 256; ++s) {
        if (counts[s] == 0) continue;
        const std::uint64_t f = std::uint64_t{counts[s]} * FREQ_TOTAL / n;
        freq[s] = static_cast<std::uint32_t>(std::max<std::uint64_t>(1, f));
        sum += freq[s];
    }
    if (sum < FREQ_TOTAL) {
        // The most frequent value (highest value among equal counts) takes
        // the whole shortfall.
        int top = -1;
        for (int s = 0; s < 256; ++s)
            if (counts[s] != 0 && (top < 0 || counts[s] >= counts[top])) top = s;
        freq[top] += static_cast<std::uint32_t>(FREQ_TOTAL - sum);
    }
    while (sum > FREQ_TOTAL) {
        // One unit at a time from the largest frequency still above 1,
        // highest value among equals.
        int top = -1;
        for (int s = 0; s < 256; ++s)
            if (freq[s] >= 2 && (top < 0 || freq[s] >= freq[top])) top = s;
        --freq[top];
        --sum;
    }
    return freq;
}

namespace {

constexpr std::size_t HEADER_FIXED = 2 + 4;

std::size_t write_header(std::uint8_t* o, const std::array<std::uint32_t, 256>& freq, std::size_t n) {
    std::uint8_t* start = o;
    int k = 0;
    for (std::uint32_t f : freq) k += f != 0;
    *o++ = static_cast<std::uint8_t>(k);
    *o++ = static_cast<std::uint8_t>(k >> 8);
    for (int s = 0; s < 256; ++s) {
        if (freq[s] == 0) continue;
        *o++ = static_cast<std::uint8_t>(s);
        *o++ = static_cast<std::uint8_t>(freq[s]);
        *o++ = static_cast<std::uint8_t>(freq[s] >> 8);
    }
    const std::uint32_t n32 = static_cast<std::uint32_t>(n);
    std::memcpy(o, &n32, 4);  // little-endian host
    o += 4;
    return static_cast<std::size_t>(o - start);
}

}  // namespace

Bytes internal::range_encode_with_stats(ByteView input, RangeCarryStats* stats) {
    const std::size_t n = input.size();
    if (n == 0) return {};
    const std::array<std::uint32_t, 256> freq = range_frequencies(byte_counts(input));
    int k = 0;
    for (std::uint32_t f : freq) k += f != 0;

    Bytes out(HEADER_FIXED + 3 * static_cast<std::size_t>(k) + n + 16);
    std::size_t pos = write_header(out.data(), freq, n);
    if (k == 1) {
        out.resize(pos);
        return out;
    }
    std::array<std::uint32_t, 256> cum{};
    std::uint32_t run = 0;
    for (int s = 0; s < 256; ++s) {
        cum[s] = run;
        run += freq[s];
    }

    const std::size_t coded_start = pos;
    std::uint64_t low = 0;  // bit 32 catches a carry out of the 32-bit register
    std::uint32_t range = 0xFFFFFFFFu;
    const std::uint8_t* p = input.data();
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint8_t s = p[i];
        const std::uint32_t r = range >> FREQ_BITS;
        low += std::uint64_t{r} * cum[s];
        range = r * freq[s];
        if (low >> 32) {
            low &= 0xFFFFFFFFu;
            std::size_t back = pos;
            while (back > coded_start && out[back - 1] == 0xFF) out[--back] = 0x00;
            // A carry past the first coded byte cannot happen: the interval
            // never leaves the one it started as.
            if (back > coded_start) ++out[back - 1];
            if (stats) {
                ++stats->carries;
                stats->max_ripple = std::max(stats->max_ripple, pos - back + 1);
            }
        }
        while (range <= 0xFFFFu) {
            if (pos + 4 >= out.size()) out.resize(out.size() * 2);
            out[pos++] = static_cast<std::uint8_t>(low >> 24);
            low = (low << 8) & 0xFFFFFFFFu;
            range <<= 8;
        }
    }
    if (pos + 4 > out.size()) out.resize(pos + 4);
    out[pos++] = static_cast<std::uint8_t>(low >> 24);
    out[pos++] = static_cast<std::uint8_t>(low >> 16);
    out[pos++] = static_cast<std::uint8_t>(low >> 8);
    out[pos++] = static_cast<std::uint8_t>(low);
    out.resize(pos);
    return out;
}

Bytes internal::range_encode(ByteView input) { return internal::range_encode_with_stats(input, nullptr); }

namespace {

Error corrupt(const char* what) { return Error::value(std::string("Corrupt range-coded payload: ") + what); }

}  // namespace

Result<RangeStream> RangeStream::open(ByteView payload) {
    RangeStream rs;
    // An empty payload encodes nothing (range_decode reads it so too).
    if (payload.empty()) {
        rs.single_ = true;
        return rs;
    }
    const std::uint8_t* p = payload.data();
    const std::size_t size = payload.size();
    if (size < 2) return corrupt("truncated header");
    const std::size_t k = p[0] | (std::size_t{p[1]} << 8);
    if (k == 0 || k > 256) return corrupt("bad number of values");
    if (size < HEADER_FIXED + 3 * k) return corrupt("truncated header");
    std::array<std::uint32_t, 256> freq{};
    std::uint32_t sum = 0;
    int last = -1;
    std::size_t at = 2;
    for (std::size_t i = 0; i < k; ++i) {
        const int value = p[at];
        const std::uint32_t f = p[at + 1] | (std::uint32_t{p[at + 2]} << 8);
        at += 3;
        if (value <= last) return corrupt("values out of order");
        if (f == 0) return corrupt("zero frequency");
        freq[value] = f;
        sum += f;
        last = value;
    }
    if (sum != FREQ_TOTAL) return corrupt("frequencies do not sum to the total");
    std::uint32_t n32;
    std::memcpy(&n32, p + at, 4);
    at += 4;
    rs.length_ = rs.left_ = n32;
    rs.single_ = k == 1;
    rs.only_ = static_cast<std::uint8_t>(last);
    rs.coded_ = p + at;
    rs.coded_size_ = size - at;
    if (rs.single_) {
        if (at != size) return corrupt("trailing bytes");
        return rs;
    }
    if (rs.coded_size_ < 4) return corrupt("truncated coded bytes");
    std::uint32_t run = 0;
    for (int s = 0; s < 256; ++s) {
        rs.cum_[s] = run;
        rs.freq_[s] = freq[s];
        if (freq[s] != 0) std::memset(rs.symbol_at_.data() + run, s, freq[s]);
        run += freq[s];
    }
    const std::uint8_t* c = rs.coded_;
    rs.code_ = (std::uint32_t{c[0]} << 24) | (std::uint32_t{c[1]} << 16) | (std::uint32_t{c[2]} << 8) | c[3];
    rs.in_ = 4;
    return rs;
}

Result<void> RangeStream::decode(std::uint8_t* o, std::size_t count) {
    if (count > left_) return corrupt("decoded past its length");
    left_ -= count;
    if (single_) {
        if (count > 0) std::memset(o, only_, count);
        return {};
    }
    // The registers live in locals for the loop: it is the whole cost.
    std::uint32_t code = code_, low = low_, range = range_;
    std::size_t in = in_;
    const std::uint8_t* const coded = coded_;
    const std::size_t coded_size = coded_size_;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint32_t r = range >> FREQ_BITS;
        const std::uint32_t v = (code - low) / r;
        if (v >= FREQ_TOTAL) return corrupt("code outside the coded interval");
        const std::uint8_t s = symbol_at_[v];
        o[i] = s;
        low += r * cum_[s];
        range = r * freq_[s];
        while (range <= 0xFFFFu) {
            if (in >= coded_size) return corrupt("coded bytes end early");
            code = (code << 8) | coded[in++];
            low <<= 8;
            range <<= 8;
        }
    }
    code_ = code;
    low_ = low;
    range_ = range;
    in_ = in;
    return {};
}

Result<void> RangeStream::finish() const {
    if (left_ != 0) return corrupt("ended before its length");
    if (!single_ && in_ != coded_size_) return corrupt("trailing bytes");
    return {};
}

Result<Bytes> internal::range_decode(ByteView payload, std::size_t max_output, bool* exceeded) {
    if (payload.empty()) return Bytes{};
    auto rs = RangeStream::open(payload);
    if (!rs) return std::move(rs).error();
    const std::size_t n = rs->length();
    if (n > max_output) {
        if (exceeded) *exceeded = true;
        return corrupt("decoded length exceeds its limit");
    }
    Bytes out(n);
    if (auto r = rs->decode(out.data(), n); !r) return std::move(r).error();
    if (auto r = rs->finish(); !r) return std::move(r).error();
    return out;
}

}  // namespace sarn::codec
