// Inputs shared by the codec tests, benchmarks and fuzz seeds: hex literals,
// deterministic pseudo-random bytes and text column blocks cut from the real
// CSV files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "codec/codec.hpp"

namespace sarn::codec_test {

// "61 FF 01" -> {0x61, 0xFF, 0x01}; spaces are ignored.
inline common::Bytes hex(std::string_view text) {
    common::Bytes out;
    int nibbles = 0;
    unsigned value = 0;
    for (char c : text) {
        unsigned v;
        if (c >= '0' && c <= '9')
            v = static_cast<unsigned>(c - '0');
        else if (c >= 'a' && c <= 'f')
            v = static_cast<unsigned>(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F')
            v = static_cast<unsigned>(c - 'A' + 10);
        else
            continue;
        value = value * 16 + v;
        if (++nibbles == 2) {
            out.push_back(static_cast<std::uint8_t>(value));
            nibbles = 0;
            value = 0;
        }
    }
    return out;
}

inline common::Bytes text_bytes(std::string_view s) { return common::Bytes(s.begin(), s.end()); }

inline common::Bytes repeat(std::string_view unit, std::size_t times) {
    common::Bytes out(unit.size() * times);
    for (std::size_t i = 0; i < times; ++i) std::copy(unit.begin(), unit.end(), out.begin() + i * unit.size());
    return out;
}

// splitmix64: a fixed, portable generator so inputs are the same everywhere.
class Rng {
public:
    explicit Rng(std::uint64_t seed) : state_(seed) {}
    std::uint64_t next() {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    std::uint64_t below(std::uint64_t bound) { return next() % bound; }

private:
    std::uint64_t state_;
};

inline common::Bytes random_bytes(std::size_t n, std::uint64_t seed) {
    Rng rng(seed);
    common::Bytes out(n);
    for (auto& b : out) b = static_cast<std::uint8_t>(rng.next());
    return out;
}

// Bytes base, base + 1, ..., base + k - 1 drawn uniformly: no long repeats,
// but an entropy of log2(k) bits per byte.
inline common::Bytes alphabet_bytes(std::size_t n, unsigned k, std::uint64_t seed, unsigned base) {
    Rng rng(seed);
    common::Bytes out(n);
    for (auto& b : out) b = static_cast<std::uint8_t>(base + rng.below(k));
    return out;
}

inline std::uint64_t fnv1a(const common::Bytes& b) {
    std::uint64_t h = 0xcbf29ce484222325ull;
    for (std::uint8_t c : b) h = (h ^ c) * 0x100000001b3ull;
    return h;
}

// Text drawn from a small vocabulary with random separators: compressible by
// both the LZ stage and the entropy coders.
inline common::Bytes wordy_bytes(std::size_t n, std::uint64_t seed) {
    static const char* const words[] = {"alpha", "beta", "gamma", "delta",  "epsilon", "zeta",       "eta",
                                        "theta", "iota", "kappa", "lambda", "mu",      "2026-12-10", "NULL"};
    Rng rng(seed);
    common::Bytes out;
    while (out.size() < n) {
        std::string_view w = words[rng.below(sizeof words / sizeof words[0])];
        out.insert(out.end(), w.begin(), w.end());
        out.push_back(static_cast<std::uint8_t>(" ,;\n"[rng.below(4)]));
    }
    out.resize(n);
    return out;
}

inline std::string read_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

inline bool is_space(unsigned char c) { return c == ' ' || (c >= 0x09 && c <= 0x0D); }

inline std::string_view trim(std::string_view s) {
    while (!s.empty() && is_space(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
    while (!s.empty() && is_space(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
    return s;
}

inline void put_varint(common::Bytes& out, std::uint64_t v) {
    while (v >= 0x80) {
        out.push_back(static_cast<std::uint8_t>(v | 0x80));
        v >>= 7;
    }
    out.push_back(static_cast<std::uint8_t>(v));
}

// Text column blocks of a CSV file as a chunk writes them before
// compression: per chunk of `rows_per_block` data rows and per column, the
// concatenation over the rows of varint(length) and the value's bytes.
// Lines end at LF (a CR before it is dropped), blank lines are skipped,
// fields are cut at every comma and trimmed (ASCII white space only, which
// covers the sample files).
inline std::vector<common::Bytes> text_column_blocks(const std::string& csv, std::size_t rows_per_block) {
    std::vector<std::string_view> lines;
    std::string_view all(csv);
    while (!all.empty()) {
        std::size_t lf = all.find('\n');
        std::string_view line = all.substr(0, lf);
        all.remove_prefix(lf == std::string_view::npos ? all.size() : lf + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        lines.push_back(line);
    }
    if (lines.empty()) return {};
    std::size_t columns = 1;
    for (char c : lines[0]) columns += c == ',';
    std::vector<common::Bytes> blocks;
    std::vector<common::Bytes> current(columns);
    std::size_t rows = 0;
    auto flush = [&] {
        for (auto& b : current) blocks.push_back(std::move(b));
        current.assign(columns, common::Bytes{});
        rows = 0;
    };
    for (std::size_t i = 1; i < lines.size(); ++i) {
        if (trim(lines[i]).empty()) continue;
        std::string_view rest = lines[i];
        for (std::size_t c = 0; c < columns; ++c) {
            std::string_view field;
            if (rest.data() != nullptr) {
                std::size_t comma = rest.find(',');
                field = rest.substr(0, comma);
                if (comma == std::string_view::npos)
                    rest = std::string_view();
                else
                    rest.remove_prefix(comma + 1);
            }
            field = trim(field);
            put_varint(current[c], field.size());
            current[c].insert(current[c].end(), field.begin(), field.end());
        }
        if (++rows == rows_per_block) flush();
    }
    if (rows > 0) flush();
    return blocks;
}

inline std::string data_path(const std::string& name) {
#ifdef SARN_DATA_DIR
    return std::string(SARN_DATA_DIR) + "/" + name;
#else
    return name;
#endif
}

}  // namespace sarn::codec_test
