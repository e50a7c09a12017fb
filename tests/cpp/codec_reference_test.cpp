// The fast LZ stage against a plain, slow rendering of the same rules: full
// position-indexed chain table, byte-by-byte comparison, no shortcuts.  The
// fast one must write exactly the same tokens on every input, including
// inputs longer than the distance window and inputs full of equal bytes.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "codec_test_data.hpp"
#include "codec/codec.hpp"
#include "codec/codec_internal.hpp"

namespace {

using sarn::common::Bytes;
using namespace sarn::codec_test;

Bytes plain_lz_encode(const Bytes& in) {
    const std::size_t n = in.size();
    std::vector<std::uint32_t> head(65536, 0);
    std::vector<std::uint32_t> prev(n, 0);
    std::vector<bool> entered(n, false);
    auto hash = [&](std::size_t p) {
        const std::uint32_t v = in[p] | (in[p + 1] << 8) | (in[p + 2] << 16) | (std::uint32_t{in[p + 3]} << 24);
        return (v * 0x9E3779B1u) >> 16;
    };
    auto enter = [&](std::size_t p) {
        if (entered[p]) return;
        entered[p] = true;
        const std::uint32_t h = hash(p);
        prev[p] = head[h];
        head[h] = static_cast<std::uint32_t>(p + 1);
    };
    struct Found {
        std::size_t len = 0, dist = 0;
        bool early = false;
    };
    auto search = [&](std::size_t j, std::size_t limit) {
        Found f;
        std::uint32_t e = head[hash(j)];
        for (int steps = 0; e != 0 && steps < 8; ++steps) {
            const std::size_t q = e - 1;
            const std::size_t d = j - q;
            if (d > 65535) break;
            if (d != 0 && std::memcmp(&in[q], &in[j], 4) == 0) {
                std::size_t len = 4;
                while (len < limit && in[q + len] == in[j + len]) ++len;
                if (len > f.len) {
                    f.len = len;
                    f.dist = d;
                    if (len > 127) {
                        f.early = true;
                        break;
                    }
                }
            }
            e = prev[q];
        }
        return f;
    };
    Bytes out;
    auto literals = [&](std::size_t from, std::size_t to) {
        for (std::size_t i = from; i < to; ++i) {
            if (in[i] == 0xFF) {
                out.insert(out.end(), {0xFF, 0x00, 0x00, 0x01, 0x00});
            } else {
                out.push_back(in[i]);
            }
        }
    };
    std::size_t j = 0, run = 0;
    while (j < n) {
        if (j + 4 >= n) {
            ++j;
            continue;
        }
        enter(j);
        const Found best = search(j, std::min<std::size_t>(n - j, 65535));
        if (best.len < 6) {
            ++j;
            continue;
        }
        if (!best.early && j + 1 + 4 < n) {
            enter(j + 1);
            const Found next = search(j + 1, std::min<std::size_t>(n - j - 1, 65535));
            if (next.len >= 6 && next.len >= best.len + 2) {
                ++j;
                continue;
            }
        }
        literals(run, j);
        out.insert(out.end(), {0xFF, static_cast<std::uint8_t>(best.dist), static_cast<std::uint8_t>(best.dist >> 8),
                               static_cast<std::uint8_t>(best.len), static_cast<std::uint8_t>(best.len >> 8)});
        const std::size_t step = best.len < 33 ? 1 : best.len <= 64 ? 2 : 4;
        for (std::size_t k = 1; k < best.len && j + k + 4 < n; k += step) enter(j + k);
        j += best.len;
        run = j;
    }
    literals(run, n);
    return out;
}

TEST(CodecLzReference, SameTokensAsThePlainRules) {
    std::vector<std::pair<std::string, Bytes>> inputs;
    for (std::uint64_t seed = 1; seed <= 40; ++seed) {
        Rng rng(seed);
        const std::size_t n = 10 + rng.below(seed % 4 == 0 ? 200000 : 3000);
        const unsigned k = 1 + static_cast<unsigned>(rng.below(seed % 3 == 0 ? 256 : 6));
        inputs.emplace_back("alphabet " + std::to_string(seed), alphabet_bytes(n, k, seed, seed % 2 ? 0xFC : 'a'));
    }
    inputs.emplace_back("wordy", wordy_bytes(150000, 5));
    {
        // Repeats at and around the window edge, long runs, FF runs.
        Bytes b = random_bytes(140000, 6);
        for (std::size_t at : {65530u, 65535u, 65536u, 131000u})
            std::copy(b.begin() + 100, b.begin() + 400, b.begin() + static_cast<std::ptrdiff_t>(at));
        b.insert(b.end(), 70000, 'z');
        b.insert(b.end(), 300, 0xFF);
        inputs.emplace_back("window edges", b);
    }
    for (const char* file : {"flights-3m.csv", "birdstrikes.csv", "zipcodes.csv"}) {
        const auto blocks = text_column_blocks(read_file(data_path(file)), 8192);
        for (std::size_t i = 0; i < blocks.size() && i < 12; ++i)
            inputs.emplace_back(std::string(file) + " " + std::to_string(i), blocks[i]);
    }
    for (const auto& [name, input] : inputs) {
        const Bytes fast = sarn::codec::internal::lz_encode(input);
        const Bytes plain = plain_lz_encode(input);
        ASSERT_EQ(fast.size(), plain.size()) << name;
        EXPECT_TRUE(fast == plain) << name;
    }
}

}  // namespace
