// Throughput of the block codec on text column blocks cut from the sample
// CSV files (chunks of 65,536 rows, one block per column, as the container
// writer lays them out before compression), with zlib level 6 and zstd
// level 3 on the very same bytes.
//
// Every figure is MB/s (10^6 bytes per second) of uncompressed bytes: the
// input for compressors, the output for decoders.
//
// --levels=2,9 (before the Google Benchmark flags) adds compress_block and
// decompress_block at those compression levels (named compress_block_L2/...,
// decompress_block_L9/...): the decoders must read the blocks of a higher
// level no slower than level 1's.  The entropy decoders are
// measured on the payloads compress_block's LZ methods produce (the Huffman-
// and range-coded token stream), so their output is the token stream.
#include <benchmark/benchmark.h>
#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "codec_test_data.hpp"
#include "codec/codec.hpp"
#include "codec/codec_internal.hpp"

namespace {

using sarn::common::Bytes;

struct Block {
    std::string name;
    Bytes input;
    Bytes tokens;
    Bytes block;
    Bytes huffman_tokens;
    Bytes range_tokens;
    std::vector<std::pair<int, Bytes>> leveled;  // the block at each extra level
};

// Compression levels above 1 to measure as well (--levels=...).
std::vector<int> extra_levels;

// Every full chunk (65,536 rows) of every file, and the first chunk of the
// files that have fewer rows; one block per column.  Names are
// file/chunk/column, with a "full" or "part" tag for the chunk.
std::vector<Block> load_blocks() {
    const char* files[] = {"flights-3m.csv", "zipcodes.csv", "birdstrikes.csv", "sp500-2000.csv", "airports.csv"};
    constexpr std::size_t ROWS = 65536;
    std::vector<Block> blocks;
    for (const char* file : files) {
        const std::string csv = sarn::codec_test::read_file(sarn::codec_test::data_path(file));
        if (csv.empty()) {
            std::fprintf(
                stderr,
                "codec_bench: the sample CSV file %s is missing; the benchmark runs on the files of the\n"
                "shared data folder beside the repository (../shared/data) and measures nothing without them\n",
                sarn::codec_test::data_path(file).c_str());
            std::exit(1);
        }
        std::size_t columns = 1;
        for (char c : csv.substr(0, csv.find('\n'))) columns += c == ',';
        std::size_t rows = 0;
        for (std::size_t at = csv.find('\n'); at != std::string::npos; at = csv.find('\n', at + 1)) ++rows;
        const std::size_t full_chunks = rows / ROWS;  // rows counts the header line too; close enough to tell
        auto all = sarn::codec_test::text_column_blocks(csv, ROWS);
        const std::size_t chunks = std::max<std::size_t>(1, full_chunks);
        std::string stem(file);
        stem = stem.substr(0, stem.find('.'));
        for (std::size_t k = 0; k < chunks; ++k) {
            for (std::size_t c = 0; c < columns; ++c) {
                const std::size_t index = k * columns + c;
                if (index >= all.size()) break;
                Block b;
                b.name =
                    stem + "/" + (full_chunks > 0 ? "full" : "part") + std::to_string(k) + "/col" + std::to_string(c);
                b.input = std::move(all[index]);
                b.tokens = sarn::codec::internal::lz_encode(b.input);
                b.block = sarn::codec::compress_block(b.input);
                b.huffman_tokens = sarn::codec::internal::huffman_encode(b.tokens);
                b.range_tokens = sarn::codec::internal::range_encode(b.tokens);
                for (int level : extra_levels)
                    b.leveled.emplace_back(level, sarn::codec::compress_block(b.input, level));
                blocks.push_back(std::move(b));
            }
        }
    }
    return blocks;
}

void must(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "benchmark check failed: %s\n", what);
        std::exit(1);
    }
}

void register_block(const Block& b) {
    const auto mb = [](benchmark::State& st, std::size_t bytes) {
        st.SetBytesProcessed(static_cast<std::int64_t>(st.iterations() * bytes));
    };
    benchmark::RegisterBenchmark(("compress_block/" + b.name).c_str(), [&b, mb](benchmark::State& st) {
        for (auto _ : st) benchmark::DoNotOptimize(sarn::codec::compress_block(b.input));
        mb(st, b.input.size());
    });
    // The LZ stage alone, with tables and token buffer kept from one call
    // to the next as a writer's workspace keeps them: most of compress_block's
    // time on text columns.
    benchmark::RegisterBenchmark(("lz_encode/" + b.name).c_str(), [&b, mb](benchmark::State& st) {
        sarn::codec::internal::LzTables tables;
        Bytes tokens;
        for (auto _ : st) {
            sarn::codec::internal::lz_encode(b.input, tokens, tables);
            benchmark::DoNotOptimize(tokens.data());
        }
        must(tokens == b.tokens, "lz_encode with kept tables");
        mb(st, b.input.size());
    });
    benchmark::RegisterBenchmark(("decompress_block/" + b.name).c_str(), [&b, mb](benchmark::State& st) {
        for (auto _ : st) {
            auto r = sarn::codec::decompress_block(b.block, b.input.size());
            must(r.ok() && r->size() == b.input.size(), "decompress_block");
            benchmark::DoNotOptimize(r);
        }
        mb(st, b.input.size());
    });
    for (const auto& [level, block] : b.leveled) {
        const std::string tag = "_L" + std::to_string(level) + "/" + b.name;
        const int lv = level;
        const Bytes* leveled = &block;
        benchmark::RegisterBenchmark(("compress_block" + tag).c_str(), [&b, lv, mb](benchmark::State& st) {
            for (auto _ : st) benchmark::DoNotOptimize(sarn::codec::compress_block(b.input, lv));
            mb(st, b.input.size());
        });
        benchmark::RegisterBenchmark(("decompress_block" + tag).c_str(), [&b, leveled, mb](benchmark::State& st) {
            for (auto _ : st) {
                auto r = sarn::codec::decompress_block(*leveled, b.input.size());
                must(r.ok() && r->size() == b.input.size(), "decompress_block at a level");
                benchmark::DoNotOptimize(r);
            }
            mb(st, b.input.size());
        });
    }
    // A stage decoder on its payload, measured by what it produces.
    const auto stage = [&b, mb](const char* name, auto decode, const Bytes& payload, std::size_t out_size) {
        benchmark::RegisterBenchmark((std::string(name) + "/" + b.name).c_str(),
                                     [name, decode, &payload, out_size, mb](benchmark::State& st) {
                                         for (auto _ : st) {
                                             auto r = decode(payload, out_size);
                                             must(r.ok(), name);
                                             benchmark::DoNotOptimize(r);
                                         }
                                         mb(st, out_size);
                                     });
    };
    stage("lz_decode", sarn::codec::internal::lz_decode, b.tokens, b.input.size());
    stage("huffman_decode", sarn::codec::internal::huffman_decode, b.huffman_tokens, b.tokens.size());
    stage("range_decode", sarn::codec::internal::range_decode, b.range_tokens, b.tokens.size());
    benchmark::RegisterBenchmark(("zlib6/" + b.name).c_str(), [&b, mb](benchmark::State& st) {
        Bytes out(compressBound(static_cast<uLong>(b.input.size())));
        for (auto _ : st) {
            uLongf len = static_cast<uLongf>(out.size());
            must(compress2(out.data(), &len, b.input.data(), static_cast<uLong>(b.input.size()), 6) == Z_OK, "zlib");
            benchmark::DoNotOptimize(len);
        }
        mb(st, b.input.size());
    });
    benchmark::RegisterBenchmark(("zstd3/" + b.name).c_str(), [&b, mb](benchmark::State& st) {
        Bytes out(ZSTD_compressBound(b.input.size()));
        for (auto _ : st) {
            const std::size_t len = ZSTD_compress(out.data(), out.size(), b.input.data(), b.input.size(), 3);
            must(!ZSTD_isError(len), "zstd");
            benchmark::DoNotOptimize(len);
        }
        mb(st, b.input.size());
    });
}

}  // namespace

int main(int argc, char** argv) {
    // Our own flag goes before Google Benchmark sees the arguments.
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.rfind("--levels=", 0) == 0) {
            std::size_t at = 9;
            while (at < arg.size()) {
                const std::size_t comma = arg.find(',', at);
                const int level = std::atoi(arg.substr(at, comma - at).c_str());
                if (level > 1 && level <= sarn::codec::MAX_LEVEL) extra_levels.push_back(level);
                at = comma == std::string::npos ? arg.size() : comma + 1;
            }
        } else {
            argv[kept++] = argv[i];
        }
    }
    argc = kept;
    static const std::vector<Block> blocks = load_blocks();
    for (const Block& b : blocks) {
        std::fprintf(stderr, "%-20s %8zu bytes -> block %7zu (method %d), tokens %7zu\n", b.name.c_str(),
                     b.input.size(), b.block.size(), b.block[0], b.tokens.size());
        register_block(b);
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
